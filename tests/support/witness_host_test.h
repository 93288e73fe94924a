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
#include "support/http_requests.h"
#include "support/mjpeg_reader.h"
#include "support/mp4_stream_reader.h"
#include "support/pictures.h"
#include "support/process.h"
#include "support/test_client.h"
#include "support/wait.h"
#include "support/websocket_upgrade.h"

namespace tovel::test {

using namespace std::chrono_literals;

// A witness's colour (as the witness takes it), far from the black and white of any cursor.
struct WitnessColour {
  int red, green, blue;
  const char* text;
};
inline constexpr WitnessColour kWitnessColour{0x20, 0xa0, 0x60, "20a060"};
inline constexpr WitnessColour kOtherWitnessColour{0xc0, 0x70, 0x20, "c07020"};

inline bool isWitnessColour(Colour c, WitnessColour witness = kWitnessColour) {
  return nearColour(c, witness.red, witness.green, witness.blue);
}

// Where a picture is looked at for the witness: near its four corners and at (0.75, 0.75), away
// from (0.25, 0.25) where the tests keep the pointer.
inline constexpr std::pair<double, double> kWitnessPoints[] = {
    {0.03, 0.03}, {0.97, 0.03}, {0.03, 0.97}, {0.97, 0.97}, {0.75, 0.75}};
inline Colour witnessPointColour(const BgraImage& image, std::pair<double, double> at) {
  return averageColour(image, int(at.first * image.width()), int(at.second * image.height()));
}
// Whether the picture shows the witness at those points: another window, the desktop or a window
// still being mapped fails.
inline bool showsWitness(const BgraImage& image, WitnessColour witness = kWitnessColour) {
  for (auto at : kWitnessPoints)
    if (!isWitnessColour(witnessPointColour(image, at), witness))
      return false;
  return image.width() > 0;
}
// What a picture has at those points, for a failure's message.
inline std::string describeWitnessPoints(const BgraImage& image) {
  if (image.width() == 0)
    return "no picture came";
  std::ostringstream out;
  out << "the last picture, " << image.width() << "x" << image.height() << ", has (RGB)";
  for (auto at : kWitnessPoints) {
    Colour c = witnessPointColour(image, at);
    char rgb[8];
    std::snprintf(rgb, sizeof rgb, "%02x%02x%02x", int(c.r), int(c.g), int(c.b));
    out << " " << rgb << " at (" << at.first << ", " << at.second << ")";
  }
  return out.str();
}

// Reads pictures for at most 30 s until one passes; whether one did. The last picture read goes
// to `last` when given.
inline bool readUntil(MjpegReader& reader, const std::function<bool(const BgraImage&)>& wanted,
                      BgraImage* last = nullptr) {
  BgraImage image;
  for (auto deadline = std::chrono::steady_clock::now() + 30s;
       std::chrono::steady_clock::now() < deadline;) {
    image = reader.readImage(30s);
    if (image.width() == 0)
      break;
    if (wanted(image))
      return true;
  }
  if (last)
    *last = std::move(image);
  return false;
}

inline std::string number(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

struct PointerPosition {
  double x = 0, y = 0;
  bool operator==(const PointerPosition&) const = default;
};
inline std::ostream& operator<<(std::ostream& out, const std::optional<PointerPosition>& p) {
  return p ? out << "(" << p->x << ", " << p->y << ")" : out << "(nowhere)";
}

// Whether a pixel near the place, in a picture of the screen at this scale, is not the witness's
// colour: the cursor, whose hot spot is its top-left corner.
inline bool cursorNear(const BgraImage& image, PointerPosition at, double scale = 1) {
  for (int dy = int(-4 * scale); dy < 20 * scale; ++dy)
    for (int dx = int(-4 * scale); dx < 20 * scale; ++dx)
      if (!isWitnessColour(averageColour(image, int(at.x * scale) + dx, int(at.y * scale) + dy, 0)))
        return true;
  return false;
}

// The newest picture of a 1920 x 1080 MP4 stream (from the last key frame on) once it passes the
// test, read on for at most 30 s (a still screen sends a fragment a second, so a count of them
// could outlast the test's limit); else the last one decoded (empty, with `errors`).
inline BgraImage newestMp4Picture(Mp4StreamReader& video,
                                  const std::function<bool(const BgraImage&)>& wanted = nullptr,
                                  std::string* errors = nullptr) {
  BgraImage image;
  std::string ignored;
  auto deadline = std::chrono::steady_clock::now() + 30s;
  for (std::size_t count = std::max<std::size_t>(1, video.fragments().size());
       std::chrono::steady_clock::now() < deadline && video.waitForFragments(count); ++count) {
    std::vector<Mp4Fragment> all = video.fragments();
    if (count < all.size())
      continue; // only the newest picture counts
    std::vector<std::uint8_t> bytes = video.initialization();
    std::size_t key = 0;
    for (std::size_t i = 0; i < all.size(); ++i)
      key = all[i].keyFrame ? i : key;
    for (std::size_t i = key; i < all.size(); ++i)
      bytes.insert(bytes.end(), all[i].bytes.begin(), all[i].bytes.end());
    image = lastDecodedPicture(bytes, 1920, 1080, errors ? *errors : ignored);
    if (!wanted || wanted(image))
      break;
  }
  return image;
}

// The real program on a desktop session (one per test suite) with a fresh witness window filling
// its primary screen and a fresh host for each test. A desktop's fixture says how its witness
// starts and reports; its lines are read in the Wayland witness's words ("motion x=1 y=2",
// "button button=272 state=pressed", "key keysym=a state=released").
template <typename Session> class DesktopHostTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { startSession(); }
  template <typename... Options> static void startSession(Options... options) {
    if (!Session::missingProgram())
      session_ = new Session(options...);
  }
  static void TearDownTestSuite() { delete std::exchange(session_, nullptr); }

  void SetUp() override {
    if (auto missing = Session::missingProgram())
      GTEST_SKIP() << *missing;
    ASSERT_TRUE(session_->running()) << "the session did not start:\n" << session_->log();
    ASSERT_NO_FATAL_FAILURE(startWitness());
    ASSERT_NO_FATAL_FAILURE(startHost(session_->environment()));
  }
  void TearDown() override {
    host_.reset();
    witness_.reset();
    std::error_code ignored;
    std::filesystem::remove(keymapFile_, ignored);
  }

  // The line with which the host names the session's desktop.
  virtual std::string desktopLine() const = 0;
  // Starts the witness and waits until it is shown.
  virtual void startWitness(WitnessColour colour = kWitnessColour) = 0;
  // Where a move to this place puts the pointer.
  virtual PointerPosition landing(PointerPosition p) const { return p; }
  // Puts the pointer there as the person's own mouse would; false where the tests cannot.
  virtual bool placePointer(double, double) { return false; }
  // Whether the key of this keysym reaches the witness.
  virtual bool keyReaches(Keysym, const std::string&) { return true; }
  struct TextCase {
    std::string text; // typed from every channel, with shift held (and caps lock on)
    bool capsLock = true;
    std::u32string line; // made into a paste of 1000 characters
    // Characters the layout lacks too: then also a paste of more than a keymap has spare keys.
    bool anyCharacter = true;
    std::string untypeable = "\xEF\xBF\xBE (U+FFFE)"; // as the host names it; none: all type
  };
  // What typing is checked with, the session made ready for it.
  virtual TextCase textCase() {
    return {"Grüße, señor 1 @ café ß € Ωμέγα 日本語 😀", true,
            U"Line 7: Grüße @ 3 € – ελληνικά 日本 😀 ñ\t«ok» \"q\" \\ ABC xyz\n"};
  }

  // Starts the Wayland witness with these options, writing the keymap it gets to keymapFile_.
  void startWaylandWitness(const char* program, std::vector<std::string> options,
                           WitnessColour colour) {
    keymapFile_ = std::filesystem::temp_directory_path() /
                  ("tovel-keymap-" + std::to_string(::getpid()) + ".xkb");
    options.insert(options.end(), {"--colour", colour.text, "--keymap", keymapFile_.string()});
    witness_ = std::make_unique<ChildProcess>(program, options, ChildProcess::Input::emptyFile,
                                              session_->environment());
    ASSERT_TRUE(witness_->waitForOutput("ready 1920x1080\n", 30s)) << witness_->output();
  }

  // Starts the host, checks the line that names its desktop, and waits until its pictures show
  // the witness (a compositor may still be animating the window onto the screen).
  void startHost(const std::vector<std::string>& environment) {
    host_ = startHostBinary(TOVEL_HOST_BINARY, environment);
    ASSERT_TRUE(host_);
    ASSERT_NE(host_->output().find(desktopLine()), std::string::npos) << host_->output();
    auto client = openMjpeg("/screen.mjpg");
    MjpegReader reader(*client);
    BgraImage last;
    ASSERT_TRUE(readUntil(
        reader, [](const BgraImage& image) { return showsWitness(image); }, &last))
        << "the stream never showed the witness: " << describeWitnessPoints(last) << "\n"
        << host_->output();
  }

  // Sends a control request and waits for its acknowledgement: the host has handed the events on.
  void post(const std::string& path, const std::string& body) {
    TestClient client(kHostPort);
    ASSERT_TRUE(client.connected());
    client.send(postRequest(path, body, "Host: 127.0.0.1\r\nContent-Type: application/json\r\n"));
    ASSERT_EQ(client.read(kControlAcknowledgement.size()), kControlAcknowledgement)
        << path << " " << body;
  }
  void tap(const std::string& key) {
    post("/keydown", R"({"key":")" + key + "\"}");
    post("/keyup", R"({"key":")" + key + "\"}");
  }

  std::unique_ptr<TestClient> openWebSocket() {
    auto client = std::make_unique<TestClient>(kHostPort);
    EXPECT_TRUE(tovel::test::openWebSocket(*client)) << "no WebSocket handshake";
    return client;
  }

  virtual std::vector<std::string> witnessLines() {
    std::vector<std::string> lines;
    std::istringstream in(witness_->output());
    for (std::string line; std::getline(in, line);)
      lines.push_back(line);
    return lines;
  }

  // The pointer's place as the witness last heard of it (on entering or moving over it).
  virtual std::optional<PointerPosition> pointer() {
    std::optional<PointerPosition> last;
    for (const std::string& line : witnessLines()) {
      PointerPosition p;
      if (std::sscanf(line.c_str(), "motion x=%lf y=%lf", &p.x, &p.y) == 2 ||
          std::sscanf(line.c_str(), "enter x=%lf y=%lf", &p.x, &p.y) == 2)
        last = p;
    }
    return last;
  }

  // Brings the pointer over the witness and waits until the witness has seen it there, frame
  // included; where it then is. (GNOME may report a first move's enter before the move landed.)
  virtual PointerPosition pointerOverWitness() {
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

  // The lines from line `from` on that begin with one of the prefixes, joined by "; ".
  std::string witnessEvents(std::size_t from, const std::vector<std::string>& prefixes) {
    std::vector<std::string> lines = witnessLines();
    std::string events;
    for (std::size_t i = from; i < lines.size(); ++i)
      if (std::ranges::any_of(prefixes,
                              [&](const std::string& p) { return lines[i].starts_with(p); }))
        events += (events.empty() ? "" : "; ") + lines[i];
    return events;
  }
  // Waits until those events are the expected ones; what they are.
  std::string waitForEvents(std::size_t from, const std::vector<std::string>& prefixes,
                            const std::string& expected) {
    waitUntil([&] { return witnessEvents(from, prefixes) == expected; }, 30s);
    return witnessEvents(from, prefixes);
  }

  struct Move {
    const char* channel; // "post", "websocket", "console", or "outside": placePointer(dx, dy)
    double dx, dy;
  };
  // Each move lands exactly where it leads from where the one before went.
  void expectExactMoves(PointerPosition at, const std::vector<Move>& moves) {
    auto webSocket = openWebSocket();
    for (const Move& move : moves) {
      std::string channel = move.channel, dx = number(move.dx), dy = number(move.dy);
      PointerPosition expected = landing({at.x + move.dx, at.y + move.dy});
      if (channel == "post")
        post("/move", R"({"x":)" + dx + R"(,"y":)" + dy + "}");
      else if (channel == "websocket")
        webSocket->send(maskedFrame(R"({"action":"move","x":)" + dx + R"(,"y":)" + dy + "}"));
      else if (channel == "console")
        host_->writeInput("move " + dx + " " + dy + "\n");
      else if (placePointer(move.dx, move.dy))
        expected = PointerPosition{move.dx, move.dy};
      else
        continue;
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

  // Taps `key` until the witness reports `seen`: a headless session gets a keyboard, and the
  // witness with it the keyboard's focus, from the host's first key.
  void waitForKeyboardFocus(const std::string& key = "shift",
                            const std::string& seen = "key keysym=Shift_L state=released") {
    for (int tries = 0; tries < 10; ++tries) {
      std::size_t from = witnessLines().size();
      tap(key);
      if (waitUntil([&] { return witnessEvents(from, {"key "}).find(seen) != std::string::npos; },
                    3s))
        return;
    }
    FAIL() << "the witness never got the keyboard\n" << witness_->output();
  }

  // Moves the pointer to (480, 270), then onto a 1024 x 768 screen right of the primary, level
  // with its top: the stream `target` shows the screen of the pointer when it starts.
  void expectStreamsFollowToTheSecondScreen(const std::string& target) {
    PointerPosition at = movePointerTo(480, 270);
    EXPECT_EQ(firstMjpegImage(target).height(), 270);
    post("/move", "{\"x\":" + number(1920 + 200 - at.x) + ",\"y\":" + number(300 - at.y) + "}");
    ASSERT_TRUE(witness_->waitForOutput("leave\n", 30s)) << witness_->output();
    BgraImage image = firstMjpegImage(target);
    EXPECT_EQ(image.width(), 480);
    EXPECT_EQ(image.height(), 360); // 1024 x 768 fitted into 480 x 480
  }

  // A connection on which the MJPEG stream `target` has begun with its head (the continuous
  // capture's for "screen=true").
  static std::unique_ptr<TestClient> openMjpeg(const std::string& target) {
    auto client = std::make_unique<TestClient>(kHostPort);
    client->send(getRequest(target, "Host: 127.0.0.1\r\n"));
    std::string_view head = target.find("screen=true") != std::string::npos
                                ? kFollowCaptureStreamHead
                                : kMjpegStreamHead;
    EXPECT_EQ(client->read(head.size(), 30s), head) << target;
    return client;
  }
  static BgraImage firstMjpegImage(const std::string& target) {
    auto client = openMjpeg(target);
    return MjpegReader(*client).readImage(30s);
  }

  std::filesystem::path keymapFile_;
  std::unique_ptr<ChildProcess> witness_;
  std::unique_ptr<ChildProcess> host_;
  static inline Session* session_ = nullptr;
};

} // namespace tovel::test
