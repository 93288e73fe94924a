#include <nlohmann/json.hpp>

#include <cstdio>

#include "common/utf8_text.h"
#include "support/witness_text.h"
#include "system/wlroots/sway_host_fixture.h"

namespace tovel::test {
namespace {

using SwayInput = SwayHostTest;

// Relative moves arrive exactly, from every channel, fractions too, also once something else has
// moved the pointer: the compositor applies them where the pointer is.
TEST_F(SwayInput, MovesFromEveryChannelAreExact) {
  PointerPosition at = pointerOverWitness();
  expectExactMoves(at,
                   {{"post", 3, -2},
                    {"websocket", -7, 11},
                    {"console", 25, 4},
                    {"console", 2.5, -1.5},
                    {"outside", 500, 400},
                    {"post", -30, -12},
                    {"websocket", 0.25, 7}},
                   [&](double x, double y) {
                     session_->run("swaymsg seat seat0 cursor set " + number(x) + " " + number(y));
                   });
}

TEST_F(SwayInput, ClicksAndADoubleClickReachTheWindow) {
  pointerOverWitness();
  expectClicksAndADoubleClick();
}

// Every key name types its keysym in the focused window: the keymap is the host's own. Then
// chords: shift gives the shifted symbols of a US keyboard, and the modifiers reach the window.
TEST_F(SwayInput, EveryKeyNameAndChordArrives) {
  ASSERT_NO_FATAL_FAILURE(waitForKeyboardFocus());
  ASSERT_TRUE(witness_->waitForOutput("key keysym=Shift_L state=released\n", 30s));
  std::size_t from = witnessLines().size();
  auto webSocket = openWebSocket();
  std::string expected =
      sendEveryKeyAndShiftedOnes(*webSocket, [](Keysym, const std::string&) { return true; });
  EXPECT_EQ(waitForEvents(from, {"key "}, expected), expected);

  // Control and the logo key are down together for the "c" between them.
  from = witnessLines().size();
  for (auto [name, down] : {std::pair{"control", true},
                            {"command", true},
                            {"c", true},
                            {"c", false},
                            {"command", false},
                            {"control", false}})
    webSocket->send(keyMessage(name, down));
  const std::string chord = "modifiers depressed=0x4 latched=0x0 locked=0x0 group=0; "
                            "modifiers depressed=0x44 latched=0x0 locked=0x0 group=0; "
                            "key keysym=c state=pressed; key keysym=c state=released; "
                            "modifiers depressed=0x4 latched=0x0 locked=0x0 group=0; "
                            "modifiers depressed=0x0 latched=0x0 locked=0x0 group=0";
  EXPECT_EQ(waitForEvents(from, {"modifiers ", "key keysym=c "}, chord), chord);
}

// Text arrives as its characters from every channel, whatever injection holds or locks, and what
// is held applies again after it. A long paste arrives whole and in order, also one of more
// distinct characters than the keymap has spare keys. Only what has no keysym is left out.
TEST_F(SwayInput, TextArrivesAsItsCharactersFromEveryChannel) {
  ASSERT_NO_FATAL_FAILURE(waitForKeyboardFocus());
  std::size_t from = witness_->output().size();
  auto typed = [&] { return witnessTypedText(witness_->output().substr(from)); };
  std::string expected;
  auto arrives = [&](const std::string& text) {
    expected += text;
    bool arrived = waitUntil([&] { return typed().size() >= expected.size(); }, 60s);
    EXPECT_TRUE(arrived && typed() == expected) << typed();
  };
  auto tap = [&](const std::string& name) {
    post("/keydown", R"({"key":")" + name + R"("})");
    post("/keyup", R"({"key":")" + name + R"("})");
  };
  const std::string text = "café 日本 😀";
  tap("capsLock");
  post("/keydown", R"({"key":"shift"})");
  post("/type", R"({"text":")" + text + R"("})");
  auto webSocket = openWebSocket();
  webSocket->send(maskedFrame(R"({"action":"type","text":")" + text + R"("})"));
  ASSERT_TRUE(host_->waitForOutput("ws type 9 characters\n", 30s)) << host_->output();
  host_->writeInput("type " + text + "\n");
  arrives(text + text + text);
  tap("1"); // shift applies again
  post("/keyup", R"({"key":"shift"})");
  tap("a"); // and caps lock
  tap("capsLock");
  arrives("!A");

  std::u32string mixed;
  const std::u32string line = U"Line 7: Grüße @ 3 € – ελληνικά 日本 😀 ñ\t«ok» \"q\" \\ ABC xyz\n";
  while (mixed.size() < 1000)
    mixed += line.substr(0, std::min(line.size(), 1000 - mixed.size()));
  std::u32string ideographs; // 375 of them, between spaces, line feeds, tabs and letters
  for (std::size_t i = 0; i < 1000; ++i)
    ideographs += i % 4 == 3 ? U" \n\tx"[i / 4 % 4] : char32_t(0x4E00 + i * 37 % 500);
  for (const auto& [name, paste] : {std::pair{"mixed", mixed}, {"375 ideographs", ideographs}}) {
    std::string utf8;
    for (char32_t c : paste)
      utf8 += encodeUtf8(c);
    auto start = std::chrono::steady_clock::now();
    post("/type", nlohmann::json{{"text", utf8}}.dump());
    arrives(utf8);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s: %zu characters typed in %.3f s, %.0f characters per second\n", name,
                paste.size(), seconds, double(paste.size()) / seconds);
  }

