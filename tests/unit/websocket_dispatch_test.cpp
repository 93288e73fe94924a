#include <gtest/gtest.h>

#include "server/websocket_dispatch.h"
#include "support/virtual_input.h"

namespace tovel {
namespace {

using Lines = std::vector<std::string>;

class WebSocketDispatch : public test::VirtualInputTest {
protected:
  void send(std::string_view text) { handleWebSocketMessage(input, text); }
};

TEST_F(WebSocketDispatch, PointerActions) {
  send(R"({"action":"move","x":3,"y":-2})");
  send(R"({"action":"move","x":"3","y":1})"); // mistyped: nothing
  send(R"({"action":"click"})");              // no button: nothing at all
  send(R"({"action":"click","button":"center"})");
  send(R"({"action":"click","button":"Right"})");
  send(R"({"action":"mousedown"})");
  send(R"({"action":"mouseup","button":"right"})");
  auto e = mouseEvents();
  ASSERT_EQ(e.size(), 7u);
  EXPECT_EQ(e[0].position, (Point{963, 538}));
  EXPECT_EQ(e[1].type, MouseEventType::otherMouseDown);
  EXPECT_EQ(e[2].type, MouseEventType::otherMouseUp);
  EXPECT_EQ(e[3].type, MouseEventType::leftMouseDown);
  EXPECT_EQ(e[5].type, MouseEventType::leftMouseDown);
  EXPECT_EQ(e[6].type, MouseEventType::rightMouseUp);
  EXPECT_EQ(log.lines(), (Lines{"\nws click center", "\nws click Right", "\nws mousedown left",
                                "\nws mouseup right"}));
}

TEST_F(WebSocketDispatch, KeysScrollSwipeAndLog) {
  send(R"({"action":"keydown","key":"a"})");
  send(R"({"action":"keyup","key":"a"})");
  send(R"({"action":"keydown","key":"nope"})");
  send(R"({"action":"scroll","x":1,"y":2})"); // no done: nothing
  send(R"({"action":"scroll","x":1,"y":2,"done":false})");
  send(R"({"action":"scroll","x":0,"y":-1,"done":true})");
  send(R"({"action":"swipe","x":-40,"y":10})"); // no done: nothing
  send(R"({"action":"swipe","x":-40,"y":10,"done":true})");
  send(R"({"action":"log","text":"hi there"})");
  send(R"({"action":"Move","x":1,"y":1})");
  send(R"({"action":7})");
  send(R"(["action","move"])");
  send("not json");
  EXPECT_EQ(keyEvents().size(), 2u + 4u); // a down/up, then the swipe's control chord
  EXPECT_EQ(log.lines(), (Lines{"ws keydown a", "ws keyup a", "ws keydown nope", "ws scroll",
                                "swipe left", "hi there", "Unknown WebSocket action: Move"}));
  int scrolls = 0;
  for (const RecordedEvent& e : desktop.events())
    scrolls += e.scroll() != nullptr;
  EXPECT_EQ(scrolls, 2);
}

} // namespace
} // namespace tovel
