#include "platform/x11/x11_error_trap.h"

#include <cstdio>
#include <cstdlib>

#include <X11/Xlib.h>

#include <mutex>
#include <unordered_map>

namespace tovel {

namespace {

struct TrappedConnection {
  int depth = 0;
  unsigned long errors = 0;
};

// The handler is process-wide while connections are per thread, so traps are kept per connection.
struct TrapRegistry {
  std::mutex mutex;
  std::unordered_map<Display*, TrappedConnection> connections;
  XErrorHandler previous = nullptr;
};

TrapRegistry& registry() {
  static TrapRegistry instance;
  return instance;
}

int handleError(Display* display, XErrorEvent* event) {
  TrapRegistry& r = registry();
  XErrorHandler previous;
  {
    std::lock_guard lock(r.mutex);
    auto it = r.connections.find(display);
    if (it != r.connections.end() && it->second.depth > 0) {
      ++it->second.errors;
      return 0;
    }
    previous = r.previous;
  }
  return previous ? previous(display, event) : 0;
}

void installHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    XErrorHandler previous = XSetErrorHandler(handleError);
    std::lock_guard lock(registry().mutex);
    registry().previous = previous;
  });
}

// Errors arrive in order, so once the server has answered the last request sent, every error
// is in; only requests without a reply need the round trip.
void settle(Display* display) {
  if (LastKnownRequestProcessed(display) != NextRequest(display) - 1)
    XSync(display, False);
}

} // namespace

XErrorTrap::XErrorTrap(Display* display) : display_(display), errorsBefore_(0) {
  installHandler();
  std::lock_guard lock(registry().mutex);
  TrappedConnection& connection = registry().connections[display_];
  ++connection.depth;
  errorsBefore_ = connection.errors;
}

XErrorTrap::~XErrorTrap() {
  // Errors of requests already sent must still land in this trap.
  settle(display_);
  std::lock_guard lock(registry().mutex);
  auto it = registry().connections.find(display_);
  if (it != registry().connections.end() && --it->second.depth <= 0)
    registry().connections.erase(it);
}

bool XErrorTrap::failed() {
  settle(display_);
  std::lock_guard lock(registry().mutex);
  auto it = registry().connections.find(display_);
  return it != registry().connections.end() && it->second.errors != errorsBefore_;
}

namespace {

int reportError(Display* display, XErrorEvent* event) {
  char text[256] = "";
  XGetErrorText(display, event->error_code, text, sizeof text);
  std::fprintf(stderr, "X error: %s (request %d.%d)\n", text, int(event->request_code),
               int(event->minor_code));
  return 0;
}

int reportLostServer(Display*) {
  std::fprintf(stderr, "The connection to the X display was lost; the host cannot go on.\n");
  std::fflush(stdout);
  std::_Exit(1);
}

} // namespace

void installX11ErrorHandlers() {
  XSetErrorHandler(reportError);
  XSetIOErrorHandler(reportLostServer);
}

} // namespace tovel
