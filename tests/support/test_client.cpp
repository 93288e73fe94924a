#include "support/test_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace tovel::test {

using Clock = std::chrono::steady_clock;

TestClient::TestClient(std::uint16_t port, int receiveBuffer, const char* fromAddress) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  // Before connecting, so that the window the host sees is small from the start.
  if (receiveBuffer > 0)
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  if (fromAddress) {
    ::inet_pton(AF_INET, fromAddress, &address.sin_addr);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int one = 1;
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    close();
  else
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void TestClient::close() {
  if (fd_ >= 0)
    ::close(fd_);
  fd_ = -1;
}

std::uint16_t TestClient::localPort() const {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return 0;
  return ntohs(address.sin_port);
}

void TestClient::reset() {
  linger abort{1, 0};
  if (fd_ >= 0)
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  close();
}

void TestClient::send(std::string_view bytes) {
  while (!bytes.empty() && fd_ >= 0) {
    ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno != EINTR)
      return;
    bytes.remove_prefix(std::size_t(std::max<ssize_t>(n, 0)));
  }
}

void TestClient::finishSending() {
  if (fd_ >= 0)
    ::shutdown(fd_, SHUT_WR);
}

int TestClient::receive(std::string& data, std::size_t maximum, Clock::time_point deadline) {
  if (fd_ < 0)
    return 0;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, int(std::max<std::int64_t>(left.count(), 0))) <= 0)
    return -1;
  char buffer[65536];
  ssize_t got = ::recv(fd_, buffer, std::min(sizeof buffer, maximum), 0);
  if (got <= 0)
    return 0;
  data.append(buffer, std::size_t(got));
  return 1;
}

std::string TestClient::read(std::size_t n, std::chrono::milliseconds timeout) {
  std::string data;
  auto deadline = Clock::now() + timeout;
  while (data.size() < n && receive(data, n - data.size(), deadline) > 0) {
  }
  return data;
}

std::optional<std::string> TestClient::readSome(std::size_t maximum,
                                                std::chrono::milliseconds timeout) {
  std::string data;
  if (receive(data, maximum, Clock::now() + timeout) == 0)
    return std::nullopt;
  return data;
}

std::string TestClient::readUntilClosed(std::chrono::milliseconds timeout) {
  return read(std::string::npos, timeout);
}

bool TestClient::waitClosed(std::chrono::milliseconds timeout) {
  std::string data;
  auto deadline = Clock::now() + timeout;
  int last = 0;
  while ((last = receive(data, 65536, deadline)) > 0) {
  }
  return last == 0 && fd_ >= 0;
}

bool TestClient::staysSilent(std::chrono::milliseconds duration) {
  pollfd p{fd_, POLLIN, 0};
  return fd_ >= 0 && ::poll(&p, 1, int(duration.count())) == 0;
}

} // namespace tovel::test
