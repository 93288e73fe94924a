#include <X11/keysym.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "support/desktop_checks.h"
#include "support/desktop_session.h"
#include "support/xvfb.h"

namespace tovel::test {
namespace {

class GnomeHostTest : public DesktopHostTest<GnomeSession> {
protected:
  std::string desktopLine() const override {
    return "Using the GNOME Wayland display " + session_->waylandDisplay() +
           " through Mutter's remote desktop.\n";
  }
  void startWitness(WitnessColour colour = kWitnessColour) override {
    startWaylandWitness(TOVEL_WAYLAND_WITNESS, {}, colour);
  }
  // A key reaches the window when a key of the session's keymap types its keysym, at any level of
  // the first layout, unless it is the compositor's overlay key (Super_L opens the overview).
  bool keyReaches(Keysym keysym, const std::string& name) override {
    if (!keymap_) {
      std::stringstream text;
      text << std::ifstream(keymapFile_).rdbuf();
      keymap_.reset(xkb_keymap_new_from_string(context_.get(), text.str().c_str(),
                                               XKB_KEYMAP_FORMAT_TEXT_V1,
                                               XKB_KEYMAP_COMPILE_NO_FLAGS));
      overlayKey_ = session_->run("gsettings get org.gnome.mutter overlay-key");
      EXPECT_TRUE(keymap_) << keymapFile_;
    }
    if (!keymap_ || overlayKey_ == "'" + name + "'\n")
      return false;
    xkb_keymap* keymap = keymap_.get();
    for (xkb_keycode_t key = xkb_keymap_min_keycode(keymap); key <= xkb_keymap_max_keycode(keymap);
         ++key)
      for (xkb_level_index_t level = 0; level < xkb_keymap_num_levels_for_key(keymap, key, 0);
           ++level) {
        const xkb_keysym_t* syms = nullptr;
        int count = xkb_keymap_key_get_syms_by_level(keymap, key, 0, level, &syms);
        if (std::find(syms, syms + count, xkb_keysym_t(keysym)) != syms + count)
          return true;
      }
    return false;
  }
  // Only the characters of the session's layout.
  TextCase textCase() override {
    return {"Hello, World! ~@#%^&*()_+", true, U"Line 7: Hello @ 3 ~ {ok} \"q\" \\ ABC xyz\t<>|\n",
            false, "é (U+00E9)"};
  }
  std::unique_ptr<xkb_context, void (*)(xkb_context*)> context_{
      xkb_context_new(XKB_CONTEXT_NO_FLAGS), xkb_context_unref};
  std::unique_ptr<xkb_keymap, void (*)(xkb_keymap*)> keymap_{nullptr, xkb_keymap_unref};
  std::string overlayKey_;
};

INSTANTIATE_TYPED_TEST_SUITE_P(Gnome, DesktopChecks, GnomeHostTest);

using GnomeInput = GnomeHostTest;

// A new host, which has never moved the pointer, finds it where it is (with a new witness too:
// Mutter sends a window no more pointer events once the virtual pointer that last moved over it
// has gone). With an X display as well, as Xwayland gives a session, the session wins.
TEST_F(GnomeInput, ANewHostWithAnXDisplayTooMovesFromWhereThePointerIs) {
  PointerPosition at = pointerOverWitness();
  host_.reset();
  witness_.reset();
  ASSERT_NO_FATAL_FAILURE(startWitness());
  XvfbServer x;
  ASSERT_TRUE(x.running());
  std::vector<std::string> environment = session_->environment();
  std::erase(environment, "DISPLAY=");
  environment.push_back("DISPLAY=" + x.display());
  ASSERT_NO_FATAL_FAILURE(startHost(environment));
  expectExactMoves(at, {{"post", 3, -2}, {"websocket", -7, 11}, {"console", 2.5, -1.5}});
}

// Another program moves the pointer between two of the host's moves, back to exactly where it was
// before the first: the second move starts from there.
TEST_F(GnomeInput, AMoveByAnotherProgramIsWhereTheNextMoveStarts) {
  ChildProcess other(TOVEL_GNOME_REMOTE_INPUT, {}, ChildProcess::Input::pipe,
                     session_->environment());
  ASSERT_TRUE(other.waitForOutput("ready\n", 30s)) << other.output();
  PointerPosition start = pointerOverWitness();
  auto pictures = openMjpeg("/screen.mjpg?screen=true");
  MjpegReader reader(*pictures);
  auto webSocket = openWebSocket();
  // The host knows where the pointer went once its pictures (1200 x 675 of the 1920 x 1080
  // screen) show the cursor there, and not where it was.
  auto picturedAt = [&](PointerPosition at, PointerPosition before) {
    return readUntil(reader, [&](const BgraImage& image) {
      return image.width() == 1200 && cursorNear(image, at, 0.625) &&
             !cursorNear(image, before, 0.625);
    });
  };
  PointerPosition moved{start.x + 60, start.y + 40};
  post("/move", R"({"x":60,"y":40})");
  ASSERT_EQ(waitForPointer(moved), moved);
  ASSERT_TRUE(picturedAt(moved, start)) << "no cursor at " << std::optional(moved);
  other.writeInput("move -60 -40\n");
  ASSERT_EQ(waitForPointer(start), start) << other.output();
  ASSERT_TRUE(picturedAt(start, moved)) << "no cursor at " << std::optional(start);
  webSocket->send(maskedFrame(R"({"action":"move","x":-7,"y":4})"));
  PointerPosition expected{start.x - 7, start.y + 4};
  EXPECT_EQ(waitForPointer(expected), expected);
}

// A Caps Lock that another program (as the person's keyboard would) turned on before the host
// started applies to what Mutter types for the host too: its text still arrives as itself.
TEST_F(GnomeInput, TextArrivesAsItselfUnderACapsLockOnBeforeTheHostStarted) {
  ASSERT_NO_FATAL_FAILURE(waitForKeyboardFocus());
  ChildProcess other(TOVEL_GNOME_REMOTE_INPUT, {}, ChildProcess::Input::pipe,
                     session_->environment());
  ASSERT_TRUE(other.waitForOutput("ready\n", 30s)) << other.output();
  auto tapCapsLock = [&](const std::string& locked) {
    std::size_t from = witness_->output().size();
    other.writeInput("tap " + std::to_string(XK_Caps_Lock) + "\n");
    EXPECT_TRUE(waitUntil(
        [&] {
          return witness_->output().find("locked=" + locked + " ", from) != std::string::npos;
        },
        30s))
        << witness_->output();
  };
  tapCapsLock("0x2");
  host_.reset();
  ASSERT_NO_FATAL_FAILURE(startHost(session_->environment()));
  ASSERT_NO_FATAL_FAILURE(waitForKeyboardFocus());
  std::size_t from = witness_->output().size();
  post("/type", R"({"text":"Hi, Caps 1"})");
  EXPECT_TRUE(waitUntil(
      [&] { return witnessTypedText(witness_->output().substr(from)) == "Hi, Caps 1"; }, 30s))
      << witness_->output();
  tapCapsLock("0x0");
}

// Scrolling arrives as smooth finger scrolling of the same pixels, to Wayland's 1/256 and a step
// of Mutter's float arithmetic. Positive amounts scroll towards the top or the left of the
// content, which Wayland gives as negative values.
TEST_F(GnomeInput, ScrollingArrivesAsSmoothFingerScrolling) {
  pointerOverWitness();
  std::size_t from = witnessLines().size();
  post("/scroll", R"({"x":0,"y":30,"done":false})");
  post("/scroll", R"({"x":-20,"y":0,"done":false})");
  post("/scroll", R"({"x":0,"y":-12,"done":true})");
  // The amounts so far, each to the nearest 1/50: whole ones within 0.01.
  auto amounts = [&] {
    std::vector<std::string> seen;
    for (const std::string& line : witnessLines()) {
      char axis[16] = {};
      double value = 0;
      if (std::sscanf(line.c_str(), "axis axis=%15s value=%lf", axis, &value) == 2)
        seen.push_back(axis + (" " + number(std::round(value * 50) / 50)));
    }
    return seen;
  };
  std::vector<std::string> seen;
  waitUntil([&] { return (seen = amounts()).size() >= 3; }, 30s);
  EXPECT_EQ(seen, (std::vector<std::string>{"vertical -30", "horizontal 20", "vertical 12"}))
      << witness_->output();
  std::string sources = witnessEvents(from, {"axis_source "});
  EXPECT_EQ(sources.find("source=wheel"), std::string::npos) << sources;
  EXPECT_EQ(sources.find("source=continuous"), std::string::npos) << sources;
  // The gesture ends after the last amount with an axis_stop, or (Mutter 43's virtual pointer
  // drops the finish flag) with the finishing call's finger frame without amounts.
  auto ended = [&] {
    std::vector<std::string> lines = witnessLines();
    std::size_t last = from;
    for (std::size_t i = from; i < lines.size(); ++i)
      last = lines[i].rfind("axis axis=", 0) == 0 ? i : last;
    for (std::size_t i = last + 1; i < lines.size(); ++i)
      if (lines[i].rfind("axis_stop axis=vertical", 0) == 0 ||
          (lines[i] == "axis_source source=finger" && i + 1 < lines.size() &&
           lines[i + 1] == "frame"))
        return true;
    return false;
  };
  EXPECT_TRUE(waitUntil(ended, 30s)) << witness_->output();
}

// GNOME's session goes while a client holds a key and a button and watches every kind of stream:
// the host says what happened, and without a new request its streams show the screen again and
// its input reaches the windows, with nothing held down any more.
class GnomeSessionChange : public GnomeHostTest {
protected:
  void expectSharingAgain(const std::function<void()>& change, const std::string& told) {
    pointerOverWitness();
    auto single = openMjpeg("/screen.mjpg"), continuous = openMjpeg("/screen.mjpg?screen=true");
    MjpegReader singleFrames(*single), continuousFrames(*continuous);
    Mp4StreamReader video(kHostPort);
    // The streams that do not come to show the witness of this colour (the MP4 stream from its
    // newest fragment on: on a still screen no more may come).
    auto notShowing = [&](WitnessColour colour) {
      auto shows = [&](const BgraImage& image) { return showsWitness(image, colour); };
      std::string missing = readUntil(singleFrames, shows) ? "" : " single";
      missing += readUntil(continuousFrames, shows) ? "" : " continuous";
      return missing + (shows(newestMp4Picture(video, shows)) ? "" : " mp4");
    };
    ASSERT_EQ(notShowing(kWitnessColour), "");
    post("/keydown", R"({"key":"shift"})");
    post("/mousedown", R"({"button":"left"})");

    ASSERT_NO_FATAL_FAILURE(change());
    ASSERT_TRUE(host_->waitForOutput(told, 30s)) << host_->output();
    witness_.reset();
    ASSERT_NO_FATAL_FAILURE(startWitness(kOtherWitnessColour));
    EXPECT_EQ(notShowing(kOtherWitnessColour), "") << host_->output();

    pointerOverWitness();
    ASSERT_NO_FATAL_FAILURE(waitForKeyboardFocus("a", "key keysym=a state=released"));
    std::size_t from = witnessLines().size();
    tap("a");
    // Their presses went with the old session: these let go of nothing.
    post("/keyup", R"({"key":"shift"})");
    post("/mouseup", R"({"button":"left"})");
    post("/click", R"({"button":"left"})");
    const std::string expected =
        "key keysym=a state=pressed; key keysym=a state=released; "
        "button button=272 state=pressed; button button=272 state=released";
    EXPECT_EQ(waitForEvents(from, {"key ", "button "}, expected), expected) << host_->output();
  }
};

// GNOME closes the session when the person stops sharing from the top bar, and when a monitor it
// records goes away. (A program cannot stop another's session: Mutter refuses.)
TEST_F(GnomeSessionChange, WhenGnomeEndsTheSessionTheHostSharesAgain) {
  expectSharingAgain(
      [&] {
        ChildProcess monitor(TOVEL_GNOME_VIRTUAL_MONITOR, {"--size", "1024x768"},
                             ChildProcess::Input::pipe, session_->environment());
        ASSERT_TRUE(monitor.waitForOutput("ready 1024x768\n", 30s)) << monitor.output();
        ASSERT_TRUE(host_->waitForOutput("Screen: Meta-1 ", 30s)) << host_->output();
        monitor.closeInput();
        EXPECT_EQ(monitor.waitForExit(30s), 0) << monitor.output();
      },
      "GNOME ended the screen sharing (stopped from the top bar, or a shared monitor went "
      "away): sharing again. Quit Tovel Host to stop sharing.\n");
}

TEST_F(GnomeSessionChange, WhenMutterRestartsTheHostSharesAgain) {
  expectSharingAgain(
      [&] {
        ASSERT_TRUE(session_->restartCompositor()) << session_->log();
        ASSERT_TRUE(host_->waitForOutput("Mutter, GNOME's compositor, has left the session bus "
                                         "(it stopped or restarted): input and pictures wait "
                                         "until it is back.\n",
                                         30s))
            << host_->output();
      },
      "Screen sharing started again: input and pictures are back.\n");
}

using GnomeStreams = GnomeHostTest;

// Without a session manager nothing links the host's streams to the screen cast: the host's first
// pictures, which SetUp waits for, come all the same.
class GnomeStreamsUnmanaged : public GnomeHostTest {
protected:
  static void SetUpTestSuite() { startSession(GnomeSession::Options{.sessionManager = false}); }
};

TEST_F(GnomeStreamsUnmanaged, TheHostLinksItsOwnStream) {
  EXPECT_NE(host_->output().find("The screen cast of Meta-0 brought no picture in 3 s (nothing "
                                 "linked its stream: no PipeWire session manager?): connecting to "
                                 "it again and linking it itself.\n"),
            std::string::npos)
      << host_->output();
}

TEST_F(GnomeStreams, APlayerShowsTheStillScreenAtOnce) {
  auto asked = std::chrono::steady_clock::now();
  std::string errors;
  BgraImage image = liveDecodedPicture(
      "http://127.0.0.1:" + std::to_string(kHostPort) + "/screen.mp4", 1920, 1080, errors);
  ASSERT_EQ(image.width(), 1920) << errors;
  EXPECT_TRUE(showsWitness(image));
  std::printf(
      "[ MEASURE  ] ffmpeg decoded the first picture of a still screen after %.0f ms\n",
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - asked).count());
}

TEST_F(GnomeStreams, ASecondMonitorIsAScreenOfItsOwn) {
  // Whether the last "Screens have changed" block of the output lists this many screens.
  auto listed = [&](int screens) {
    return waitUntil(
        [&] {
          std::istringstream in(host_->output());
          int count = -1;
          for (std::string line; std::getline(in, line);)
            if (line == "Screens have changed. Current screens:")
              count = 0;
            else if (count >= 0 && line.starts_with("Screen: "))
              ++count;
          return count == screens;
        },
        30s);
  };
  ChildProcess monitor(TOVEL_GNOME_VIRTUAL_MONITOR, {"--size", "1024x768"},
                       ChildProcess::Input::pipe, session_->environment());
  ASSERT_TRUE(monitor.waitForOutput("ready 1024x768\n", 30s)) << monitor.output();
  ASSERT_TRUE(listed(2)) << host_->output();
  // Whatever "screen=2" says: it only chooses when the pointer is on no screen at all.
  ASSERT_NO_FATAL_FAILURE(expectStreamsFollowToTheSecondScreen("/screen.mjpg?screen=2"));
  monitor.closeInput();
  EXPECT_EQ(monitor.waitForExit(30s), 0) << monitor.output();
  EXPECT_TRUE(listed(1)) << host_->output();
}

} // namespace
} // namespace tovel::test
