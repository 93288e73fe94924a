#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/capture_hub.h"
#include "platform/gnome/gnome_bus.h"
#include "platform/gnome/gnome_displays.h"
#include "platform/gnome/gnome_input.h"
#include "platform/gnome/mutter_remote_desktop.h"
#include "platform/gnome/pipewire_feed.h"
#include "platform/platform.h"

typedef struct _GSettings GSettings;

namespace tovel {

// A GNOME Wayland session, driven through Mutter's own interfaces on the session bus: input
// through a remote-desktop session, pictures through a screen cast of every monitor read from
// PipeWire (the cursor reported beside them), monitors from the display configuration. GNOME
// gives other programs no window list.
class GnomeDesktop final : public Platform {
public:
  // Whether this process runs in a Wayland session (WAYLAND_DISPLAY is set).
  static bool inWaylandSession();
  // Null, with the reason in `error`, when the session offers no GNOME remote desktop or it
  // cannot be started.
  static std::unique_ptr<GnomeDesktop> open(std::string& error);
  ~GnomeDesktop() override;

  std::optional<MouseEvent> createMouseEvent(MouseEventType type, Point position,
                                             MouseButton button) override;
  std::optional<KeyEvent> createKeyboardEvent(KeyCode key, bool keyDown) override;
  std::optional<ScrollEvent> createScrollWheelEvent(std::int32_t wheel1,
                                                    std::int32_t wheel2) override;
  void post(const MouseEvent& event) override;
  void post(const KeyEvent& event) override { input_->post(event); }
  void post(const ScrollEvent& event) override { input_->post(event); }
  bool primaryButtonDown() override { return input_->primaryButtonDown(); }
  TypingProgress typeText(std::u32string_view text) override { return input_->typeText(text); }
  // The compositor keeps an injected modifier down until its release, as X does.
  bool installModifierTap(ModifierTap) override { return true; }

  std::vector<Screen> screens() override;
  std::optional<Screen> mainScreen() override;
  Point mouseLocation() override;
  double doubleClickInterval() override;
  void setScreenChangeHandler(std::function<void()> handler) override;

  Rect displayBounds(DisplayId display) override;
  std::variant<std::vector<DisplayId>, PlatformError> activeDisplayList() override;
  // GNOME offers no window list to other programs: an empty one.
  std::optional<std::vector<WindowInfo>> windowList(WindowListOption option) override;

  std::unique_ptr<ScreenCapturer> createScreenCapturer() override;
  std::optional<std::vector<CaptureDisplay>> capturableDisplays() override;
  std::unique_ptr<ContinuousCapture>
  startContinuousCapture(DisplayId display, const ContinuousCaptureSettings& settings,
                         FrameHandler handler, PlatformError& error) override;

  const std::string& waylandDisplay() const { return waylandDisplay_; }
  // Lets go of everything injection holds down, written out before this returns (the host exits
  // right after).
  void releaseHeldInput() {
    input_->releaseAll();
    bus_->flush();
  }

private:
  GnomeDesktop() = default;
  bool begin(std::string& error);
  // Records the monitors that are not recorded yet and forgets the ones that went.
  void recordMonitors(const MonitorLayout& layout);
  std::shared_ptr<PipeWireFeed> feedFor(DisplayId display, std::chrono::milliseconds wait);
  std::optional<StreamPoint> place(Point global);

  struct Recording {
    std::string stream;                                // object path, for absolute pointer moves
    std::shared_ptr<PipeWireFeed> feed;                // null until the stream runs
    std::uint32_t node = 0;                            // its PipeWire node, once known
    std::chrono::steady_clock::time_point connectedAt; // of the feed
  };
  struct Move {
    Point root;
    std::chrono::steady_clock::time_point at;
    bool shown = false; // the cursor reports have shown it
  };

  std::string waylandDisplay_;
  std::unique_ptr<GnomeBus> bus_;
  std::unique_ptr<GnomeDisplays> displays_;
  std::unique_ptr<PipeWireLoop> pipewire_;
  std::unique_ptr<MutterRemoteDesktop> session_;
  std::unique_ptr<GnomeInput> input_;
  std::unique_ptr<CaptureHub> hub_;
  GSettings* mouseSettings_ = nullptr;

  std::mutex mutex_; // the members below
  std::condition_variable recordingsChanged_;
  std::map<std::string, Recording> recordings_; // by connector
  std::optional<Move> lastMove_;
  Point lastSeen_; // root coordinates

  std::recursive_mutex handlerMutex_;
  std::function<void()> screenHandler_;
};

} // namespace tovel
