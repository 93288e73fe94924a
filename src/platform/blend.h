#pragma once

#include <cstddef>
#include <cstdint>

namespace tovel {

// Blends a premultiplied ARGB picture over BGRA pixels; (x, y) is where its top-left corner goes,
// and may lie outside: what falls outside the destination is left out. Pure, for testing.
void blendPremultiplied(const std::uint32_t* argb, int width, int height, std::uint8_t* pixels,
                        std::size_t stride, int pixelsWidth, int pixelsHeight, int x, int y);

} // namespace tovel
