#include "input/mouse_button.h"

namespace tovel {

MouseButton mouseButtonFromName(std::string_view name) {
  if (name == "middle" || name == "center")
    return kCenterButton;
  if (name == "right")
    return kRightButton;
  return kLeftButton;
}

} // namespace tovel
