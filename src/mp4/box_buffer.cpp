#include "mp4/box_buffer.h"

#include <cstring>
#include <limits>

#include "mp4/box_writer.h"

namespace tovel {

std::size_t BoxBuffer::open(std::string_view type) {
  std::size_t start = out_.size();
  u32(0);
  fourCc(type);
  return start;
}

std::size_t BoxBuffer::openFull(std::string_view type, std::uint8_t version, std::uint32_t flags) {
  std::size_t start = open(type);
  u32(std::uint32_t(version) << 24 | (flags & 0xFFFFFF));
  return start;
}

bool BoxBuffer::close(std::size_t start) {
  std::size_t size = out_.size() - start;
  if (size > std::numeric_limits<std::uint32_t>::max())
    return false;
  patchU32(start, std::uint32_t(size));
  return true;
}

void BoxBuffer::u16(std::uint16_t value) {
  auto data = uint16ToBytes(value);
  out_.insert(out_.end(), data.begin(), data.end());
}

void BoxBuffer::u32(std::uint32_t value) {
  auto data = uint32ToBytes(value);
  out_.insert(out_.end(), data.begin(), data.end());
}

void BoxBuffer::u64(std::uint64_t value) {
  auto data = uint64ToBytes(value);
  out_.insert(out_.end(), data.begin(), data.end());
}

void BoxBuffer::fourCc(std::string_view type) {
  char code[4] = {' ', ' ', ' ', ' '};
  std::memcpy(code, type.data(), type.size() < 4 ? type.size() : 4);
  out_.insert(out_.end(), code, code + 4);
}

void BoxBuffer::patchU32(std::size_t at, std::uint32_t value) {
  auto data = uint32ToBytes(value);
  std::memcpy(out_.data() + at, data.data(), data.size());
}

} // namespace tovel
