#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/events.h"
#include "platform/geometry.h"
#include "platform/image.h"

namespace tovel {

// Everything the host needs from the desktop it runs on. The logic of every subsystem is written
// against this interface; x11/ drives a real X server and sim/ is an in-memory virtual desktop.
//
// Coordinate spaces, all in points:
//  - screen coordinates: origin at the primary screen's bottom-left corner, y up (pointer
//    location, screen frames);
//  - global display coordinates: origin at the primary display's top-left corner, y down (events,
//    window bounds, display bounds);
//  - display-local coordinates: origin at one display's top-left corner, y down (capture
//    rectangles).
//
// Unless a method says otherwise it may be called from any thread.

using DisplayId = std::uint32_t;
using WindowId = std::uint32_t;

struct PlatformError {
  int code = 0;
  std::string description;
};

struct Screen {
  std::optional<DisplayId> number; // the display this screen shows
  Rect frame;                      // screen coordinates
  double backingScale = 1.0;       // device pixels per point
  std::string description;         // human-readable, for logs
};

// One entry of the window list. A field the platform could not provide is unset.
struct WindowInfo {
  std::optional<WindowId> number;
  std::optional<Rect> bounds;        // global display coordinates
  std::optional<std::int64_t> layer; // 0 for ordinary application windows
  std::optional<std::string> ownerName;
  std::optional<std::string> title;
};

enum class WindowListOption {
  onScreenOnlyExcludingDesktop, // windows on screen, without desktop elements
  all,
};

// Grabs pictures of a display, reusing its buffers from one call to the next. One capturer serves
// one thread at a time.
class ScreenCapturer {
public:
  virtual ~ScreenCapturer() = default;
  // The whole display, or a display-local rectangle of it (clipped to the display), in pixels.
  // The picture stays valid until the next call or until the capturer is destroyed.
  virtual std::optional<ImageView> capture(DisplayId display, const std::optional<Rect>& rect) = 0;
  // True when capturing the same display and rectangle now would give the same pixels as the
  // last capture: the same area, nothing drawn on the display since. False when it cannot tell.
  virtual bool unchangedSinceLastCapture(DisplayId, const std::optional<Rect>&) { return false; }
};

// A display that the continuous capture service can record.
struct CaptureDisplay {
  DisplayId id = 0;
  int width = 0;  // points
  int height = 0; // points
  std::string description;
};

struct ContinuousCaptureSettings {
  // The time between two frames delivered to this subscriber: frames come at most on this
  // cadence, and never closer together than it less 0.8 ms (a frame taken a little late keeps
  // the cadence rather than pushing every later frame back).
  double minimumFrameInterval = 1.0 / 30;
};

// One picture of a display's continuous capture, at the display's own pixel size, with the
// pointer drawn in it. A frame owns its pixels: copies share them, and they stay valid as long as
// any copy is held, so a consumer may keep a frame past the handler call.
struct CapturedFrame {
  ImageView image;
  std::shared_ptr<const void> pixels; // keeps the image's pixels alive
  double timestamp = 0;   // the platform clock (seconds since 1970) when the picture was taken
  double captureTime = 0; // monotonic seconds (steady clock) when the picture was taken
  // The pointer when the picture was taken, in screen coordinates (as Platform::mouseLocation());
  // none when the capture could not tell. Read on the capture's own resources, so a frame handler
  // need not reach into the platform from the capture thread.
  std::optional<Point> pointer;
  // The parts of the picture that changed since the capture's previous picture; empty when
  // unknown (the first picture, or a picture handed out again).
  std::vector<PixelRect> changed;
};

// One subscriber of the continuous capture of a display. Every display is captured once, on one
// thread, for all its subscribers; each gets frames no closer than its own minimum interval, the
// first one at once. An unchanged screen is not captured again: a subscriber gets a frame when the
// picture changed (or on request). Destroying the subscription stops it.
class ContinuousCapture {
public:
  virtual ~ContinuousCapture() = default;
  // Ends the subscription and waits for a handler call of it in progress (unless called from a
  // handler, which cannot wait for itself). The capture stops with its last subscriber.
  virtual void stop() = 0;
  // Hands this subscriber the newest picture soon, whether or not anything changed since its last
  // frame and whatever its interval: a fresh one when the screen changed, else the newest one
  // again with the time of now (it still shows the screen as it is).
  virtual void requestFrame() = 0;
};

using FrameHandler = std::function<void(const CapturedFrame&)>;

// Called for every mouse-button press; returns the flags the press is delivered with.
using ModifierTap = std::function<EventFlags(EventFlags current)>;

// What one call of Platform::typeText did.
struct TypingProgress {
  // How many characters from the start of the text were dealt with: typed, or found untypable.
  std::size_t handled = 0;
  // Those of them that this desktop cannot type (nothing was typed for them), in text order.
  std::u32string untypable;
  // Seconds to wait before handing over the rest, so that the desktop and its applications keep
  // up; 0 means as soon as the caller can.
  double resumeAfter = 0;
};

class Platform {
public:
  virtual ~Platform() = default;

