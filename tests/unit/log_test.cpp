#include <gtest/gtest.h>

#include "common/log.h"

namespace tovel {
namespace {

TEST(TerminalSafe, ShowsControlsInsteadOfLettingTheTerminalActOnThem) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain text, é and 🙂\tok", "plain text, é and 🙂\tok"},
      {"REQUEST: GET / HTTP/1.1\r\nHost: h\r\n\r\n", "REQUEST: GET / HTTP/1.1\r\nHost: h\r\n\r\n"},
      {"\nclick left", "\nclick left"},
      {"\x1b]52;c;cGF5bG9hZA==\x07 title", "^[]52;c;cGF5bG9hZA==^G title"},
      {"over\rwrite", "over^Mwrite"},
      {"end\r", "end^M"},
      {std::string("nul\0del\x7f", 8), "nul^@del^?"},
      {"csi \xc2\x9b" "2J next \xc2\xa0", "csi <9B>2J next \xc2\xa0"},
  };
  for (const auto& [text, shown] : cases)
    EXPECT_EQ(terminalSafe(text), shown) << text;
}

} // namespace
} // namespace tovel
