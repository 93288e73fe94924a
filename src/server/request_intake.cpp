#include "server/request_intake.h"

#include <optional>

#include "common/text.h"
#include "server/utf8.h"

namespace tovel {

namespace {

using Kind = RequestAssembly::Kind;

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kHeaderEnd = "\r\n\r\n";

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z')
      x = char(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z')
      y = char(y - 'A' + 'a');
    if (x != y)
      return false;
  }
  return true;
}

struct BodyLength {
  bool valid = true;
  std::optional<std::size_t> length; // none without a Content-Length header
};

// The Content-Length of a header block (request line first). Header names are case-insensitive;
// a value that is not a plain decimal number, or several headers that disagree, make the length
// unknowable and the request unusable: guessing would run the next request into this one.
BodyLength bodyLength(std::string_view headerBlock) {
  BodyLength result;
  std::vector<std::string_view> lines = splitLines(headerBlock);
  for (std::size_t i = 1; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos ||
        !equalsIgnoringCase(line.substr(0, colon), "content-length"))
      continue;
    std::string_view value = trimBlanks(line.substr(colon + 1));
    if (value.empty())
      return BodyLength{false, std::nullopt};
    std::size_t length = 0;
    for (char c : value) {
      if (c < '0' || c > '9')
        return BodyLength{false, std::nullopt};
      // Saturates far above any size this server accepts.
      length = length > kMaximumRequestSize ? length : length * 10 + std::size_t(c - '0');
    }
    if (result.length && *result.length != length)
      return BodyLength{false, std::nullopt};
    result.length = length;
  }
  return result;
}

} // namespace

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (true) {
    std::size_t end = text.find(kLineEnd, start);
    if (end == std::string_view::npos) {
      lines.push_back(text.substr(start));
      return lines;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
}

RequestAssembly assembleRequest(const std::uint8_t* data, std::size_t size) {
  RequestAssembly result;
  std::string_view all(reinterpret_cast<const char*>(data), size);

  // Stray line ends between requests are skipped, as HTTP asks of servers.
  std::size_t start = 0;
  while (all.substr(start, 2) == kLineEnd)
    start += 2;
  std::string_view input = all.substr(start);
  if (input.empty() || input == "\r")
    return result;

  // The request line can be judged as soon as it is complete.
  std::size_t lineEnd = input.find(kLineEnd);
  if (lineEnd != std::string_view::npos &&
      splitDroppingEmpty(input.substr(0, lineEnd), " ").size() < 2) {
    result.kind = Kind::dropped;
    return result;
  }

  std::size_t emptyLine = input.find(kHeaderEnd);
  if (emptyLine == std::string_view::npos) {
    // The empty line may still come, unless the block is already as large as allowed.
    if (input.size() >= kMaximumRequestSize)
      result.kind = Kind::tooLarge;
    return result;
  }
  std::size_t headerSize = emptyLine + kHeaderEnd.size();
  if (headerSize > kMaximumRequestSize) {
    result.kind = Kind::tooLarge;
    return result;
  }
  std::string_view headerBlock = input.substr(0, headerSize);

  std::string_view text;
  bool upgrade = contains(headerBlock, "Upgrade: websocket");
  if (upgrade) {
    // Nothing after the header block belongs to the request: the frames follow it.
    text = headerBlock;
  } else {
    BodyLength length = bodyLength(headerBlock);
    if (!length.valid) {
      result.kind = Kind::dropped;
      return result;
    }
    if (!length.length) {
      text = input;
    } else if (*length.length > kMaximumRequestSize - headerSize) {
      result.kind = Kind::tooLarge;
      return result;
    } else if (input.size() - headerSize < *length.length) {
      result.headerWhole = true; // the body is still on its way
      return result;
    } else {
      text = input.substr(0, headerSize + *length.length);
    }
  }
  if (!isValidUtf8(text)) {
    result.kind = Kind::dropped;
    return result;
  }

  std::vector<std::string_view> pieces = splitDroppingEmpty(text.substr(0, lineEnd), " ");
  result.kind = upgrade ? Kind::webSocketUpgrade : Kind::request;
  result.used = start + text.size();
  result.request.method = pieces[0];
  result.request.target = pieces[1];
  result.request.text = text;
  result.request.body = text.substr(headerSize);
  return result;
}

} // namespace tovel
