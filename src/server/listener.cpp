#include "server/listener.h"

#include <cerrno>
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
    if (acceptFailing_) {
      acceptFailing_ = false;
      log_.print("Accepting connections again");
    }
    onAccepted(std::move(socket));
    acceptNext();
  });
}

void Listener::onAccepted(asio::ip::tcp::socket socket) {
  asio::error_code ignored;
  if (open_.value() >= maxConnections_) {
    // Closed before a byte is read or written: the clients already here keep their share.
    if (refused_++ == 0)
      log_.print("Too many open connections (" + std::to_string(maxConnections_) +
                 "): new ones are closed until some end");
    socket.close(ignored);
    return;
  }
  if (refused_ > 0) {
    log_.print("Accepting connections again, " + std::to_string(refused_) + " closed meanwhile");
    refused_ = 0;
  }
  socket.set_option(asio::ip::tcp::no_delay(true), ignored);
  auto connection = Connection::create(io_, std::move(socket), open_.take());
  if (handler_)
    handler_(connection);
}

void Listener::onAcceptError(const asio::error_code& ec) {
  // Out of descriptors (or memory) the pending connection stays queued and the acceptor stays
  // readable: trying again at once would spin. It waits in the backlog until a retry finds a
  // descriptor free, normally because some connection has closed meanwhile.
  if (!acceptFailing_) {
    acceptFailing_ = true;
    if (ec == asio::error::no_descriptors || ec.value() == ENFILE)
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
