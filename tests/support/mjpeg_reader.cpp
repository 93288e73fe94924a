#include "support/mjpeg_reader.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/stream_reading.h"

namespace tovel::test {

std::optional<std::string> MjpegReader::readFrame(std::chrono::milliseconds timeout) {
  std::string sizeLine = readThrough(client_, "\r\n", 20, timeout);
  if (sizeLine.size() < 3 || !sizeLine.ends_with("\r\n")) {
    ADD_FAILURE() << "no chunk size line: '" << sizeLine << "'";
    return std::nullopt;
  }
  std::size_t chunkSize = std::stoul(sizeLine.substr(0, sizeLine.size() - 2), nullptr, 16);
  std::string upper = sizeLine.substr(0, sizeLine.size() - 2);
  EXPECT_TRUE(std::all_of(upper.begin(), upper.end(), [](char c) { return !std::islower(c); }))
      << "chunk sizes are written in upper case: " << upper;
  std::string chunk = client_.read(chunkSize + 2, timeout);
  if (chunk.size() != chunkSize + 2 || chunk.substr(chunkSize) != "\r\n") {
    ADD_FAILURE() << "chunk of " << chunkSize << " bytes not followed by CR LF";
    return std::nullopt;
  }
  chunk.resize(chunkSize);
  const std::string prefix = "--myBoundary\r\nContent-Type: image/jpeg\r\nContent-Length: ";
  if (chunk.compare(0, prefix.size(), prefix) != 0) {
    ADD_FAILURE() << "part does not start with the boundary and its headers";
    return std::nullopt;
  }
  std::size_t headEnd = chunk.find("\r\n\r\n", prefix.size());
  std::size_t length = std::stoul(chunk.substr(prefix.size(), headEnd - prefix.size()));
  std::size_t jpegStart = headEnd + 4;
  if (jpegStart + length + 2 != chunk.size() || chunk.substr(jpegStart + length) != "\r\n") {
    ADD_FAILURE() << "part length " << length << " does not fill the chunk of " << chunk.size();
    return std::nullopt;
  }
  return chunk.substr(jpegStart, length);
}

BgraImage MjpegReader::readImage(std::chrono::milliseconds timeout) {
  std::optional<std::string> jpeg = readFrame(timeout);
  return jpeg ? decodeJpeg(*jpeg) : BgraImage{};
}

} // namespace tovel::test
