#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/log.h"
#include "server/router.h"

namespace tovel {

// Reads requests from connections, one read per request, and hands them to the router or, for
// an upgrade, to the WebSocket handshake.
class RequestReader {
public:
  using UpgradeHandler = std::function<void(const ConnectionPtr&, const std::string& request)>;

  // How long a connection whose request was dropped stays open before it is closed.
  static constexpr double kIdleConnectionSeconds = 30.0;

  RequestReader(Router& router, Log& log) : router_(router), log_(log) {}

  void setUpgradeHandler(UpgradeHandler handler) { upgradeHandler_ = std::move(handler); }

  // Starts a freshly accepted connection and reads its first request.
  void accept(const ConnectionPtr& connection);

  // Lets go of every connection still open, dropping their pending completions. For when the main
  // loop has stopped for good.
  void abandonAll();

  // Arms one read (1 to 65536 bytes) on the connection, handled as one request.
  void receiveNext(const ConnectionPtr& connection);

  static constexpr std::size_t kMaximumRead = 65536;

private:
  void handleRead(const ConnectionPtr& connection, std::optional<Bytes> bytes, bool isComplete,
                  std::optional<NetworkError> error);

  Router& router_;
  Log& log_;
  UpgradeHandler upgradeHandler_;
  std::vector<std::weak_ptr<Connection>> connections_; // every accepted one still alive
};

} // namespace tovel
