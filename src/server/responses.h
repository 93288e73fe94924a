#pragma once

#include <string_view>

namespace tovel {

// Literal HTTP answers; clients rely on their exact bytes.

inline constexpr std::string_view kPreflightResponse =
    "HTTP/1.1 204 No Content\r\n"
    "Access-Control-Allow-Origin: *\r\n"
    "Access-Control-Allow-Private-Network: true\r\n"
    "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
    "Access-Control-Allow-Headers: Content-Type, Authorization\r\n"
    "Access-Control-Max-Age: 120\r\n"
    "Content-Length: 0\r\n"
    "\r\n";

inline constexpr std::string_view kControlAcknowledgement =
    "HTTP/1.1 200 OK\r\n"
    "Access-Control-Allow-Origin: *\r\n"
    "Access-Control-Allow-Private-Network: true\r\n"
    "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
    "Access-Control-Allow-Headers: Content-Type, Authorization\r\n"
    "Access-Control-Max-Age: 120\r\n"
    "Content-Length: 0\r\n"
    "\r\n";

// For a request from another site's page: it has no effect, and says why to whoever looks.
inline constexpr std::string_view kForbiddenResponse =
    "HTTP/1.1 403 Forbidden\r\n"
    "Content-Type: text/plain; charset=utf-8\r\n"
    "Content-Length: 56\r\n"
    "Connection: close\r\n"
    "\r\n"
    "Refused: this page's site may not use this Tovel Host.\r\n";

// For a request without the pairing key, when the host asks for one: it has no effect. Pages of
// any site may read it, so that the app can tell the person to pair.
inline constexpr std::string_view kUnpairedResponse =
    "HTTP/1.1 401 Unauthorized\r\n"
    "Content-Type: text/plain; charset=utf-8\r\n"
    "Content-Length: 68\r\n"
    "WWW-Authenticate: Bearer realm=\"Tovel Host\"\r\n"
    "Access-Control-Allow-Origin: *\r\n"
    "Connection: close\r\n"
    "\r\n"
    "Not paired: open the link or scan the code this Tovel Host prints.\r\n";

inline constexpr std::string_view kNotFoundResponse =
    "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";

// The multipart boundary of both picture streams.
inline constexpr std::string_view kMultipartBoundary = "myBoundary";

// The head of the picture stream, whose body is one chunk per frame.
inline constexpr std::string_view kMjpegStreamHead =
    "HTTP/1.1 200 OK\r\n"
    "Content-Type: multipart/x-mixed-replace; boundary=myBoundary\r\n"
    "Transfer-Encoding: chunked\r\n"
    "Connection: keep-alive\r\n"
    "Cache-Control: no-cache, no-store, must-revalidate\r\n"
    "Pragma: no-cache\r\n"
    "Expires: 0\r\n"
    "Access-Control-Allow-Origin: *\r\n"
    "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
    "Access-Control-Allow-Headers: Content-Type, Authorization\r\n"
    "\r\n";

// The head of the follow-capture stream. It announces no chunked coding, and its last CR is the
// first byte of the body, ahead of the first boundary: clients have always received it so.
inline constexpr std::string_view kFollowCaptureStreamHead =
    "HTTP/1.1 200 OK\r\n"
    "Content-Type: multipart/x-mixed-replace; boundary=myBoundary\r\n"
    "Connection: keep-alive\r\n"
    "Cache-Control: no-cache, no-store, must-revalidate\r\n"
    "Pragma: no-cache\r\n"
    "Expires: 0\r\n"
    "Access-Control-Allow-Origin: *\r\n"
    "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
    "Access-Control-Allow-Headers: Content-Type, Authorization\r\n"
    "\r\n\r";

// The heads of the live MP4 stream's two answers, before its chunks: the full stream (whose content
// type also names the codec, added where the head is made) and the answer to a range request.
inline constexpr std::string_view kMp4StreamContentType = "video/mp4";
inline constexpr std::string_view kMp4StreamHeadAfterType =
    "\r\nConnection: keep-alive\r\n"
    "Transfer-Encoding: chunked\r\n"
    "Cache-Control: no-store\r\n"
    "\r\n";
inline constexpr std::string_view kMp4RangeAnswerHead =
    "HTTP/1.1 206 Partial Content\r\n"
    "Content-Type: video/mp4\r\n"
    "Content-Range: bytes 0-*/\r\n"
    "Connection: keep-alive\r\n"
    "Transfer-Encoding: chunked\r\n"
    "Cache-Control: no-store\r\n"
    "\r\n";

static_assert(kPreflightResponse.size() == 260);
static_assert(kMjpegStreamHead.size() == 67 + 10 + 279);
static_assert(kFollowCaptureStreamHead.size() == 67 + 10 + 252);
static_assert(kControlAcknowledgement.size() == 252);
static_assert(kNotFoundResponse.size() == 45);
static_assert(kUnpairedResponse.size() - kUnpairedResponse.find("\r\n\r\n") - 4 == 68);

} // namespace tovel
