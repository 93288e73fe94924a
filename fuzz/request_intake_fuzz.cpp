// Feeds arbitrary bytes to the request intake, as one read from a client.
#include <cstddef>
#include <cstdint>

#include "server/request_intake.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tovel::IntakeResult result = tovel::parseRequest(data, size);
  if (result.kind == tovel::IntakeResult::Kind::request) {
    // The body is a suffix of the request text.
    const std::string& text = result.request.text;
    const std::string& body = result.request.body;
    if (body.size() > text.size() || text.compare(text.size() - body.size(), body.size(), body))
      __builtin_trap();
  }
  return 0;
}
