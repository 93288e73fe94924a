#include "support/gnome_session.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>

#include "support/wait.h"

namespace tovel::test {

namespace {

using namespace std::chrono_literals;

// Reads one line from the descriptor, waiting at most until the deadline.
std::string readLine(int fd, std::chrono::steady_clock::time_point deadline) {
  std::string line;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0)
      continue;
    char c;
    if (::read(fd, &c, 1) != 1 || c == '\n')
      break;
    line += c;
  }
  return line;
}

} // namespace

GnomeSession::GnomeSession(Options options) : DesktopSession("gnome") {
  static std::atomic<int> sessions = 0;
  waylandDisplay_ = "tovel-" + std::to_string(::getpid()) + "-" + std::to_string(++sessions);

  int address[2];
  if (::pipe2(address, O_CLOEXEC) != 0)
    return;
  // The shell hands the bus address out on descriptor 3. PipeWire and WirePlumber can outlive
  // the bus, which is why the whole session gets a process group to be ended by. WirePlumber
  // ends at once when PipeWire's socket is not there yet, and without it no stream is linked. The
  // session ends with Mutter, unless restartCompositor() asked for a new one (and wrote Mutter's
  // process id out to do so).
  std::string script =
      "echo \"$DBUS_SESSION_BUS_ADDRESS\" >&3; exec 3>&-; "
      "pipewire & "
      "until [ -S \"$XDG_RUNTIME_DIR/pipewire-0\" ]; do sleep 0.05; done; " +
      std::string(options.sessionManager ? "wireplumber & " : "") +
      "while :; do mutter --wayland --headless --no-x11 --virtual-monitor 1920x1080 "
      "--wayland-display " +
      waylandDisplay_ +
      " & echo $! > \"$XDG_RUNTIME_DIR/compositor.pid\"; wait $!; "
      "rm \"$XDG_RUNTIME_DIR/compositor.restart\" 2>/dev/null || break; done";
  bool started =
      start({"dbus-run-session", "--", "sh", "-c", script},
            {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "PIPEWIRE_REMOTE"}, {},
            address[1]);
  ::close(address[1]);

  auto deadline = std::chrono::steady_clock::now() + 20s;
  if (started)
    busAddress_ = readLine(address[0], deadline);
  ::close(address[0]);
  if (busAddress_.empty())
    return;
  // Up once Mutter owns all three of its names.
  running_ =
      waitUntil([&] { return compositorOnBus(); }, deadline - std::chrono::steady_clock::now());
}

bool GnomeSession::compositorOnBus(std::string* owner) const {
  std::string owned = run("gdbus call --session --dest org.freedesktop.DBus --object-path "
                          "/org/freedesktop/DBus --method org.freedesktop.DBus.ListNames "
                          "2>/dev/null");
  for (const char* name : {"'org.gnome.Mutter.RemoteDesktop'", "'org.gnome.Mutter.ScreenCast'",
                           "'org.gnome.Mutter.DisplayConfig'"})
    if (owned.find(name) == std::string::npos)
      return false;
  if (owner)
    *owner = run("gdbus call --session --dest org.freedesktop.DBus --object-path "
                 "/org/freedesktop/DBus --method org.freedesktop.DBus.GetNameOwner "
                 "org.gnome.Mutter.RemoteDesktop 2>/dev/null");
  return true;
}

bool GnomeSession::restartCompositor() {
  std::string before;
  if (!running_ || !compositorOnBus(&before))
    return false;
  std::ifstream pidFile(runtimeDirectory_ + "/compositor.pid");
  pid_t pid = 0;
  if (!(pidFile >> pid) || pid <= 0)
    return false;
  std::ofstream(runtimeDirectory_ + "/compositor.restart").put('\n');
  // Mutter 43 takes SIGTERM but does not end once a screen cast has run: it is killed.
  if (::kill(pid, SIGKILL) != 0)
    return false;
  return waitUntil(
      [&] {
        std::string now;
        return compositorOnBus(&now) && !now.empty() && now != before;
      },
      30s);
}

std::vector<std::string> GnomeSession::environment() const {
  return {"DBUS_SESSION_BUS_ADDRESS=" + busAddress_, "WAYLAND_DISPLAY=" + waylandDisplay_,
          "XDG_RUNTIME_DIR=" + runtimeDirectory_, "DISPLAY="};
}

} // namespace tovel::test
