#include "mjpeg/jpeg_encoder.h"

#include <turbojpeg.h>

#include <algorithm>
#include <climits>
#include <cmath>

namespace tovel {

int jpegQuality(double compressionFactor) {
  if (std::isnan(compressionFactor))
    return 1;
  double quality = std::round(compressionFactor * 100);
  return quality < 1 ? 1 : quality > 100 ? 100 : int(quality);
}

JpegEncoder::JpegEncoder() : handle_(tjInitCompress()) {}

JpegEncoder::~JpegEncoder() {
  if (buffer_)
    tjFree(buffer_);
  if (handle_)
    tjDestroy(handle_);
}

std::optional<std::span<const std::uint8_t>> JpegEncoder::encode(const ImageView& image,
                                                                 int quality) {
  if (!handle_ || image.empty() || image.stride > std::size_t(INT_MAX))
    return std::nullopt;
  // tjBufSize gives the worst case for any content, so once the buffer has that size the
  // compressor never needs to grow it and the same memory serves every later frame.
  unsigned long needed = tjBufSize(image.width, image.height, TJSAMP_420);
  if (needed == static_cast<unsigned long>(-1) || needed > INT_MAX)
    return std::nullopt;
  if (needed > capacity_) {
    if (buffer_)
      tjFree(buffer_);
    buffer_ = tjAlloc(int(needed));
    capacity_ = buffer_ ? needed : 0;
    if (!buffer_)
      return std::nullopt;
  }
  unsigned long size = capacity_;
  // BGRX: the fourth byte of a capture is padding, whatever value it holds.
  if (tjCompress2(handle_, image.data, image.width, int(image.stride), image.height, TJPF_BGRX,
                  &buffer_, &size, TJSAMP_420, std::clamp(quality, 1, 100), TJFLAG_NOREALLOC) != 0)
    return std::nullopt;
  return std::span<const std::uint8_t>(buffer_, size);
}

} // namespace tovel
