#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tovel::test {

// A program started in a process group of its own, with exactly the environment given and its
// output and errors in a log file; the whole group (the program and whatever it started) is ended
// when the object goes away. For the desktop sessions the tests start.
class ProcessGroup {
public:
  // `passFd`, if not negative, becomes the program's descriptor 3.
  ProcessGroup(const std::vector<std::string>& arguments,
               const std::vector<std::string>& environment, const std::string& logPath,
               int passFd = -1);
  ~ProcessGroup() { stop(); }
  ProcessGroup(const ProcessGroup&) = delete;
  ProcessGroup& operator=(const ProcessGroup&) = delete;

  bool started() const { return group_ > 0; }
  // Ends every process of the group (SIGTERM, then SIGKILL after 10 s) and waits until it is gone.
  void stop();

private:
  pid_t group_ = -1; // led by the program started
};

// This process's environment without the variables named, with the entries added.
std::vector<std::string> environmentWithout(const std::vector<std::string>& names,
                                            const std::vector<std::string>& added);

// Runs a shell command with these environment entries exported; its standard output.
std::string runWith(const std::vector<std::string>& environment, const std::string& command);

// The whole text of a file ("" when it cannot be read): a session's log.
std::string fileText(const std::string& path);

} // namespace tovel::test
