#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"
#include "platform/x11/x11_capture.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_input.h"
#include "platform/x11/x11_screens.h"

namespace tovel {

// The real desktop of an X server: input through XTest, screens through RandR, windows through
// the window manager's EWMH hints, capture through XShm and XDamage.
class X11Desktop final : public Platform {
public:
  // Null when the display cannot be opened. An empty name means $DISPLAY.
  static std::unique_ptr<X11Desktop> open(const std::string& displayName);
  ~X11Desktop() override;

  std::optional<MouseEvent> createMouseEvent(MouseEventType type, Point position,
                                             MouseButton button) override;
  std::optional<KeyEvent> createKeyboardEvent(KeyCode key, bool keyDown) override;
  std::optional<ScrollEvent> createScrollWheelEvent(std::int32_t wheel1,
                                                    std::int32_t wheel2) override;
  void post(const MouseEvent& event) override { input_.post(event); }
  void post(const KeyEvent& event) override { input_.post(event); }
  void post(const ScrollEvent& event) override { input_.post(event); }
  bool primaryButtonDown() override { return input_.primaryButtonDown(); }
  TypingProgress typeText(std::u32string_view text) override { return input_.typeText(text); }
  // X keeps an injected modifier down until its release, so presses get it without help; the
  // input's watchdog takes care of releases that never come.
  bool installModifierTap(ModifierTap) override { return true; }

  std::vector<Screen> screens() override { return screens_.screens(); }
  std::optional<Screen> mainScreen() override { return screens_.mainScreen(); }
  Point mouseLocation() override { return screens_.mouseLocation(); }
  double doubleClickInterval() override { return screens_.doubleClickInterval(); }
  void setScreenChangeHandler(std::function<void()> handler) override {
    screens_.setScreenChangeHandler(std::move(handler));
  }

  Rect displayBounds(DisplayId display) override { return screens_.displayBounds(display); }
  std::variant<std::vector<DisplayId>, PlatformError> activeDisplayList() override {
    return screens_.activeDisplayList();
  }
  std::optional<std::vector<WindowInfo>> windowList(WindowListOption option) override {
    return windows_.windowList(option);
  }

  std::unique_ptr<ScreenCapturer> createScreenCapturer() override {
    return capture_.createScreenCapturer();
  }
  std::optional<std::vector<CaptureDisplay>> capturableDisplays() override {
    return capture_.capturableDisplays();
  }
  std::unique_ptr<ContinuousCapture>
  startContinuousCapture(DisplayId display, const ContinuousCaptureSettings& settings,
                         FrameHandler handler, PlatformError& error) override {
    return capture_.startContinuousCapture(display, settings, std::move(handler), error);
  }

  const std::string& displayName() const { return connections_->displayName(); }
  void releaseHeldInput() { input_.releaseAll(); }

private:
  explicit X11Desktop(std::unique_ptr<ThreadConnections> connections);

  std::unique_ptr<ThreadConnections> connections_;
  PendingPointer pointer_;
  X11Input input_;
  X11Screens screens_;
  X11Windows windows_;
  X11Capture capture_;
};

} // namespace tovel
