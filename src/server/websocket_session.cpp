#include "server/websocket_session.h"

#include "server/websocket_codec.h"
#include "server/websocket_dispatch.h"

namespace tovel {

namespace {
constexpr std::size_t kMaximumRead = 65536;
} // namespace

void WebSocketSession::performWebSocketHandshake(const ConnectionPtr& connection,
                                                 const std::string& request, double idleSeconds) {
  std::optional<std::string> key = webSocketKeyFromRequest(request);
  if (!key) {
    connection->closeWhenIdle(idleSeconds);
    return;
  }
  connection->send(webSocketHandshakeResponse(*key),
                   [this, connection](std::optional<NetworkError>) {
                     log_.print("WebSocket handshake complete");
                     receiveWebSocketMessages(connection);
                   });
}

void WebSocketSession::receiveWebSocketMessages(const ConnectionPtr& connection) {
  connection->receive(1, kMaximumRead,
                      [this, connection](std::optional<Bytes> bytes, bool isComplete,
                                         std::optional<NetworkError> error) {
                        handleRead(connection, bytes, isComplete, error);
                      });
}

void WebSocketSession::handleRead(const ConnectionPtr& connection,
                                  const std::optional<Bytes>& bytes, bool isComplete,
                                  const std::optional<NetworkError>& error) {
  if (bytes) {
    std::size_t offset = 0;
    while (offset < bytes->size()) {
      auto frame = parseWebSocketFrame(bytes->data() + offset, bytes->size() - offset);
      if (!frame) {
        // A frame cut by the read, or one this host does not take: the rest of the read goes.
        log_.print("Warning: Failed to parse WebSocket frame");
        break;
      }
      handleWebSocketMessage(input_, frame->text);
      offset += frame->size;
    }
  }
  // Once the peer has finished sending, nothing more can come: end here instead of reading on.
  if (error || isComplete) {
    connection->cancel();
    return;
  }
  receiveWebSocketMessages(connection);
}

} // namespace tovel
