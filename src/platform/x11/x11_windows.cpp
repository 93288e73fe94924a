// PLACEHOLDER: being written.
#include "platform/x11/x11_screens.h"
namespace tovel {
X11Windows::X11Windows(ThreadConnections& connections) : connections_(connections) {}
X11Windows::~X11Windows() = default;
std::optional<std::vector<WindowInfo>> X11Windows::windowList(WindowListOption) {
  return std::nullopt;
}
} // namespace tovel
