// PLACEHOLDER: being written.
#include "platform/x11/x11_screens.h"
namespace tovel {
struct X11Screens::Impl {};
X11Screens::X11Screens(ThreadConnections&) : impl_(std::make_unique<Impl>()) {}
X11Screens::~X11Screens() = default;
std::vector<Screen> X11Screens::screens() { return {}; }
std::optional<Screen> X11Screens::mainScreen() { return std::nullopt; }
Point X11Screens::mouseLocation() { return {}; }
double X11Screens::doubleClickInterval() { return 0.4; }
void X11Screens::setScreenChangeHandler(std::function<void()>) {}
Rect X11Screens::displayBounds(DisplayId) { return {}; }
std::variant<std::vector<DisplayId>, PlatformError> X11Screens::activeDisplayList() {
  return std::vector<DisplayId>{};
}
} // namespace tovel
