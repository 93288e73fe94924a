#pragma once
// How the witness programs speak: one whole line at a time, flushed at once (the tests read lines
// as they come).

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace tovel::witness {

inline void say(const char* pattern, ...) {
  va_list args;
  va_start(args, pattern);
  std::vprintf(pattern, args);
  va_end(args);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// A failure the program cannot go on from: said on standard error, and status 1.
[[noreturn]] inline void fail(const std::string& why) {
  std::fprintf(stderr, "%s\n", why.c_str());
  std::exit(1);
}

// Arguments it does not take: its usage on standard error, and status 2.
[[noreturn]] inline void usage(const char* program, const char* options) {
  std::fprintf(stderr, "usage: %s %s\n", program, options);
  std::exit(2);
}

// Text as the hex of its bytes: "c3a9" for an e with acute.
inline std::string hexBytes(const char* text) {
  std::string hex;
  for (char byte[3]; *text; ++text)
    hex.append(byte, std::snprintf(byte, 3, "%02x", unsigned(static_cast<unsigned char>(*text))));
  return hex;
}

} // namespace tovel::witness
