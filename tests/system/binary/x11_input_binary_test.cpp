#include <gtest/gtest.h>

#include <csignal>

#include <chrono>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/x11/x11_scroll.h"
#include "support/host_binary.h"
#include "support/process.h"
#include "support/test_client.h"
#include "support/xvfb.h"

namespace tovel::test {
namespace {

using namespace std::chrono_literals;

struct ButtonLine {
  bool press = false;
  unsigned button = 0;
  int x = 0, y = 0;
  unsigned long time = 0;
};

// The witness's "ButtonPress button=1 x=10 y=20 time=123 state=0x0" lines, in order.
std::vector<ButtonLine> buttonLines(const std::string& output) {
  std::vector<ButtonLine> lines;
  std::istringstream in(output);
  std::string line;
  while (std::getline(in, line)) {
    ButtonLine b;
    char kind[16] = {};
    if (std::sscanf(line.c_str(), "%15s button=%u x=%d y=%d time=%lu", kind, &b.button, &b.x, &b.y,
                    &b.time) != 5)
      continue;
    b.press = std::string(kind) == "ButtonPress";
    lines.push_back(b);
  }
  return lines;
}

// The real program under Xvfb and a window manager, with a focused witness window under the
// pointer's reach.
class X11InputBinary : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(server_.running());
    witness_ = std::make_unique<ChildProcess>(
        TOVEL_X_WITNESS,
        std::vector<std::string>{"--title", "Input witness", "--geometry", "200,150,400,300",
                                 "--focus"},
        ChildProcess::Input::emptyFile, server_.environment());
    ASSERT_TRUE(witness_->waitForOutput("FocusIn", 10s)) << witness_->output();
    std::string output = witness_->output();
    std::string window = output.substr(output.find("ready ") + 6, output.find('\n') - 6);
    // The window manager may have moved the window to make room for its frame.
    std::string info = server_.run("xwininfo -id " + window);
    ASSERT_EQ(std::sscanf(info.c_str() + info.find("Absolute upper-left X:"),
                          "Absolute upper-left X: %d", &originX_),
              1);
    ASSERT_EQ(std::sscanf(info.c_str() + info.find("Absolute upper-left Y:"),
                          "Absolute upper-left Y: %d", &originY_),
              1);

    host_ = startHostBinary(TOVEL_HOST_BINARY, server_.environment());
    ASSERT_TRUE(host_);
    ASSERT_NE(host_->output().find("Using the X display " + server_.display() + "."),
              std::string::npos);
  }

  // Sends a control request and waits for its acknowledgement, which comes once the events are
  // posted.
  void post(const std::string& path, const std::string& body) {
    TestClient client(kHostPort);
    ASSERT_TRUE(client.connected());
    client.send("POST " + path + " HTTP/1.1\r\n\r\n" + body);
    ASSERT_EQ(client.read(252).size(), 252u) << path << " " << body;
  }

  void pointTo(int windowX, int windowY) {
    server_.run("xdotool mousemove " + std::to_string(originX_ + windowX) + " " +
                std::to_string(originY_ + windowY));
  }

  // Waits until the witness has reported this many button events.
  std::vector<ButtonLine> buttons(std::size_t count) {
    auto deadline = std::chrono::steady_clock::now() + 5s;
    std::vector<ButtonLine> lines;
    while ((lines = buttonLines(witness_->output())).size() < count &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(10ms);
    return lines;
  }

  XvfbServer server_{XvfbServer::Options{.windowManager = true}};
  std::unique_ptr<ChildProcess> witness_;
  std::unique_ptr<ChildProcess> host_;
  int originX_ = 0, originY_ = 0;
};

TEST_F(X11InputBinary, MovesAreExactAndButtonsLandWhereThePointerIs) {
  server_.run("xdotool mousemove 500 400");
  post("/move", R"({"x":3,"y":-2})");
  std::string location;
  for (int i = 0; i < 100 && location.find("X=503\nY=398\n") == std::string::npos; ++i) {
    location = server_.run("xdotool getmouselocation --shell");
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_NE(location.find("X=503\nY=398\n"), std::string::npos) << location;

  pointTo(50, 60);
  post("/click", R"({"button":"left"})");
  pointTo(70, 80);
  post("/click", R"({"button":"right"})");
  pointTo(90, 100);
  post("/click", R"({"button":"middle"})");
  // A drag: press, move while held, release where the move ended.
  pointTo(100, 100);
  post("/mousedown", R"({"button":"left"})");
  post("/move", R"({"x":30,"y":20})");
  post("/mouseup", R"({"button":"left"})");

  std::vector<ButtonLine> lines = buttons(8);
  ASSERT_EQ(lines.size(), 8u) << witness_->output();
  const struct {
    bool press;
    unsigned button;
    int x, y;
  } expected[] = {{true, 1, 50, 60},   {false, 1, 50, 60},  {true, 3, 70, 80},
                  {false, 3, 70, 80},  {true, 2, 90, 100},  {false, 2, 90, 100},
                  {true, 1, 100, 100}, {false, 1, 130, 120}};
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].press, expected[i].press) << i;
    EXPECT_EQ(lines[i].button, expected[i].button) << i;
    EXPECT_EQ(lines[i].x, expected[i].x) << i;
    EXPECT_EQ(lines[i].y, expected[i].y) << i;
  }
}

