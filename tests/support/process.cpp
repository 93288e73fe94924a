#include "support/process.h"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "support/wait.h"

extern char** environ;

namespace tovel::test {

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           Input input, const std::vector<std::string>& environment) {
  int out[2], in[2] = {-1, -1};
  if (::pipe2(out, O_CLOEXEC) != 0 || (input == Input::pipe && ::pipe2(in, O_CLOEXEC) != 0))
    return;
  if (input == Input::terminal) {
    ::close(out[0]);
    ::close(out[1]);
    if (::openpty(&out[0], &out[1], nullptr, nullptr, nullptr) != 0)
      return;
    // Line by line as a terminal's defaults are, but without echo, so that typed input does not
    // mix with the output.
    termios settings{};
    ::tcgetattr(out[1], &settings);
    settings.c_lflag &= ~tcflag_t(ECHO);
    ::tcsetattr(out[1], TCSANOW, &settings);
    in[0] = ::fcntl(out[1], F_DUPFD_CLOEXEC, 0);
    in[1] = ::fcntl(out[0], F_DUPFD_CLOEXEC, 0);
    ::fcntl(out[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(out[1], F_SETFD, FD_CLOEXEC);
  } else if (input == Input::emptyFile) {
    in[0] = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  // Nothing else the test holds goes with it: a child left behind by a test that crashed must not
  // keep a lock of the test runner's (flock on a descriptor) or a socket of its own.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  // The given NAME=value entries replace the inherited ones of the same name.
  auto nameOf = [](std::string_view entry) { return entry.substr(0, entry.find('=')); };
  std::vector<std::string> envp = environment;
  for (char** e = environ; *e; ++e)
    if (std::ranges::none_of(environment, [&](auto& o) { return nameOf(o) == nameOf(*e); }))
      envp.push_back(*e);
  // The argv-style arrays of the strings.
  auto pointers = [](std::vector<std::string>& strings) {
    std::vector<char*> list;
    for (std::string& s : strings)
      list.push_back(s.data());
    list.push_back(nullptr);
    return list;
  };
  if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, pointers(argv).data(),
                  pointers(envp).data()) != 0)
    pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(in[0]);
  inputFd_ = in[1];
  outputFd_ = out[0];
  reader_ = std::thread([this] {
    char buffer[4096];
    for (ssize_t n;
         (n = ::read(outputFd_, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR);)
      if (n > 0) {
        std::lock_guard lock(mutex_);
        output_.append(buffer, std::size_t(n));
      }
  });
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !exited_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  closeInput();
  if (reader_.joinable())
    reader_.join();
  if (outputFd_ >= 0)
    ::close(outputFd_);
}

void ChildProcess::writeInput(const std::string& text) {
  if (inputFd_ >= 0) [[maybe_unused]]
    auto n = ::write(inputFd_, text.data(), text.size());
}

void ChildProcess::closeInput() {
  if (inputFd_ >= 0)
    ::close(inputFd_);
  inputFd_ = -1;
}

void ChildProcess::signal(int number) {
  if (pid_ > 0 && !exited_)
    ::kill(pid_, number);
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds timeout) {
  if (!waitUntil([&] { return exited_ = exited_ || ::waitpid(pid_, &status_, WNOHANG) == pid_; },
                 timeout))
    return std::nullopt;
  if (reader_.joinable())
    reader_.join(); // the output is complete once the child is gone
  if (!WIFEXITED(status_))
    return std::nullopt;
  return WEXITSTATUS(status_);
}

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
  return waitUntil(
      [&] {
        std::lock_guard lock(mutex_);
        return output_.find(text) != std::string::npos;
      },
      timeout);
}

std::string ChildProcess::output() {
  std::lock_guard lock(mutex_);
  return output_;
}

} // namespace tovel::test
