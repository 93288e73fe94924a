#include <gtest/gtest.h>

#include <string>

#include "server/request_intake.h"
#include "server/utf8.h"

namespace tovel {
namespace {

using Kind = RequestAssembly::Kind;

struct Case {
  std::string input;
  Kind kind;
  std::string method = "";
  std::string target = "";
  std::string body = "";
  std::string rest = ""; // what is left for the next request
};

std::string bigHeader(std::size_t blockSize) {
  std::string head = "GET / HTTP/1.1\r\nX: ";
  return head + std::string(blockSize - head.size() - 4, 'a') + "\r\n\r\n";
}

TEST(RequestAssembly, FindsTheRequestAtTheStartOfWhatArrived) {
  const std::string post = "POST /move HTTP/1.1\r\nContent-Length: 7\r\n\r\n";
  const Case cases[] = {
      // Without Content-Length the body is everything after the empty line, a second request
      // included.
      {"POST /move HTTP/1.1\r\nHost: h\r\n\r\n{\"x\":3}", Kind::request, "POST", "/move",
       "{\"x\":3}"},
      {"GET /a HTTP/1.1\r\n\r\nOPTIONS / HTTP/1.1\r\n\r\nrest\r\n", Kind::request, "GET", "/a",
       "OPTIONS / HTTP/1.1\r\n\r\nrest\r\n"},
      {"GET / HTTP/1.1\r\nHost: h\r\n\r\n", Kind::request, "GET", "/"},
      // With it, exactly that many bytes; the rest is the next request's.
      {post + "{\"x\":3}POST /next", Kind::request, "POST", "/move", "{\"x\":3}", "POST /next"},
      {"POST / HTTP/1.1\r\ncontent-LENGTH: \t 2 \r\n\r\nabcd", Kind::request, "POST", "/", "ab",
       "cd"},
      {"POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\nGET", Kind::request, "POST", "/", "", "GET"},
      {"POST / HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 2\r\n\r\nabc", Kind::request,
       "POST", "/", "ab", "c"},
      // Names that are not exactly Content-Length do not count.
      {"POST / HTTP/1.1\r\nX-Content-Length: 1\r\nContent-Length : 1\r\n\r\nab", Kind::request,
       "POST", "/", "ab"},
      // Line ends before a request are skipped.
      {"\r\n\r\nGET / HTTP/1.1\r\n\r\n", Kind::request, "GET", "/"},
      // Pieces of the request line are runs between single spaces; only CR LF ends a line.
      {"GET   /a b c\r\n\r\n", Kind::request, "GET", "/a"},
      {"GET /x\ny HTTP/1.1\r\n\r\n", Kind::request, "GET", "/x\ny"},
      {"GET\t/ HTTP/1.1\r\n\r\n", Kind::request, "GET\t/", "HTTP/1.1"},
      {"POST /log HTTP/1.1\r\n\r\n{\"text\":\"caf\xc3\xa9\"}", Kind::request, "POST", "/log",
       "{\"text\":\"caf\xc3\xa9\"}"},
      // The upgrade header counts in the header block only, and only written like this.
      {"GET / HTTP/1.1\r\nupgrade: websocket\r\n\r\n", Kind::request, "GET", "/"},
      {"GET / HTTP/1.1\r\n\r\nUpgrade: websocket", Kind::request, "GET", "/", "Upgrade: websocket"},
      // Still on its way: the request line, the header block, the declared body.
      {"", Kind::incomplete},
      {"\r", Kind::incomplete},
      {"\r\n\r\n", Kind::incomplete},
      {"GET /inde", Kind::incomplete},
      {"GET / HTTP/1.1\r\n", Kind::incomplete},
      {"GET / HTTP/1.1\r\nHost: h", Kind::incomplete},
      {"GET / HTTP/1.1\n\nbody", Kind::incomplete},
      {"GET / HTTP/1.1\r\r\n\nbody", Kind::incomplete},
      {"GET /ws HTTP/1.1\r\nUpgrade: websocket\r\nX: y", Kind::incomplete},
      {post + "{\"x\":", Kind::incomplete},
      // Dropped: a request line of fewer than two pieces (as soon as it ends), text that is not
      // UTF-8, a Content-Length that cannot be trusted.
      {"GET\r\n", Kind::dropped},
      {"GET/nospaces\r\nHost: h", Kind::dropped},
      {"   \r\n\r\n", Kind::dropped},
      {"X\r\nUpgrade: websocket\r\n\r\n", Kind::dropped},
      {"POST /log HTTP/1.1\r\n\r\n{\"text\":\"\xff\"}", Kind::dropped},
      {"POST / HTTP/1.1\r\nContent-Length: 1\r\n\r\n\xc3", Kind::dropped},
      {"POST / HTTP/1.1\r\nContent-Length: abc\r\n\r\n", Kind::dropped},
      {"POST / HTTP/1.1\r\nContent-Length:\r\n\r\n", Kind::dropped},
      {"POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", Kind::dropped},
      {"POST / HTTP/1.1\r\nContent-Length: 1, 1\r\n\r\nab", Kind::dropped},
      {"POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab", Kind::dropped},
      // Larger than a request may be, known before the bytes arrive.
      {"POST / HTTP/1.1\r\nContent-Length: 65537\r\n\r\n", Kind::tooLarge},
      {"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999999\r\n\r\n", Kind::tooLarge},
      {"GET / HTTP/1.1\r\nX: " + std::string(65536, 'a'), Kind::tooLarge},
      {bigHeader(65537), Kind::tooLarge},
      {bigHeader(65536), Kind::request, "GET", "/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input.substr(0, 80));
    RequestAssembly r = assembleRequest(c.input);
    ASSERT_EQ(r.kind, c.kind);
    // Only the declared body is missing: the header time limit no longer applies.
    EXPECT_EQ(r.headerWhole, c.kind == Kind::incomplete && c.input.starts_with(post));
    if (c.kind != Kind::request)
      continue;
    EXPECT_EQ(r.request.method, c.method);
    EXPECT_EQ(r.request.target, c.target);
    EXPECT_EQ(r.request.body, c.body);
    std::size_t used = c.input.size() - c.rest.size();
    EXPECT_EQ(r.used, used);
    // The text is the request's own bytes, leading line ends aside.
    EXPECT_TRUE(c.input.substr(0, used).ends_with(r.request.text));
    EXPECT_TRUE(r.request.text.ends_with(r.request.body));
  }
}

TEST(RequestAssembly, AnUpgradeEndsWithItsHeaderBlock) {
  const std::string head = "GET /ws HTTP/1.1\r\nContent-Length: 99\r\nUpgrade: websocket\r\n"
                           "Sec-WebSocket-Key: k\r\n\r\n";
  RequestAssembly r = assembleRequest(head + "\x81\x80" + "abcd");
  ASSERT_EQ(r.kind, Kind::webSocketUpgrade);
  EXPECT_EQ(r.used, head.size());
  EXPECT_EQ(r.request.text, head);
  EXPECT_EQ(r.request.target, "/ws");
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

} // namespace
} // namespace tovel
