#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "common/log.h"
#include "mp4/h264_encoder.h"
#include "platform/image.h"

namespace tovel {

// A picture handed to the encoder. The encoder reads it later on its own thread without copying;
// `owner` keeps the pixels alive until then.
struct EncoderInput {
  ImageView picture; // BGRA, any size
  std::shared_ptr<const void> owner;
  double captureTime = 0; // monotonic seconds
};

// One compressed frame as the output handler receives it.
struct EncodedFrame {
  std::vector<std::uint8_t> data; // length-prefixed NAL units, as the encoder made them
  bool keyFrame = false;
  double captureTime = 0; // of the picture it was made from
};

// Submitting to a session that has stopped.
inline constexpr std::int32_t kStatusSessionStopped = -108; // -ESHUTDOWN

// The live H.264 encoder on a thread of its own, "tovel-encoder" (x264's slice threads carry the
// name too).
//
// Real time comes first: at most one picture waits while another is being encoded. A picture
// submitted while one is already waiting takes its place, so the encoder always goes on with the
// newest picture and never builds a backlog; the displaced picture counts as dropped by the
// encoder. Every accepted submission gets exactly one output, in submission order, on the encoder
// thread: "Encoded frame received" and a call of the handler, or "Compression failed with status: "
// and the status (0 for a dropped picture).
class CompressionSession {
public:
  using OutputHandler = std::function<void(EncodedFrame&& frame)>;

  // Opens the encoder and starts its thread, then prints "Compression session created
  // successfully", or "Failed to create compression session: " and the status (set in `status`
  // when given) and returns none. The log must outlive the session's thread.
  static std::unique_ptr<CompressionSession> create(const H264EncoderSettings& settings, Log& log,
                                                    OutputHandler handler,
                                                    std::int32_t* status = nullptr);
  // Stops the session (see stop()).
  ~CompressionSession();
  CompressionSession(const CompressionSession&) = delete;
  CompressionSession& operator=(const CompressionSession&) = delete;

  // Queues the picture and prints "Frame passed to encoder"; or, for an empty picture or a
  // stopped session, prints "Failed to encode frame: " and the status it returns.
  std::int32_t submit(EncoderInput input);

  // Makes the next picture encoded an IDR picture, where a joining viewer can start.
  void requestKeyFrame();

  // Finishes the waiting picture, ends the thread and waits for it; later submissions fail.
  // Called from the output handler it does not wait: the thread ends when the handler returns.
  void stop();

  // Fixed at creation; readable from any thread.
  int width() const { return width_; }
  int height() const { return height_; }
  const std::vector<std::uint8_t>& avcConfiguration() const { return avcConfiguration_; }
  const std::string& codecString() const { return codecString_; }
  const ParameterSets& parameterSets() const { return parameterSets_; }

private:
  struct Worker;
  struct Description {
    std::int32_t status = 0;
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> avcConfiguration;
    std::string codecString;
    ParameterSets parameterSets;
  };
  CompressionSession(std::shared_ptr<Worker> worker, std::thread thread, Description description);

  std::shared_ptr<Worker> worker_;
  std::mutex stopMutex_; // one joiner at a time
  std::thread thread_;
  int width_ = 0;
  int height_ = 0;
  std::vector<std::uint8_t> avcConfiguration_;
  std::string codecString_;
  ParameterSets parameterSets_;
};

} // namespace tovel
