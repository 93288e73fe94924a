#include "platform/sim/virtual_desktop.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>

#include "platform/sim/virtual_capture_source.h"

namespace tovel {

namespace {

constexpr DisplayId kPrimaryDisplay = 1;
constexpr std::int64_t kDesktopLayer = -2147483624;

Screen makeScreen(DisplayId number, Rect frame, double scale) {
  Screen screen;
  screen.number = number;
  screen.frame = frame;
  screen.backingScale = scale;
  screen.description = "Virtual screen " + std::to_string(number) + " (" +
                       std::to_string(int(frame.width)) + "x" + std::to_string(int(frame.height)) +
                       " at " + std::to_string(int(frame.x)) + "," + std::to_string(int(frame.y)) +
                       ", scale " + std::to_string(int(scale)) + ")";
  return screen;
}

VirtualWindow makeWindow(WindowId number, const char* owner, const char* title, Rect bounds,
                         std::uint32_t colour) {
  VirtualWindow window;
  window.info.number = number;
  window.info.bounds = bounds;
  window.info.layer = 0;
  window.info.ownerName = owner;
  window.info.title = title;
  window.colour = colour;
  return window;
}

void fillRect(BgraImage& image, long x0, long y0, long x1, long y1, std::uint32_t argb) {
  x0 = std::clamp<long>(x0, 0, image.width());
  x1 = std::clamp<long>(x1, 0, image.width());
  y0 = std::clamp<long>(y0, 0, image.height());
  y1 = std::clamp<long>(y1, 0, image.height());
  for (long y = y0; y < y1; ++y) {
    std::uint8_t* p = image.row(int(y)) + x0 * 4;
    for (long x = x0; x < x1; ++x, p += 4) {
      p[0] = argb & 0xff;
      p[1] = (argb >> 8) & 0xff;
      p[2] = (argb >> 16) & 0xff;
      p[3] = 0xff;
    }
  }
}

} // namespace

VirtualDesktop::VirtualDesktop(Clock& clock) : clock_(clock) {
  captures_ = std::make_unique<CaptureHub>(
      [this](DisplayId display, PlatformError& error) -> std::unique_ptr<CaptureSource> {
        bool known = false;
        if (auto displays = capturableDisplays())
          for (const CaptureDisplay& d : *displays)
            known = known || d.id == display;
        if (!known) {
          error = PlatformError{ENODEV, "no display " + std::to_string(display)};
          return nullptr;
        }
        return std::make_unique<VirtualCaptureSource>(*this, clock_, display);
      });
  screens_.push_back(makeScreen(kPrimaryDisplay, Rect{0, 0, 1920, 1080}, 1.0));
  pointer_ = Point{960, 540};
  windows_.push_back(
      makeWindow(101, "Terminal", "Terminal - ~", Rect{160, 120, 720, 450}, 0xff2e3440));
  windows_.push_back(
      makeWindow(102, "Editor", "notes.txt - Editor", Rect{620, 300, 800, 520}, 0xffeceff4));
  windows_.push_back(makeWindow(103, "Clock", "Clock", Rect{1560, 60, 300, 180}, 0xff5e81ac));
  VirtualWindow desktop = makeWindow(100, "Desktop", "", Rect{0, 0, 1920, 1080}, 0xff000000);
  desktop.info.layer = kDesktopLayer;
  desktop.desktopElement = true;
  windows_.push_back(desktop);
}

// --- Synthetic input -------------------------------------------------------------------------

std::optional<MouseEvent> VirtualDesktop::createMouseEvent(MouseEventType type, Point position,
                                                           MouseButton button) {
  return makeMouseEvent(type, position, button);
}

std::optional<KeyEvent> VirtualDesktop::createKeyboardEvent(KeyCode key, bool keyDown) {
  KeyEvent event = makeKeyEvent(key, keyDown);
  // Like a real keyboard, the arrow keys report themselves as keypad keys.
  if (key >= 123 && key <= 126)
    event.flags |= kNumericPadFlag;
  return event;
}

std::optional<ScrollEvent> VirtualDesktop::createScrollWheelEvent(std::int32_t wheel1,
                                                                  std::int32_t wheel2) {
  return makeScrollEvent(wheel1, wheel2);
}

void VirtualDesktop::post(const MouseEvent& event) {
  ModifierTap tap;
  {
    std::lock_guard lock(mutex_);
    tap = tap_;
  }
  MouseEvent delivered = event;
  // The tap runs outside the lock: it may read other state of the host.
  if (tap && isMouseDown(event.type))
    delivered.flags = tap(delivered.flags);

  std::lock_guard lock(mutex_);
  if (std::isfinite(event.position.x) && std::isfinite(event.position.y)) {
    pointer_ = toScreenCoordinates(clampToDisplays(event.position));
    ++stateVersion_;
  }
  if (isMouseDown(event.type))
    heldButtons_.insert(event.button);
  else if (isMouseUp(event.type))
    heldButtons_.erase(event.button);
  events_.push_back(RecordedEvent{delivered, false});
}

void VirtualDesktop::post(const KeyEvent& event) {
  std::lock_guard lock(mutex_);
  events_.push_back(RecordedEvent{event, false});
}

void VirtualDesktop::post(const ScrollEvent& event) {
  std::lock_guard lock(mutex_);
  events_.push_back(RecordedEvent{event, false});
}

TypingProgress VirtualDesktop::typeText(std::u32string_view text) {
  std::lock_guard lock(mutex_);
  TypingProgress progress;
  progress.handled = std::min(text.size(), typedPerCall_);
  for (char32_t character : text.substr(0, progress.handled)) {
    if (untypable_.find(character) != std::u32string::npos)
      progress.untypable += character;
    else
      events_.push_back(RecordedEvent{TypedCharacter{character}, false});
  }
  if (progress.handled < text.size())
    progress.resumeAfter = typingPause_;
  return progress;
}

void VirtualDesktop::setTyping(std::u32string untypable, std::size_t perCall, double resumeAfter) {
  std::lock_guard lock(mutex_);
  untypable_ = std::move(untypable);
  typedPerCall_ = std::max<std::size_t>(perCall, 1);
  typingPause_ = resumeAfter;
}

bool VirtualDesktop::primaryButtonDown() {
  std::lock_guard lock(mutex_);
  return heldButtons_.count(kLeftButton) > 0;
}

bool VirtualDesktop::installModifierTap(ModifierTap tap) {
  std::lock_guard lock(mutex_);
  tap_ = std::move(tap);
  return true;
}

void VirtualDesktop::simulatePhysicalButton(MouseButton button, bool down) {
  MouseEvent event;
  event.button = button;
  event.type = button == kLeftButton
                   ? (down ? MouseEventType::leftMouseDown : MouseEventType::leftMouseUp)
               : button == kRightButton
                   ? (down ? MouseEventType::rightMouseDown : MouseEventType::rightMouseUp)
                   : (down ? MouseEventType::otherMouseDown : MouseEventType::otherMouseUp);
  ModifierTap tap;
  {
    std::lock_guard lock(mutex_);
    tap = tap_;
  }
  if (tap && down)
    event.flags = tap(event.flags);
  std::lock_guard lock(mutex_);
  event.position =
      Point{pointer_.x, screens_.empty() ? pointer_.y : screens_.front().frame.height - pointer_.y};
  if (down)
    heldButtons_.insert(button);
  else
    heldButtons_.erase(button);
  events_.push_back(RecordedEvent{event, true});
}

std::vector<RecordedEvent> VirtualDesktop::events() {
  std::lock_guard lock(mutex_);
  return events_;
}

void VirtualDesktop::clearEvents() {
  std::lock_guard lock(mutex_);
  events_.clear();
}

// --- Screens and pointer ---------------------------------------------------------------------

std::vector<Screen> VirtualDesktop::screens() {
  std::lock_guard lock(mutex_);
  return screens_;
}

std::optional<Screen> VirtualDesktop::mainScreen() {
  std::lock_guard lock(mutex_);
  if (screens_.empty())
    return std::nullopt;
  if (mainScreen_) {
    for (const Screen& screen : screens_)
      if (screen.number == mainScreen_)
        return screen;
  }
  return screens_.front();
}

Point VirtualDesktop::mouseLocation() {
  std::lock_guard lock(mutex_);
  return pointer_;
}

double VirtualDesktop::doubleClickInterval() {
  std::lock_guard lock(mutex_);
  return doubleClickInterval_;
}

void VirtualDesktop::setScreenChangeHandler(std::function<void()> handler) {
  std::lock_guard lock(mutex_);
  screenChangeHandler_ = std::move(handler);
}

void VirtualDesktop::setScreens(std::vector<Screen> screens) {
  {
    std::lock_guard lock(mutex_);
    screens_ = std::move(screens);
    ++stateVersion_;
  }
  notifyScreenChange();
}

void VirtualDesktop::setMainScreen(std::optional<DisplayId> display) {
  std::lock_guard lock(mutex_);
  mainScreen_ = display;
}

void VirtualDesktop::notifyScreenChange() {
  std::function<void()> handler;
  {
    std::lock_guard lock(mutex_);
    handler = screenChangeHandler_;
  }
  if (handler)
    handler();
}

void VirtualDesktop::setMouseLocation(Point screenPoint) {
  std::lock_guard lock(mutex_);
  pointer_ = screenPoint;
  ++stateVersion_;
}

void VirtualDesktop::setDoubleClickInterval(double seconds) {
  std::lock_guard lock(mutex_);
  doubleClickInterval_ = seconds;
}

Point VirtualDesktop::toScreenCoordinates(Point global) const {
  if (screens_.empty())
    return global;
  return Point{global.x, screens_.front().frame.height - global.y};
}

// A real pointer cannot leave the displays: a target outside all of them lands on the nearest
// point of the nearest display.
Point VirtualDesktop::clampToDisplays(Point global) const {
  if (screens_.empty())
    return global;
  Point best = global;
  double bestDistance = std::numeric_limits<double>::infinity();
  for (const Screen& screen : screens_) {
    Rect d = screen.number ? displayBoundsLocked(*screen.number) : Rect{};
    if (d.width <= 0 || d.height <= 0)
      continue;
    Point p{std::clamp(global.x, d.minX(), std::nextafter(d.maxX(), d.minX())),
            std::clamp(global.y, d.minY(), std::nextafter(d.maxY(), d.minY()))};
    double distance = std::hypot(p.x - global.x, p.y - global.y);
    if (distance < bestDistance) {
      bestDistance = distance;
      best = p;
    }
  }
  return best;
}

// --- Displays and windows --------------------------------------------------------------------

Rect VirtualDesktop::displayBoundsLocked(DisplayId display) const {
  if (screens_.empty())
    return Rect{};
  double primaryHeight = screens_.front().frame.height;
  for (const Screen& screen : screens_) {
    if (screen.number == display) {
      const Rect& f = screen.frame;
      return Rect{f.x, primaryHeight - (f.y + f.height), f.width, f.height};
    }
  }
  return Rect{};
}

Rect VirtualDesktop::displayBounds(DisplayId display) {
  std::lock_guard lock(mutex_);
  return displayBoundsLocked(display);
}

std::variant<std::vector<DisplayId>, PlatformError> VirtualDesktop::activeDisplayList() {
  std::lock_guard lock(mutex_);
  if (!displayListAnswers_.empty()) {
    DisplayListAnswer answer = std::move(displayListAnswers_.front());
    displayListAnswers_.pop_front();
    return answer;
  }
  std::vector<DisplayId> ids;
  for (const Screen& screen : screens_)
    if (screen.number)
      ids.push_back(*screen.number);
  return ids;
}

std::optional<std::vector<WindowInfo>> VirtualDesktop::windowList(WindowListOption option) {
  std::lock_guard lock(mutex_);
  if (windowListFails_)
    return std::nullopt;
  std::vector<WindowInfo> list;
  for (const VirtualWindow& window : windows_) {
    if (option == WindowListOption::onScreenOnlyExcludingDesktop &&
        (!window.onScreen || window.desktopElement))
      continue;
    list.push_back(window.info);
  }
  return list;
}

void VirtualDesktop::setWindows(std::vector<VirtualWindow> windows) {
  std::lock_guard lock(mutex_);
  windows_ = std::move(windows);
  ++stateVersion_;
}

void VirtualDesktop::setListings(bool windowListFails,
                                 std::vector<DisplayListAnswer> nextDisplayLists) {
  std::lock_guard lock(mutex_);
  windowListFails_ = windowListFails;
  displayListAnswers_.assign(nextDisplayLists.begin(), nextDisplayLists.end());
}

std::vector<VirtualWindow> VirtualDesktop::windows() {
  std::lock_guard lock(mutex_);
  return windows_;
}

// --- Picture ---------------------------------------------------------------------------------

VirtualDesktop::PictureVersion VirtualDesktop::pictureVersion() {
  ++pictureChecks_;
  double time = clock_.now();
  std::lock_guard lock(mutex_);
  return PictureVersion{stateVersion_, time};
}

void VirtualDesktop::render(DisplayId display, BgraImage& into) {
  ++renderCount_;
  double time = clock_.now();
  std::lock_guard lock(mutex_);
  Rect bounds = displayBoundsLocked(display);
  double scale = 1.0;
  for (const Screen& screen : screens_)
    if (screen.number == display)
      scale = screen.backingScale;
  int width = int(std::lround(bounds.width * scale));
  int height = int(std::lround(bounds.height * scale));
  into.resize(width, height);
  if (width == 0 || height == 0)
    return;

  // Background: diagonal bands that drift with time, so consecutive pictures differ.
  long shift = long(std::fmod(time, 60.0) * 40.0 * scale);
  for (int y = 0; y < height; ++y) {
    std::uint8_t* p = into.row(y);
    for (int x = 0; x < width; ++x, p += 4) {
      bool band = ((x + y + shift) / long(48 * scale)) % 2 == 0;
      p[0] = band ? 0x70 : 0x58; // blue
      p[1] = band ? 0x48 : 0x38; // green
      p[2] = band ? 0x30 : 0x28; // red
      p[3] = 0xff;
    }
  }
  // A bar along the bottom that fills once every ten seconds.
  double fraction = std::fmod(time, 10.0) / 10.0;
  fillRect(into, 0, height - long(6 * scale), long(width * fraction), height, 0xffd08770);

  auto toPixels = [&](double v, double origin) { return long(std::lround((v - origin) * scale)); };
  for (auto it = windows_.rbegin(); it != windows_.rend(); ++it) {
    const VirtualWindow& window = *it;
    if (!window.onScreen || window.desktopElement || !window.info.bounds)
      continue;
    const Rect& r = *window.info.bounds;
    long x0 = toPixels(r.minX(), bounds.x), x1 = toPixels(r.maxX(), bounds.x);
    long y0 = toPixels(r.minY(), bounds.y), y1 = toPixels(r.maxY(), bounds.y);
    fillRect(into, x0, y0, x1, y1, window.colour);
    fillRect(into, x0, y0, x1, std::min(y1, y0 + long(24 * scale)), 0xff3b4252);
  }

  // The pointer: a white square with a black outline, its top-left corner at the hot spot.
  if (!screens_.empty()) {
    Point global{pointer_.x, screens_.front().frame.height - pointer_.y};
    long px = toPixels(global.x, bounds.x), py = toPixels(global.y, bounds.y);
    long size = long(12 * scale);
    fillRect(into, px, py, px + size, py + size, 0xff000000);
    fillRect(into, px + 2, py + 2, px + size - 2, py + size - 2, 0xffffffff);
  }
}

namespace {

class VirtualCapturer final : public ScreenCapturer {
public:
  explicit VirtualCapturer(VirtualDesktop& desktop) : desktop_(desktop) {}

