#pragma once

#include <memory>
#include <string>

#include "input/held_input.h"
#include "input/injection_state.h"
#include "server/router.h"

namespace tovel {

// The WebSocket side of a connection: answers the upgrade, then reads frames and hands every
// message to the dispatcher until the peer goes away. The host never sends frames. A frame cut by
// a read is kept until the rest arrives, and whatever the client still holds pressed when the
// session ends, however it ends, is released.
class WebSocketSession {
public:
  WebSocketSession(InputContext& input, Log& log) : input_(input), log_(log) {}

  // Answers the upgrade request and starts reading, beginning with the bytes that followed the
  // request. An upgrade without a usable key gets no answer and is closed once it has been idle
  // for the given time.
  void performWebSocketHandshake(const ConnectionPtr& connection, const std::string& request,
                                 Bytes following, double idleSeconds);

private:
  struct Session {
    Bytes pending; // the start of a frame whose rest has not arrived
    HeldInput held;
    bool ended = false;
  };
  using SessionPtr = std::shared_ptr<Session>;

  // Arms one read of up to 65536 bytes; every complete frame is handled.
  void receiveWebSocketMessages(const ConnectionPtr& connection, SessionPtr session);
  void handleRead(const ConnectionPtr& connection, const SessionPtr& session,
                  std::optional<Bytes> bytes, bool isComplete,
                  const std::optional<NetworkError>& error);
  // Handles every complete frame of the pending bytes and keeps the rest. False when the stream
  // cannot go on.
  bool handleFrames(Session& session);
  void end(const ConnectionPtr& connection, Session& session);

  InputContext& input_;
  Log& log_;
};

} // namespace tovel
