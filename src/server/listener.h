#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/steady_timer.hpp>

#include "common/live_count.h"
#include "common/log.h"
#include "server/connection.h"

namespace tovel {

// The TCP listener of the host: every accepted connection (with TCP no-delay) is handed to the
// new-connection handler on the main event loop.
//
// It keeps the host alive under a flood of clients: past maxConnections open connections (every
// kind: requests, streams, WebSockets) a new one is closed at once, unanswered, and when the
// process runs out of descriptors accepting pauses for a moment instead of failing in a tight
// loop. Each such episode is logged once, when it begins and when it ends.
class Listener {
public:
  using NewConnectionHandler = std::function<void(std::shared_ptr<Connection>)>;

  // Enough for a household of phones, browsers and their streams many times over, and well
  // under the usual descriptor limit of 1024.
  static constexpr std::size_t kMaxConnections = 512;

  // Binds the port on every interface (IPv6 and IPv4 where the system allows both) and listens.
  // Null, with the reason in error, when the port cannot be had. Port 0 picks a free one.
  static std::unique_ptr<Listener> configureListener(asio::io_context& io, std::uint16_t port,
                                                     Log& log, NetworkError& error);

  void setNewConnectionHandler(NewConnectionHandler handler) { handler_ = std::move(handler); }
  void setMaxConnections(std::size_t maximum) { maxConnections_ = maximum; }
  void start();
  std::uint16_t port() const;
  // Connections accepted whose sockets are still open.
  std::size_t openConnections() const { return open_.value(); }

private:
  Listener(asio::io_context& io, Log& log, asio::ip::tcp::acceptor acceptor);
  void acceptNext();
  void onAccepted(asio::ip::tcp::socket socket);
  void onAcceptError(const asio::error_code& ec);

  asio::io_context& io_;
  Log& log_;
  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer retryTimer_;
  NewConnectionHandler handler_;
  std::size_t maxConnections_ = kMaxConnections;
  LiveCount open_;
  std::size_t refused_ = 0; // closed at once since the cap was reached; 0: not at the cap
  bool acceptFailing_ = false;
};

} // namespace tovel
