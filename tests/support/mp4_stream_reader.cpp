#include "support/mp4_stream_reader.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "support/mp4_boxes.h"
#include "support/stream_reading.h"

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
  // The first byte of the head or of a chunk, waited for in short steps so that close() stops
  // the reading; none once it stops or the host closes. The rest follows at once.
  auto begin = [this]() -> std::optional<std::string> {
    for (;;) {
      if (std::lock_guard lock(mutex_); stopping_)
        return std::nullopt;
      std::optional<std::string> byte = client_.readSome(1, 100ms);
      if (!byte || !byte->empty())
        return byte;
    }
  };

  std::optional<std::string> headStart = begin();
  if (!headStart)
    return;
  std::string head = *headStart + readHead(client_, 60s);
  {
    std::lock_guard lock(mutex_);
    head_ = head;
  }
  for (bool first = true;; first = false) {
    std::optional<std::string> start = begin();
    if (!start)
      return;
    std::optional<std::string> chunk = readChunk(client_, 60s, *start);
    if (!chunk)
      return fail("a chunk without an upper-case hex size line, that many bytes and CR LF");
    std::vector<std::uint8_t> body(chunk->begin(), chunk->end());
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
    auto mfhd = findBox(*boxes, "moof/mfhd"), tfdt = findBox(*boxes, "moof/traf/tfdt"),
         trun = findBox(*boxes, "moof/traf/trun");
    if (!mfhd || !tfdt || !trun || mfhd->body.size() < 8 || tfdt->body.size() < 12 ||
        trun->body.size() < 24)
      return fail("a fragment lacks its sequence number, decode time or sample flags");
    Mp4Fragment fragment;
    fragment.sequenceNumber = std::uint32_t(readBig(mfhd->body, 4));
    fragment.decodeTime = readBig(tfdt->body, 4, 8);
    // The sample's flags: no "non-sync sample" bit for a key frame.
    fragment.keyFrame = (readBig(trun->body, 20) & 0x00010000) == 0;
    fragment.arrived = std::chrono::steady_clock::now();
    fragment.bytes = std::move(body);
    std::lock_guard lock(mutex_);
    fragments_.push_back(std::move(fragment));
    arrived_.notify_all();
  }
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

namespace fs = std::filesystem;

fs::path temporaryFile(const char* ending) {
  static std::atomic<int> serial = 0;
  return fs::temp_directory_path() /
         ("tovel-decode-" + std::to_string(::getpid()) + "-" + std::to_string(serial++) + ending);
}

struct CommandResult {
  int status = -1;
  std::string output, errors;
};

// Runs a shell command to its end, keeping its standard output and standard error apart.
CommandResult runCommand(const std::string& command) {
  CommandResult result;
  fs::path errors = temporaryFile(".err");
  FILE* pipe = popen((command + " 2>'" + errors.string() + "'").c_str(), "r");
  if (!pipe)
    return result;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
    result.output.append(buffer, n);
  int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream in(errors);
  result.errors.assign(std::istreambuf_iterator<char>(in), {});
  fs::remove(errors);
  return result;
}

// The stream bytes in a file while it lives, so that ffmpeg decodes exactly those.
struct StreamFile {
  explicit StreamFile(const std::vector<std::uint8_t>& stream) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(stream.data()), std::streamsize(stream.size()));
  }
  ~StreamFile() { fs::remove(path); }
  std::string input() const { return "-i '" + path.string() + "'"; }
  fs::path path = temporaryFile(".mp4");
};

// The first or the last picture ffmpeg decodes from its input.
BgraImage decodedPicture(const std::string& input, int width, int height, bool last,
                         std::string& errors) {
  fs::path raw = temporaryFile(".bgra");
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
  fs::remove(raw, ignored);
  return image;
}

// The frames ffmpeg decodes from its input, by the last "frame=" line of its progress report.
int decodedFrameCount(const std::string& input, std::string& errors) {
  CommandResult result =
      runCommand("timeout 60 ffmpeg -v error -nostats -progress pipe:1 " + input + " -f null -");
  errors = result.status == 0 ? result.errors : "ffmpeg failed: " + result.errors;
  std::string report = "\n" + result.output;
  std::size_t at = report.rfind("\nframe=");
  return at == std::string::npos ? 0 : std::atoi(report.c_str() + at + 7);
}

} // namespace

BgraImage lastDecodedPicture(const std::vector<std::uint8_t>& stream, int width, int height,
                             std::string& errors) {
  return decodedPicture(StreamFile(stream).input(), width, height, true, errors);
}

BgraImage liveDecodedPicture(const std::string& url, int width, int height, std::string& errors) {
  return decodedPicture("-seekable 0 -i " + url, width, height, false, errors);
}

int decodedFrames(const std::vector<std::uint8_t>& stream, std::string& errors) {
  return decodedFrameCount(StreamFile(stream).input(), errors);
}

int liveDecodedFrames(const std::string& url, const std::string& options, int frames,
                      std::string& errors) {
  return decodedFrameCount("-seekable 0 " + options + " -i " + url +
                               " -frames:v " + std::to_string(frames),
                           errors);
}

} // namespace tovel::test
