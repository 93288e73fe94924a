#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "common/log.h"
#include "platform/capture_hub.h"
#include "platform/gnome/gnome_bus.h"
#include "platform/gnome/gnome_displays.h"
#include "platform/gnome/gnome_input.h"
#include "platform/gnome/mutter_remote_desktop.h"
#include "platform/gnome/pipewire_feed.h"
#include "platform/gnome/pointer_tracker.h"
#include "platform/platform.h"

typedef struct _GSettings GSettings;

namespace tovel {

// A GNOME Wayland session, driven through Mutter's own interfaces on the session bus: input
// through a remote-desktop session, pictures through a screen cast of every monitor read from
// PipeWire (the cursor reported beside them), monitors from the display configuration. GNOME
// gives other programs no window list. When GNOME ends the session (the person stopped sharing,
// a shared monitor went away) or Mutter restarts, the host says so and shares again with a new
// session; the pictures of every monitor keep coming through the same feeds.
class GnomeDesktop final : public Platform {
public:
  // Whether this process runs in a Wayland session (WAYLAND_DISPLAY is set).
  static bool inWaylandSession();
  // Null, with the reason in `error`, when the session offers no GNOME remote desktop or it
  // cannot be started. What happens to the sharing later is told to `log`.
  static std::unique_ptr<GnomeDesktop> open(Log& log, std::string& error);
  ~GnomeDesktop() override;

  std::optional<MouseEvent> createMouseEvent(MouseEventType type, Point position,
                                             MouseButton button) override;
  std::optional<KeyEvent> createKeyboardEvent(KeyCode key, bool keyDown) override;
  std::optional<ScrollEvent> createScrollWheelEvent(std::int32_t wheel1,
                                                    std::int32_t wheel2) override;
  void post(const MouseEvent& event) override { input_->post(event); }
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
  explicit GnomeDesktop(Log& log) : log_(log) {}
  bool begin(std::string& error);

  // On the bus thread, like everything that makes or ends sessions.
  bool openSession(std::string& error);
  void dropSession();
  void sessionClosed(std::uint64_t session);
  void compositorChanged(bool owned);
  void reopen();
  // Records the monitors that are not recorded yet and forgets the ones that went.
  void recordMonitors(const MonitorLayout& layout);
  void nodeAdded(std::uint64_t session, const std::string& connector, std::uint32_t node);
  // Reads the node's stream into the monitor's feed, and again (saying so) if it brings no
  // picture or fails.
  void followNode(const std::string& connector, std::uint32_t node);
  void feedFailed(const std::string& connector, std::uint64_t follow, const std::string& why);
  void reconnectFeed(const std::string& connector, std::uint32_t node, const std::string& what,
                     bool linkItself);

  std::shared_ptr<PipeWireFeed> feedOf(const std::string& connector);
  std::shared_ptr<PipeWireFeed> feedFor(DisplayId display);
  std::optional<StreamPoint> place(Point global);

  struct Recording {
    std::string stream;      // object path, for absolute pointer moves
    std::uint32_t node = 0;  // its PipeWire node, once known
    unsigned attempts = 0;   // connections to the node since its last picture, after the first
    bool linkItself = false; // the session manager did not link the stream
  };
  // The monitor's feed and its recording while it records this node; null otherwise.
  std::shared_ptr<PipeWireFeed> followedFeed(const std::string& connector, std::uint32_t node,
                                             Recording* recording);
  enum class Sharing { starting, sharing, reopening, compositorGone };

  Log& log_;
  std::string waylandDisplay_;
  std::unique_ptr<GnomeBus> bus_;
  std::unique_ptr<GnomeDisplays> displays_;
  std::unique_ptr<PipeWireLoop> pipewire_;
  PointerTracker pointer_;
  Point firstGuess_; // where the pointer is before anything tells: the primary's middle, root
  std::unique_ptr<GnomeInput> input_;
  std::unique_ptr<CaptureHub> hub_;
  GSettings* mouseSettings_ = nullptr;

  // Bus thread only.
  std::unique_ptr<MutterRemoteDesktop> session_;
  std::uint64_t sessionNumber_ = 0;
  Sharing sharing_ = Sharing::starting;
  std::uint64_t retries_ = 0; // a retry of reopen() runs only while this is what it was
  bool tellReturn_ = false;   // whether sharing again is news (it failed, or Mutter went)

  std::mutex mutex_;                                           // the members below
  std::map<std::string, Recording> recordings_;                // by connector, this session's
  std::map<std::string, std::shared_ptr<PipeWireFeed>> feeds_; // by connector, kept for good

  std::recursive_mutex handlerMutex_;
  std::function<void()> screenHandler_;
};

} // namespace tovel
