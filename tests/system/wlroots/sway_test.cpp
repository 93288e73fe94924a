#include "support/animation_scene.h"
#include "support/desktop_checks.h"
#include "support/desktop_session.h"

namespace tovel::test {
namespace {

class SwayHostTest : public DesktopHostTest<SwaySession> {
protected:
  std::string desktopLine() const override {
    return "Using the Wayland display " + session_->waylandDisplay() +
           " through the wlroots protocols";
  }
  void startWitness(WitnessColour colour = kWitnessColour) override {
    startWaylandWitness(TOVEL_WAYLAND_WITNESS, {"--marks"}, colour);
  }
  bool placePointer(double x, double y) override {
    session_->run("swaymsg seat seat0 cursor set " + number(x) + " " + number(y));
    return true;
  }
};

INSTANTIATE_TYPED_TEST_SUITE_P(Sway, DesktopChecks, SwayHostTest);

using SwayInput = SwayHostTest;

// Control and the logo key are down together for the "c" between them: the window hears both.
TEST_F(SwayInput, TheModifiersOfAChordReachTheWindow) {
  ASSERT_NO_FATAL_FAILURE(waitForKeyboardFocus());
  std::size_t from = witnessLines().size();
  auto webSocket = openWebSocket();
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
  // The seat taking the host's keyboard as its own may first tell the window that none is held.
  const std::string none = "modifiers depressed=0x0 latched=0x0 locked=0x0 group=0; ";
  auto events = [&] {
    std::string seen = witnessEvents(from, {"modifiers ", "key keysym=c "});
    while (seen.starts_with(none))
      seen.erase(0, none.size());
    return seen;
  };
  waitUntil([&] { return events() == chord; }, 30s);
  EXPECT_EQ(events(), chord);
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

// What grim, the compositor's own screenshot tool, sees; empty when it fails.
BgraImage grimPicture(const SwaySession& session) {
  std::string ppm = session.run("grim -t ppm -");
  int width = 0, height = 0, header = 0;
  if (std::sscanf(ppm.c_str(), "P6 %d %d 255%n", &width, &height, &header) != 2 ||
      ppm.size() < std::size_t(header + 1) + std::size_t(width) * height * 3)
    return BgraImage();
  BgraImage image(width, height);
  for (int i = 0; i < width * height; ++i)
    for (int c = 0; c < 4; ++c) // BGRA from RGB
      image.data()[i * 4 + c] = c == 3 ? 0xff : std::uint8_t(ppm[header + 1 + i * 3 + 2 - c]);
  return image;
}

// Which of the witness's colours a place shows: 0 the witness's own, 1 and 2 the marks, -1 none.
int colourClass(Colour c) {
  for (int i = 0; i < 2; ++i)
    if (std::uint32_t rgb = kWitnessMarks[i].rgb;
        nearColour(c, rgb >> 16, (rgb >> 8) & 0xff, rgb & 0xff))
      return i + 1;
  return isWitnessColour(c) ? 0 : -1;
}

// The places of a 24 x 16 grid over the picture, which shows the screen's `area` scaled, that do
// not show what the screen shows there; places near the pointer (cursor, marker) and near the
// marks' edges (scaling blurs them) are left out.
std::string mismatches(const BgraImage& picture, const BgraImage& screen, Rect area,
                       PointerPosition pointer) {
  if (picture.width() == 0 || screen.width() == 0)
    return "no picture";
  std::string wrong;
  for (int row = 0; row < 16; ++row)
    for (int column = 0; column < 24; ++column) {
      double u = (column + 0.5) / 24, v = (row + 0.5) / 16;
      double x = area.x + u * area.width, y = area.y + v * area.height;
      bool nearEdge = std::abs(x - pointer.x) < 48 && std::abs(y - pointer.y) < 48;
      for (const WitnessMark& m : kWitnessMarks)
        nearEdge = nearEdge || std::min({std::abs(x - m.left * screen.width()),
                                         std::abs(x - m.right * screen.width()),
                                         std::abs(y - m.top * screen.height()),
                                         std::abs(y - m.bottom * screen.height())}) < 16;
      if (nearEdge)
        continue;
      int expected = colourClass(averageColour(screen, int(x), int(y)));
      int seen =
          colourClass(averageColour(picture, int(u * picture.width()), int(v * picture.height())));
      if (seen != expected)
        wrong += " (" + std::to_string(int(x)) + "," + std::to_string(int(y)) +
                 "): " + std::to_string(seen) + " not " + std::to_string(expected);
    }
  return wrong;
}

using SwayStreams = SwayHostTest;

// The picture streams and the live video show what the compositor's own screenshot (grim) shows,
// each the part of the screen it is for, at its size. The window list is empty, so a window stream
// shows the screen.
TEST_F(SwayStreams, PicturesMatchWhatGrimSees) {
  PointerPosition at = movePointerTo(480, 270);
  ASSERT_EQ(at, (PointerPosition{480, 270}));
  BgraImage screen = grimPicture(*session_);
  ASSERT_EQ(screen.width(), 1920) << "grim failed";
  const struct {
    const char* target;
    int width, height;
    Rect area;
  } cases[] = {{"/screen.mjpg", 480, 270, Rect{0, 0, 1920, 1080}},
               {"/screen.mjpg?window=true", 480, 270, Rect{0, 0, 1920, 1080}},
               // 800 x 480 and 640 x 480 around the pointer, fitted into 480 x 480.
               {"/screen.mjpg?follow=hd", 480, 288, Rect{80, 30, 800, 480}},
               {"/screen.mjpg?follow=true&size=640x480", 480, 360, Rect{160, 30, 640, 480}},
               // The continuous capture: the whole screen in 1.5 times 800 x 600.
               {"/screen.mjpg?screen=true", 1200, 675, Rect{0, 0, 1920, 1080}}};
  for (const auto& c : cases) {
    BgraImage image = firstMjpegImage(c.target);
    EXPECT_EQ(image.width(), c.width) << c.target << host_->output();
    EXPECT_EQ(image.height(), c.height) << c.target;
    EXPECT_EQ(mismatches(image, screen, c.area, at), "") << c.target;
  }
  Mp4StreamReader video(kHostPort);
  std::string errors;
  BgraImage picture = newestMp4Picture(video, nullptr, &errors);
  ASSERT_EQ(picture.width(), 1920) << errors << host_->output();
  EXPECT_EQ(mismatches(picture, screen, Rect{0, 0, 1920, 1080}, at), "") << "MP4";
}

using SwayOutputs = SwayStreams; // a session of its own: its layout changes

TEST_F(SwayOutputs, ASecondOutputIsAScreenOfItsOwn) {
  session_->run("swaymsg create_output && swaymsg output HEADLESS-2 mode 1024x768 position 1920 0");
  // Made at the default mode first, then given its own: the host reports both.
  ASSERT_TRUE(host_->waitForOutput("Screen: HEADLESS-2 1024x768 at (1920, 0), display 2\n", 30s))
      << host_->output();
  expectStreamsFollowToTheSecondScreen("/screen.mjpg");
}

} // namespace
} // namespace tovel::test
