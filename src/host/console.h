#pragma once

#include <functional>
#include <istream>
#include <string>

#include "input/injection_state.h"

namespace tovel {

// Ends the process with a status; the host's flushes output first. Tests pass their own.
using ExitProcess = std::function<void(int status)>;

// Interprets one console line (without its line end): moves, clicks, scrolls, swipes and types
// text like a remote client would, or ends the process with "exit".
void handleCommand(InputContext& input, const std::string& line, const ExitProcess& exitProcess);

// Hands every line of the input to onLine, without its line end (nor the carriage return of a
// terminal that ends lines with CR LF), until the input ends. A last line without a line end
// counts too.
void readConsoleLines(std::istream& input, const std::function<void(std::string line)>& onLine);

} // namespace tovel