  std::optional<ImageView> capture(DisplayId display, const std::optional<Rect>& rect) override {
    double scale = 0;
    for (const Screen& screen : desktop_.screens())
      if (screen.number == display)
        scale = screen.backingScale;
    if (scale <= 0)
      return std::nullopt;
    desktop_.render(display, frame_);
    ImageView view = frame_.view();
    if (view.empty())
      return std::nullopt;
    if (!rect)
      return view;
    if (!std::isfinite(rect->x) || !std::isfinite(rect->y) || !std::isfinite(rect->width) ||
        !std::isfinite(rect->height))
      return std::nullopt;
    double x0 = std::clamp(std::floor(rect->minX() * scale), 0.0, double(view.width));
    double x1 = std::clamp(std::ceil(rect->maxX() * scale), 0.0, double(view.width));
    double y0 = std::clamp(std::floor(rect->minY() * scale), 0.0, double(view.height));
    double y1 = std::clamp(std::ceil(rect->maxY() * scale), 0.0, double(view.height));
    if (x1 <= x0 || y1 <= y0)
      return std::nullopt;
    return ImageView{view.pixel(int(x0), int(y0)), int(x1 - x0), int(y1 - y0), view.stride};
  }

private:
  VirtualDesktop& desktop_;
  BgraImage frame_;
};

} // namespace

std::unique_ptr<ScreenCapturer> VirtualDesktop::createScreenCapturer() {
  return std::make_unique<VirtualCapturer>(*this);
}

std::optional<std::vector<CaptureDisplay>> VirtualDesktop::capturableDisplays() {
  std::lock_guard lock(mutex_);
  std::vector<CaptureDisplay> displays;
  for (const Screen& screen : screens_) {
    if (!screen.number)
      continue;
    displays.push_back(CaptureDisplay{*screen.number, int(screen.frame.width),
                                      int(screen.frame.height), screen.description});
  }
  return displays;
}

std::unique_ptr<ContinuousCapture>
VirtualDesktop::startContinuousCapture(DisplayId display, const ContinuousCaptureSettings& settings,
                                       FrameHandler handler, PlatformError& error) {
  return captures_->subscribe(display, settings, std::move(handler), error);
}

} // namespace tovel
