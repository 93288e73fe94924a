// Feeds arbitrary bytes to the request assembly, as what a client has sent so far, and checks
// that a cut before the end never changes a request that was already whole; then has the pairing
// guard judge the request's header block, which lets it through only when it carries the key.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "server/pairing_guard.h"
#include "server/request_intake.h"

namespace {

using Kind = tovel::RequestAssembly::Kind;

bool whole(Kind kind) {
  return kind == Kind::request || kind == Kind::webSocketUpgrade;
}

// The key of the seed corpus's paired requests.
constexpr std::string_view kKey = "abcdefghijklmnopqrstuvwxyz012345";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tovel::RequestAssembly result = tovel::assembleRequest(data, size);
  if (!whole(result.kind))
    return 0;
  // The request is the bytes it says it took, its body at their end.
  const std::string& text = result.request.text;
  const std::string& body = result.request.body;
  std::string_view taken(reinterpret_cast<const char*>(data), result.used);
  if (result.used == 0 || result.used > size || !taken.ends_with(text) || !text.ends_with(body))
    __builtin_trap();

  std::string_view head = std::string_view(text).substr(0, text.find("\r\n\r\n"));
  static tovel::PairingGuard guard(kKey);
  static double now = 0;
  tovel::PairingGuard::Verdict verdict = guard.check(head, "GET /", "10.0.0.1", now += 10);
  for (std::string_view key : tovel::pairingKeysOf(head))
    if (key.empty() || head.find(key) == std::string_view::npos)
      __builtin_trap();
  if (verdict.outcome == tovel::PairingGuard::Outcome::allowed &&
      head.find(kKey) == std::string_view::npos)
    __builtin_trap();

  // A request that ends before the input does (by its Content-Length, or an upgrade) is
  // delimited: any shorter input is still incomplete, and any longer one finds the same request.
  if (result.used == size)
    return 0;
  // The byte after the request is not part of it: it says where to cut.
  std::size_t cut = std::size_t(data[size - 1]) * result.used / 256;
  tovel::RequestAssembly early = tovel::assembleRequest(data, cut);
  if (early.kind != Kind::incomplete)
    __builtin_trap();
  tovel::RequestAssembly exact = tovel::assembleRequest(data, result.used);
  if (exact.kind != result.kind || exact.used != result.used || exact.request.text != text)
    __builtin_trap();
  return 0;
}
