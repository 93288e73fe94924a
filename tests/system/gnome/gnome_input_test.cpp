#include "support/desktop_checks.h"
#include "support/mjpeg_reader.h"
#include "support/xvfb.h"
#include "system/gnome/gnome_host_fixture.h"

namespace tovel::test {
namespace {

INSTANTIATE_TYPED_TEST_SUITE_P(Gnome, DesktopChecks, GnomeHostTest);

using GnomeInput = GnomeHostTest;

// A new host, which has never moved the pointer, must find it where it is. (A new witness too:
// Mutter sends a window no more pointer events once the virtual pointer that last moved over it
// has gone.) This one also has an X display (as Xwayland gives a session): the session wins, and
// the moves reach its windows.
TEST_F(GnomeInput, ANewHostWithAnXDisplayTooMovesFromWhereThePointerIs) {
  PointerPosition at = pointerOverWitness();
  host_.reset();
  witness_.reset();
  ASSERT_NO_FATAL_FAILURE(startWitness());
  XvfbServer x;
  ASSERT_TRUE(x.running());
  std::vector<std::string> environment = session_->environment();
  std::erase_if(environment, [](const std::string& e) { return e.rfind("DISPLAY=", 0) == 0; });
  environment.push_back("DISPLAY=" + x.display());
  ASSERT_NO_FATAL_FAILURE(startHost(environment));
  expectExactMoves(at, {{"post", 3, -2}, {"websocket", -7, 11}, {"console", 2.5, -1.5}});
}

// Another program (or the person's own mouse) moves the pointer between two of the host's moves,
// back to exactly where it was before the first: the second move starts from there.
TEST_F(GnomeInput, AMoveByAnotherProgramIsWhereTheNextMoveStarts) {
  ChildProcess other(TOVEL_GNOME_REMOTE_POINTER, {}, ChildProcess::Input::pipe,
                     session_->environment());
  ASSERT_TRUE(other.waitForOutput("ready\n", 30s)) << other.output();
  PointerPosition start = pointerOverWitness();
  TestClient pictures(kHostPort);
  pictures.send("GET /screen.mjpg?screen=true HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  MjpegReader reader(pictures);
  reader.readHead(30s);
  auto webSocket = openWebSocket();

  // The host knows where the pointer went once its pictures show the cursor there (1200 x 675
  // of the 1920 x 1080 screen), and not where it was.
  auto picturedAt = [&](PointerPosition at, PointerPosition before) {
    for (auto deadline = std::chrono::steady_clock::now() + 30s;
         std::chrono::steady_clock::now() < deadline;) {
      BgraImage image = reader.readImage(30s);
      if (image.width() != 1200)
        return false;
      if (cursorNear(image, at, 0.625) && !cursorNear(image, before, 0.625))
        return true;
    }
    return false;
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

// Scrolling arrives as smooth finger scrolling of the same number of pixels. Positive amounts
// scroll towards the top or the left of the content, which Wayland gives as negative values.
TEST_F(GnomeInput, ScrollingArrivesAsSmoothFingerScrolling) {
  pointerOverWitness();
  std::size_t from = witnessLines().size();
  post("/scroll", R"({"x":0,"y":30,"done":false})");
  post("/scroll", R"({"x":-20,"y":0,"done":false})");
  post("/scroll", R"({"x":0,"y":-12,"done":true})");

  // The amounts, to Wayland's fixed-point 1/256 and a step of Mutter's float arithmetic.
  const std::vector<std::pair<std::string, double>> expected{
      {"vertical", -30}, {"horizontal", 20}, {"vertical", 12}};
  std::vector<std::pair<std::string, double>> seen;
  waitUntil(
      [&] {
        seen.clear();
        for (const std::string& line : witnessLines()) {
          char axis[16] = {};
          double value = 0;
          if (std::sscanf(line.c_str(), "axis axis=%15s value=%lf", axis, &value) == 2)
            seen.emplace_back(axis, value);
        }
        return seen.size() >= expected.size();
      },
      30s);
  ASSERT_EQ(seen.size(), expected.size()) << witness_->output();
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(seen[i].first, expected[i].first) << i;
    EXPECT_NEAR(seen[i].second, expected[i].second, 0.01) << seen[i].first << " amount " << i;
  }
  std::string sources = witnessEvents(from, {"axis_source "});
  EXPECT_EQ(sources.find("source=wheel"), std::string::npos) << sources;
  EXPECT_EQ(sources.find("source=continuous"), std::string::npos) << sources;
  // The gesture ends after the last amount, with an axis_stop. Mutter 43's virtual pointer drops
  // the finish flag of its remote desktop's scroll call (checked with a plain D-Bus client), so
  // there the end shows only as the call's empty frame: a finger frame without amounts.
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

} // namespace
} // namespace tovel::test
