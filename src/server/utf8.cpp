#include "server/utf8.h"

namespace tovel {

bool isValidUtf8(const std::uint8_t* data, std::size_t size) {
  std::size_t i = 0;
  while (i < size) {
    std::uint8_t b = data[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    std::size_t length;
    std::uint8_t low = 0x80, high = 0xBF; // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
      length = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      length = 3;
      if (b == 0xE0)
        low = 0xA0; // overlong
      else if (b == 0xED)
        high = 0x9F; // surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
      length = 4;
      if (b == 0xF0)
        low = 0x90; // overlong
      else if (b == 0xF4)
        high = 0x8F; // above U+10FFFF
    } else {
      return false;
    }
    if (size - i < length)
      return false;
    if (data[i + 1] < low || data[i + 1] > high)
      return false;
    for (std::size_t k = 2; k < length; ++k)
      if ((data[i + k] & 0xC0) != 0x80)
        return false;
    i += length;
  }
  return true;
}

} // namespace tovel
