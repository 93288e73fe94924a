#include "server/listener.h"

#include <cerrno>
#include <limits>

#include <poll.h>
#include <string>

namespace tovel {

namespace {

// How often accepting is tried again while it fails: soon enough that clients waiting in the
// listen queue hardly notice, rarely enough to cost nothing.
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);

// An episode ends only once the connections are well below where it began, so that clients
// coming and going at a limit (the owner's phone beside a flood) do not make it begin and end with
// every connection.
bool wellBelow(std::size_t open, std::size_t limit) {
  return open < limit - limit / 8 || open == 0;
}

bool openAndBind(asio::ip::tcp::acceptor& acceptor, const asio::ip::tcp::endpoint& endpoint,
                 asio::error_code& ec) {
  acceptor.open(endpoint.protocol(), ec);
  if (ec)
    return false;
  acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (endpoint.protocol() == asio::ip::tcp::v6())
    acceptor.set_option(asio::ip::v6_only(false), ec);
  ec.clear();
  acceptor.bind(endpoint, ec);
  if (!ec)
    acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    asio::error_code ignored;
    acceptor.close(ignored);
    return false;
  }
  return true;
}

} // namespace

std::unique_ptr<Listener> Listener::configureListener(asio::io_context& io, std::uint16_t port,
                                                      Log& log, NetworkError& error) {
  asio::ip::tcp::acceptor acceptor(io);
  asio::error_code ec;
  if (!openAndBind(acceptor, asio::ip::tcp::endpoint(asio::ip::tcp::v6(), port), ec)) {
    // Without IPv6 (or with the port taken there) try plain IPv4; report its error.
    if (!openAndBind(acceptor, asio::ip::tcp::endpoint(asio::ip::tcp::v4(), port), ec)) {
      error = NetworkError{ec.value(), ec.message()};
      return nullptr;
    }
  }
  return std::unique_ptr<Listener>(new Listener(io, log, std::move(acceptor)));
}

Listener::Listener(asio::io_context& io, Log& log, asio::ip::tcp::acceptor acceptor)
    : io_(io), log_(log), acceptor_(std::move(acceptor)), retryTimer_(io) {}

std::uint16_t Listener::port() const {
  asio::error_code ec;
  return acceptor_.local_endpoint(ec).port();
}

void Listener::start() {
  acceptNext();
}

void Listener::acceptNext() {
  acceptor_.async_accept([this](const asio::error_code& ec, asio::ip::tcp::socket socket) {
    if (ec == asio::error::operation_aborted)
      return;
    if (ec) {
      onAcceptError(ec);
      return;
    }
    if ((acceptFailing_ || reclaimedForDescriptors_ > 0) &&
        wellBelow(slots_.open(), exhaustedAt_)) {
      log_.print(reclaimedForDescriptors_ == 0
                     ? std::string("Accepting connections again")
                     : "Accepting connections again, " + std::to_string(reclaimedForDescriptors_) +
                           " idle ones closed meanwhile to free descriptors");
      acceptFailing_ = false;
      reclaimedForDescriptors_ = 0;
    }
    onAccepted(std::move(socket));
    acceptNext();
  });
}

void Listener::onAccepted(asio::ip::tcp::socket socket) {
  asio::error_code ec;
  asio::ip::tcp::endpoint peer = socket.remote_endpoint(ec);
  asio::ip::address client = ConnectionSlots::clientOf(peer.address());
  if (ec || !makeRoom(client)) {
    // Closed before a byte is read or written: the clients already here keep their share.
    socket.close(ec);
    return;
  }
  socket.set_option(asio::ip::tcp::no_delay(true), ec);
  auto connection = Connection::create(io_, std::move(socket), slots_.take(client));
  if (handler_)
    handler_(connection);
}

