#include "server/listener.h"

namespace tovel {

namespace {

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
                                                      NetworkError& error) {
  asio::ip::tcp::acceptor acceptor(io);
  asio::error_code ec;
  if (!openAndBind(acceptor, asio::ip::tcp::endpoint(asio::ip::tcp::v6(), port), ec)) {
    // Without IPv6 (or with the port taken there) try plain IPv4; report its error.
    if (!openAndBind(acceptor, asio::ip::tcp::endpoint(asio::ip::tcp::v4(), port), ec)) {
      error = NetworkError{ec.value(), ec.message()};
      return nullptr;
    }
  }
  return std::unique_ptr<Listener>(new Listener(io, std::move(acceptor)));
}

Listener::Listener(asio::io_context& io, asio::ip::tcp::acceptor acceptor)
    : io_(io), acceptor_(std::move(acceptor)), retryTimer_(io) {}

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
      // Out of descriptors or a passing fault: try again shortly instead of spinning.
      retryTimer_.expires_after(std::chrono::milliseconds(100));
      retryTimer_.async_wait([this](const asio::error_code& timerError) {
        if (!timerError)
          acceptNext();
      });
      return;
    }
    asio::error_code ignored;
    socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    auto connection = Connection::create(io_, std::move(socket));
    if (handler_)
      handler_(connection);
    acceptNext();
  });
}

} // namespace tovel
