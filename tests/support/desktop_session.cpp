#include "support/desktop_session.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/wait.h"
#include "support/xvfb.h"

extern char** environ;

namespace tovel::test {

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
                           const std::vector<std::string>& added, int passFd) {
  if (runtimeDirectory_.empty())
    return false;
  std::vector<std::string> args = arguments, env;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    bool replaced = entry.rfind("XDG_RUNTIME_DIR=", 0) == 0;
    for (const std::string& name : unset)
      replaced = replaced || entry.rfind(name + "=", 0) == 0;
    if (!replaced)
      env.push_back(entry);
  }
  env.insert(env.end(), added.begin(), added.end());
  env.push_back("XDG_RUNTIME_DIR=" + runtimeDirectory_);
  std::vector<char*> argv, envp;
  for (auto& a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env)
    envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, (runtimeDirectory_ + "/session.log").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  if (passFd >= 0)
    posix_spawn_file_actions_adddup2(&actions, passFd, 3);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data()) == 0)
    group_ = pid;
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return group_ > 0;
}

void DesktopSession::stop() {
  using namespace std::chrono_literals;
  running_ = false;
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

} // namespace tovel::test
