#pragma once

#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "input/key_names.h"
#include "platform/geometry.h"
#include "platform/keysyms.h"
#include "server/responses.h"
#include "support/host_binary.h"
#include "support/mjpeg_reader.h"
#include "support/mp4_stream_reader.h"
#include "support/pictures.h"
#include "support/process.h"
#include "support/test_client.h"
#include "support/wait.h"
#include "support/websocket_frames.h"

namespace tovel::test {

using namespace std::chrono_literals;

// A witness's colour, far from the black and white of any cursor or marker.
struct WitnessColour {
  int red, green, blue;
  const char* text; // as the witness takes it
};
inline constexpr WitnessColour kWitnessColour{0x20, 0xa0, 0x60, "20a060"};
// Another one, for a witness that must be told from the first.
inline constexpr WitnessColour kOtherWitnessColour{0xc0, 0x70, 0x20, "c07020"};

inline bool isWitnessColour(Colour c, WitnessColour witness = kWitnessColour) {
  return nearColour(c, witness.red, witness.green, witness.blue);
}

struct Fraction {
  double x, y;
};

// Whether the picture shows the witness at these places (fractions of its size): near the four
// corners and in the quarter diagonally opposite (0.25, 0.25), where the tests keep the pointer
// and with it the cursor and the host's marker. A picture of anything else (another window, the
// desktop, a window still being mapped) fails.
inline bool showsWitness(const BgraImage& image, WitnessColour witness = kWitnessColour) {
  for (Fraction at : {Fraction{0.03, 0.03}, Fraction{0.97, 0.03}, Fraction{0.03, 0.97},
                      Fraction{0.97, 0.97}, Fraction{0.75, 0.75}})
    if (!isWitnessColour(
            averageColour(image, int(at.x * image.width()), int(at.y * image.height())), witness))
      return false;
  return image.width() > 0;
}

inline std::string number(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

inline std::string keysymName(Keysym keysym) {
  char name[64];
  xkb_keysym_get_name(xkb_keysym_t(keysym), name, sizeof name);
  return name;
}

struct PointerPosition {
  double x = 0, y = 0;
  bool operator==(const PointerPosition&) const = default;
};

// Whether any pixel near the place is not the witness's colour: the cursor, whose hot spot is its
// top-left corner, in a picture of the screen at this scale.
inline bool cursorNear(const BgraImage& image, PointerPosition at, double scale = 1) {
  for (int dy = int(-4 * scale); dy < 20 * scale; ++dy)
    for (int dx = int(-4 * scale); dx < 20 * scale; ++dx)
      if (!isWitnessColour(averageColour(image, int(at.x * scale) + dx, int(at.y * scale) + dy, 0)))
        return true;
  return false;
}

inline std::ostream& operator<<(std::ostream& out, const std::optional<PointerPosition>& p) {
  if (!p)
    return out << "(nowhere)";
  return out << "(" << p->x << ", " << p->y << ")";
}

// The bytes a player needs for the newest picture of an MP4 stream: the initialization segment and
// the fragments from the last key frame on.
inline std::vector<std::uint8_t> fromLastKeyFrame(Mp4StreamReader& video) {
  std::vector<std::uint8_t> bytes = video.initialization();
  std::vector<Mp4Fragment> fragments = video.fragments();
  std::size_t key = 0;
  for (std::size_t i = 0; i < fragments.size(); ++i)
    if (fragments[i].keyFrame)
      key = i;
  for (std::size_t i = key; i < fragments.size(); ++i)
    bytes.insert(bytes.end(), fragments[i].bytes.begin(), fragments[i].bytes.end());
  return bytes;
}

// The newest picture of a 1920 x 1080 MP4 stream once it passes the test, read on
// for at most `fragments` more; the last one decoded otherwise (empty, with `errors`, if none).
inline BgraImage newestMp4Picture(Mp4StreamReader& video,
                                  const std::function<bool(const BgraImage&)>& wanted = nullptr,
                                  std::size_t fragments = 200, std::string* errors = nullptr) {
  BgraImage image;
  std::string ignored;
  std::size_t first = std::max<std::size_t>(1, video.fragments().size());
  for (std::size_t count = first; count < first + fragments && video.waitForFragments(count);
       ++count) {
    if (count < video.fragments().size())
      continue; // only the newest picture counts
    image = lastDecodedPicture(fromLastKeyFrame(video), 1920, 1080, errors ? *errors : ignored);
    if (!wanted || wanted(image))
      break;
  }
  return image;
}

// The real program on a Wayland desktop with a fullscreen Wayland witness on the primary monitor
// (tovel_wayland_witness) that reports the events it receives: how the tests drive the host and
// read what arrived. A desktop's fixture starts the session, the witness and the host.
class WitnessHostTest : public ::testing::Test {
protected:
  // Starts the witness in the session given by the environment, writing the keymap it gets to
  // keymapFile_, with more of its options if given.
  void startWitness(const std::vector<std::string>& environment,
                    std::vector<std::string> options = {}, WitnessColour colour = kWitnessColour) {
    keymapFile_ = std::filesystem::temp_directory_path() /
                  ("tovel-keymap-" + std::to_string(::getpid()) + ".xkb");
    options.insert(options.end(), {"--colour", colour.text, "--keymap", keymapFile_.string()});
    witness_ = std::make_unique<ChildProcess>(TOVEL_WAYLAND_WITNESS, options,
                                              ChildProcess::Input::emptyFile, environment);
    ASSERT_TRUE(witness_->waitForOutput("ready 1920x1080\n", 30s)) << witness_->output();
  }

  // Starts the host, checks the line that names its desktop, and waits until its picture stream
  // shows the witness (a compositor may still be animating the window onto the screen).
  void startHost(const std::vector<std::string>& environment, const std::string& desktopLine) {
    host_ = startHostBinary(TOVEL_HOST_BINARY, environment);
    ASSERT_TRUE(host_);
    ASSERT_NE(host_->output().find(desktopLine), std::string::npos) << host_->output();
    TestClient client(kHostPort);
    client.send("GET /screen.mjpg HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    MjpegReader reader(client);
    reader.readHead(30s);
    auto deadline = std::chrono::steady_clock::now() + 30s;
    bool shown = false;
    while (!shown && std::chrono::steady_clock::now() < deadline) {
      BgraImage image = reader.readImage(30s);
      ASSERT_GT(image.width(), 0) << host_->output();
      shown = showsWitness(image);
    }
    ASSERT_TRUE(shown) << "the stream never showed the witness\n" << host_->output();
  }

  void TearDown() override {
    host_.reset();
    witness_.reset();
    std::error_code ignored;
    if (!keymapFile_.empty())
      std::filesystem::remove(keymapFile_, ignored);
  }

  // Sends a control request and waits for its acknowledgement, which comes once the host has
  // handed the events on.
  void post(const std::string& path, const std::string& body) {
    TestClient client(kHostPort);
    ASSERT_TRUE(client.connected());
    client.send("POST " + path +
                " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                "Content-Length: " +
                std::to_string(body.size()) + "\r\n\r\n" + body);
    ASSERT_EQ(client.read(252).size(), 252u) << path << " " << body;
  }

  // A WebSocket client of the host, upgraded and ready for frames.
  std::unique_ptr<TestClient> openWebSocket() {
    auto client = std::make_unique<TestClient>(kHostPort);
    client->send(
        "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
    EXPECT_EQ(client->read(129).size(), 129u) << "no WebSocket handshake";
    return client;
  }

  std::vector<std::string> witnessLines() {
    std::vector<std::string> lines;
    std::istringstream in(witness_->output());
    for (std::string line; std::getline(in, line);)
      lines.push_back(line);
    return lines;
  }

  // The pointer's place as the witness last heard of it (on entering or moving over it).
  std::optional<PointerPosition> pointer() {
    std::optional<PointerPosition> last;
    for (const std::string& line : witnessLines()) {
      PointerPosition p;
      if (std::sscanf(line.c_str(), "motion x=%lf y=%lf", &p.x, &p.y) == 2 ||
          std::sscanf(line.c_str(), "enter x=%lf y=%lf", &p.x, &p.y) == 2)
        last = p;
    }
    return last;
  }

  // Brings the pointer over the witness and waits until the witness has seen it there, the
  // motion's frame included (a test reading the events after it must not get that frame); where
  // it then is. (GNOME may place the first move's enter before the move has landed: a second move
  // shows it.)
  PointerPosition pointerOverWitness() {
    if (!pointer()) { // a first move's late events would mix with what a test reads next
      post("/move", R"({"x":40,"y":30})");
      EXPECT_TRUE(waitUntil([&] { return pointer().has_value(); }, 30s)) << witness_->output();
    }
    std::size_t before = witnessLines().size();
    post("/move", R"({"x":1,"y":1})");
    EXPECT_TRUE(waitUntil(
        [&] {
          std::string events = witnessEvents(before, {"motion ", "frame"});
          std::size_t motion = events.find("motion ");
          return motion != std::string::npos && events.find("frame", motion) != std::string::npos;
        },
        30s))
        << witness_->output();
    return pointer().value_or(PointerPosition{-1, -1});
  }

  // Moves the pointer to a place over the witness; where the witness then says it is.
  PointerPosition movePointerTo(double x, double y) {
    PointerPosition from = pointer() ? *pointer() : pointerOverWitness();
    post("/move", "{\"x\":" + number(x - from.x) + ",\"y\":" + number(y - from.y) + "}");
    return waitForPointer(PointerPosition{x, y}).value_or(PointerPosition{-1, -1});
  }

  // Waits until the witness reports the pointer at this place; where it last saw it otherwise.
  std::optional<PointerPosition> waitForPointer(PointerPosition expected) {
    waitUntil([&] { return pointer() == expected; }, 30s);
    return pointer();
  }

  // The lines from line `from` on that begin with one of the prefixes, in order, joined by "; ".
  std::string witnessEvents(std::size_t from, const std::vector<std::string>& prefixes) {
    std::vector<std::string> lines = witnessLines();
    std::string events;
    for (std::size_t i = from; i < lines.size(); ++i)
      for (const std::string& prefix : prefixes)
        if (lines[i].rfind(prefix, 0) == 0) {
          events += (events.empty() ? "" : "; ") + lines[i];
          break;
        }
    return events;
  }
  // Waits until those events are the expected ones, and returns them.
  std::string waitForEvents(std::size_t from, const std::vector<std::string>& prefixes,
                            const std::string& expected) {
    waitUntil([&] { return witnessEvents(from, prefixes) == expected; }, 30s);
    return witnessEvents(from, prefixes);
  }

  struct Move {
    const char* channel; // "post", "websocket", "console", or "outside": placeAt(dx, dy)
    double dx, dy;
  };
  // Each move lands exactly where it leads from where the one before went.
  void expectExactMoves(PointerPosition at, const std::vector<Move>& moves,
                        const std::function<void(double, double)>& placeAt = {}) {
    auto webSocket = openWebSocket();
    for (const Move& move : moves) {
      std::string channel = move.channel, dx = number(move.dx), dy = number(move.dy);
      PointerPosition expected{at.x + move.dx, at.y + move.dy};
      if (channel == "post")
        post("/move", R"({"x":)" + dx + R"(,"y":)" + dy + "}");
      else if (channel == "websocket")
        webSocket->send(maskedFrame(R"({"action":"move","x":)" + dx + R"(,"y":)" + dy + "}"));
      else if (channel == "console")
        host_->writeInput("move " + dx + " " + dy + "\n");
      else {
        placeAt(move.dx, move.dy);
        expected = PointerPosition{move.dx, move.dy};
      }
      std::optional<PointerPosition> arrived = waitForPointer(expected);
      EXPECT_EQ(arrived, expected)
          << channel << " move by (" << dx << ", " << dy << ") from " << std::optional(at);
      at = arrived.value_or(expected);
    }
  }

  static std::string keyMessage(const std::string& name, bool down) {
    return maskedFrame(std::string(R"({"action":")") + (down ? "keydown" : "keyup") +
                       R"(","key":")" + (name == "\\" ? "\\\\" : name) + "\"}");
  }
  // Sends every key name of the host's table down and up, then "a", "1" and "/" with shift held;
  // the key events the witness must then report: those of the keysyms `reaches` accepts, and a US
  // keyboard's shifted symbols.
  std::string
  sendEveryKeyAndShiftedOnes(TestClient& webSocket,
                             const std::function<bool(Keysym, const std::string&)>& reaches) {
    std::string expected, lacking;
    auto expect = [&](const std::string& keysym, bool down) {
      expected += (expected.empty() ? "" : "; ") + std::string("key keysym=") + keysym +
                  (down ? " state=pressed" : " state=released");
    };
    const std::map<std::string, KeyCode> names(keyNameToKeyCode().begin(),
                                               keyNameToKeyCode().end());
    for (const auto& [name, code] : names) {
      std::optional<Keysym> keysym = keysymForKeyCode(code);
      EXPECT_TRUE(keysym) << name;
      std::string keysymText = keysymName(keysym.value_or(0));
      bool typed = reaches(keysym.value_or(0), keysymText);
      if (!typed)
        lacking += " " + name + "(" + keysymText + ")";
      // Caps Lock twice, to leave the letters after it in lower case.
      for (int times = name == "capsLock" ? 2 : 1; times > 0; --times)
        for (bool down : {true, false}) {
          webSocket.send(keyMessage(name, down));
          if (typed)
            expect(keysymText, down);
        }
    }
    if (!lacking.empty())
      std::printf("key names that do not reach the window:%s\n", lacking.c_str());
    webSocket.send(keyMessage("shift", true));
    expect("Shift_L", true);
    for (auto [name, shifted] : {std::pair{"a", "A"}, {"1", "exclam"}, {"/", "question"}})
      for (bool down : {true, false}) {
        webSocket.send(keyMessage(name, down));
        expect(shifted, down);
      }
    webSocket.send(keyMessage("shift", false));
    expect("Shift_L", false);
    return expected;
  }

  // Moves the pointer from `at` onto a 1024 x 768 screen to the right of the primary, level with
  // its top: the stream `target` shows the screen of the pointer when it starts.
  void expectStreamsFollowToTheSecondScreen(PointerPosition at, const std::string& target) {
    EXPECT_EQ(firstMjpegImage(target, kMjpegStreamHead).height(), 270);
    post("/move", "{\"x\":" + number(1920 + 200 - at.x) + ",\"y\":" + number(300 - at.y) + "}");
    ASSERT_TRUE(witness_->waitForOutput("leave\n", 30s)) << witness_->output();
    BgraImage image = firstMjpegImage(target, kMjpegStreamHead);
    EXPECT_EQ(image.width(), 480);
    EXPECT_EQ(image.height(), 360); // 1024 x 768 fitted into 480 x 480
  }

  // The first picture of an MJPEG stream, after its answer's head.
  BgraImage firstMjpegImage(const std::string& target, std::string_view head) {
    TestClient client(kHostPort);
    client.send("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(client.read(head.size(), 30s), head) << target;
    MjpegReader reader(client);
    return reader.readImage(30s);
  }

  // Clicks left, right, middle, then left twice: each press and release reaches the witness as
  // its evdev button, and the last two make a double click. The pointer must be on the witness.
  void expectClicksAndADoubleClick() {
    std::size_t from = witnessLines().size();
    for (const char* button : {"left", "right", "middle", "left", "left"})
      post("/click", std::string(R"({"button":")") + button + "\"}");
    std::string expected;
    for (int button : {272, 273, 274, 272, 272})
      for (const char* state : {"pressed", "released"})
        expected += (expected.empty() ? "" : "; ") + std::string("button button=") +
                    std::to_string(button) + " state=" + state;
    EXPECT_EQ(waitForEvents(from, {"button "}, expected), expected);
    EXPECT_TRUE(host_->waitForOutput("Double-click Up\n", 30s)) << host_->output();
  }

  // The keyboard reaches the witness once the session has a keyboard at all, which a headless
  // one gets from the host's first key.
  void waitForKeyboardFocus() {
    post("/keydown", R"({"key":"shift"})");
    post("/keyup", R"({"key":"shift"})");
    ASSERT_TRUE(witness_->waitForOutput("keyboard_enter\n", 30s)) << witness_->output();
  }

  struct PictureCase {
    std::string target;
    int width, height;
    Rect area; // the part of the screen it shows
  };
  // With the pointer at (480, 270), where the caller has put it, each MJPEG stream's first picture
  // has its size and shows its part of the screen: `wrong` says what is wrong with it ("" when
  // nothing).
  void expectMjpegPictures(const std::function<std::string(const BgraImage&, Rect)>& wrong,
                           std::vector<PictureCase> cases = {}) {
    cases.insert(cases.end(),
                 {{"/screen.mjpg", 480, 270, Rect{0, 0, 1920, 1080}},
                  // 800 x 480 and 640 x 480 around the pointer, fitted into 480 x 480.
                  {"/screen.mjpg?follow=hd", 480, 288, Rect{80, 30, 800, 480}},
                  {"/screen.mjpg?follow=true&size=640x480", 480, 360, Rect{160, 30, 640, 480}},
                  // The continuous capture: the whole screen in 1.5 times 800 x 600.
                  {"/screen.mjpg?screen=true", 1200, 675, Rect{0, 0, 1920, 1080}}});
    for (const PictureCase& c : cases) {
      bool continuous = c.target.find("screen=true") != std::string::npos;
      BgraImage image =
          firstMjpegImage(c.target, continuous ? kFollowCaptureStreamHead : kMjpegStreamHead);
      EXPECT_EQ(image.width(), c.width) << c.target << host_->output();
      EXPECT_EQ(image.height(), c.height) << c.target;
      EXPECT_EQ(wrong(image, c.area), "") << c.target;
    }
  }

  // The newest MP4 picture has the cursor where the pointer is, and no longer where it was.
  void expectMp4CursorWhereThePointerIs() {
    Mp4StreamReader video(kHostPort);
    std::optional<PointerPosition> previous;
    for (PointerPosition to : {PointerPosition{480, 270}, PointerPosition{300, 200}}) {
      PointerPosition at = movePointerTo(to.x, to.y);
      std::string errors;
      BgraImage image = newestMp4Picture(
          video, [&](const BgraImage& image) { return cursorNear(image, at); }, 200, &errors);
      ASSERT_EQ(image.width(), 1920) << errors << host_->output();
      EXPECT_TRUE(cursorNear(image, at)) << "no cursor at " << std::optional(at);
      EXPECT_FALSE(previous && cursorNear(image, *previous)) << "a cursor still at " << previous;
      EXPECT_TRUE(showsWitness(image));
      previous = at;
    }
  }

  std::filesystem::path keymapFile_;
  std::unique_ptr<ChildProcess> witness_;
  std::unique_ptr<ChildProcess> host_;
};

// The real program in a desktop session (one per test suite: starting one takes a second or
// more), with the witness on its primary screen: a fresh witness and host for each test.
template <typename Session> class DesktopHostTest : public WitnessHostTest {
protected:
  static void SetUpTestSuite() { startSession(); }
  template <typename... Options> static void startSession(Options... options) {
    if (!Session::missingProgram())
      session_ = new Session(options...);
  }
  static void TearDownTestSuite() {
    delete session_;
    session_ = nullptr;
  }

  void SetUp() override {
    if (auto missing = Session::missingProgram())
      GTEST_SKIP() << *missing;
    ASSERT_TRUE(session_->running()) << "the session did not start:\n" << session_->log();
    ASSERT_NO_FATAL_FAILURE(startWitness());
    ASSERT_NO_FATAL_FAILURE(startHost(session_->environment()));
  }

  // The line with which the host names the session's desktop; the witness's options.
  virtual std::string desktopLine() const = 0;
  virtual std::vector<std::string> witnessOptions() const { return {}; }

  void startWitness(WitnessColour colour = kWitnessColour) {
    WitnessHostTest::startWitness(session_->environment(), witnessOptions(), colour);
  }
  void startHost(const std::vector<std::string>& environment) {
    WitnessHostTest::startHost(environment, desktopLine());
  }

  static inline Session* session_ = nullptr;
};

} // namespace tovel::test
