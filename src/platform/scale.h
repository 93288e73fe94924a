#pragma once

#include "platform/image.h"

namespace tovel {

// How a picture is resampled. Area averaging (box) keeps text legible when a large screen is
// shrunk several times over, and falls back to bilinear filtering when enlarging; point sampling
// (nearest) is the cheapest.
enum class ScaleFilter { nearest, bilinear, box };

// Resizes a BGRA picture into `into` at width x height. The picture is copied unchanged when the
// sizes match. False when a size is empty or the scaler fails.
bool scaleBgra(const ImageView& from, BgraImage& into, int width, int height,
               ScaleFilter filter = ScaleFilter::box);

} // namespace tovel
