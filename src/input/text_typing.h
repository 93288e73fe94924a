#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <variant>

#include "common/log.h"
#include "platform/platform.h"

namespace tovel {

struct InputContext;

// A text to type as a client sent it, checked: strict UTF-8 in which the only control characters
// are line feeds and tabs (a carriage return before a line feed counts as part of that line
// feed, as texts from other systems end their lines so). Otherwise the reason it is refused, for
// "Ignored type command: " + reason.
std::variant<std::u32string, std::string> checkTypedText(std::string_view utf8);

// Types texts on the desktop one after another, each in the parts the desktop takes at a time,
// and keeps the key operations that come meanwhile for after the text before them, so that
// everything reaches the desktop in the order it was asked for. Once a text is done, one line says
// what of it could not be typed: "Could not type on this desktop: é (U+00E9) 😀 (U+1F600)".
// Used on the main loop only.
class TextTyper {
public:
  // Runs the task on the caller's loop after a number of seconds (0: at its next turn).
  using Schedule = std::function<void(double seconds, std::function<void()> task)>;
  // A text is refused while this many characters wait already.
  static constexpr std::size_t kMaxWaiting = 100'000;

  TextTyper(Platform& platform, Log& log, Schedule schedule);

  // Types the text after everything given before it. Refused, with a log line and false, while
  // too much is waiting.
  bool type(std::u32string text);
  // Whether an operation must wait for a text still being typed (call `after` then).
  bool busy() const { return !queue_.empty() && !inOperation_; }
  // Runs the operation once everything given before it is done.
  void after(std::function<void()> operation);
  // Characters still to be typed.
  std::size_t waiting() const { return waiting_; }

private:
  struct Item {
    std::u32string text; // empty for an operation
    std::size_t done = 0;
    std::u32string untypable; // each character once, in order
    std::function<void()> operation;
  };
  void run();
  void reportUntypable(const Item& item);

  Platform& platform_;
  Log& log_;
  Schedule schedule_;
  std::deque<Item> queue_;
  std::size_t waiting_ = 0;
  bool scheduled_ = false;
  bool running_ = false;
  bool inOperation_ = false;
};

// Types the text through the context's typer; without one, at once, waiting out the desktop's
// pauses on the context's clock.
void performTypeText(InputContext& input, std::u32string text);

// Every injection waits for the text typed before it, pointer moves included (a click while a
// text is half typed could send it half, and a press must not overtake the moves before it):
// true, with the operation kept for then, while text is being typed.
bool deferredBehindText(InputContext& input, const std::function<void()>& operation);

} // namespace tovel
