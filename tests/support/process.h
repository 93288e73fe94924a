#pragma once

#include <sys/types.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tovel::test {

// A child process with its standard output and error collected, for tests of the real program.
// The child is killed when the object goes away.
class ChildProcess {
public:
  // terminal: a pseudo-terminal is its input and output; the output then has CR LF line ends, and
  // reading it ends once the child is gone. environment: NAME=value entries that replace or add
  // to this process's environment.
  enum class Input { emptyFile, pipe, terminal };
  ChildProcess(const std::string& program, const std::vector<std::string>& arguments, Input input,
               const std::vector<std::string>& environment = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Writes to the child's standard input (not an empty file); closeInput ends a pipe.
  void writeInput(const std::string& text);
  void closeInput();
  void signal(int number);

  // The exit status once the child has exited by itself, none on time-out or when it was ended
  // by a signal.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout);
  bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout); // contains it
  std::string output();

private:
  pid_t pid_ = -1;
  int inputFd_ = -1;
  int outputFd_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::string output_;
  bool exited_ = false;
  int status_ = 0;
};

} // namespace tovel::test
