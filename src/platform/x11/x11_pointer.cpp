#include "platform/x11/x11_pointer.h"

#include <X11/Xlib.h>

namespace tovel {

PointerReport queryPointer(Display* display) {
  Window root = None, child = None;
  int rootX = 0, rootY = 0, x = 0, y = 0;
  unsigned mask = 0;
  Bool same = XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &x,
                            &y, &mask);
  return PointerReport{RootPoint{rootX, rootY}, mask, same == True};
}

void PendingPointer::moved(RootPoint reported, RootPoint target) {
  std::lock_guard lock(mutex_);
  if (reported == target)
    pending_.reset(); // nothing to wait for
  else
    pending_ = Move{reported, target};
}

RootPoint PendingPointer::resolve(RootPoint reported) {
  std::lock_guard lock(mutex_);
  if (!pending_)
    return reported;
  if (reported == pending_->before)
    return pending_->target;
  pending_.reset();
  return reported;
}

} // namespace tovel
