#include <gtest/gtest.h>

#include <string>

#include "mjpeg/multipart.h"
#include "mjpeg/stream_options.h"

namespace tovel {
namespace {

std::string chunkText(std::size_t jpegSize) {
  std::vector<std::uint8_t> jpeg(jpegSize, 0xAB);
  auto chunk = multipartFrameChunk("myBoundary", jpeg);
  return std::string(chunk.begin(), chunk.end());
}

TEST(MultipartFrameChunk, SizeLineCountsThePartInUpperCaseHex) {
  // A 12345-byte picture: a 65-byte part head, so 12412 = 0x307C bytes of part.
  std::string chunk = chunkText(12345);
  EXPECT_EQ(chunk.size(), 12420u);
  EXPECT_EQ(chunk.substr(0, 6), "307C\r\n");
  EXPECT_EQ(chunk.substr(6, 65),
            "--myBoundary\r\nContent-Type: image/jpeg\r\nContent-Length: 12345\r\n\r\n");
  EXPECT_EQ(chunk.substr(chunk.size() - 4), "\r\n\r\n");
  EXPECT_EQ(std::uint8_t(chunk[6 + 65]), 0xAB);
  EXPECT_EQ(std::uint8_t(chunk[chunk.size() - 5]), 0xAB);

  // 255 bytes: a 63-byte head and a 320-byte part, written 140 (not 320).
  EXPECT_EQ(chunkText(255).substr(0, 5), "140\r\n");
  EXPECT_EQ(chunkText(255).size(), 5 + 320u + 2);
}

// Plain lists and refusals reach the stream's log in its size test; here the edges of the scan.
TEST(OptionNumbers, ReadsTheLastOccurrenceUpToTheNextAmpersand) {
  const std::tuple<const char*, const char*, std::vector<double>> cases[] = {
      {"/s?size=1x1&size=640x480&max=3", "size=", {640, 480}},
      {"/s?max=12.5xx7", "max=", {12.5, 7}},
      {"/s?size=640&x", "size=", {640}},
      {"/screen.mjpg?size=", "size=", {}},     // a key at the very end: nothing after it
      {"/s?maxsize=10x20", "size=", {10, 20}}, // "maxsize=" also holds "size="
  };
  for (const auto& [target, key, numbers] : cases)
    EXPECT_EQ(optionNumbers(target, key), numbers) << target;
}

} // namespace
} // namespace tovel
