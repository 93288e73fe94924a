#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/monitor_layout.h"

struct wl_callback;
struct wl_display;
struct wl_registry;
struct wl_seat;
struct wl_shm;
struct wl_output;
struct zxdg_output_manager_v1;
struct zxdg_output_v1;
struct zwlr_virtual_pointer_manager_v1;
struct zwp_virtual_keyboard_manager_v1;
struct zwlr_screencopy_manager_v1;

namespace tovel {

// One output of the compositor, as wl_output and xdg-output describe it.
struct WaylandOutput {
  std::uint32_t global = 0; // its registry name
  wl_output* output = nullptr;
  zxdg_output_v1* xdgOutput = nullptr;
  std::string name; // e.g. "HEADLESS-1"
  // The logical place and size in the compositor's layout (xdg-output), else derived from the
  // output's own geometry, mode and scale.
  std::optional<std::pair<int, int>> logicalPosition;
  std::optional<std::pair<int, int>> logicalSize;
  int geometryX = 0, geometryY = 0;
  int modeWidth = 0, modeHeight = 0; // pixels
  int scale = 1;
  int transform = 0;
  bool described = false; // a done event has come
};

// A connection to the Wayland compositor of $WAYLAND_DISPLAY with the globals the host uses bound,
// and the outputs followed as the compositor adds, changes and removes them. The desktop's own
// connection has its events handled on a thread of its own (startThread); a capture's connection
// is pumped by the capture's thread (pump, waitForEvents).
class WaylandClient {
public:
  // Null, with the reason, when the compositor cannot be reached.
  static std::unique_ptr<WaylandClient> connect(std::string& error);
  ~WaylandClient();
  WaylandClient(const WaylandClient&) = delete;
  WaylandClient& operator=(const WaylandClient&) = delete;

  wl_display* display() const { return display_; }
  wl_seat* seat() const { return seat_; }
  wl_shm* shm() const { return shm_; }
  zwlr_virtual_pointer_manager_v1* pointerManager() const { return pointerManager_; }
  zwp_virtual_keyboard_manager_v1* keyboardManager() const { return keyboardManager_; }
  zwlr_screencopy_manager_v1* screencopy() const { return screencopy_; }
  std::uint32_t screencopyVersion() const { return screencopyVersion_; }
  // The names of the globals the host needs that the compositor does not offer, joined by ", ";
  // empty when it offers them all.
  std::string missingGlobals() const;

  // The outputs that have been described, primary first (the one at the layout's origin, else the
  // first announced), then in the order they were announced. Each output name keeps the display
  // number it got first while the connection lasts.
  MonitorLayout layout() const;
  double backingScale(DisplayId display) const;
  // The wl_output of the output with this name on this connection, if there is one (for captures,
  // whose connection is not the one that numbers the displays).
  wl_output* outputNamed(const std::string& name) const;
  // Called after every change of the layout, on the thread that handles the events.
  void setLayoutHandler(std::function<void(const MonitorLayout&)> handler);

  // Handles the events on a thread of its own ("tovel-wayland") from now on.
  void startThread();
  // Runs `task` on the event thread after `delay`.
  void postAfter(std::chrono::milliseconds delay, std::function<void()> task);
  // Sends what is queued; from any thread.
  void flush();
  // Waits until the compositor has handled every request sent so far; false when it has not
  // answered in time or the connection is broken. From any thread but the event thread.
  bool sync(std::chrono::milliseconds timeout);
  // Asks the compositor, without waiting, to answer once it has handled every request sent
  // before this call (the answer is read on the event thread): for a sender that must not run
  // ahead of the compositor by more than it sends at a time.
  std::uint64_t requestAnswer();
  // Whether the compositor has answered that request, or never will (the connection is broken).
  bool answered(std::uint64_t ticket) const;

  // For a connection without the thread: handles the events that have come, without waiting.
  bool pump();
  // Waits for events until the deadline or until wakeFd (if not negative) is readable, and
  // handles them. False when the connection is broken.
  bool waitForEvents(std::optional<std::chrono::steady_clock::time_point> deadline, int wakeFd);
  bool broken() const;

private:
  WaylandClient() = default;
  void addGlobal(wl_registry* registry, std::uint32_t name, const char* interface,
                 std::uint32_t version);
  void removeGlobal(std::uint32_t name);
  void watchOutput(WaylandOutput& output);
  void outputChanged();
  MonitorLayout layoutLocked() const;
  void run();
  void wake();

  static void registryGlobal(void*, wl_registry*, std::uint32_t, const char*, std::uint32_t);
  static void registryGlobalRemove(void*, wl_registry*, std::uint32_t);
  static void answerDone(void*, wl_callback*, std::uint32_t);
  friend struct OutputListeners;

  wl_display* display_ = nullptr;
  wl_registry* registry_ = nullptr;
  wl_seat* seat_ = nullptr;
  wl_shm* shm_ = nullptr;
  zxdg_output_manager_v1* xdgOutputManager_ = nullptr;
  std::uint32_t xdgOutputVersion_ = 0;
  zwlr_virtual_pointer_manager_v1* pointerManager_ = nullptr;
  zwp_virtual_keyboard_manager_v1* keyboardManager_ = nullptr;
  zwlr_screencopy_manager_v1* screencopy_ = nullptr;
  std::uint32_t screencopyVersion_ = 0;

  mutable std::mutex mutex_;                                        // the members below
  std::map<std::uint32_t, std::unique_ptr<WaylandOutput>> outputs_; // by registry name
  std::map<std::string, DisplayId> ids_;
  DisplayId nextId_ = 1;
  MonitorLayout reported_; // the layout the handler was last told of
  std::function<void(const MonitorLayout&)> handler_;

  // The event thread.
  std::thread thread_;
  int wakeFd_ = -1;
  std::mutex timerMutex_;
  std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> timers_;
  bool stopping_ = false;
  // Answers asked for, oldest first; the event thread's alone.
  std::deque<std::pair<wl_callback*, std::uint64_t>> answers_;
  std::atomic<std::uint64_t> asked_{0};
  std::atomic<std::uint64_t> answered_{0};
};

} // namespace tovel
