#include "support/mjpeg_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

namespace tovel::test {

namespace {

std::optional<std::string> failed(const std::string& why) {
  ADD_FAILURE() << why;
  return std::nullopt;
}

} // namespace

std::optional<std::string> MjpegReader::readFrame(std::chrono::milliseconds timeout) {
  std::string size = readThrough(client_, "\r\n", 20, timeout);
  if (size.size() < 3 || !size.ends_with("\r\n"))
    return failed("no chunk size line: '" + size + "'");
  size.resize(size.size() - 2);
  EXPECT_TRUE(std::ranges::none_of(size, ::islower)) << "sizes are in upper case: " << size;
  std::size_t chunkSize = std::stoul(size, nullptr, 16);
  std::string chunk = client_.read(chunkSize + 2, timeout);
  if (chunk.size() != chunkSize + 2 || !chunk.ends_with("\r\n"))
    return failed("chunk of " + size + " (hex) bytes not followed by CR LF");
  const std::string prefix = "--myBoundary\r\nContent-Type: image/jpeg\r\nContent-Length: ";
  if (!chunk.starts_with(prefix))
    return failed("part does not start with the boundary and its headers");
  std::size_t headEnd = chunk.find("\r\n\r\n", prefix.size());
  std::size_t length = std::stoul(chunk.substr(prefix.size(), headEnd - prefix.size()));
  // The part's own CR LF, then the chunk's.
  if (headEnd + 4 + length + 4 != chunk.size() || !chunk.ends_with("\r\n\r\n"))
    return failed("part length " + std::to_string(length) + " does not fill its chunk");
  return chunk.substr(headEnd + 4, length);
}

BgraImage MjpegReader::readImage(std::chrono::milliseconds timeout) {
  std::optional<std::string> jpeg = readFrame(timeout);
  return jpeg ? decodeJpeg(*jpeg) : BgraImage{};
}

} // namespace tovel::test
