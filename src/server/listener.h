#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/steady_timer.hpp>

#include "server/connection.h"

namespace tovel {

// The TCP listener of the host: every accepted connection (with TCP no-delay) is handed to the
// new-connection handler on the main event loop.
class Listener {
public:
  using NewConnectionHandler = std::function<void(std::shared_ptr<Connection>)>;

  // Binds the port on every interface (IPv6 and IPv4 where the system allows both) and listens.
  // Null, with the reason in error, when the port cannot be had. Port 0 picks a free one.
  static std::unique_ptr<Listener> configureListener(asio::io_context& io, std::uint16_t port,
                                                     NetworkError& error);

  void setNewConnectionHandler(NewConnectionHandler handler) { handler_ = std::move(handler); }
  void start();
  std::uint16_t port() const;

private:
  Listener(asio::io_context& io, asio::ip::tcp::acceptor acceptor);
  void acceptNext();

  asio::io_context& io_;
  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer retryTimer_;
  NewConnectionHandler handler_;
};

} // namespace tovel
