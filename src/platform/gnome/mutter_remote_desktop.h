#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tovel {

class GnomeBus;

// Evdev button codes, which the compositor takes for pointer buttons.
inline constexpr int kEvdevLeftButton = 0x110;
inline constexpr int kEvdevRightButton = 0x111;
inline constexpr int kEvdevMiddleButton = 0x112;

// Flags of a smooth scroll: the last one of a gesture carries `kAxisFinish`.
inline constexpr std::uint32_t kAxisFinish = 1u << 0;
inline constexpr std::uint32_t kAxisSourceFinger = 1u << 2;

// A remote-desktop session of Mutter with a screen-cast session tied to it: input goes to the
// compositor as a virtual input device, and monitors are recorded into PipeWire streams. Both
// sessions live as long as this object and the bus connection that made them, unless the
// compositor closes them first (the person stopped sharing, a recorded monitor went away).
class MutterRemoteDesktop {
public:
  // Creates both sessions; null, with the reason in `error`, when the compositor refuses.
  // `onClosed` runs on the bus thread when the compositor closes them (perhaps more than once).
  static std::unique_ptr<MutterRemoteDesktop> create(GnomeBus& bus, std::function<void()> onClosed,
                                                     std::string& error);
  // Stops the sessions, unless the compositor has closed them. Not on the bus thread from within
  // one of this object's handlers.
  ~MutterRemoteDesktop();
  MutterRemoteDesktop(const MutterRemoteDesktop&) = delete;
  MutterRemoteDesktop& operator=(const MutterRemoteDesktop&) = delete;

  // Records a monitor with the cursor as metadata. `onNode` gets the stream's PipeWire node (on
  // the bus thread) once the stream runs: after start(), or at once for a stream recorded later.
  // The stream's object path, or none with the reason.
  std::optional<std::string> recordMonitor(const std::string& connector,
                                           std::function<void(std::uint32_t node)> onNode,
                                           std::string& error);
  // Starts the sessions: input is taken and the recorded streams begin.
  bool start(std::string& error);

  // Input, sent without waiting for the compositor (in order).
  void moveTo(const std::string& stream, double x, double y);
  void button(int evdevButton, bool pressed);
  void key(std::uint32_t keysym, bool pressed);
  void scroll(double dx, double dy, std::uint32_t flags);

  // Whether Caps Lock is on in the session, as the compositor last told (off where it does not
  // tell), and how many changes of it it has told of.
  bool capsLock() const { return capsLock_; }
  std::uint64_t capsLockChanges() const { return capsLockChanges_; }

private:
  MutterRemoteDesktop(GnomeBus& bus, std::string remotePath, std::string castPath)
      : bus_(bus), remotePath_(std::move(remotePath)), castPath_(std::move(castPath)) {}

  GnomeBus& bus_;
  std::string remotePath_;
  std::string castPath_;
  std::atomic<bool> started_ = false;
  std::atomic<bool> closed_ = false;
  std::atomic<bool> capsLock_ = false;
  std::atomic<std::uint64_t> capsLockChanges_ = 0;
  std::mutex mutex_; // the member below
  std::vector<unsigned> subscriptions_;
};

} // namespace tovel