bool Listener::makeRoom(const asio::ip::address& client) {
  std::size_t clientOpen = slots_.openFrom(client);
  std::size_t allOpen = slots_.open();
  bool clientFull = clientOpen >= maxPerAddress_;
  bool allFull = allOpen >= maxConnections_;
  auto mine = clientEpisodes_.find(client);
  if (mine != clientEpisodes_.end() && wellBelow(clientOpen, maxPerAddress_)) {
    endEpisode(mine->second);
    clientEpisodes_.erase(mine);
  }
  if (wellBelow(allOpen, maxConnections_))
    endEpisode(all_);
  if (!clientFull && !allFull)
    return true;

  CapEpisode* episode = &all_;
  if (clientFull) {
    auto [entry, added] = clientEpisodes_.try_emplace(client);
    if (added)
      entry->second.scope = " from " + ConnectionSlots::describe(client);
    episode = &entry->second;
  }
  std::string head = "Too many open connections" + episode->scope + " (" +
                     std::to_string(clientFull ? maxPerAddress_ : maxConnections_) + "): ";
  std::shared_ptr<Connection> idle =
      slots_.reclaimable(clientFull ? std::optional(client) : std::nullopt);
  if (!idle) {
    if (episode->refused++ == 0)
      log_.print(head + "new ones are closed until some end");
    return false;
  }
  if (episode->reclaimed++ == 0)
    log_.print(head + "the longest idle ones are closed to make room");
  idle->closeNow();
  return true;
}

void Listener::endEpisode(CapEpisode& episode) {
  std::string refused = std::to_string(episode.refused) + " closed meanwhile";
  std::string reclaimed = std::to_string(episode.reclaimed) +
                          (episode.reclaimed == 1 ? " idle one" : " idle ones") +
                          " closed to make room";
  if (episode.refused > 0 && episode.reclaimed > 0)
    log_.print("Accepting connections" + episode.scope + " again, " + refused + " and " +
               reclaimed);
  else if (episode.refused > 0)
    log_.print("Accepting connections" + episode.scope + " again, " + refused);
  else if (episode.reclaimed > 0)
    log_.print("Connections" + episode.scope + " below the cap again, " + reclaimed + " meanwhile");
  episode.refused = 0;
  episode.reclaimed = 0;
}

bool Listener::connectionWaiting() {
  pollfd listening{acceptor_.native_handle(), POLLIN, 0};
  return ::poll(&listening, 1, 0) > 0;
}

void Listener::onAcceptError(const asio::error_code& ec) {
  bool outOfDescriptors = ec == asio::error::no_descriptors || ec.value() == ENFILE;
  if (outOfDescriptors && !connectionWaiting()) {
    // The system wants a descriptor for the next connection before it looks for one: with
    // nobody waiting, nothing is to be closed or reported until somebody comes.
    acceptor_.async_wait(asio::socket_base::wait_read, [this](const asio::error_code& waitError) {
      if (!waitError)
        acceptNext();
    });
    return;
  }
  if (outOfDescriptors) {
    // Below the caps but out of descriptors all the same (a limit lower than the cap allows for):
    // an idle connection gives up its descriptor, as at a cap.
    if (!acceptFailing_ && reclaimedForDescriptors_ == 0)
      exhaustedAt_ = slots_.open();
    if (std::shared_ptr<Connection> idle = slots_.reclaimable(std::nullopt)) {
      if (reclaimedForDescriptors_++ == 0)
        log_.print("Out of file descriptors: the longest idle connections are closed to make room");
      idle->closeNow();
      acceptNext();
      return;
    }
  }
  // With none to close, the pending connection stays queued and the acceptor stays readable:
  // trying again at once would spin. It waits in the backlog until a retry finds a descriptor
  // free, normally because some connection has closed meanwhile.
  if (!acceptFailing_) {
    if (!outOfDescriptors && reclaimedForDescriptors_ == 0)
      exhaustedAt_ = std::numeric_limits<std::size_t>::max(); // any success ends it
    acceptFailing_ = true;
    if (outOfDescriptors)
      log_.print("Out of file descriptors: new connections wait until some close");
    else
      log_.print("Accepting a connection failed: " + ec.message());
  }
  retryTimer_.expires_after(kAcceptRetryDelay);
  retryTimer_.async_wait([this](const asio::error_code& timerError) {
    if (!timerError)
      acceptNext();
  });
}

} // namespace tovel
