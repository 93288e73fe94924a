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

inline constexpr std::string_view kNotFoundResponse =
    "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";

// The multipart boundary of both picture streams.
inline constexpr std::string_view kMultipartBoundary = "myBoundary";

static_assert(kPreflightResponse.size() == 260);
static_assert(kControlAcknowledgement.size() == 252);
static_assert(kNotFoundResponse.size() == 45);

} // namespace tovel
