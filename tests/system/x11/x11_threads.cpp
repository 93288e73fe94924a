// The backend talks to the X server from several threads, each on its own connection; Xlib wants
// to know before the first call, as the program's own start does.
#include <X11/Xlib.h>

#include "platform/x11/x11_error_trap.h"

namespace {

const bool xThreadsReady = [] {
  XInitThreads();
  tovel::installX11ErrorHandlers();
  return true;
}();

} // namespace