  // --- Synthetic input ----------------------------------------------------------------------
  // Creating an event may fail (no event); only created events are posted.
  virtual std::optional<MouseEvent> createMouseEvent(MouseEventType type, Point position,
                                                     MouseButton button) = 0;
  virtual std::optional<KeyEvent> createKeyboardEvent(KeyCode key, bool keyDown) = 0;
  virtual std::optional<ScrollEvent> createScrollWheelEvent(std::int32_t wheel1,
                                                            std::int32_t wheel2) = 0;
  virtual void post(const MouseEvent& event) = 0;
  virtual void post(const KeyEvent& event) = 0;
  virtual void post(const ScrollEvent& event) = 0;
  // Whether the primary (left) button is down in the combined session state.
  virtual bool primaryButtonDown() = 0;
  // Installs the callback that lends injected modifiers to mouse presses. False when the
  // platform cannot install it.
  virtual bool installModifierTap(ModifierTap tap) = 0;

  // --- Typing text --------------------------------------------------------------------------
  // Types characters as themselves, whatever the keyboard layout: '\n' as Return, '\t' as Tab,
  // every other character as that character (the text holds no other control characters). No
  // modifier that injection or the person holds, latches or locks applies to them; nothing stays
  // pressed afterwards; they arrive in order. A character the desktop cannot type is typed as
  // nothing and reported in `untypable`, never as another one.
  // The desktop may deal with a prefix of the text only, to let its applications keep up: the
  // caller then hands over the rest after `resumeAfter` (a prefix of no character comes with a
  // wait). Called on the main loop only, in order with the key events it posts.
  virtual TypingProgress typeText(std::u32string_view text) = 0;

  // --- Screens and pointer ------------------------------------------------------------------
  // Screens in system order, the primary one first.
  virtual std::vector<Screen> screens() = 0;
  virtual std::optional<Screen> mainScreen() = 0;
  // The pointer in screen coordinates.
  virtual Point mouseLocation() = 0;
  virtual double doubleClickInterval() = 0;
  // Called (on a platform thread) whenever the screen layout changes.
  virtual void setScreenChangeHandler(std::function<void()> handler) = 0;

  // --- Displays -----------------------------------------------------------------------------
  // The display's rectangle in global display coordinates (empty for an unknown display).
  virtual Rect displayBounds(DisplayId display) = 0;
  virtual std::variant<std::vector<DisplayId>, PlatformError> activeDisplayList() = 0;

  // --- Windows ------------------------------------------------------------------------------
  // Front-most window first; none when the list cannot be had.
  virtual std::optional<std::vector<WindowInfo>> windowList(WindowListOption option) = 0;

  // --- Capture ------------------------------------------------------------------------------
  virtual std::unique_ptr<ScreenCapturer> createScreenCapturer() = 0;
  // Displays the continuous capture service can record; none when the query fails.
  virtual std::optional<std::vector<CaptureDisplay>> capturableDisplays() = 0;
  // Subscribes to the display's continuous capture, starting it if it is not running. Frames come
  // on the capture thread. Null, with the reason in error, when the capture cannot start.
  virtual std::unique_ptr<ContinuousCapture>
  startContinuousCapture(DisplayId display, const ContinuousCaptureSettings& settings,
                         FrameHandler handler, PlatformError& error) = 0;
};

} // namespace tovel
