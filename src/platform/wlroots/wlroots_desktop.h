#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/capture_hub.h"
#include "platform/platform.h"
#include "platform/wlroots/wayland_client.h"
#include "platform/wlroots/wlroots_input.h"
#include "platform/wlroots/wlroots_pointer.h"

namespace tovel {

// A Wayland session of a compositor built on wlroots (sway, Hyprland, river, Wayfire, labwc),
// driven through the protocols those compositors offer for it: a virtual pointer and a virtual
// keyboard for input, screencopy into shared memory for pictures, wl_output with xdg-output for
// the monitors. These compositors give other programs no window list, and no pointer position:
// the host keeps its own record of the pointer (PointerRecord).
class WlrootsDesktop final : public Platform {
public:
  // Null, with the reason in `error` (what the compositor lacks), when the session cannot be
  // driven this way.
  static std::unique_ptr<WlrootsDesktop> open(std::string& error);
  ~WlrootsDesktop() override;

  std::optional<MouseEvent> createMouseEvent(MouseEventType type, Point position,
                                             MouseButton button) override;
  std::optional<KeyEvent> createKeyboardEvent(KeyCode key, bool keyDown) override;
  std::optional<ScrollEvent> createScrollWheelEvent(std::int32_t wheel1,
                                                    std::int32_t wheel2) override;
  void post(const MouseEvent& event) override;
  void post(const KeyEvent& event) override;
  void post(const ScrollEvent& event) override;
  bool primaryButtonDown() override { return input_->primaryButtonDown(); }
  // The compositor keeps an injected modifier down until its release, as X does.
  bool installModifierTap(ModifierTap) override { return true; }
  TypingProgress typeText(std::u32string_view text) override { return input_->typeText(text); }

  std::vector<Screen> screens() override;
  std::optional<Screen> mainScreen() override;
  Point mouseLocation() override;
  double doubleClickInterval() override;
  void setScreenChangeHandler(std::function<void()> handler) override;

  Rect displayBounds(DisplayId display) override;
  std::variant<std::vector<DisplayId>, PlatformError> activeDisplayList() override;
  // These compositors offer no window list to other programs: an empty one.
  std::optional<std::vector<WindowInfo>> windowList(WindowListOption option) override;

  std::unique_ptr<ScreenCapturer> createScreenCapturer() override;
  std::optional<std::vector<CaptureDisplay>> capturableDisplays() override;
  std::unique_ptr<ContinuousCapture>
  startContinuousCapture(DisplayId display, const ContinuousCaptureSettings& settings,
                         FrameHandler handler, PlatformError& error) override;

  const std::string& waylandDisplay() const { return waylandDisplay_; }
  WlrootsInput& input() { return *input_; }
  // Lets go of everything injection holds down, handled by the compositor before this returns
  // (the host exits right after).
  void releaseHeldInput();

private:
  WlrootsDesktop() = default;
  std::optional<Monitor> monitor(DisplayId display) const;

  std::string waylandDisplay_;
  std::unique_ptr<WaylandClient> client_;
  std::unique_ptr<WlrootsInput> input_;
  std::unique_ptr<CaptureHub> hub_;
  PointerRecord pointer_;

  std::recursive_mutex handlerMutex_;
  std::function<void()> screenHandler_;
};

} // namespace tovel
