#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/steady_timer.hpp>

#include "common/log.h"
#include "server/connection.h"
#include "server/connection_slots.h"

namespace tovel {

// The TCP listener of the host: every accepted connection (with TCP no-delay) is handed to the
// new-connection handler on the main event loop.
//
// It keeps the host serving under a flood of clients. Open connections (every kind: requests,
// streams, WebSockets) are capped in all and per client; at a cap the connection idle longest
// (among the client's own, at the client's cap) is closed to make room, so silent connections
// cannot keep anyone out. Only when every one is in use is the new one closed at once,
// unanswered. When the process runs out of descriptors an idle connection is closed likewise, and
// with none, accepting pauses for a moment instead of failing in a tight loop. Each such episode
// is logged once, when it begins and when it ends.
class Listener {
public:
  using NewConnectionHandler = std::function<void(std::shared_ptr<Connection>)>;

  // Enough for a household of phones, browsers and their streams many times over, and well
  // under the usual descriptor limit of 1024.
  static constexpr std::size_t kMaxConnections = 512;
  // Half of the whole: whatever one device does, everyone else still has room without anything
  // of theirs being closed. A real client needs a handful (the app's WebSocket, a stream or two,
  // a kept-alive control connection, page loads); a desktop browser with dozens of tabs on the
  // host stays well within it.
  static constexpr std::size_t kMaxConnectionsPerAddress = 256;

  // Binds the port on every interface (IPv6 and IPv4 where the system allows both) and listens.
  // Null, with the reason in error, when the port cannot be had. Port 0 picks a free one.
  static std::unique_ptr<Listener> configureListener(asio::io_context& io, std::uint16_t port,
                                                     Log& log, NetworkError& error);

  void setNewConnectionHandler(NewConnectionHandler handler) { handler_ = std::move(handler); }
  void setMaxConnections(std::size_t maximum) { maxConnections_ = maximum; }
  void setMaxConnectionsPerAddress(std::size_t maximum) { maxPerAddress_ = maximum; }
  void start();
  std::uint16_t port() const;
  // Connections accepted whose sockets are still open.
  std::size_t openConnections() const { return slots_.open(); }

private:
  // A stretch of time during which one cap is reached, reported when it begins and when it ends
  // rather than once per connection.
  struct CapEpisode {
    std::string scope;       // "" for the cap on all connections, " from <client>" for one client's
    std::size_t refused = 0; // new connections closed because every one was in use
    std::size_t reclaimed = 0; // idle ones closed to make room
  };

  Listener(asio::io_context& io, Log& log, asio::ip::tcp::acceptor acceptor);
  void acceptNext();
  void onAccepted(asio::ip::tcp::socket socket);
  void onAcceptError(const asio::error_code& ec);
  // True when a connection waits in the listen queue.
  bool connectionWaiting();
  // Below both caps, or brought there by closing an idle connection: false when the new
  // connection has to be closed instead.
  bool makeRoom(const asio::ip::address& client);
  void endEpisode(CapEpisode& episode);

  asio::io_context& io_;
  Log& log_;
  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer retryTimer_;
  NewConnectionHandler handler_;
  std::size_t maxConnections_ = kMaxConnections;
  std::size_t maxPerAddress_ = kMaxConnectionsPerAddress;
  ConnectionSlots slots_;
  CapEpisode all_;
  std::map<asio::ip::address, CapEpisode> clientEpisodes_; // clients at their cap
  // Out of descriptors: waiting for one to be free, and idle connections closed for one.
  bool acceptFailing_ = false;
  std::size_t reclaimedForDescriptors_ = 0;
  std::size_t exhaustedAt_ = 0; // connections open when the descriptors ran out
};

} // namespace tovel
