#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tovel::test {

// A client-to-server frame as a browser would send it: FIN set, masked with the given key.
inline std::string maskedFrame(std::string_view payload, std::uint8_t opcode = 0x1,
                               std::uint32_t maskKey = 0x37fa213d, bool fin = true) {
  std::string frame(1, char((fin ? 0x80 : 0x00) | opcode));
  std::uint64_t n = payload.size();
  int lengthBytes = n < 126 ? 0 : n < 65536 ? 2 : 8;
  frame += char(0x80 | (lengthBytes == 0 ? n : lengthBytes == 2 ? 126 : 127));
  for (int i = lengthBytes - 1; i >= 0; --i)
    frame += char(n >> 8 * i);
  for (int i = 3; i >= 0; --i)
    frame += char(maskKey >> 8 * i);
  for (std::size_t i = 0; i < n; ++i)
    frame += char(payload[i] ^ char(maskKey >> 8 * (3 - i % 4)));
  return frame;
}

} // namespace tovel::test
