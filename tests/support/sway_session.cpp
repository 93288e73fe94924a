#include "support/sway_session.h"

#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "support/process_group.h"
#include "support/wait.h"
#include "support/xvfb.h"

namespace tovel::test {

namespace {

using namespace std::chrono_literals;

// Who sway runs as when the tests run as root: a user every Debian system has.
constexpr const char* kUnprivilegedUser = "nobody";

} // namespace

std::optional<std::string> SwaySession::missingProgram() {
  for (const char* program : {"sway", "swaymsg", "grim"})
    if (commandOutput(std::string("command -v ") + program + " 2>/dev/null").empty())
      return std::string(program) + " is not installed (scripts/setup-deps.sh)";
  return std::nullopt;
}

SwaySession::SwaySession() {
  char directory[] = "/tmp/tovel-sway-XXXXXX"; // mkdtemp makes it 0700, as the runtime dir must
  if (!::mkdtemp(directory))
    return;
  runtimeDirectory_ = directory;
  std::string config = runtimeDirectory_ + "/config";
  {
    std::ofstream out(config);
    out << "xwayland disable\n"
        << "output HEADLESS-1 mode 1920x1080 position 0 0\n"
        << "default_border none\n"
        << "default_floating_border none\n"
        << "focus_follows_mouse no\n";
  }
  std::vector<std::string> arguments{"sway", "-c", config};
  if (::geteuid() == 0) {
    const passwd* user = ::getpwnam(kUnprivilegedUser);
    if (!user)
      return;
    for (const std::string& path : {runtimeDirectory_, config})
      if (::chown(path.c_str(), user->pw_uid, user->pw_gid) != 0)
        return;
    arguments.insert(arguments.begin(), {"runuser", "-u", kUnprivilegedUser, "--"});
  }
  group_ = std::make_unique<ProcessGroup>(
      arguments,
      environmentWithout({"DISPLAY", "WAYLAND_DISPLAY", "WAYLAND_SOCKET", "SWAYSOCK",
                          "XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS"},
                         {"XDG_RUNTIME_DIR=" + runtimeDirectory_, "WLR_BACKENDS=headless",
                          "WLR_RENDERER=pixman", "WLR_LIBINPUT_NO_DEVICES=1"}),
      runtimeDirectory_ + "/session.log");
  if (!group_->started())
    return;
  // Up once its sockets are there and it reports the output at its size. Its own runtime
  // directory gives it the first display name.
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

SwaySession::~SwaySession() {
  group_.reset();
  if (!runtimeDirectory_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(runtimeDirectory_, ignored);
  }
}

std::vector<std::string> SwaySession::environment() const {
  return {"WAYLAND_DISPLAY=" + waylandDisplay_, "XDG_RUNTIME_DIR=" + runtimeDirectory_,
          "SWAYSOCK=" + ipcSocket_,
          "DISPLAY=", "DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtimeDirectory_ + "/no-bus"};
}

std::string SwaySession::run(const std::string& command) const {
  return runWith(environment(), command);
}

std::string SwaySession::log() const {
  return fileText(runtimeDirectory_ + "/session.log");
}

} // namespace tovel::test
