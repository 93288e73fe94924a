#include <gtest/gtest.h>

#include "host/command_line.h"
#include "host/terminal_qr.h"
#include "support/terminal_qr_reader.h"

namespace tovel::test {
namespace {

// The 7 x 7 finder pattern a reader locates the code by: dark ring, light ring, dark centre.
bool finderAt(const ModuleRows& m, std::size_t top, std::size_t left) {
  for (std::size_t r = 0; r < 7; ++r) {
    for (std::size_t c = 0; c < 7; ++c) {
      std::size_t ring = std::min({r, c, 6 - r, 6 - c});
      bool expectLight = ring == 1;
      if (m[top + r][left + c] != expectLight)
        return false;
    }
  }
  return true;
}

TEST(TerminalQrCode, DrawsAReadableCodeWithItsQuietZone) {
  const std::string longLink = "http://192.168.100.200:8096/?url=/&" + std::string(220, 'x');
  for (const std::string& text : {std::string("http://192.0.2.2:8096?url=/"),
                                  std::string("MiXeD case, spaces & {~|}"), longLink}) {
    SCOPED_TRACE(text);
    auto drawn = renderTerminalQrCode(text);
    ASSERT_TRUE(drawn.has_value());
    EXPECT_NE(drawn->back(), '\n');
    auto m = readHalfBlocks(*drawn);
    ASSERT_TRUE(m.has_value());

    // Versions 1-40 are 21-177 modules wide, plus four light modules on each side. The text has
    // two rows a line, so one row more than the code's odd height: it stays dark (unlit).
    std::size_t side = m->front().size();
    ASSERT_EQ(side % 4, 1u);
    ASSERT_GE(side, 29u);
    ASSERT_EQ(m->size(), side + 1);
    EXPECT_EQ(m->back(), std::vector<bool>(side, false));
    for (std::size_t i = 0; i < side; ++i) {
      for (std::size_t q = 0; q < 4; ++q) {
        EXPECT_TRUE((*m)[q][i] && (*m)[side - 1 - q][i] && (*m)[i][q] && (*m)[i][side - 1 - q])
            << "quiet zone at " << q << ", " << i;
      }
    }
    // Dark modules are blanks: the finders sit in three corners, in the code's own orientation.
    EXPECT_TRUE(finderAt(*m, 4, 4));
    EXPECT_TRUE(finderAt(*m, 4, side - 11));
    EXPECT_TRUE(finderAt(*m, side - 11, 4));
    EXPECT_FALSE(finderAt(*m, side - 11, side - 11));

    EXPECT_EQ(decodeWithZbar(*m), text);
  }
}

TEST(TerminalQrCode, TextThatCannotBeEncodedGivesNothing) {
  EXPECT_FALSE(renderTerminalQrCode(""));
  EXPECT_FALSE(renderTerminalQrCode(std::string_view("a\0b", 3)));
  // The largest code holds 2331 bytes at this level of error correction.
  EXPECT_TRUE(renderTerminalQrCode(std::string(2331, 'x')));
  EXPECT_FALSE(renderTerminalQrCode(std::string(2332, 'x')));
}

TEST(CommandLine, OnlyItsOptionsAreUnderstood) {
  // The arguments and what they ask for, "?" when they are not understood.
  const std::pair<std::vector<std::string_view>, const char*> cases[] = {
      {{}, "console"},
      {{"--no-console"}, ""},
      {{"--no-console", "--no-console"}, ""},
      {{"--pair", "--no-console"}, "pair"},
      {{"--new-secret"}, "console pair new-secret"}, // a new secret only to pair with it
      {{"--print-link"}, "console print-link"},
      {{"--print-link", "--new-secret"}, "console pair new-secret print-link"},
      {{"--help"}, "?"},
      {{"-n"}, "?"},
      {{""}, "?"},
      {{"--no-console="}, "?"},
      {{"--NO-CONSOLE"}, "?"},
      {{"--pair=yes"}, "?"},
      {{"--no-console", "extra"}, "?"},
  };
  for (const auto& [arguments, expected] : cases) {
    auto line = parseCommandLine(arguments);
    std::string asked =
        line ? std::string(line->console ? " console" : "") + (line->pair ? " pair" : "") +
                   (line->newSecret ? " new-secret" : "") + (line->printLink ? " print-link" : "")
             : " ?";
    EXPECT_EQ(asked.substr(std::min<std::size_t>(1, asked.size())), expected)
        << ::testing::PrintToString(arguments);
  }
  for (std::string_view option : {"--no-console", "--pair", "--new-secret", "--print-link"})
    EXPECT_NE(kUsage.find(option), std::string_view::npos) << option;
}

} // namespace
} // namespace tovel::test
