#include "support/sway_session.h"

#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "support/wait.h"

namespace tovel::test {

SwaySession::SwaySession() : DesktopSession("sway") {
  if (runtimeDirectory_.empty())
    return;
  using namespace std::chrono_literals;
  std::string config = runtimeDirectory_ + "/config";
  std::ofstream(config) << "xwayland disable\n"
                        << "output HEADLESS-1 mode 1920x1080 position 0 0\n"
                        << "default_border none\n"
                        << "default_floating_border none\n"
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

std::vector<std::string> SwaySession::environment() const {
  return {"WAYLAND_DISPLAY=" + waylandDisplay_, "XDG_RUNTIME_DIR=" + runtimeDirectory_,
          "SWAYSOCK=" + ipcSocket_,
          "DISPLAY=", "DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtimeDirectory_ + "/no-bus"};
}

} // namespace tovel::test
