#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/pictures.h"
#include "support/test_client.h"

namespace tovel::test {

// One fragment of the live MP4 stream as a client received it.
struct Mp4Fragment {
  std::vector<std::uint8_t> bytes; // movie-fragment box and media-data box
  std::uint32_t sequenceNumber = 0;
  std::uint64_t decodeTime = 0;
  bool keyFrame = false;
  std::chrono::steady_clock::time_point arrived; // when its last byte was read
};

// Reads a live MP4 stream on a thread of its own, the way a strict client would: the response
// head, then chunks of the chunked transfer coding, the first holding the initialization segment
// and each later one exactly one fragment. Anything that breaks that framing ends the reading and
// is reported by error().
class Mp4StreamReader {
public:
  explicit Mp4StreamReader(std::uint16_t port, const std::string& extraHeaders = "");
  ~Mp4StreamReader();

  std::string head() { return locked(head_); }
  std::vector<std::uint8_t> initialization() { return locked(initialization_); }
  std::vector<Mp4Fragment> fragments() { return locked(fragments_); }
  std::string error() { return locked(error_); }
  // Waits until at least `count` fragments have come; false when they do not in a generous time.
  bool waitForFragments(std::size_t count);
  // Closes the connection and stops reading.
  void close();
  // The bytes a player would have read: the initialization segment and every fragment so far.
  std::vector<std::uint8_t> stream();

private:
  // A copy of what the reading thread writes.
  template <typename T> T locked(const T& member) {
    std::lock_guard lock(mutex_);
    return member;
  }
  void run();
  void fail(const std::string& why);

  TestClient client_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  bool stopping_ = false;
  std::string head_;
  std::vector<std::uint8_t> initialization_;
  std::vector<Mp4Fragment> fragments_;
  std::string error_;
};

// The last picture ffmpeg decodes from stream bytes, or the first from the stream at `url` read
// live as a player would, at the given size, as BGRA; empty (0 x 0) when ffmpeg fails or takes
// over a minute, with its complaint in `errors`. Bytes go through a file: exactly those decode.
BgraImage lastDecodedPicture(const std::vector<std::uint8_t>& stream, int width, int height,
                             std::string& errors);
BgraImage liveDecodedPicture(const std::string& url, int width, int height, std::string& errors);
// How many frames ffmpeg decodes from the stream bytes, or from up to `frames` of the stream at
// `url` read live after the ffmpeg input options given; what it complained of in `errors`.
int decodedFrames(const std::vector<std::uint8_t>& stream, std::string& errors);
int liveDecodedFrames(const std::string& url, const std::string& options, int frames,
                      std::string& errors);

} // namespace tovel::test
