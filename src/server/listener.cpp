#include "server/listener.h"

#include <cerrno>

#include <poll.h>
#include <string>

namespace tovel {

namespace {

// How often accepting is tried again while it fails: soon enough that clients waiting in the
// listen queue hardly notice, rarely enough to cost nothing.
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);

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
    if (reclaimedForNext_) {
      // The descriptor an idle connection gave up: the next accept shows whether there are more.
      reclaimedForNext_ = false;
    } else if (acceptFailing_ || reclaimedForDescriptors_ > 0) {
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
  bool clientFull = slots_.openFrom(client) >= maxPerAddress_;
  bool allFull = slots_.open() >= maxConnections_;
  auto mine = clientEpisodes_.find(client);
  if (!clientFull && mine != clientEpisodes_.end()) {
    endEpisode(mine->second);
    clientEpisodes_.erase(mine);
  }
  if (!allFull)
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
    reclaimedForNext_ = false;
    acceptor_.async_wait(asio::socket_base::wait_read, [this](const asio::error_code& waitError) {
      if (!waitError)
        acceptNext();
    });
    return;
  }
  if (outOfDescriptors) {
    // Below the caps but out of descriptors all the same (a limit lower than the cap allows for):
    // an idle connection gives up its descriptor, as at a cap.
    if (std::shared_ptr<Connection> idle = slots_.reclaimable(std::nullopt)) {
      if (reclaimedForDescriptors_++ == 0)
        log_.print("Out of file descriptors: the longest idle connections are closed to make room");
      idle->closeNow();
      reclaimedForNext_ = true;
      acceptNext();
      return;
    }
  }
  // With none to close, the pending connection stays queued and the acceptor stays readable:
  // trying again at once would spin. It waits in the backlog until a retry finds a descriptor
  // free, normally because some connection has closed meanwhile.
  reclaimedForNext_ = false;
  if (!acceptFailing_) {
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
