#include "server/request_intake.h"

#include "common/text.h"
#include "server/utf8.h"

namespace tovel {

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (true) {
    std::size_t end = text.find("\r\n", start);
    if (end == std::string_view::npos) {
      lines.push_back(text.substr(start));
      return lines;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
}

IntakeResult parseRequest(const std::uint8_t* data, std::size_t size) {
  IntakeResult result;
  std::string_view text;
  if (isValidUtf8(data, size))
    text = std::string_view(reinterpret_cast<const char*>(data), size);

  std::vector<std::string_view> lines = splitLines(text);
  std::vector<std::string_view> pieces = splitDroppingEmpty(lines.front(), " ");
  if (pieces.size() < 2)
    return result;

  if (text.find("Upgrade: websocket") != std::string_view::npos) {
    result.kind = IntakeResult::Kind::webSocketUpgrade;
    result.request.method = pieces[0];
    result.request.target = pieces[1];
    result.request.text = text;
    return result;
  }

  std::size_t emptyLine = 0;
  while (emptyLine < lines.size() && !lines[emptyLine].empty())
    ++emptyLine;
  if (emptyLine == lines.size())
    return result;

  // The lines after the empty one are contiguous in the text, so joining them again with CR LF
  // gives exactly the text that follows the empty line.
  std::size_t bodyStart = std::size_t(lines[emptyLine].data() - text.data()) + 2;
  result.kind = IntakeResult::Kind::request;
  result.request.method = pieces[0];
  result.request.target = pieces[1];
  result.request.text = text;
  result.request.body = bodyStart <= text.size() ? text.substr(bodyStart) : std::string_view{};
  return result;
}

} // namespace tovel
