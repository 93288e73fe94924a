#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tovel {

// One request as the router sees it.
struct HttpRequest {
  std::string method; // first piece of the request line, e.g. "GET"
  std::string target; // second piece: path and query, undecoded
  std::string text;   // the whole request as received
  std::string body;   // everything after the first empty line
};

struct IntakeResult {
  enum class Kind {
    dropped,          // not a request this server answers: no answer, no further read
    webSocketUpgrade, // hand the connection to the WebSocket handshake (text is set)
    request,          // route it
  };
  Kind kind = Kind::dropped;
  HttpRequest request;
};

// Turns the bytes of one read into a request. Lines end at CR LF only; the request line's pieces
// are separated by single spaces; the body is the lines after the first empty line joined again
// with CR LF. Bytes that are not UTF-8, a request line of fewer than two pieces and a request
// without an empty line are dropped. Any request containing "Upgrade: websocket" is an upgrade.
IntakeResult parseRequest(const std::uint8_t* data, std::size_t size);
inline IntakeResult parseRequest(std::string_view bytes) {
  return parseRequest(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

// The text split at every CR LF pair, empty lines kept.
std::vector<std::string_view> splitLines(std::string_view text);

} // namespace tovel
