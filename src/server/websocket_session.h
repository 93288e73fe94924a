#pragma once

#include <string>

#include "input/injection_state.h"
#include "server/router.h"

namespace tovel {

// The WebSocket side of a connection: answers the upgrade, then reads frames and hands every
// message to the dispatcher until the peer goes away. The host never sends frames.
class WebSocketSession {
public:
  WebSocketSession(InputContext& input, Log& log) : input_(input), log_(log) {}

  // Answers the upgrade request and starts reading. An upgrade without a usable key gets no
  // answer and is closed once it has been idle for the given time.
  void performWebSocketHandshake(const ConnectionPtr& connection, const std::string& request,
                                 double idleSeconds);

  // Arms one read of up to 65536 bytes; every complete frame in it is handled.
  void receiveWebSocketMessages(const ConnectionPtr& connection);

private:
  void handleRead(const ConnectionPtr& connection, const std::optional<Bytes>& bytes,
                  bool isComplete, const std::optional<NetworkError>& error);

  InputContext& input_;
  Log& log_;
};

} // namespace tovel
