#pragma once

#include <string>
#include <string_view>

namespace tovel::test {

// A POST with its Content-Length, after any other header lines given (each ending in CR LF).
inline std::string postRequest(std::string_view target, std::string_view body,
                               std::string_view headers = "") {
  return "POST " + std::string(target) + " HTTP/1.1\r\n" + std::string(headers) +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

// A GET with the header lines given.
inline std::string getRequest(std::string_view target, std::string_view headers = "Host: h\r\n") {
  return "GET " + std::string(target) + " HTTP/1.1\r\n" + std::string(headers) + "\r\n";
}

// A move of the pointer by one pixel right and down.
inline const std::string kMoveRequest = postRequest("/move", R"({"x":1,"y":1})");

} // namespace tovel::test
