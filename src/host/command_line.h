#pragma once

#include <optional>
#include <string_view>
#include <vector>

namespace tovel {

// What the command line asks for.
struct CommandLine {
  bool console = true;    // read commands from standard input, and end when it ends
  bool pair = false;      // every control request, WebSocket and stream needs the secret
  bool newSecret = false; // replace the stored secret (and pair with the new one)
  bool printLink = false; // print the local link and its code, and exit
};

// Printed, to standard error, for any command line the program does not understand.
inline constexpr std::string_view kUsage =
    "Usage: tovel-host [--no-console] [--pair] [--new-secret] [--print-link]\n"
    "  --no-console  do not read commands from standard input; run until SIGINT or SIGTERM\n"
    "  --pair        serve only phones that opened the printed link or scanned its code\n"
    "  --new-secret  pair with a new secret: phones paired before must scan again\n"
    "  --print-link  print the local link (with the pairing secret, if any) and its code, "
    "and exit\n";

// The arguments after the program's own name; none when one is not understood.
std::optional<CommandLine> parseCommandLine(const std::vector<std::string_view>& arguments);

} // namespace tovel
