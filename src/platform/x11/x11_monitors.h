#pragma once

#include <string>
#include <vector>

#include "platform/monitor_layout.h"

using Display = struct _XDisplay;

namespace tovel {

// The monitors RandR reports (each numbered by its first output, so numbers survive as long as
// the outputs do); when RandR has none, the whole root window as one monitor numbered 1.
MonitorLayout queryMonitors(Display* display);

} // namespace tovel
