#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/log.h"
#include "mp4/h264_parameters.h"
#include "platform/image.h"

namespace tovel {

// x264's speed preset for live screen streams, CABAC switched back on. tovel_h264_encoder_bench
// at 1920x1080 on a 2-core machine: about 10 ms of CPU a frame (0.6 of a core at 60 frames a
// second) against 12-13 for "superfast", 15-17 for "veryfast" and 24-27 for "faster"; the only
// one that kept up with 60 frames a second while the machine was busy with other work.
inline constexpr const char* kLivePreset = "ultrafast";

// Statuses are 0 for success and negative errno values otherwise, so they print with their sign
// and read as the usual names.
inline constexpr std::int32_t kStatusInvalidArgument = -22; // -EINVAL: size, preset, picture
inline constexpr std::int32_t kStatusEncoderFailed = -5;    // -EIO: x264 reported an error

struct H264EncoderSettings {
  int width = 1920; // the size of the stream; pictures of any other size are scaled to it
  int height = 1080;
  int framesPerSecond = 60; // the expected picture rate, for rate control and the level
  int keyFrameInterval = 60;
  std::string preset = kLivePreset;
  int threads = 0; // 0: as many as x264 sees fit
};

// One compressed picture: length-prefixed NAL units (4-byte lengths), no parameter sets.
struct EncodedPicture {
  std::vector<std::uint8_t> data;
  bool keyFrame = false; // an IDR picture: decoding can start here
};

// Where a picture of width x height goes when fitted, its shape kept, into a frame of intoWidth x
// intoHeight (both even): centred, with even position and size.
PixelRect fittedInto(int width, int height, int intoWidth, int intoHeight);

// H.264 Main profile through libx264, set up for live use: no B-frames and no look-ahead, so each
// picture comes out of the call that put it in, CABAC on, parameter sets kept out of the pictures
// (they go in the track's decoder configuration). Takes BGRA pictures of any size. One thread at
// a time.
class H264Encoder {
public:
  // None, with a negative status, when the settings cannot be used. x264's own errors go to the
  // log (when there is one) as "x264 error: ...".
  static std::unique_ptr<H264Encoder> create(const H264EncoderSettings& settings, Log* log,
                                             std::int32_t& status);
  ~H264Encoder();
  H264Encoder(const H264Encoder&) = delete;
  H264Encoder& operator=(const H264Encoder&) = delete;

  int width() const { return width_; }
  int height() const { return height_; }
  const ParameterSets& parameterSets() const { return parameterSets_; }
  // The avcC body for the movie box and the codec parameter for browsers, both from the SPS.
  const std::vector<std::uint8_t>& avcConfiguration() const { return avcConfiguration_; }
  const std::string& codecString() const { return codecString_; }

  struct Result {
    std::int32_t status = 0;
    std::optional<EncodedPicture> picture; // none when the status is negative or x264 kept it
  };
  // Encodes the picture, as an IDR picture when keyFrame is set (otherwise x264 decides, which
  // means a P picture except every keyFrameInterval pictures and at scene cuts).
  Result encode(const ImageView& picture, bool keyFrame);

private:
  H264Encoder() = default;
  bool toI420(const ImageView& picture);

  struct X264;
  std::unique_ptr<X264> x264_;
  int width_ = 0;
  int height_ = 0;
  std::int64_t nextPts_ = 0;
  std::vector<std::uint8_t> sourceI420_; // a picture of another size, before scaling
  PixelRect letterbox_;                  // where such a picture goes in the stream's frame
  ParameterSets parameterSets_;
  std::vector<std::uint8_t> avcConfiguration_;
  std::string codecString_;
};

} // namespace tovel
