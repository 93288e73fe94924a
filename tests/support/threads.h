#pragma once

#include <filesystem>
#include <fstream>
#include <string>

namespace tovel::test {

// Threads that go by the name (threads name themselves), of this process or the one given by its
// /proc entry.
inline int threadsNamed(const std::string& name, const std::string& process = "self") {
  int count = 0;
  for (auto& entry : std::filesystem::directory_iterator("/proc/" + process + "/task")) {
    std::string comm;
    std::getline(std::ifstream(entry.path() / "comm"), comm);
    count += comm == name;
  }
  return count;
}

// Threads of this process that continuous captures started.
inline int captureThreads() {
  return threadsNamed("tovel-capture");
}

} // namespace tovel::test
