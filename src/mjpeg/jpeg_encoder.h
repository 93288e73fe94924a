#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "platform/image.h"

namespace tovel {

// The JPEG quality (1 to 100) for a compression factor between 0 and 1: round(factor x 100).
int jpegQuality(double compressionFactor);

// Encodes BGRA pictures (the fourth byte ignored) as baseline JPEG with 4:2:0 chroma subsampling
// through TurboJPEG. One encoder keeps its compressor and output buffer from picture to picture;
// it serves one thread at a time.
class JpegEncoder {
public:
  JpegEncoder();
  ~JpegEncoder();
  JpegEncoder(const JpegEncoder&) = delete;
  JpegEncoder& operator=(const JpegEncoder&) = delete;

  // The JPEG bytes, valid until the next call; none when encoding fails.
  std::optional<std::span<const std::uint8_t>> encode(const ImageView& image, int quality);

private:
  void* handle_ = nullptr;
  unsigned char* buffer_ = nullptr;
  unsigned long capacity_ = 0;
};

} // namespace tovel
