#pragma once

#include <nlohmann/json.hpp>

#include <cstdio>

#include "common/utf8_text.h"
#include "support/witness_host_test.h"
#include "support/witness_text.h"

namespace tovel::test {

// The checks of input and streams that every desktop passes, instantiated with its DesktopHostTest.
template <typename Fixture> class DesktopChecks : public Fixture {};
TYPED_TEST_SUITE_P(DesktopChecks);

// Relative moves arrive exactly from every channel, fractions too, also after something else moved
// the pointer.
TYPED_TEST_P(DesktopChecks, MovesFromEveryChannelAreExact) {
  this->expectExactMoves(this->pointerOverWitness(), {{"post", 3, -2},
                                                      {"websocket", -7, 11},
                                                      {"console", 25, 4},
                                                      {"console", 2.5, -1.5},
                                                      {"outside", 500, 400},
                                                      {"post", -30, -12},
                                                      {"websocket", 0.25, 7}});
}

// Each press and release reaches the window as its button; the last two clicks are a double click.
TYPED_TEST_P(DesktopChecks, ClicksAndADoubleClickReachTheWindow) {
  this->pointerOverWitness();
  std::size_t from = this->witnessLines().size();
  for (const char* button : {"left", "right", "middle", "left", "left"})
    this->post("/click", std::string(R"({"button":")") + button + "\"}");
  std::string expected;
  for (int button : {272, 273, 274, 272, 272}) // evdev's left, right, middle
    for (const char* state : {"pressed", "released"})
      expected += (expected.empty() ? "" : "; ") + std::string("button button=") +
                  std::to_string(button) + " state=" + state;
  EXPECT_EQ(this->waitForEvents(from, {"button "}, expected), expected);
  EXPECT_TRUE(this->host_->waitForOutput("Double-click Up\n", 30s)) << this->host_->output();
}

// Every key name of the host's table types its keysym (those the fixture says cannot reach the
// window left out); shift gives a US keyboard's shifted symbols and is let go.
TYPED_TEST_P(DesktopChecks, KeyNamesTypeTheirKeysymsAndShiftTheirShiftedOnes) {
  ASSERT_NO_FATAL_FAILURE(this->waitForKeyboardFocus());
  std::size_t from = this->witnessLines().size();
  auto webSocket = this->openWebSocket();
  std::string expected, lacking;
  for (const auto& [name, code] :
       std::map<std::string, KeyCode>(keyNameToKeyCode().begin(), keyNameToKeyCode().end())) {
    std::optional<Keysym> keysym = keysymForKeyCode(code);
    ASSERT_TRUE(keysym) << name;
    char keysymName[64];
    xkb_keysym_get_name(xkb_keysym_t(*keysym), keysymName, sizeof keysymName);
    bool reaches = this->keyReaches(*keysym, keysymName);
    if (!reaches)
      lacking += " " + name + "(" + keysymName + ")";
    // Caps Lock twice, to leave the letters after it in lower case.
    for (int times = name == "capsLock" ? 2 : 1; times > 0; --times)
      for (bool down : {true, false}) {
        webSocket->send(this->keyMessage(name, down));
        if (reaches)
          expected += (expected.empty() ? "" : "; ") + std::string("key keysym=") + keysymName +
                      (down ? " state=pressed" : " state=released");
      }
  }
  if (!lacking.empty())
    std::printf("key names that do not reach the window:%s\n", lacking.c_str());
  ASSERT_EQ(this->waitForEvents(from, {"key "}, expected), expected);

  std::size_t typedFrom = this->witness_->output().size();
  auto typed = [&] { return witnessTypedText(this->witness_->output().substr(typedFrom)); };
  webSocket->send(this->keyMessage("shift", true));
  for (const char* name : {"a", "1", "/"})
    webSocket->send(this->keyMessage(name, true) + this->keyMessage(name, false));
  webSocket->send(this->keyMessage("shift", false));
  webSocket->send(this->keyMessage("a", true) + this->keyMessage("a", false));
  EXPECT_TRUE(waitUntil([&] { return typed() == "A!?a"; }, 30s)) << this->witness_->output();
}

// Text arrives as its characters from every channel, whatever is held or locked, which applies
// again after it. Long pastes arrive whole and in order. A character that cannot be typed is named
// in the log, and the characters around it still arrive.
TYPED_TEST_P(DesktopChecks, TextArrivesAsItsCharactersFromEveryChannel) {
  auto c = this->textCase();
  ASSERT_NO_FATAL_FAILURE(this->waitForKeyboardFocus());
  std::size_t from = this->witness_->output().size();
  auto typed = [&] { return witnessTypedText(this->witness_->output().substr(from)); };
  std::string expected;
  auto arrives = [&](const std::string& text) {
    expected += text;
    bool arrived = waitUntil([&] { return typed().size() >= expected.size(); }, 60s);
    EXPECT_TRUE(arrived && typed() == expected) << typed();
  };
  auto typeText = [&](const std::string& text) {
    this->post("/type", nlohmann::json{{"text", text}}.dump());
  };
  if (c.capsLock)
    this->tap("capsLock");
  this->post("/keydown", R"({"key":"shift"})");
  typeText(c.text);
  auto webSocket = this->openWebSocket();
  webSocket->send(maskedFrame(nlohmann::json{{"action", "type"}, {"text", c.text}}.dump()));
  ASSERT_TRUE(this->host_->waitForOutput("ws type ", 30s)) << this->host_->output();
  this->host_->writeInput("type " + c.text + "\n");
  arrives(c.text + c.text + c.text);
  this->tap("1"); // shift applies again
  this->post("/keyup", R"({"key":"shift"})");
  for (const char* name : {"z", "y", "2"}) // and caps lock
    this->tap(name);
  if (c.capsLock)
    this->tap("capsLock");
  arrives(c.capsLock ? "!ZY2" : "!zy2");

  // 1000 characters of the line; and 375 distinct ideographs between spaces, line feeds, tabs
  // and letters.
  constexpr std::size_t kPasted = 1000;
  std::string mixed, ideographs;
  for (std::size_t i = 0; i < kPasted; ++i) {
    mixed += encodeUtf8(c.line[i % c.line.size()]);
    ideographs += encodeUtf8(i % 4 == 3 ? U" \n\tx"[i / 4 % 4] : char32_t(0x4E00 + i * 37 % 500));
  }
  for (const auto& [name, paste] : {std::pair{"mixed", mixed}, {"375 ideographs", ideographs}}) {
    if (!c.anyCharacter && paste == ideographs)
      continue;
    auto start = std::chrono::steady_clock::now();
    typeText(paste);
    arrives(paste);
    std::printf("%s: %zu characters typed in %.3f s\n", name, kPasted,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }

  if (c.untypeable.empty()) {
    EXPECT_EQ(this->host_->output().find("Could not type"), std::string::npos);
    return;
  }
  typeText("x" + c.untypeable.substr(0, c.untypeable.find(' ')) + "y");
  arrives("xy");
  const std::string named = "Could not type on this desktop: " + c.untypeable + "\n";
  ASSERT_TRUE(this->host_->waitForOutput(named, 30s)) << this->host_->output();
  EXPECT_EQ(this->host_->output().find("Could not type"), this->host_->output().find(named));
}

// What a WebSocket client holds is let go when it vanishes, and what is held at exit before it.
TYPED_TEST_P(DesktopChecks, HeldInputIsLetGoWhenItsClientVanishesAndAtExit) {
  this->pointerOverWitness();
  ASSERT_NO_FATAL_FAILURE(this->waitForKeyboardFocus());
  for (bool vanishing : {true, false}) {
    std::size_t from = this->witnessLines().size();
    auto client = this->openWebSocket();
    client->send(maskedFrame(R"({"action":"mousedown","button":"left"})") +
                 maskedFrame(R"({"action":"keydown","key":"shift"})"));
    ASSERT_TRUE(waitUntil([&] { return this->witnessEvents(from, {"key "}) != ""; }, 30s));
    if (vanishing)
      client->reset();
    else {
      this->host_->writeInput("exit\n");
      EXPECT_EQ(this->host_->waitForExit(30s), 0);
    }
    // Whatever the order of the releases.
    EXPECT_TRUE(waitUntil(
        [&] {
          return this->witnessEvents(from, {"button "}) ==
                     "button button=272 state=pressed; button button=272 state=released" &&
                 this->witnessEvents(from, {"key "}) ==
                     "key keysym=Shift_L state=pressed; key keysym=Shift_L state=released";
        },
        30s))
        << this->witness_->output();
  }
}

// The newest MP4 picture has the cursor where the pointer is, and no longer where it was.
TYPED_TEST_P(DesktopChecks, TheMp4PictureHasTheCursorWhereThePointerIs) {
  Mp4StreamReader video(kHostPort);
  std::optional<PointerPosition> previous;
  for (PointerPosition to : {PointerPosition{480, 270}, PointerPosition{300, 200}}) {
    PointerPosition at = this->movePointerTo(to.x, to.y);
    std::string errors;
    BgraImage image = newestMp4Picture(
        video, [&](const BgraImage& image) { return cursorNear(image, at); }, &errors);
    ASSERT_EQ(image.width(), 1920) << errors << this->host_->output();
    EXPECT_TRUE(cursorNear(image, at)) << "no cursor at " << std::optional(at);
    EXPECT_FALSE(previous && cursorNear(image, *previous)) << "a cursor still at " << previous;
    EXPECT_TRUE(showsWitness(image));
    previous = at;
  }
}

REGISTER_TYPED_TEST_SUITE_P(DesktopChecks, MovesFromEveryChannelAreExact,
                            ClicksAndADoubleClickReachTheWindow,
                            KeyNamesTypeTheirKeysymsAndShiftTheirShiftedOnes,
                            TextArrivesAsItsCharactersFromEveryChannel,
                            HeldInputIsLetGoWhenItsClientVanishesAndAtExit,
                            TheMp4PictureHasTheCursorWhereThePointerIs);

} // namespace tovel::test
