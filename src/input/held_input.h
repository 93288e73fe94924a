#pragma once

#include <cstdint>
#include <vector>

#include "input/injection_state.h"

namespace tovel {

// The buttons and keys one input channel has pressed and not released yet, so that they can be
// let go when the channel goes away in the middle of a press: a client that vanishes never sends
// its releases, and X would keep the button or key down for good.
class HeldInput {
public:
  void buttonDown(MouseButton button);
  void buttonUp(MouseButton button);
  void keyDown(KeyCode key);
  void keyUp(KeyCode key);
  bool empty() const { return held_.empty(); }

  // Releases everything still held, the latest press first, through the same operations a
  // client's own releases take, and forgets it.
  void releaseAll(InputContext& input);

private:
  struct Held {
    bool key = false;
    std::uint32_t code = 0; // the button or the key code
    bool operator==(const Held&) const = default;
  };
  void add(Held held);
  void remove(Held held);

  std::vector<Held> held_; // in press order; a handful at most
};

} // namespace tovel
