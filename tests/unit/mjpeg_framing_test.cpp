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

TEST(OptionNumbers, ReadsTheLastOccurrenceUpToTheNextAmpersand) {
  using V = std::vector<double>;
  EXPECT_EQ(optionNumbers("/screen.mjpg?size=640x480x2", "size="), (V{640, 480, 2}));
  EXPECT_EQ(optionNumbers("/s?size=1x1&size=640x480&max=3", "size="), (V{640, 480}));
  EXPECT_EQ(optionNumbers("/s?max=800", "max="), (V{800}));
  EXPECT_EQ(optionNumbers("/s?max=abc", "max="), V{});
  EXPECT_EQ(optionNumbers("/s?max=12.5xx7", "max="), (V{12.5, 7}));
  EXPECT_EQ(optionNumbers("/s?size=640&x", "size="), (V{640}));
  // A key at the very end looks at the text before it, which holds no numbers here.
  EXPECT_EQ(optionNumbers("/screen.mjpg?size=", "size="), V{});
  // Substring tests: "maxsize=" also holds "size=".
  EXPECT_EQ(optionNumbers("/s?maxsize=10x20", "size="), (V{10, 20}));
}

} // namespace
} // namespace tovel
