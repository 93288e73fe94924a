#include "input/text_typing.h"

#include <algorithm>
#include <cstdio>

#include "common/utf8_text.h"
#include "input/injection_state.h"

namespace tovel {

namespace {

std::string codePoint(char32_t character) {
  char name[16];
  std::snprintf(name, sizeof name, "U+%04X", unsigned(character));
  return name;
}

bool isControl(char32_t c) {
  return c < 0x20 || (c >= 0x7f && c < 0xa0);
}

} // namespace

std::variant<std::u32string, std::string> checkTypedText(std::string_view utf8) {
  std::optional<std::u32string> decoded = decodeUtf8(utf8);
  if (!decoded)
    return std::string("the text is not UTF-8");
  std::u32string text;
  text.reserve(decoded->size());
  for (std::size_t i = 0; i < decoded->size(); ++i) {
    char32_t c = (*decoded)[i];
    if (c == U'\r' && i + 1 < decoded->size() && (*decoded)[i + 1] == U'\n')
      continue;
    if (isControl(c) && c != U'\n' && c != U'\t')
      return "control character " + codePoint(c) + " in the text";
    text += c;
  }
  return text;
}

TextTyper::TextTyper(Platform& platform, Log& log, Schedule schedule)
    : platform_(platform), log_(log), schedule_(std::move(schedule)) {}

bool TextTyper::type(std::u32string text) {
  if (text.empty())
    return true;
  if (waiting_ + text.size() > kMaxWaiting) {
    log_.print("Ignored type command: " + std::to_string(waiting_) +
               " characters are waiting to be typed already");
    return false;
  }
  waiting_ += text.size();
  queue_.push_back(Item{std::move(text), 0, {}, nullptr});
  run();
  return true;
}

void TextTyper::after(std::function<void()> operation) {
  queue_.push_back(Item{{}, 0, {}, std::move(operation)});
  run();
}

void TextTyper::run() {
  // Called again from within (an operation's own keys, a desktop that resumes at once): the
  // outer call goes on with the queue.
  if (running_ || scheduled_)
    return;
  running_ = true;
  while (!queue_.empty()) {
    Item& item = queue_.front();
    if (item.operation) {
      std::function<void()> operation = std::move(item.operation);
      queue_.pop_front();
      inOperation_ = true;
      operation();
      inOperation_ = false;
      continue;
    }
    std::u32string_view rest = std::u32string_view(item.text).substr(item.done);
    TypingProgress progress = platform_.typeText(rest);
    // A desktop that takes nothing and asks for no wait would stall the queue: its first
    // character counts as untypable.
    if (progress.handled == 0 && progress.resumeAfter <= 0)
      progress = TypingProgress{1, std::u32string(1, rest.front()), 0};
    progress.handled = std::min(progress.handled, rest.size());
    for (char32_t c : progress.untypable)
      if (item.untypable.find(c) == std::u32string::npos)
        item.untypable += c;
    item.done += progress.handled;
    waiting_ -= progress.handled;
    bool finished = item.done == item.text.size();
    if (finished) {
      reportUntypable(item);
      queue_.pop_front();
    }
    if (!queue_.empty() && (!finished || progress.resumeAfter > 0)) {
      // The rest at a later turn of the loop, which serves everything else in between.
      scheduled_ = true;
      running_ = false;
      schedule_(std::max(progress.resumeAfter, 0.0), [this] {
        scheduled_ = false;
        run();
      });
      return;
    }
  }
  running_ = false;
}

void TextTyper::reportUntypable(const Item& item) {
  if (item.untypable.empty())
    return;
  std::string line = "Could not type on this desktop:";
  for (char32_t c : item.untypable) {
    line += " ";
    // Return and tab are named, not shown.
    line += c == U'\n' ? std::string("Return") : c == U'\t' ? std::string("Tab") : encodeUtf8(c);
    line += " (" + codePoint(c) + ")";
  }
  log_.print(line);
}

bool deferredBehindText(InputContext& input, const std::function<void()>& operation) {
  if (!input.typer || !input.typer->busy())
    return false;
  input.typer->after(operation);
  return true;
}

void performTypeText(InputContext& input, std::u32string text) {
  if (input.typer) {
    input.typer->type(std::move(text));
    return;
  }
  TextTyper now(input.platform, input.log, [&input](double seconds, std::function<void()> task) {
    input.clock.sleepFor(seconds);
    task();
  });
  now.type(std::move(text));
}

} // namespace tovel
