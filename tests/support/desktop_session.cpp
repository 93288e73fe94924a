#include "support/desktop_session.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/wait.h"
#include "support/xvfb.h"

extern char** environ;

namespace tovel::test {

using namespace std::chrono_literals;

DesktopSession::DesktopSession(const char* name) {
  std::string pattern = std::string("/tmp/tovel-") + name + "-XXXXXX";
  if (::mkdtemp(pattern.data()))
    runtimeDirectory_ = pattern;
}

DesktopSession::~DesktopSession() {
  stop();
  std::error_code ignored;
  if (!runtimeDirectory_.empty())
    std::filesystem::remove_all(runtimeDirectory_, ignored);
}

std::optional<std::string> DesktopSession::missing(std::initializer_list<const char*> programs) {
  for (const char* program : programs)
    if (commandOutput(std::string("command -v ") + program + " 2>/dev/null").empty())
      return std::string(program) + " is not installed (scripts/setup-deps.sh)";
  return std::nullopt;
}

bool DesktopSession::start(const std::vector<std::string>& arguments,
                           const std::vector<std::string>& unset,
                           const std::vector<std::string>& added) {
  if (runtimeDirectory_.empty())
    return false;
  std::vector<std::string> args{"env"}; // which leaves out and adds the variables
  for (const std::string& name : unset)
    args.insert(args.end(), {"-u", name});
  args.insert(args.end(), added.begin(), added.end());
  args.push_back("XDG_RUNTIME_DIR=" + runtimeDirectory_);
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, (runtimeDirectory_ + "/session.log").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ) == 0)
    group_ = pid;
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return group_ > 0;
}

void DesktopSession::stop() {
  running_ = false;
  if (group_ <= 0)
    return;
  ::kill(-group_, SIGTERM);
  // The leader is ours to reap, the others init's: the group is gone once no member is left.
  bool leaderReaped = false;
  auto gone = [&] {
    if (!leaderReaped)
      leaderReaped = ::waitpid(group_, nullptr, WNOHANG) == group_;
    return leaderReaped && ::kill(-group_, 0) != 0 && errno == ESRCH;
  };
  if (!waitUntil(gone, 10s)) {
    ::kill(-group_, SIGKILL);
    waitUntil(gone, 10s);
  }
  group_ = -1;
}

std::string DesktopSession::run(const std::string& command) const {
  std::string exports;
  for (const std::string& entry : environment()) {
    std::size_t equals = entry.find('=');
    exports += " " + entry.substr(0, equals) + "='";
    for (char c : entry.substr(equals + 1))
      exports += c == '\'' ? std::string("'\\''") : std::string(1, c);
    exports += "'";
  }
  return commandOutput("export" + exports + "; " + command);
}

