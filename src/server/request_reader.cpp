#include "server/request_reader.h"

#include "server/request_intake.h"

namespace tovel {

void RequestReader::accept(const ConnectionPtr& connection) {
  // Forget the connections that have gone, now and then, so the list stays as long as the
  // number of open connections.
  if (connections_.size() >= 64 && connections_.size() % 64 == 0)
    std::erase_if(connections_, [](const auto& weak) { return weak.expired(); });
  connections_.push_back(connection);
  connection->start();
  receiveNext(connection);
}

void RequestReader::abandonAll() {
  for (const auto& weak : connections_)
    if (auto connection = weak.lock())
      connection->abandon();
  connections_.clear();
}

void RequestReader::receiveNext(const ConnectionPtr& connection) {
  connection->receive(1, kMaximumRead,
                      [this, connection](std::optional<Bytes> bytes, bool isComplete,
                                         std::optional<NetworkError> error) {
                        handleRead(connection, std::move(bytes), isComplete, std::move(error));
                      });
}

void RequestReader::handleRead(const ConnectionPtr& connection, std::optional<Bytes> bytes,
                               bool isComplete, std::optional<NetworkError> error) {
  if (bytes && !bytes->empty()) {
    IntakeResult result = parseRequest(bytes->data(), bytes->size());
    switch (result.kind) {
    case IntakeResult::Kind::dropped:
      // No answer and no further read; close it eventually rather than keep it forever.
      connection->closeWhenIdle(kIdleConnectionSeconds);
      return;
    case IntakeResult::Kind::webSocketUpgrade:
      log_.print("WebSocket upgrade request detected");
      if (upgradeHandler_)
        upgradeHandler_(connection, result.request.text);
      else
        connection->closeWhenIdle(kIdleConnectionSeconds);
      return;
    case IntakeResult::Kind::request:
      router_.route(connection, result.request);
      break;
    }
  }
  if (error || isComplete)
    connection->cancel();
}

} // namespace tovel
