// Feeds arbitrary text to the console as standard input, line by line as a user would type it,
// on a fresh virtual desktop per input.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

#include "common/log.h"
#include "host/console.h"
#include "platform/sim/manual_clock.h"
#include "platform/sim/virtual_desktop.h"

namespace {

// Discards the text but checks that it is one of the console's own messages: a wrong or garbled
// line would show up here.
class CheckingLog final : public tovel::Log {
public:
  void print(std::string_view text) override {
    static constexpr std::string_view known[] = {
        "Moved by (",
        "Swipe by (",
        "Swiped by (",
        "Invalid ",
        "Ignored type command: ",
        "Unknown command: ",
        "swipe left",
        "swipe right",
        "swipe up",
        "swipe down",
        "Double-click Up",
        "Exiting the process...",
    };
    ++lines;
    last = text;
    for (std::string_view prefix : known)
      if (text.substr(0, prefix.size()) == prefix)
        return;
    __builtin_trap();
  }
  std::size_t lines = 0;
  std::string last;
};

// The first space-separated word of a line.
std::string_view commandWord(std::string_view line) {
  std::size_t start = line.find_first_not_of(' ');
  if (start == std::string_view::npos)
    return {};
  line.remove_prefix(start);
  return line.substr(0, line.find(' '));
}

bool isCommand(std::string_view word) {
  for (std::string_view command :
       {"move", "swipe", "click", "mousedown", "mouseup", "scroll", "type", "exit"})
    if (word == command)
      return true;
  return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Nothing carries over from one input to the next: pointer, click counts and gestures start
  // afresh, and the recorded events go with the desktop.
  tovel::ManualClock clock;
  tovel::VirtualDesktop desktop(clock);
  tovel::InjectionState state;
  CheckingLog log;
  tovel::InputContext input{desktop, clock, state, log};

  std::istringstream stdinText(std::string(reinterpret_cast<const char*>(data), size));
  bool exited = false;
  tovel::readConsoleLines(stdinText, [&](std::string line) {
    if (exited)
      return; // the process would have ended
    if (line.find('\n') != std::string::npos)
      __builtin_trap(); // the line end belongs to the reader
    std::size_t linesBefore = log.lines;
    desktop.clearEvents();
    tovel::handleCommand(input, line, [&](int status) {
      if (status != 0)
        __builtin_trap();
      exited = true;
    });
    // A line that is not a command does nothing but say so, quoting the line as it came.
    std::string_view word = commandWord(line);
    if (!word.empty() && !isCommand(word) &&
        (log.lines != linesBefore + 1 || log.last != "Unknown command: " + line ||
         !desktop.events().empty()))
      __builtin_trap();
    if (word.empty() && (log.lines != linesBefore || !desktop.events().empty()))
      __builtin_trap();
    // A line types at most what follows its command word, and no control character but tab.
    std::size_t typed = 0;
    for (const tovel::RecordedEvent& event : desktop.events())
      if (const tovel::TypedCharacter* character = event.typed()) {
        char32_t c = character->character;
        if (word != "type" || ++typed > line.size() || (c < 0x20 && c != U'\t') ||
            (c >= 0x7f && c < 0xa0))
          __builtin_trap();
      }
    clock.advance(0.2); // a person types a line in about that time
  });

  // The pointer stays on the desktop whatever numbers were typed.
  tovel::Point pointer = desktop.mouseLocation();
  if (!std::isfinite(pointer.x) || !std::isfinite(pointer.y))
    __builtin_trap();
  return 0;
}
