// PLACEHOLDER: being written.
#include "platform/x11/x11_input.h"
namespace tovel {
struct X11Input::Impl {};
X11Input::X11Input(ThreadConnections&) : impl_(std::make_unique<Impl>()) {}
X11Input::~X11Input() = default;
void X11Input::post(const MouseEvent&) {}
void X11Input::post(const KeyEvent&) {}
void X11Input::post(const ScrollEvent&) {}
bool X11Input::primaryButtonDown() { return false; }
} // namespace tovel
