#include "input/held_input.h"

#include <algorithm>

#include "input/keyboard.h"
#include "input/pointer.h"

namespace tovel {

void HeldInput::add(Held held) {
  // A second press of something already down needs only the one release.
  if (std::find(held_.begin(), held_.end(), held) == held_.end())
    held_.push_back(held);
}

void HeldInput::remove(Held held) {
  std::erase(held_, held);
}

void HeldInput::buttonDown(MouseButton button) {
  add({false, button});
}

void HeldInput::buttonUp(MouseButton button) {
  remove({false, button});
}

void HeldInput::keyDown(KeyCode key) {
  add({true, key});
}

void HeldInput::keyUp(KeyCode key) {
  remove({true, key});
}

void HeldInput::releaseAll(InputContext& input) {
  std::vector<Held> held = std::move(held_);
  held_.clear();
  for (auto it = held.rbegin(); it != held.rend(); ++it) {
    if (it->key)
      performKeyUp(input, KeyCode(it->code));
    else
      performMouseUp(input, MouseButton(it->code));
  }
}

} // namespace tovel
