#pragma once

#include <optional>
#include <string_view>
#include <vector>

namespace tovel {

// What the command line asks for.
struct CommandLine {
  bool console = true; // read commands from standard input, and end when it ends
};

// Printed, to standard error, for any command line the program does not understand.
inline constexpr std::string_view kUsage =
    "Usage: tovel-host [--no-console]\n"
    "  --no-console  do not read commands from standard input; run until SIGINT or SIGTERM\n";

// The arguments after the program's own name; none when one is not understood.
std::optional<CommandLine> parseCommandLine(const std::vector<std::string_view>& arguments);

} // namespace tovel
