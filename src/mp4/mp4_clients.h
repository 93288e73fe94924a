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
// Each client's decode times are its own: they start at 0 with its first fragment and count the
// frames it was sent, so a player that starts at time 0 shows the first picture at once, and a
// client that lost fragments sees no gap in its timeline.
// A client whose connection holds more than kQueueCap unsent bytes gets no fragment until its
// next key frame, so a slow client costs bounded memory and sees fresh pictures when it catches
// up. A client waiting for a key frame asks for one once: when it registers, and when it can take
// fragments again after falling behind (never for every fragment, which would fill everyone's
// stream with key frames). A new client's first fragments come one right after the other, the
// picture again if nothing changed, until it has kStartFragments of them and kStartBytes of
// stream: players hold a frame or two back before they show the first (ffmpeg's demuxer and
// decoder one each, a browser one to start playing) and some read a little before they even
// look at the format (ffmpeg 2 KiB), which a blank screen's first frames do not fill; a still
// screen would send more only after a while.
// One fragment, built once for every client, as one chunk in two blocks: the head (the chunk's
// size line, the movie-fragment box, the media-data box's header), of which each client is sent a
// copy with its own decode time in it, and the body (the sample, the chunk's end), sent to every
// client as it is.
struct SharedFragment {
  std::shared_ptr<const std::vector<std::uint8_t>> head;
  std::size_t decodeTimeAt = 0; // where the 8-byte decode time lies in head
  std::shared_ptr<const std::vector<std::uint8_t>> body;
  std::uint32_t duration = 0; // media ticks
  bool keyFrame = false;
};

class Mp4Clients {
public:
  static constexpr std::size_t kQueueCap = 1024 * 1024;
  static constexpr int kStartFragments = 3;
  static constexpr std::size_t kStartBytes = 4096;

  struct Hooks {
    std::function<void()> startStreaming; // called for every registration
    std::function<void()> lastClientGone; // the list became empty
    std::function<void()> keyFrameNeeded; // a client waits for a key frame
    std::function<void()> frameNeeded;    // a starting client wants its next frame at once
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
  // Writes one fragment to every registered client that can take it.
  void sendToClients(const SharedFragment& fragment);

  std::size_t size() const { return clients_.size(); }

private:
  struct Client {
    ConnectionPtr connection;
    bool waitingForKeyFrame = true;
    bool askedForKeyFrame = true;
    std::uint64_t decodeTime = 0; // of its next fragment
    // Counted while it starts, the initialization segment included.
    int fragmentsSent = 0;
    std::size_t bytesSent = 0;
    bool starting() const { return fragmentsSent < kStartFragments || bytesSent < kStartBytes; }
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
