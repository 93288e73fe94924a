#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace tovel {

// One frame of a picture stream: a multipart part holding the JPEG ("--" boundary, its
// Content-Type and Content-Length lines, an empty line, the JPEG and CR LF), sent as one chunk of
// the chunked transfer coding (the part's length in upper-case hexadecimal, CR LF, the part,
// CR LF).
std::vector<std::uint8_t> multipartFrameChunk(std::string_view boundary,
                                              std::span<const std::uint8_t> jpeg);

} // namespace tovel
