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
  std::string text;   // the whole request: header block and body
  std::string body;   // what follows the header block's empty line
};

// The most a request may take, header block and declared body together: what one read of the
// connection can carry, so anything a client could send in one piece still fits.
inline constexpr std::size_t kMaximumRequestSize = 65536;

struct RequestAssembly {
  enum class Kind {
    incomplete,       // the header block or the declared body has not fully arrived
    dropped,          // not a request this server answers (bad request line, bad
                      // Content-Length, not UTF-8): no answer, nothing further is read
    tooLarge,         // the header block or the declared body would exceed kMaximumRequestSize
    webSocketUpgrade, // hand the connection to the WebSocket handshake (request.text is the
                      // header block; what follows it is already the WebSocket's)
    request,          // route it
  };
  Kind kind = Kind::incomplete;
  bool headerWhole = false; // incomplete only: the header block is in, the body is not
  std::size_t used = 0;     // bytes of the input the request takes (request and upgrade only)
  HttpRequest request;
};

// Finds the request at the start of the bytes a client has sent so far. Lines end at CR LF
// only; empty lines before a request line are skipped. The header block ends at the first empty
// line and must hold "Upgrade: websocket" (anywhere, case-sensitive) for an upgrade. The request
// line's pieces are separated by single spaces; fewer than two drop the request. With a
// Content-Length header the body is exactly that many bytes and whatever follows is the next
// request; without one the body is every byte after the empty line.
RequestAssembly assembleRequest(const std::uint8_t* data, std::size_t size);
inline RequestAssembly assembleRequest(std::string_view bytes) {
  return assembleRequest(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

// The text split at every CR LF pair, empty lines kept.
std::vector<std::string_view> splitLines(std::string_view text);

} // namespace tovel
