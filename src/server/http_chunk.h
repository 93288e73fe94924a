#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

namespace tovel {

// One chunk of the chunked transfer coding holding the pieces one after the other: their total
// length in upper-case hexadecimal, CR LF, the pieces, CR LF.
std::vector<std::uint8_t> httpChunk(std::initializer_list<std::span<const std::uint8_t>> pieces);

// The line that opens a chunk of `size` bytes (for a chunk sent in several blocks, which must
// then end with CR LF).
std::vector<std::uint8_t> httpChunkSizeLine(std::size_t size);

} // namespace tovel
