#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/log.h"
#include "server/router.h"

namespace tovel {

// The clients of the live MP4 stream: answers /screen.mp4 requests, registers their connections
// and writes every fragment to every registered client. Everything here runs on the main loop,
// which owns the client list.
//
// Both answers announce chunked coding, so every block after the head (the initialization
// segment, each fragment) goes out as one chunk. Every client starts with the initialization
// segment, then receives fragments from a key frame on: a player can decode nothing before one.
// A client whose connection holds more than kQueueCap unsent bytes gets no fragment until its
// next key frame, so a slow client costs bounded memory and sees fresh pictures when it catches
// up. A client waiting for a key frame asks for one once: when it registers, and when it can take
// fragments again after falling behind (never for every fragment, which would fill everyone's
// stream with key frames).
class Mp4Clients {
public:
  static constexpr std::size_t kQueueCap = 1024 * 1024;

  struct Hooks {
    std::function<void()> startStreaming; // called for every registration
    std::function<void()> lastClientGone; // the list became empty
    std::function<void()> keyFrameNeeded; // a client waits for a key frame
  };

  // The initialization segment goes to every client after its answer; the codec string (e.g.
  // "avc1.4d402a") is announced in the full answer's content type.
  Mp4Clients(Log& log, Hooks hooks, std::vector<std::uint8_t> initializationSegment,
             std::string codecString);

  // A request without a range: the full-stream answer and the initialization segment, then
  // registration.
  void sendInitialHeaders(const ConnectionPtr& connection);
  // Registers a client; for a range request the range answer is sent once it is ready.
  void addClient(const ConnectionPtr& connection, bool isRange = false);
  // The range answer and the initialization segment.
  void sendRangeResponseHeaders(const ConnectionPtr& connection);
  // Writes one fragment, already framed as a chunk, to every registered client that can take it.
  void sendToClients(std::shared_ptr<const std::vector<std::uint8_t>> chunk, bool keyFrame);

  std::size_t size() const { return clients_.size(); }

private:
  struct Client {
    ConnectionPtr connection;
    bool waitingForKeyFrame = true;
    bool askedForKeyFrame = true;
  };

  void onStateChange(const std::weak_ptr<Connection>& weak, bool isRange, Connection::State state,
                     const std::optional<NetworkError>& error);
  void remove(const Connection* connection);

  Log& log_;
  Hooks hooks_;
  std::shared_ptr<const std::vector<std::uint8_t>> initialization_; // as one chunk
  std::string fullAnswer_;
  std::vector<Client> clients_;
};

} // namespace tovel
