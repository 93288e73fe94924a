#include "support/gnome_session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/wait.h"
#include "support/xvfb.h"

extern char** environ;

namespace tovel::test {

namespace {

using namespace std::chrono_literals;

bool onPath(const std::string& program) {
  return !commandOutput("command -v " + program + " 2>/dev/null").empty();
}

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text)
    out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

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

std::optional<std::string> GnomeSession::missingProgram() {
  for (const char* program : {"mutter", "pipewire", "wireplumber", "dbus-run-session", "gdbus"})
    if (!onPath(program))
      return std::string(program) + " is not installed (scripts/setup-deps.sh)";
  return std::nullopt;
}

GnomeSession::GnomeSession(Options options) {
  char directory[] = "/tmp/tovel-gnome-XXXXXX"; // mkdtemp makes it 0700, as the runtime dir must
  if (!::mkdtemp(directory))
    return;
  runtimeDirectory_ = directory;
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
  std::string size = std::to_string(options.width) + "x" + std::to_string(options.height);
  std::string script = "echo \"$DBUS_SESSION_BUS_ADDRESS\" >&3; exec 3>&-; "
                       "pipewire & "
                       "until [ -S \"$XDG_RUNTIME_DIR/pipewire-0\" ]; do sleep 0.05; done; " +
                       std::string(options.sessionManager ? "wireplumber & " : "") +
                       "while :; do mutter --wayland --headless --no-x11 --virtual-monitor " +
                       size + " --wayland-display " + waylandDisplay_ +
                       " & echo $! > \"$XDG_RUNTIME_DIR/compositor.pid\"; wait $!; "
                       "rm \"$XDG_RUNTIME_DIR/compositor.restart\" 2>/dev/null || break; done";
  std::vector<std::string> args{"dbus-run-session", "--", "sh", "-c", script};
  std::vector<char*> argv;
  for (auto& a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    bool replaced = false;
    for (const char* name : {"DISPLAY=", "WAYLAND_DISPLAY=", "DBUS_SESSION_BUS_ADDRESS=",
                             "XDG_RUNTIME_DIR=", "PIPEWIRE_REMOTE="})
      replaced = replaced || entry.rfind(name, 0) == 0;
    if (!replaced)
      env.push_back(entry);
  }
  env.push_back("XDG_RUNTIME_DIR=" + runtimeDirectory_);
  std::vector<char*> envp;
  for (auto& e : env)
    envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  std::string logPath = runtimeDirectory_ + "/session.log";
  posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawn_file_actions_adddup2(&actions, address[1], 3);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data()) == 0)
    group_ = pid;
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  ::close(address[1]);

  auto deadline = std::chrono::steady_clock::now() + 20s;
  if (group_ > 0)
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

GnomeSession::~GnomeSession() {
  stop();
  if (!runtimeDirectory_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(runtimeDirectory_, ignored);
  }
}

void GnomeSession::stop() {
  if (group_ <= 0)
    return;
  ::kill(-group_, SIGTERM);
  // The leader is ours to reap; the others are reparented and reaped by init. The group is gone
  // once no member is left.
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
  running_ = false;
}

std::vector<std::string> GnomeSession::environment() const {
  return {"DBUS_SESSION_BUS_ADDRESS=" + busAddress_, "WAYLAND_DISPLAY=" + waylandDisplay_,
          "XDG_RUNTIME_DIR=" + runtimeDirectory_, "DISPLAY="};
}

std::string GnomeSession::run(const std::string& command) const {
  return commandOutput("export DBUS_SESSION_BUS_ADDRESS=" + quoted(busAddress_) +
                       " WAYLAND_DISPLAY=" + quoted(waylandDisplay_) + " XDG_RUNTIME_DIR=" +
                       quoted(runtimeDirectory_) + "; unset DISPLAY; " + command);
}

std::string GnomeSession::log() const {
  std::ifstream in(runtimeDirectory_ + "/session.log");
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

} // namespace tovel::test
