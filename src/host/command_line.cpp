#include "host/command_line.h"

namespace tovel {

std::optional<CommandLine> parseCommandLine(const std::vector<std::string_view>& arguments) {
  CommandLine line;
  for (std::string_view argument : arguments) {
    // A repeated option is harmless, but anything else is more likely a mistake than a wish.
    if (argument == "--no-console")
      line.console = false;
    else if (argument == "--pair")
      line.pair = true;
    else if (argument == "--new-secret")
      line.newSecret = line.pair = true;
    else if (argument == "--print-link")
      line.printLink = true;
    else
      return std::nullopt;
  }
  return line;
}

} // namespace tovel
