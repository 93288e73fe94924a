#pragma once

#include "platform/image.h"

namespace tovel {

// Resizes a BGRA picture into `into` at width x height with an area-averaging filter, which keeps
// text legible when a large screen is shrunk; enlarging falls back to bilinear filtering. The
// picture is copied unchanged when the sizes match. False when a size is empty.
bool scaleBgra(const ImageView& from, BgraImage& into, int width, int height);

} // namespace tovel
