// The Origin and Host checks on any header block, and the allowed-origins list on any text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "server/origin_policy.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  // The first line, if any, also serves as an allowed-origins list.
  std::string_view list = text.substr(0, text.find('\n'));
  tovel::OriginPolicy policy = tovel::OriginPolicy::forThisMachine("https://app.example", list);
  for (const char* local : {"192.168.1.20", "::1", ""})
    (void)tovel::refusalOf(policy, text, tovel::RequestArrival{local, 8096});
  (void)tovel::normalisedOrigin(text);
  return 0;
}
