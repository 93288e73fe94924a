#include "platform/x11/x11_scroll.h"

#include <cmath>

namespace tovel {

NotchStep wheelNotches(double carried, std::int32_t pixels) {
  if (!std::isfinite(carried) || (pixels > 0 && carried < 0) || (pixels < 0 && carried > 0))
    carried = 0;
  double total = carried + double(pixels);
  double whole = std::trunc(total / kPixelsPerNotch);
  if (std::abs(whole) > kMaxNotchesPerEvent)
    return {whole > 0 ? kMaxNotchesPerEvent : -kMaxNotchesPerEvent, 0};
  return {int(whole), total - whole * kPixelsPerNotch};
}

} // namespace tovel
