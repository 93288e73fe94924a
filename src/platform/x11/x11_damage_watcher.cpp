#include "platform/x11/x11_damage_watcher.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>

namespace tovel {

struct X11DamageWatcher::State {
  Display* display = nullptr;
  int notifyEvent = 0;
  Damage damage = 0;
  XserverRegion region = 0;
  bool damaged = false;

  ~State() {
    if (damage)
      XDamageDestroy(display, damage);
    if (region)
      XFixesDestroyRegion(display, region);
  }
};

std::unique_ptr<X11DamageWatcher> X11DamageWatcher::create(Display* display, std::string* why) {
  auto fail = [&](const char* reason) {
    if (why)
      *why = reason;
    return nullptr;
  };
  int damageEvent = 0, damageError = 0, fixesEvent = 0, fixesError = 0;
  if (!display || !XDamageQueryExtension(display, &damageEvent, &damageError))
    return fail("the X server has no DAMAGE extension");
  if (!XFixesQueryExtension(display, &fixesEvent, &fixesError))
    return fail("the X server has no XFIXES extension");
  // Both must be told which version the client speaks before their requests are used.
  int major = 2, minor = 0;
  if (!XFixesQueryVersion(display, &major, &minor) || major < 2)
    return fail("the X server's XFIXES is older than version 2");
  major = 1, minor = 1;
  if (!XDamageQueryVersion(display, &major, &minor))
    return fail("the X server's DAMAGE cannot be used");
  auto state = std::make_unique<State>();
  state->display = display;
  state->notifyEvent = damageEvent + XDamageNotify;
  // One event when the damage goes from empty to non-empty, none for further drawing until it
  // is taken: an unchanged or busy screen costs no traffic between frames.
  state->damage = XDamageCreate(display, DefaultRootWindow(display), XDamageReportNonEmpty);
  state->region = XFixesCreateRegion(display, nullptr, 0);
  return std::unique_ptr<X11DamageWatcher>(new X11DamageWatcher(std::move(state)));
}

X11DamageWatcher::X11DamageWatcher(std::unique_ptr<State> state) : state_(std::move(state)) {}

X11DamageWatcher::~X11DamageWatcher() = default;

bool X11DamageWatcher::handle(const XEvent& event) {
  if (event.type != state_->notifyEvent)
    return false;
  state_->damaged = true;
  return true;
}

bool X11DamageWatcher::readEvents() {
  Display* display = state_->display;
  while (XPending(display) > 0) {
    XEvent event;
    XNextEvent(display, &event);
    handle(event);
  }
  return state_->damaged;
}

bool X11DamageWatcher::damaged() const {
  return state_->damaged;
}

void X11DamageWatcher::clear() {
  state_->damaged = false;
  XDamageSubtract(state_->display, state_->damage, None, None);
}

std::vector<RootArea> X11DamageWatcher::take() {
  Display* display = state_->display;
  state_->damaged = false;
  XDamageSubtract(display, state_->damage, None, state_->region);
  int count = 0;
  XRectangle* rectangles = XFixesFetchRegion(display, state_->region, &count);
  std::vector<RootArea> areas;
  for (int i = 0; rectangles && i < count; ++i)
    areas.push_back(
        RootArea{rectangles[i].x, rectangles[i].y, rectangles[i].width, rectangles[i].height});
  if (rectangles)
    XFree(rectangles);
  return areas;
}

} // namespace tovel
