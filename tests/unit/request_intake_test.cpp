#include <gtest/gtest.h>

#include <string>

#include "common/text.h"
#include "server/request_intake.h"
#include "server/utf8.h"

namespace tovel {
namespace {

using Kind = IntakeResult::Kind;

TEST(RequestIntake, SplitsRequestLineAndBody) {
  auto r = parseRequest("POST /move HTTP/1.1\r\nHost: h\r\nContent-Type: x\r\n\r\n{\"x\":3}");
  ASSERT_EQ(r.kind, Kind::request);
  EXPECT_EQ(r.request.method, "POST");
  EXPECT_EQ(r.request.target, "/move");
  EXPECT_EQ(r.request.body, "{\"x\":3}");
  EXPECT_EQ(r.request.text, "POST /move HTTP/1.1\r\nHost: h\r\nContent-Type: x\r\n\r\n{\"x\":3}");
}

TEST(RequestIntake, BodyKeepsLaterLinesAndEmptyLinesJoinedWithCrLf) {
  // Everything after the first empty line, a second request included.
  auto r = parseRequest("GET /a HTTP/1.1\r\n\r\nOPTIONS / HTTP/1.1\r\n\r\nrest\r\n");
  ASSERT_EQ(r.kind, Kind::request);
  EXPECT_EQ(r.request.method, "GET");
  EXPECT_EQ(r.request.target, "/a");
  EXPECT_EQ(r.request.body, "OPTIONS / HTTP/1.1\r\n\r\nrest\r\n");
}

TEST(RequestIntake, EmptyBodyWhenNothingFollowsTheEmptyLine) {
  EXPECT_EQ(parseRequest("GET / HTTP/1.1\r\nHost: h\r\n\r\n").request.body, "");
  // A request line followed by a single CR LF already ends in an empty line.
  auto r = parseRequest("GET / HTTP/1.1\r\n");
  EXPECT_EQ(r.kind, Kind::request);
  EXPECT_EQ(r.request.body, "");
}

TEST(RequestIntake, OnlyCrLfSplitsLines) {
  // Bare LF and bare CR are not line ends, so there is no empty line here.
  EXPECT_EQ(parseRequest("GET / HTTP/1.1\n\nbody").kind, Kind::dropped);
  EXPECT_EQ(parseRequest("GET / HTTP/1.1\r\r\n\nbody").kind, Kind::dropped);
  // ... and the target runs up to the next space, LF included.
  auto r = parseRequest("GET /x\ny HTTP/1.1\r\n\r\n");
  EXPECT_EQ(r.request.target, "/x\ny");
}

TEST(RequestIntake, RequestLinePiecesAreRunsBetweenSpaces) {
  auto r = parseRequest("GET   /a b c\r\n\r\n");
  ASSERT_EQ(r.kind, Kind::request);
  EXPECT_EQ(r.request.target, "/a"); // the rest is ignored like the protocol version
  EXPECT_EQ(parseRequest("GET\r\n\r\n").kind, Kind::dropped);
  EXPECT_EQ(parseRequest("GET/nospaces\r\n\r\n").kind, Kind::dropped);
  EXPECT_EQ(parseRequest("   \r\n\r\n").kind, Kind::dropped);
  EXPECT_EQ(parseRequest("\r\n\r\n").kind, Kind::dropped);
  // A tab is not a separator.
  EXPECT_EQ(parseRequest("GET\t/ HTTP/1.1\r\n\r\n").request.method, "GET\t/");
}

TEST(RequestIntake, HeaderBlockWithoutEmptyLineIsDropped) {
  EXPECT_EQ(parseRequest("GET / HTTP/1.1\r\nHost: h").kind, Kind::dropped);
}

TEST(RequestIntake, UpgradeIsRecognisedCaseSensitivelyAnywhere) {
  auto r = parseRequest("GET /ws HTTP/1.1\r\nUpgrade: websocket\r\nX: y");
  EXPECT_EQ(r.kind, Kind::webSocketUpgrade); // no empty line needed
  EXPECT_EQ(r.request.text, "GET /ws HTTP/1.1\r\nUpgrade: websocket\r\nX: y");
  EXPECT_EQ(parseRequest("GET / HTTP/1.1\r\nupgrade: websocket\r\n\r\n").kind, Kind::request);
  EXPECT_EQ(parseRequest("GET / HTTP/1.1\r\n\r\nUpgrade: websocket").kind, Kind::webSocketUpgrade);
  // The request line is checked first.
  EXPECT_EQ(parseRequest("X\r\nUpgrade: websocket\r\n\r\n").kind, Kind::dropped);
}

TEST(RequestIntake, InvalidUtf8IsDropped) {
  std::string bytes = "POST /log HTTP/1.1\r\n\r\n{\"text\":\"\xff\"}";
  EXPECT_EQ(parseRequest(bytes).kind, Kind::dropped);
  std::string valid = "POST /log HTTP/1.1\r\n\r\n{\"text\":\"caf\xc3\xa9\"}";
  EXPECT_EQ(parseRequest(valid).kind, Kind::request);
}

TEST(Utf8, RejectsMalformedSequences) {
  EXPECT_TRUE(isValidUtf8("plain ascii"));
  EXPECT_TRUE(isValidUtf8("\xe2\x82\xac \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf"));
  EXPECT_TRUE(isValidUtf8(std::string_view("a\0b", 3)));
  EXPECT_FALSE(isValidUtf8("\xc0\xaf"));         // overlong slash
  EXPECT_FALSE(isValidUtf8("\xe0\x80\xaf"));     // overlong
  EXPECT_FALSE(isValidUtf8("\xed\xa0\x80"));     // surrogate
  EXPECT_FALSE(isValidUtf8("\xf4\x90\x80\x80")); // above U+10FFFF
  EXPECT_FALSE(isValidUtf8("\xe2\x82"));         // truncated
  EXPECT_FALSE(isValidUtf8("\x80"));             // lone continuation
  EXPECT_FALSE(isValidUtf8("\xe2\x28\xa1"));     // bad continuation
}

TEST(SplitDroppingEmpty, DropsEmptyPieces) {
  auto pieces = splitDroppingEmpty("size=640x480&size=&x", "size=");
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0], "640x480&");
  EXPECT_EQ(pieces[1], "&x");
  EXPECT_TRUE(splitDroppingEmpty("xxx", "x").empty());
  EXPECT_TRUE(splitDroppingEmpty("", "x").empty());
}

} // namespace
} // namespace tovel
