// Feeds arbitrary bodies to every control endpoint, on the virtual desktop.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/log.h"
#include "platform/sim/manual_clock.h"
#include "platform/sim/virtual_desktop.h"
#include "server/control_endpoints.h"

namespace {

class NullLog final : public tovel::Log {
public:
  void print(std::string_view) override {}
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static tovel::ManualClock clock;
  static tovel::VirtualDesktop desktop(clock);
  static tovel::InjectionState state;
  static NullLog log;
  static tovel::InputContext input{desktop, clock, state, log};
  static const char* targets[] = {"/move",  "/click", "/mousedown", "/mouseup", "/keydown",
                                  "/keyup", "/log",   "/scroll",    "/swipe",   "/type"};
  if (size == 0)
    return 0;
  std::string_view body(reinterpret_cast<const char*>(data) + 1, size - 1);
  tovel::handleControlRequest(input, targets[data[0] % 10], body);
  desktop.clearEvents();
  return 0;
}
