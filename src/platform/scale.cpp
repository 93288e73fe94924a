#include "platform/scale.h"

#include <libyuv/scale_argb.h>

#include <cstring>

namespace tovel {

namespace {

libyuv::FilterMode filterMode(ScaleFilter filter) {
  switch (filter) {
  case ScaleFilter::nearest:
    return libyuv::kFilterNone;
  case ScaleFilter::bilinear:
    return libyuv::kFilterBilinear;
  case ScaleFilter::box:
    break;
  }
  return libyuv::kFilterBox;
}

} // namespace

bool scaleBgra(const ImageView& from, BgraImage& into, int width, int height, ScaleFilter filter) {
  if (from.empty() || width <= 0 || height <= 0)
    return false;
  into.resize(width, height);
  if (from.width == width && from.height == height) {
    for (int y = 0; y < height; ++y)
      std::memcpy(into.row(y), from.data + std::size_t(y) * from.stride, into.stride());
    return true;
  }
  // libyuv's "ARGB" is the byte order B, G, R, A in memory, which is exactly BGRA.
  return libyuv::ARGBScale(from.data, int(from.stride), from.width, from.height, into.data(),
                           int(into.stride()), width, height, filterMode(filter)) == 0;
}

} // namespace tovel
