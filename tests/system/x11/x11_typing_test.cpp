#include <gtest/gtest.h>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>

#include <chrono>
#include <string>
#include <thread>

#include "common/utf8_text.h"
#include "input/key_names.h"
#include "platform/x11/x11_desktop.h"
#include "support/process.h"
#include "support/wait.h"
#include "support/witness_text.h"
#include "support/xvfb.h"

namespace tovel::test {
namespace {

using namespace std::chrono_literals;

// The backend on a German keyboard, with a focused witness that reads what each key press types.
class X11TypingTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(server.running());
    server.run("setxkbmap de");
    witness = std::make_unique<ChildProcess>(TOVEL_X_WITNESS, std::vector<std::string>{"--focus"},
                                             ChildProcess::Input::emptyFile, server.environment());
    ASSERT_TRUE(witness->waitForOutput("FocusIn", 10s));
    desktop = X11Desktop::open(server.display());
    ASSERT_NE(desktop, nullptr);
  }
  ~X11TypingTest() override {
    if (probe)
      XCloseDisplay(probe);
  }

  // Types the whole text as the host does, pausing where the backend asks to.
  void type(const std::u32string& text) {
    for (std::size_t done = 0; done < text.size();) {
      TypingProgress progress = desktop->typeText(std::u32string_view(text).substr(done));
      EXPECT_TRUE(progress.untypable.empty());
      done += progress.handled;
      std::this_thread::sleep_for(std::chrono::duration<double>(progress.resumeAfter));
    }
  }
  bool received(const std::string& text) {
    return waitUntil([&] { return witnessTypedText(witness->output()) == text; }, 30s);
  }
  unsigned lockedModifiers() {
    XkbStateRec state;
    XkbGetState(probe, XkbUseCoreKbd, &state);
    return state.locked_mods;
  }
  int spareKeycodes() { return std::stoi(server.run("xmodmap -pke | awk 'NF == 3' | wc -l")); }

  XvfbServer server;
  Display* probe = XOpenDisplay(server.display().c_str());
  std::unique_ptr<ChildProcess> witness;
  std::unique_ptr<X11Desktop> desktop;
};

// Held shift and a locked caps lock do not change what is typed, and are as they were after.
TEST_F(X11TypingTest, HeldAndLockedModifiersDoNotApply) {
  desktop->post(makeKeyEvent(*lookupKeyName("shift"), true));
  XkbLockModifiers(probe, XkbUseCoreKbd, LockMask, LockMask);
  XSync(probe, False);
  type(U"a1@Aß\n");
  EXPECT_TRUE(received("a1@Aß\n")) << witness->output();
  EXPECT_EQ(lockedModifiers(), unsigned(LockMask));
  // Shift is still held: the next key takes it.
  desktop->post(makeKeyEvent(*lookupKeyName("a"), true));
  desktop->post(makeKeyEvent(*lookupKeyName("a"), false));
  EXPECT_TRUE(received("a1@Aß\na")) << witness->output(); // caps lock and shift cancel out
  desktop->post(makeKeyEvent(*lookupKeyName("shift"), false));
}

// With a second layout active, its characters come from its keys; the first one's, which the
// active group lacks, from keys of their own (the first group's keys would type the second's).
TEST_F(X11TypingTest, TheActiveGroupIsTheLayout) {
  server.run("setxkbmap -layout de,ru");
  XkbLockGroup(probe, XkbUseCoreKbd, 1);
  XSync(probe, False);
  type(U"фaЖ@z");
  EXPECT_TRUE(received("фaЖ@z")) << witness->output();
}

// More characters than the keyboard has spare keycodes: bindings are taken back for new ones
// once they have rested, every character still arrives as itself, and none stays bound.
TEST_F(X11TypingTest, CharactersBeyondTheSpareKeycodesAllArriveAndNoneStaysBound) {
  int spare = spareKeycodes();
  ASSERT_GT(spare, 5);
  std::u32string text;
  for (int i = 0; i < spare + 12; ++i) {
    text += char32_t(0x4E00 + i); // CJK ideographs, which no layout has
    text += U"ж "[i % 2];         // and one bound early and used all along
  }
  type(text);
  std::string expected;
  for (char32_t c : text)
    expected += encodeUtf8(c);
  EXPECT_TRUE(received(expected)) << witness->output();
  desktop.reset();
  EXPECT_EQ(spareKeycodes(), spare);
}

} // namespace
} // namespace tovel::test