std::string DesktopSession::log() const {
  std::ifstream in(runtimeDirectory_ + "/session.log");
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

GnomeSession::GnomeSession(Options options) : DesktopSession("gnome") {
  static std::atomic<int> sessions = 0;
  waylandDisplay_ = "tovel-" + std::to_string(::getpid()) + "-" + std::to_string(++sessions);
  // The shell writes the bus address out. WirePlumber ends at once when PipeWire's socket is not
  // there yet. The session ends with Mutter, unless restartCompositor() asked for a new one (and
  // wrote Mutter's process id out to do so).
  std::string script =
      "echo \"$DBUS_SESSION_BUS_ADDRESS\" > \"$XDG_RUNTIME_DIR/bus\"; pipewire & "
      "until [ -S \"$XDG_RUNTIME_DIR/pipewire-0\" ]; do sleep 0.05; done; " +
      std::string(options.sessionManager ? "wireplumber & " : "") +
      "while :; do mutter --wayland --headless --no-x11 --virtual-monitor 1920x1080 "
      "--wayland-display " +
      waylandDisplay_ +
      " & echo $! > \"$XDG_RUNTIME_DIR/compositor.pid\"; wait $!; "
      "rm \"$XDG_RUNTIME_DIR/compositor.restart\" 2>/dev/null || break; done";
  running_ =
      start({"dbus-run-session", "--", "sh", "-c", script},
            {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "PIPEWIRE_REMOTE"}, {}) &&
      waitUntil(
          [&] { // up once Mutter owns its names
            std::ifstream(runtimeDirectory_ + "/bus") >> busAddress_;
            return !busAddress_.empty() && compositorOnBus();
          },
          20s);
}

// Mutter 43 takes SIGTERM but does not end once a screen cast has run, which would hold stop() for
// its 10 s: it is killed first, and the session ends with it.
GnomeSession::~GnomeSession() {
  pid_t pid = 0;
  if ((std::ifstream(runtimeDirectory_ + "/compositor.pid") >> pid) && pid > 0 && group_ > 0 &&
      ::getpgid(pid) == group_)
    ::kill(pid, SIGKILL);
}

bool GnomeSession::compositorOnBus(std::string* owner) const {
  const std::string call = "gdbus call --session --dest org.freedesktop.DBus --object-path "
                           "/org/freedesktop/DBus --method org.freedesktop.DBus.";
  std::string owned = run(call + "ListNames 2>/dev/null");
  for (const char* name : {"'org.gnome.Mutter.RemoteDesktop'", "'org.gnome.Mutter.ScreenCast'",
                           "'org.gnome.Mutter.DisplayConfig'"})
    if (owned.find(name) == std::string::npos)
      return false;
  if (owner)
    *owner = run(call + "GetNameOwner org.gnome.Mutter.RemoteDesktop 2>/dev/null");
  return true;
}

bool GnomeSession::restartCompositor() {
  std::string before;
  pid_t pid = 0;
  if (!running_ || !compositorOnBus(&before) ||
      !(std::ifstream(runtimeDirectory_ + "/compositor.pid") >> pid) || pid <= 0)
    return false;
  std::ofstream(runtimeDirectory_ + "/compositor.restart").put('\n');
  // Killed, as at the end (see ~GnomeSession).
  auto replaced = [&] {
    std::string now;
    return compositorOnBus(&now) && !now.empty() && now != before;
  };
  return ::kill(pid, SIGKILL) == 0 && waitUntil(replaced, 30s);
}

std::vector<std::string> GnomeSession::environment() const {
  return {"DBUS_SESSION_BUS_ADDRESS=" + busAddress_, "WAYLAND_DISPLAY=" + waylandDisplay_,
          "XDG_RUNTIME_DIR=" + runtimeDirectory_, "DISPLAY="};
}

SwaySession::SwaySession() : DesktopSession("sway") {
  if (runtimeDirectory_.empty())
    return;
  std::string config = runtimeDirectory_ + "/config";
  std::ofstream(config) << "xwayland disable\noutput HEADLESS-1 mode 1920x1080 position 0 0\n"
                        << "default_border none\ndefault_floating_border none\n"
                        << "focus_follows_mouse no\n";
  std::vector<std::string> arguments{"sway", "-c", config};
  if (::geteuid() == 0) {
    const passwd* user = ::getpwnam("nobody"); // a user every Debian system has
    if (!user)
      return;
    for (const std::string& path : {runtimeDirectory_, config})
      if (::chown(path.c_str(), user->pw_uid, user->pw_gid) != 0)
        return;
    arguments.insert(arguments.begin(), {"runuser", "-u", "nobody", "--"});
  }
  if (!start(
          arguments,
          {"DISPLAY", "WAYLAND_DISPLAY", "WAYLAND_SOCKET", "SWAYSOCK", "DBUS_SESSION_BUS_ADDRESS"},
          {"WLR_BACKENDS=headless", "WLR_RENDERER=pixman", "WLR_LIBINPUT_NO_DEVICES=1"}))
    return;
  // Its own runtime directory gives it the first display name.
  running_ = waitUntil(
      [&] {
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(runtimeDirectory_, ignored)) {
          std::string name = entry.path().filename().string();
          if (name.rfind("sway-ipc.", 0) == 0)
            ipcSocket_ = entry.path().string();
          else if (name.rfind("wayland-", 0) == 0 && name.find('.') == std::string::npos)
            waylandDisplay_ = name;
        }
        if (ipcSocket_.empty() || waylandDisplay_.empty())
          return false;
        std::string outputs = run("swaymsg -t get_outputs 2>/dev/null");
        return outputs.find("\"width\": 1920") != std::string::npos &&
               outputs.find("\"height\": 1080") != std::string::npos;
      },
      20s);
}

std::vector<std::string> SwaySession::environment() const {
  return {"WAYLAND_DISPLAY=" + waylandDisplay_, "XDG_RUNTIME_DIR=" + runtimeDirectory_,
          "SWAYSOCK=" + ipcSocket_,
          "DISPLAY=", "DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtimeDirectory_ + "/no-bus"};
}

} // namespace tovel::test
