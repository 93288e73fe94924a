#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>

namespace tovel::test {

struct CommandResult {
  int status = -1;
  std::string output; // standard output
  std::string errors; // standard error
};

// Runs a shell command to its end, keeping its two outputs apart.
inline CommandResult runCommand(const std::string& command) {
  namespace fs = std::filesystem;
  static int serial = 0;
  CommandResult result;
  fs::path errors = fs::temp_directory_path() / ("tovel-command-" + std::to_string(::getpid()) +
                                                 "-" + std::to_string(serial++) + ".err");
  FILE* pipe = popen((command + " 2>'" + errors.string() + "'").c_str(), "r");
  if (!pipe)
    return result;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
    result.output.append(buffer, n);
  int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream in(errors);
  result.errors.assign(std::istreambuf_iterator<char>(in), {});
  fs::remove(errors);
  return result;
}

// "key=value" lines as ffprobe and ffmpeg's progress report print them; the last value wins.
inline std::map<std::string, std::string> keyValues(const std::string& text) {
  std::map<std::string, std::string> values;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (auto equals = line.find('='); equals != std::string::npos)
      values[line.substr(0, equals)] = line.substr(equals + 1);
  return values;
}

} // namespace tovel::test
