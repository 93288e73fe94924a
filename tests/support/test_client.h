#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tovel::test {

// A plain blocking TCP client for talking to the host over loopback. Every wait has a time-out so
// a misbehaving host fails the test instead of hanging it.
class TestClient {
public:
  // A receive buffer of the given size (bytes; 0: the system's) makes the host's sends back up
  // after a few kilobytes, as a slow reader does. From another loopback address (127.0.0.2, ...)
  // it is another client, as the host counts them.
  explicit TestClient(std::uint16_t port, int receiveBuffer = 0, const char* fromAddress = nullptr);
  TestClient(std::uint16_t port, const char* fromAddress) : TestClient(port, 0, fromAddress) {}
  ~TestClient() { close(); }
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  bool connected() const { return fd_ >= 0; }
  std::uint16_t localPort() const; // of this end of the connection
  void send(std::string_view bytes);
  void finishSending(); // closes the sending direction only: the host sees the end of the data
  void close();
  void reset(); // closes with a reset (SO_LINGER 0), as a peer that vanishes mid-connection does

  // Reads exactly n bytes; fewer if the host closes or the time runs out.
  std::string read(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // What arrives first, up to `maximum` bytes: empty when nothing comes in time, none when the
  // host has closed the connection.
  std::optional<std::string> readSome(std::size_t maximum, std::chrono::milliseconds timeout);
  // Reads whatever arrives until the host closes the connection or the time runs out.
  std::string readUntilClosed(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // True when the host closed the connection (end of data or reset) within the time.
  bool waitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // True when nothing at all arrives, and the connection stays open, for the whole time.
  bool staysSilent(std::chrono::milliseconds duration);

private:
  // Appends up to `maximum` bytes that come by the deadline: 1 when some came, 0 when the
  // connection is closed (or was never open), -1 on time-out.
  int receive(std::string& data, std::size_t maximum,
              std::chrono::steady_clock::time_point deadline);
  int fd_ = -1;
};

} // namespace tovel::test