TEST_F(X11InputBinary, TwoQuickClicksArriveAsADoubleClick) {
  pointTo(120, 90);
  post("/click", R"({"button":"left"})");
  post("/click", R"({"button":"left"})");
  std::vector<ButtonLine> lines = buttons(4);
  ASSERT_EQ(lines.size(), 4u) << witness_->output();
  ASSERT_TRUE(lines[0].press && lines[2].press && !lines[1].press && !lines[3].press);
  // Applications take presses of one button less than the double-click time (0.4 s without a
  // settings manager) apart, at one place, for a double click.
  EXPECT_LT(lines[2].time - lines[0].time, 400u);
  EXPECT_LE(lines[0].time, lines[1].time);
  EXPECT_LE(lines[1].time, lines[2].time);
  EXPECT_EQ(lines[2].x, lines[0].x);
  EXPECT_EQ(lines[2].y, lines[0].y);
}

TEST_F(X11InputBinary, KeysReachTheFocusedWindowAsTheirKeysyms) {
  const std::pair<const char*, const char*> keys[] = {
      {"a", "a"}, {"shift", "Shift_L"}, {"return", "Return"}, {"f5", "F5"}, {"leftArrow", "Left"}};
  for (auto [name, keysym] : keys) {
    post("/keydown", std::string(R"({"key":")") + name + "\"}");
    post("/keyup", std::string(R"({"key":")") + name + "\"}");
    for (const char* kind : {"KeyPress", "KeyRelease"}) {
      std::string line = std::string(kind) + " keysym=" + keysym + " ";
      EXPECT_TRUE(witness_->waitForOutput(line, 5s)) << line << witness_->output();
    }
  }
}

TEST_F(X11InputBinary, AShiftNeverReleasedIsReleasedFifteenSecondsAfterItsPress) {
  post("/keydown", R"({"key":"shift"})");
  auto pressed = std::chrono::steady_clock::now();
  ASSERT_TRUE(witness_->waitForOutput("KeyPress keysym=Shift_L", 5s));
  ASSERT_TRUE(witness_->waitForOutput("KeyRelease keysym=Shift_L", 20s)) << witness_->output();
  auto held = std::chrono::steady_clock::now() - pressed;
  EXPECT_GE(held, 14s);
  EXPECT_LE(held, 17s);
}

TEST_F(X11InputBinary, KeysAndButtonsHeldAtExitAreReleased) {
  post("/keydown", R"({"key":"shift"})");
  pointTo(50, 50);
  post("/mousedown", R"({"button":"right"})");
  ASSERT_TRUE(witness_->waitForOutput("KeyPress keysym=Shift_L", 5s));
  host_->signal(SIGTERM);
  EXPECT_EQ(host_->waitForExit(10s), 0);
  EXPECT_TRUE(witness_->waitForOutput("KeyRelease keysym=Shift_L", 5s)) << witness_->output();
  EXPECT_TRUE(witness_->waitForOutput("ButtonRelease button=3", 5s)) << witness_->output();
}

TEST_F(X11InputBinary, ScrollingPostsWholeNotchesInItsDirection) {
  pointTo(150, 150);
  const int notch = int(kPixelsPerNotch);
  auto scroll = [&](int x, double y) {
    post("/scroll",
         R"({"x":)" + std::to_string(x) + R"(,"y":)" + std::to_string(y) + R"(,"done":false})");
  };
  // 1.2 pixels in all: less than a notch. A click afterwards shows that nothing came before it.
  for (int i = 0; i < 3; ++i)
    scroll(0, 0.4);
  post("/click", R"({"button":"left"})");
  // With the pixel carried over, two notches' worth up is two notches. Back down, that pixel is
  // dropped; the host itself still holds 0.2 of a pixel upwards, hence the extra pixel for two
  // notches down. Then one notch left and one right.
  scroll(0, 2 * notch);
  scroll(0, -2 * notch - 1);
  scroll(notch, 0);
  scroll(-notch, 0);
  post("/click", R"({"button":"left"})");

  const std::vector<unsigned> expected{1, 4, 4, 5, 5, 6, 7, 1};
  std::vector<unsigned> presses;
  for (const ButtonLine& line : buttons(2 * expected.size()))
    if (line.press)
      presses.push_back(line.button);
  EXPECT_EQ(presses, expected) << witness_->output();
}

} // namespace
} // namespace tovel::test
