// Feeds arbitrary message texts to the WebSocket dispatcher, one message per line as one session
// would receive them, on a fresh virtual desktop per input; then the session ends as a vanished
// client's does.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string_view>

#include "common/log.h"
#include "input/held_input.h"
#include "platform/sim/manual_clock.h"
#include "platform/sim/virtual_desktop.h"
#include "server/websocket_dispatch.h"

namespace {

class NullLog final : public tovel::Log {
public:
  void print(std::string_view) override {}
};

// One message never turns into a flood of events: a click with its multi-click bookkeeping or a
// swipe's key press with its modifier are the most, but for a text, which types no more
// characters than its message has bytes, and never a control character but line feed and tab.
constexpr std::size_t kMostEventsPerMessage = 4;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Nothing carries over from one input to the next.
  tovel::ManualClock clock;
  tovel::VirtualDesktop desktop(clock);
  tovel::InjectionState state;
  NullLog log;
  tovel::InputContext input{desktop, clock, state, log};
  tovel::HeldInput held;

  std::map<tovel::MouseButton, bool> buttonDown;
  std::map<tovel::KeyCode, bool> keyDown;
  std::size_t typed = 0;
  auto takeEvents = [&] {
    std::vector<tovel::RecordedEvent> events = desktop.events();
    desktop.clearEvents();
    typed = 0;
    for (const tovel::RecordedEvent& event : events) {
      if (const tovel::TypedCharacter* character = event.typed()) {
        char32_t c = character->character;
        if ((c < 0x20 && c != U'\n' && c != U'\t') || (c >= 0x7f && c < 0xa0))
          __builtin_trap();
        ++typed;
        continue;
      }
      if (const tovel::MouseEvent* mouse = event.mouse()) {
        if (tovel::isMouseDown(mouse->type))
          buttonDown[mouse->button] = true;
        else if (tovel::isMouseUp(mouse->type))
          buttonDown[mouse->button] = false;
      } else if (const tovel::KeyEvent* key = event.key()) {
        keyDown[key->key] = key->down;
      }
    }
    return events.size() - typed;
  };

  std::string_view messages(reinterpret_cast<const char*>(data), size);
  while (!messages.empty()) {
    std::size_t end = messages.find('\n');
    std::string_view text = messages.substr(0, end);
    messages = end == std::string_view::npos ? std::string_view{} : messages.substr(end + 1);
    tovel::handleWebSocketMessage(input, text, held);
    if (takeEvents() > kMostEventsPerMessage || typed > text.size())
      __builtin_trap();
    clock.advance(0.05);
  }

  // A client that goes away leaves nothing pressed, whatever it sent.
  held.releaseAll(input);
  takeEvents();
  if (!held.empty() || desktop.primaryButtonDown())
    __builtin_trap();
  for (const auto& [button, down] : buttonDown)
    if (down)
      __builtin_trap();
  for (const auto& [key, down] : keyDown)
    if (down)
      __builtin_trap();
  return 0;
}
