#include "support/mp4_stream_reader.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>

#include "support/commands.h"
#include "support/mp4_boxes.h"

namespace tovel::test {

using namespace std::chrono_literals;

Mp4StreamReader::Mp4StreamReader(std::uint16_t port, const std::string& extraHeaders)
    : client_(port) {
  client_.send("GET /screen.mp4 HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders + "\r\n");
  thread_ = std::thread([this] { run(); });
}

Mp4StreamReader::~Mp4StreamReader() {
  close();
}

void Mp4StreamReader::close() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  if (thread_.joinable())
    thread_.join();
  client_.close();
}

void Mp4StreamReader::fail(const std::string& why) {
  std::lock_guard lock(mutex_);
  if (error_.empty())
    error_ = why;
  arrived_.notify_all();
}

void Mp4StreamReader::run() {
  std::string buffer;
  auto stopping = [&] {
    std::lock_guard lock(mutex_);
    return stopping_;
  };
  // Reads until the buffer holds `n` bytes; false when the host closes or the reader stops.
  auto fill = [&](std::size_t n) {
    while (buffer.size() < n) {
      if (stopping())
        return false;
      std::optional<std::string> got = client_.readSome(65536, 100ms);
      if (!got)
        return false;
      buffer += *got;
    }
    return true;
  };
  auto line = [&](std::string& out) {
    std::size_t end;
    while ((end = buffer.find("\r\n")) == std::string::npos)
      if (!fill(buffer.size() + 1))
        return false;
    out = buffer.substr(0, end);
    buffer.erase(0, end + 2);
    return true;
  };

  std::size_t headEnd;
  while ((headEnd = buffer.find("\r\n\r\n")) == std::string::npos)
    if (!fill(buffer.size() + 1))
      return;
  {
    std::lock_guard lock(mutex_);
    head_ = buffer.substr(0, headEnd + 4);
  }
  buffer.erase(0, headEnd + 4);

  for (bool first = true;; first = false) {
    std::string sizeLine;
    if (!line(sizeLine))
      return;
    std::size_t size = 0;
    try {
      size = std::stoul(sizeLine, nullptr, 16);
    } catch (...) {
      return fail("not a chunk size: " + sizeLine);
    }
    if (!fill(size + 2))
      return;
    if (buffer.compare(size, 2, "\r\n") != 0)
      return fail("a chunk does not end with CR LF");
    std::vector<std::uint8_t> body(buffer.begin(), buffer.begin() + long(size));
    buffer.erase(0, size + 2);
    auto boxes = walkBoxes(body);
    if (first) {
      if (!boxes || topLevel(*boxes) != "ftyp moov")
        return fail("the first chunk is not an initialization segment");
      std::lock_guard lock(mutex_);
      initialization_ = std::move(body);
      arrived_.notify_all();
      continue;
    }
    if (!boxes || topLevel(*boxes) != "moof mdat")
      return fail("a chunk is not one fragment");
    Mp4Fragment fragment;
    fragment.sequenceNumber = std::uint32_t(readBig(findBox(*boxes, "moof/mfhd")->body, 4));
    fragment.decodeTime = readBig(findBox(*boxes, "moof/traf/tfdt")->body, 4, 8);
    // The sample's flags: no "non-sync sample" bit for a key frame.
    fragment.keyFrame = (readBig(findBox(*boxes, "moof/traf/trun")->body, 20) & 0x00010000) == 0;
    fragment.arrived = std::chrono::steady_clock::now();
    fragment.bytes = std::move(body);
    std::lock_guard lock(mutex_);
    fragments_.push_back(std::move(fragment));
    arrived_.notify_all();
  }
}

std::string Mp4StreamReader::head() {
  std::lock_guard lock(mutex_);
  return head_;
}

std::vector<std::uint8_t> Mp4StreamReader::initialization() {
  std::lock_guard lock(mutex_);
  return initialization_;
}

std::vector<Mp4Fragment> Mp4StreamReader::fragments() {
  std::lock_guard lock(mutex_);
  return fragments_;
}

std::string Mp4StreamReader::error() {
  std::lock_guard lock(mutex_);
  return error_;
}

bool Mp4StreamReader::waitForFragments(std::size_t count) {
  std::unique_lock lock(mutex_);
  return arrived_.wait_for(lock, 60s, [&] {
    return fragments_.size() >= count || !error_.empty();
  }) && fragments_.size() >= count;
}

std::vector<std::uint8_t> Mp4StreamReader::stream() {
  std::lock_guard lock(mutex_);
  std::vector<std::uint8_t> bytes = initialization_;
  for (const Mp4Fragment& fragment : fragments_)
    bytes.insert(bytes.end(), fragment.bytes.begin(), fragment.bytes.end());
  return bytes;
}

namespace {

// The first or the last picture ffmpeg decodes from the stream bytes, or from the stream at a
// URL when there are no bytes.
BgraImage decodedPicture(const std::vector<std::uint8_t>& stream, const std::string& url, int width,
                         int height, bool last, std::string& errors) {
  namespace fs = std::filesystem;
  static std::atomic<int> serial = 0;
  fs::path base = fs::temp_directory_path() /
                  ("tovel-decode-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
  fs::path file = base.string() + ".mp4", raw = base.string() + ".bgra";
  std::string input = "-seekable 0 -i " + url;
  if (url.empty()) {
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(stream.data()), std::streamsize(stream.size()));
    input = "-i '" + file.string() + "'";
  }
  CommandResult result =
      runCommand("timeout 60 ffmpeg -v error -y " + input + (last ? "" : " -frames:v 1") +
                 " -f rawvideo -pix_fmt bgra '" + raw.string() + "'");
  const std::uintmax_t pictureSize = std::uintmax_t(width) * std::uintmax_t(height) * 4;
  std::error_code sizeUnknown;
  std::uintmax_t size = fs::file_size(raw, sizeUnknown);
  BgraImage image;
  if (result.status == 0 && !sizeUnknown && size >= pictureSize && size % pictureSize == 0) {
    image.resize(width, height);
    std::ifstream in(raw, std::ios::binary);
    in.seekg(std::streamoff(size - pictureSize));
    in.read(reinterpret_cast<char*>(image.data()), std::streamsize(image.stride() * height));
  } else {
    errors = result.status == 124    ? "ffmpeg made no picture within a minute: " + result.errors
             : result.errors.empty() ? "ffmpeg made no picture of that size"
                                     : result.errors;
  }
  std::error_code ignored;
  fs::remove(file, ignored);
  fs::remove(raw, ignored);
  return image;
}

} // namespace

BgraImage firstDecodedPicture(const std::vector<std::uint8_t>& stream, int width, int height,
                              std::string& errors) {
  return decodedPicture(stream, "", width, height, false, errors);
}

BgraImage lastDecodedPicture(const std::vector<std::uint8_t>& stream, int width, int height,
                             std::string& errors) {
  return decodedPicture(stream, "", width, height, true, errors);
}

BgraImage liveDecodedPicture(const std::string& url, int width, int height, std::string& errors) {
  return decodedPicture({}, url, width, height, false, errors);
}

} // namespace tovel::test
