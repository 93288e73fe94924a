#include "server/websocket_session.h"

#include "server/websocket_codec.h"
#include "server/websocket_dispatch.h"

namespace tovel {

namespace {

constexpr std::size_t kMaximumRead = 65536;
constexpr std::string_view kFrameWarning = "Warning: Failed to parse WebSocket frame";

// A client that vanishes without closing is noticed within about 11 s of its last word, so what
// it held is not held much longer. Probes cost a few bytes and only on a silent connection.
constexpr int kKeepAliveIdleSeconds = 5;
constexpr int kKeepAliveIntervalSeconds = 2;
constexpr int kKeepAliveProbes = 3;

} // namespace

void WebSocketSession::performWebSocketHandshake(const ConnectionPtr& connection,
                                                 const std::string& request, Bytes following,
                                                 double idleSeconds) {
  std::optional<std::string> key = webSocketKeyFromRequest(request);
  if (!key) {
    connection->closeWhenIdle(idleSeconds);
    return;
  }
  connection->keepAlive(kKeepAliveIdleSeconds, kKeepAliveIntervalSeconds, kKeepAliveProbes);
  auto session = std::make_shared<Session>();
  session->pending = std::move(following);
  connection->send(webSocketHandshakeResponse(*key),
                   [this, connection, session](std::optional<NetworkError>) {
                     log_.print("WebSocket handshake complete");
                     if (!handleFrames(*session)) {
                       end(connection, *session);
                       return;
                     }
                     receiveWebSocketMessages(connection, session);
                   });
}

void WebSocketSession::receiveWebSocketMessages(const ConnectionPtr& connection,
                                                SessionPtr session) {
  connection->receive(1, kMaximumRead,
                      [this, connection, session](std::optional<Bytes> bytes, bool isComplete,
                                                  std::optional<NetworkError> error) {
                        handleRead(connection, session, std::move(bytes), isComplete, error);
                      });
}

void WebSocketSession::handleRead(const ConnectionPtr& connection, const SessionPtr& session,
                                  std::optional<Bytes> bytes, bool isComplete,
                                  const std::optional<NetworkError>& error) {
  if (bytes) {
    if (session->pending.empty())
      session->pending = std::move(*bytes);
    else
      session->pending.insert(session->pending.end(), bytes->begin(), bytes->end());
  }
  if (!handleFrames(*session)) {
    end(connection, *session);
    return;
  }
  // Once the peer has finished sending, nothing more can come: end here instead of reading on.
  if (error || isComplete) {
    // A frame the end cut short can never be decoded.
    if (!session->pending.empty())
      log_.print(kFrameWarning);
    end(connection, *session);
    return;
  }
  receiveWebSocketMessages(connection, session);
}

bool WebSocketSession::handleFrames(Session& session) {
  for (const WebSocketFrame& frame : takeWebSocketFrames(session.pending)) {
    switch (frame.kind) {
    case WebSocketFrame::Kind::text:
      handleWebSocketMessage(input_, frame.text, session.held);
      break;
    case WebSocketFrame::Kind::refused:
      // Skipped whole, so the frames after it still count.
      log_.print(kFrameWarning);
      break;
    case WebSocketFrame::Kind::tooLarge:
      // Never held, and what follows it cannot be found without reading it all.
      log_.print(kFrameWarning);
      return false;
    case WebSocketFrame::Kind::incomplete:
      break;
    }
  }
  return true;
}

void WebSocketSession::end(const ConnectionPtr& connection, Session& session) {
  if (session.ended)
    return;
  session.ended = true;
  // The client cannot release anything any more: a button it left down would stay down for good.
  session.held.releaseAll(input_);
  connection->cancel();
}

} // namespace tovel
