#include "server/stream_client.h"

namespace tovel {

namespace {

// The client sends nothing after its request; reads only tell us when it has gone.
constexpr std::size_t kDiscardedReadSize = 4096;

} // namespace

void cancelWhenPeerLeaves(const ConnectionPtr& connection) {
  connection->receive(
      1, kDiscardedReadSize,
      [connection](std::optional<Bytes>, bool isComplete, std::optional<NetworkError> error) {
        if (error || isComplete) {
          connection->cancel();
          return;
        }
        cancelWhenPeerLeaves(connection);
      });
}

} // namespace tovel