  // A noncharacter has no keysym: named in the log, and the characters around it still arrive.
  post("/type", R"({"text":"x\uFFFEy"})");
  arrives("xy");
  const std::string named = "Could not type on this desktop: \xEF\xBF\xBE (U+FFFE)\n";
  ASSERT_TRUE(host_->waitForOutput(named, 30s)) << host_->output();
  EXPECT_EQ(host_->output().find("Could not type"), host_->output().find(named));
}

// Pixels stay pixels, as finger scrolling, each frame of one source; the gesture ends with
// axis_stop once no scroll has come for a moment. Positive amounts scroll towards the top or the
// left of the content, which Wayland gives as negative values.
TEST_F(SwayInput, ScrollingArrivesAsFingerScrollingInPixels) {
  pointerOverWitness();
  std::size_t from = witnessLines().size();
  post("/scroll", R"({"x":0,"y":30,"done":false})");
  post("/scroll", R"({"x":-20,"y":0,"done":false})");
  post("/scroll", R"({"x":5,"y":-12,"done":true})");
  const std::string expected =
      "axis_source source=finger; axis axis=vertical value=-30; frame; "
      "axis_source source=finger; axis axis=horizontal value=20; frame; "
      "axis_source source=finger; axis axis=vertical value=12; axis axis=horizontal value=-5; "
      "frame; axis_source source=finger; axis_stop axis=vertical; axis_stop axis=horizontal; "
      "frame";
  EXPECT_EQ(waitForEvents(from, {"axis", "frame"}, expected), expected);
}

// Keys and buttons a WebSocket client holds are let go when it vanishes, and those still held
// when the host exits are let go before it does.
TEST_F(SwayInput, HeldInputIsLetGoWhenItsClientVanishesAndAtExit) {
  pointerOverWitness();
  std::size_t from = witnessLines().size();
  auto press = [&] {
    auto client = openWebSocket();
    client->send(maskedFrame(R"({"action":"mousedown","button":"left"})") +
                 maskedFrame(R"({"action":"keydown","key":"shift"})"));
    return client;
  };
  // Whatever the order of the releases.
  auto cycled = [&](std::size_t from) {
    return waitUntil(
        [&] {
          return witnessEvents(from, {"button "}) ==
                     "button button=272 state=pressed; button button=272 state=released" &&
                 witnessEvents(from, {"key "}) ==
                     "key keysym=Shift_L state=pressed; key keysym=Shift_L state=released";
        },
        30s);
  };
  {
    auto vanishing = press();
    ASSERT_TRUE(witness_->waitForOutput("key keysym=Shift_L state=pressed", 30s));
    vanishing->reset();
    EXPECT_TRUE(cycled(from)) << witness_->output();
  }
  from = witnessLines().size();
  auto staying = press();
  ASSERT_TRUE(waitUntil([&] { return witnessEvents(from, {"key "}) != ""; }, 30s));
  host_->writeInput("exit\n");
  EXPECT_EQ(host_->waitForExit(30s), 0);
  EXPECT_TRUE(cycled(from)) << witness_->output();
}

} // namespace
} // namespace tovel::test

namespace tovel::test {
namespace {

// A Wayland session that neither GNOME's interfaces nor the wlroots protocols can drive is named
// at start-up with what is missing; the host goes on with what it can use.
TEST(WaylandChoice, ASessionThatCannotBeDrivenIsNamedWithWhatIsMissing) {
  ChildProcess host(TOVEL_HOST_BINARY, {}, ChildProcess::Input::emptyFile,
                    {"WAYLAND_DISPLAY=tovel-nowhere", "DISPLAY=", "XDG_RUNTIME_DIR=/tmp",
                     "DBUS_SESSION_BUS_ADDRESS=unix:path=/tmp/tovel-no-bus"});
  ASSERT_EQ(host.waitForExit(30s), 0);
  std::string first = host.output().substr(0, host.output().find('\n'));
  EXPECT_EQ(first, "Using the built-in virtual desktop (1920x1080): this Wayland session cannot "
                   "be driven: neither GNOME's remote desktop (cannot connect to the session bus: "
                   "Could not connect: No such file or directory) nor the wlroots protocols "
                   "(cannot connect to the Wayland display tovel-nowhere: No such file or "
                   "directory), and no X display could be opened.");
}

} // namespace
} // namespace tovel::test
