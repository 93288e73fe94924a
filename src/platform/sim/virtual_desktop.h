#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "platform/capture_hub.h"
#include "platform/clock.h"
#include "platform/platform.h"

namespace tovel {

// A window of the virtual desktop, drawn as a filled rectangle with a title bar.
struct VirtualWindow {
  WindowInfo info;
  std::uint32_t colour = 0xff808080; // 0xAARRGGBB
  bool onScreen = true;
  bool desktopElement = false;
};

// A character typed as text (as opposed to a key press).
struct TypedCharacter {
  char32_t character = 0;
};

// One event as the virtual desktop received it. Physical events are those a test simulates as if
// a user had pressed a real button.
struct RecordedEvent {
  std::variant<MouseEvent, KeyEvent, ScrollEvent, TypedCharacter> event;
  bool physical = false;

  const MouseEvent* mouse() const { return std::get_if<MouseEvent>(&event); }
  const KeyEvent* key() const { return std::get_if<KeyEvent>(&event); }
  const ScrollEvent* scroll() const { return std::get_if<ScrollEvent>(&event); }
  const TypedCharacter* typed() const { return std::get_if<TypedCharacter>(&event); }
};

// An in-memory desktop: screens, a pointer that posted events really move, windows, a log of every
// posted event, and a picture that changes with the clock so that streams always show something.
class VirtualDesktop final : public Platform {
public:
  // One primary screen of 1920 x 1080 points at scale 1, the pointer at its centre and a few
  // titled windows.
  explicit VirtualDesktop(Clock& clock);

  // --- Platform -----------------------------------------------------------------------------
  std::optional<MouseEvent> createMouseEvent(MouseEventType type, Point position,
                                             MouseButton button) override;
  std::optional<KeyEvent> createKeyboardEvent(KeyCode key, bool keyDown) override;
  std::optional<ScrollEvent> createScrollWheelEvent(std::int32_t wheel1,
                                                    std::int32_t wheel2) override;
  void post(const MouseEvent& event) override;
  void post(const KeyEvent& event) override;
  void post(const ScrollEvent& event) override;
  bool primaryButtonDown() override;
  bool installModifierTap(ModifierTap tap) override;
  // Types every character but those set as untypable, as many per call as set.
  TypingProgress typeText(std::u32string_view text) override;

  std::vector<Screen> screens() override;
  std::optional<Screen> mainScreen() override;
  Point mouseLocation() override;
  double doubleClickInterval() override;
  void setScreenChangeHandler(std::function<void()> handler) override;

  Rect displayBounds(DisplayId display) override;
  std::variant<std::vector<DisplayId>, PlatformError> activeDisplayList() override;
  std::optional<std::vector<WindowInfo>> windowList(WindowListOption option) override;

  std::unique_ptr<ScreenCapturer> createScreenCapturer() override;
  std::optional<std::vector<CaptureDisplay>> capturableDisplays() override;
  std::unique_ptr<ContinuousCapture>
  startContinuousCapture(DisplayId display, const ContinuousCaptureSettings& settings,
                         FrameHandler handler, PlatformError& error) override;

  // --- Set-up and inspection (tests) --------------------------------------------------------
  // Replaces the screens (primary first) and reports the change like a real desktop would.
  void setScreens(std::vector<Screen> screens);
  // Makes another screen the main one (the one with keyboard focus); by default the primary.
  void setMainScreen(std::optional<DisplayId> display);
  void setWindows(std::vector<VirtualWindow> windows);
  using DisplayListAnswer = std::variant<std::vector<DisplayId>, PlatformError>;
  // Makes the listings fail or change as a desktop's can between two calls: the window list can
  // be unavailable, and the display list give these answers, one a call, before the screens again.
  void setListings(bool windowListFails, std::vector<DisplayListAnswer> nextDisplayLists = {});
  std::vector<VirtualWindow> windows();
  void setMouseLocation(Point screenPoint);
  void setDoubleClickInterval(double seconds);
  // Which characters typeText cannot type, and how many it deals with in one call and how long it
  // then asks to wait, like a desktop that paces its typing.
  void setTyping(std::u32string untypable, std::size_t perCall, double resumeAfter);
  // Holds or releases a button as a user would; a press goes through the modifier tap.
  void simulatePhysicalButton(MouseButton button, bool down);

  std::vector<RecordedEvent> events();
  void clearEvents();

  // How many pictures have been drawn (captures and continuous-capture frames).
  std::uint64_t renderCount() const { return renderCount_.load(); }

  // What the picture depends on: the desktop's state, changed by every change of screens,
  // windows or pointer, and the clock. Equal versions give equal pictures.
  struct PictureVersion {
    std::uint64_t state = 0;
    double time = -1;
    friend bool operator==(const PictureVersion&, const PictureVersion&) = default;
  };
  PictureVersion pictureVersion();
  // How often the version has been asked for: a capture looking whether anything changed.
  std::uint64_t pictureChecks() const { return pictureChecks_.load(); }

  // Draws the whole desktop as it looks now (background, windows back to front, pointer) in
  // global display coordinates, for the pixels of one display.
  void render(DisplayId display, BgraImage& into);

private:
  Point toScreenCoordinates(Point global) const; // mutex held
  Point clampToDisplays(Point global) const;     // mutex held
  Rect displayBoundsLocked(DisplayId display) const;
  void notifyScreenChange();

  Clock& clock_;
  std::mutex mutex_;
  std::vector<Screen> screens_;
  std::optional<DisplayId> mainScreen_;
  std::vector<VirtualWindow> windows_;
  bool windowListFails_ = false;
  std::deque<DisplayListAnswer> displayListAnswers_;
  Point pointer_; // screen coordinates
  double doubleClickInterval_ = 0.5;
  std::set<MouseButton> heldButtons_;
  ModifierTap tap_;
  std::function<void()> screenChangeHandler_;
  std::vector<RecordedEvent> events_;
  std::u32string untypable_;
  std::size_t typedPerCall_ = SIZE_MAX;
  double typingPause_ = 0;
  std::atomic<std::uint64_t> renderCount_{0};
  std::atomic<std::uint64_t> pictureChecks_{0};
  std::uint64_t stateVersion_ = 0; // under mutex_
  std::unique_ptr<CaptureHub> captures_;
};

} // namespace tovel
