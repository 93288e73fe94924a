#include "support/process.h"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

extern char** environ;

namespace tovel::test {

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           Input input, const std::vector<std::string>& environment) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0)
    return;
  int in[2] = {-1, -1};
  if (input == Input::pipe) {
    if (::pipe2(in, O_CLOEXEC) != 0)
      return;
  } else if (input == Input::terminal) {
    // Line by line and without echo, so that typed input does not mix with the output.
    termios settings{};
    ::cfmakeraw(&settings);
    settings.c_lflag = ICANON;
    settings.c_oflag = OPOST | ONLCR;
    settings.c_iflag = ICRNL;
    settings.c_cflag = CS8 | CREAD;
    settings.c_cc[VEOF] = 4;
    ::cfsetspeed(&settings, B38400);
    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, &settings, nullptr) != 0)
      return;
    ::close(out[0]);
    ::close(out[1]);
    out[0] = master;
    out[1] = slave;
    in[0] = ::fcntl(slave, F_DUPFD_CLOEXEC, 0);
    in[1] = ::fcntl(master, F_DUPFD_CLOEXEC, 0);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
  } else {
    in[0] = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, out[1], 2);

  std::vector<std::string> argvStorage{program};
  argvStorage.insert(argvStorage.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& a : argvStorage)
    argv.push_back(a.data());
  argv.push_back(nullptr);

  // The given NAME=value entries replace the inherited ones of the same name.
  auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  std::vector<std::string> envStorage;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    bool replaced = false;
    for (const std::string& override : environment)
      replaced = replaced || nameOf(override) == nameOf(entry);
    if (!replaced)
      envStorage.push_back(entry);
  }
  envStorage.insert(envStorage.end(), environment.begin(), environment.end());
  std::vector<char*> envp;
  for (auto& e : envStorage)
    envp.push_back(e.data());
  envp.push_back(nullptr);

  if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
    pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(in[0]);
  inputFd_ = in[1];
  outputFd_ = out[0];
  reader_ = std::thread([this] {
    char buffer[4096];
    while (true) {
      ssize_t n = ::read(outputFd_, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        break;
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
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!exited_) {
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      exited_ = true;
      status_ = status;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline)
      return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (reader_.joinable())
    reader_.join(); // the output is complete once the child is gone
  if (!WIFEXITED(status_))
    return std::nullopt;
  return WEXITSTATUS(status_);
}

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    {
      std::lock_guard lock(mutex_);
      if (output_.find(text) != std::string::npos)
        return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

std::string ChildProcess::output() {
  std::lock_guard lock(mutex_);
  return output_;
}

int openDescriptors(pid_t pid) {
  std::error_code error;
  int count = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error))
    ++count;
  return error ? -1 : count;
}

} // namespace tovel::test
