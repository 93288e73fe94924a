#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tovel::test {

// A client-to-server frame as a browser would send it: FIN set, masked with the given key.
inline std::string maskedFrame(std::string_view payload, std::uint8_t opcode = 0x1,
                               std::uint32_t maskKey = 0x37fa213d, bool fin = true) {
  std::string frame;
  frame += char((fin ? 0x80 : 0x00) | opcode);
  std::uint64_t n = payload.size();
  if (n < 126) {
    frame += char(0x80 | n);
  } else if (n < 65536) {
    frame += char(0x80 | 126);
    frame += char(n >> 8);
    frame += char(n & 0xff);
  } else {
    frame += char(0x80 | 127);
    for (int shift = 56; shift >= 0; shift -= 8)
      frame += char((n >> shift) & 0xff);
  }
  std::uint8_t mask[4] = {std::uint8_t(maskKey >> 24), std::uint8_t(maskKey >> 16),
                          std::uint8_t(maskKey >> 8), std::uint8_t(maskKey)};
  for (std::uint8_t m : mask)
    frame += char(m);
  for (std::size_t i = 0; i < payload.size(); ++i)
    frame += char(std::uint8_t(payload[i]) ^ mask[i % 4]);
  return frame;
}

} // namespace tovel::test
