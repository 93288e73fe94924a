#include "server/connection.h"

#include <array>
#include <cerrno>
#include <cstring>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <asio/dispatch.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include "server/connection_slots.h"

namespace tovel {

namespace {

// How long a cancelled connection keeps reading (and discarding) before it is closed: closing a
// socket with unread input makes the kernel reset it, which can destroy a response still in
// flight to the peer.
constexpr auto kLingerTime = std::chrono::seconds(2);

NetworkError fromErrorCode(const asio::error_code& ec) {
  if (ec == asio::error::operation_aborted)
    return cancelledError();
  return NetworkError{ec.value(), ec.message()};
}

NetworkError peerFinishedError() {
  return NetworkError{ENOTCONN, "The peer closed the connection"};
}

} // namespace

NetworkError cancelledError() {
  return NetworkError{ECANCELED, std::strerror(ECANCELED)};
}

std::shared_ptr<Connection> Connection::create(asio::io_context& io, asio::ip::tcp::socket socket,
                                               std::unique_ptr<ConnectionSlot> slot) {
  auto connection =
      std::shared_ptr<Connection>(new Connection(io, std::move(socket), std::move(slot)));
  if (connection->slot_)
    connection->slot_->attach(connection);
  return connection;
}

std::shared_ptr<Connection> Connection::create(asio::io_context& io, asio::ip::tcp::socket socket) {
  return create(io, std::move(socket), nullptr);
}

Connection::Connection(asio::io_context& io, asio::ip::tcp::socket socket,
                       std::unique_ptr<ConnectionSlot> slot)
    : io_(io), socket_(std::move(socket)), slot_(std::move(slot)) {
  asio::error_code ec;
  socket_.non_blocking(true, ec);
  asio::ip::tcp::endpoint local = socket_.local_endpoint(ec);
  if (!ec)
    localEndpoint_ = local;
  asio::ip::tcp::endpoint remote = socket_.remote_endpoint(ec);
  if (!ec)
    remoteEndpoint_ = remote;
}

Connection::~Connection() {
  closeSocket();
}

void Connection::onMainLoop(std::function<void()> work) {
  asio::dispatch(io_, std::move(work));
}

void Connection::start() {
  auto self = shared_from_this();
  onMainLoop([self] {
    State current = self->state_.load();
    if (current == State::setup || current == State::ready)
      self->setState(State::ready, std::nullopt);
  });
}

void Connection::setStateHandler(StateHandler handler) {
  auto self = shared_from_this();
  onMainLoop(
      [self, handler = std::move(handler)]() mutable { self->stateHandler_ = std::move(handler); });
}

void Connection::setState(State state, std::optional<NetworkError> error) {
  State previous = state_.load();
  if (previous == State::cancelled)
    return;
  if (previous == State::failed && state != State::cancelled)
    return;
  state_.store(state);
  if (stateHandler_) {
    // The handler may replace itself; call a copy.
    StateHandler handler = stateHandler_;
    handler(state, std::move(error));
  }
}

void Connection::touch() {
  ++activity_;
}

void Connection::closeSocket() {
  asio::error_code ignored;
  socket_.close(ignored);
  slot_.reset();
}

void Connection::receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) {
  auto self = shared_from_this();
  onMainLoop([self, minimum, maximum, completion = std::move(completion)]() mutable {
    self->touch();
    self->doReceive(minimum, maximum, std::move(completion));
  });
}

void Connection::doReceive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) {
  auto self = shared_from_this();
  auto finish = [self](ReceiveCompletion& done, std::optional<Bytes> bytes, bool isComplete,
                       std::optional<NetworkError> error) {
    asio::post(self->io_, [done = std::move(done), bytes = std::move(bytes), isComplete,
                           error = std::move(error)]() mutable {
      done(std::move(bytes), isComplete, std::move(error));
    });
  };

  State current = state_.load();
  if (current == State::cancelled || current == State::failed) {
    finish(completion, std::nullopt, false, cancelledError());
    return;
  }
  if (peerFinished_) {
    // The end of the peer's data is reported once; reading on after it is an error, so that a
    // reader that ignores the end cannot spin on reads that complete at once.
    if (endReported_)
      finish(completion, std::nullopt, false, peerFinishedError());
    else {
      endReported_ = true;
      finish(completion, std::nullopt, true, std::nullopt);
    }
    return;
  }
  if (maximum == 0)
    maximum = 1;
  if (minimum == 0)
    minimum = 1;
  if (minimum > maximum)
    minimum = maximum;

  auto read = std::make_shared<PendingRead>();
  read->minimum = minimum;
  read->maximum = maximum;
  read->completion = std::move(completion);
  waitAndRead(read);
}

// Waits for readability first and only then allocates the buffer: idle connections with a read
// armed then cost no memory for it.
void Connection::waitAndRead(std::shared_ptr<PendingRead> read) {
  auto self = shared_from_this();
  socket_.async_wait(asio::socket_base::wait_read, [self, read](const asio::error_code& waitError) {
    self->readAvailable(read, waitError);
  });
}

void Connection::readAvailable(const std::shared_ptr<PendingRead>& read,
                               const asio::error_code& waitError) {
  auto done = [&](bool isComplete, std::optional<NetworkError> error) {
    std::optional<Bytes> bytes;
    if (!read->buffer.empty())
      bytes = std::move(read->buffer);
    asio::post(io_, [completion = std::move(read->completion), bytes = std::move(bytes), isComplete,
                     error = std::move(error)]() mutable {
      completion(std::move(bytes), isComplete, std::move(error));
    });
  };
  if (waitError) {
    NetworkError error = fromErrorCode(waitError);
    if (waitError != asio::error::operation_aborted)
      fail(error);
    done(false, error);
    return;
  }
  Bytes& buffer = read->buffer;
  std::size_t old = buffer.size();
  buffer.resize(read->maximum);
  asio::error_code readError;
  std::size_t n =
      socket_.read_some(asio::buffer(buffer.data() + old, read->maximum - old), readError);
  buffer.resize(old + n);
  if (readError == asio::error::would_block || readError == asio::error::try_again) {
    waitAndRead(read);
    return;
  }
  if (readError == asio::error::eof) {
    peerFinished_ = true;
    if (!buffer.empty()) {
      done(false, std::nullopt); // the end is reported by the next read
    } else {
      endReported_ = true;
      done(true, std::nullopt);
    }
    return;
  }
  if (readError) {
    NetworkError error = fromErrorCode(readError);
    fail(error);
    done(false, error);
    return;
  }
  if (buffer.size() < read->minimum) {
    waitAndRead(read);
    return;
  }
  done(false, std::nullopt);
}

void Connection::send(std::string_view content, SendCompletion completion) {
  send(std::make_shared<const Bytes>(content.begin(), content.end()), std::move(completion));
}

void Connection::send(Bytes content, SendCompletion completion) {
  send(std::make_shared<const Bytes>(std::move(content)), std::move(completion));
}

void Connection::send(std::shared_ptr<const Bytes> content, SendCompletion completion) {
  auto self = shared_from_this();
  onMainLoop([self, content = std::move(content), completion = std::move(completion)]() mutable {
    self->touch();
    State current = self->state_.load();
    if (current == State::cancelled || current == State::failed) {
      asio::post(self->io_, [completion = std::move(completion)] {
        if (completion)
          completion(cancelledError());
      });
      return;
    }
    self->queuedBytes_ += content->size();
    self->sends_.push_back(PendingSend{std::move(content), std::move(completion)});
    if (!self->writing_)
      self->writeNext();
  });
}

Connection::PendingSend Connection::takeFirstSend() {
  PendingSend first = std::move(sends_.front());
  sends_.pop_front();
  queuedBytes_ -= first.content->size();
  return first;
}

void Connection::writeNext() {
  if (sends_.empty()) {
    writing_ = false;
    return;
  }
  writing_ = true;
  auto self = shared_from_this();
  const Bytes& content = *sends_.front().content;
  asio::async_write(socket_, asio::buffer(content),
                    [self](const asio::error_code& ec, std::size_t) {
                      PendingSend done = self->takeFirstSend();
                      self->touch();
                      if (ec) {
                        NetworkError error = fromErrorCode(ec);
                        if (ec != asio::error::operation_aborted)
                          self->fail(error);
                        if (done.completion)
                          done.completion(error);
                        // Whatever is still queued cannot go out any more.
                        while (!self->sends_.empty()) {
                          PendingSend rest = self->takeFirstSend();
                          if (rest.completion)
                            rest.completion(error);
                        }
                        self->writing_ = false;
                        return;
                      }
                      if (done.completion)
                        done.completion(std::nullopt);
                      self->writeNext();
                    });
}

void Connection::fail(const NetworkError& error) {
  if (state_.load() == State::ready || state_.load() == State::setup)
    setState(State::failed, error);
}

void Connection::cancel() {
  auto self = shared_from_this();
  onMainLoop([self] { self->doCancel(true); });
}

void Connection::closeNow() {
  auto self = shared_from_this();
  onMainLoop([self] { self->doCancel(false); });
}

void Connection::doCancel(bool linger) {
  if (state_.load() == State::cancelled) {
    if (!linger)
      closeSocket(); // ends the linger time early
    return;
  }
  setState(State::cancelled, std::nullopt);
  asio::error_code ec;
  socket_.cancel(ec); // pending waits and writes complete with "cancelled"
  if (!writing_) {
    while (!sends_.empty()) {
      PendingSend rest = takeFirstSend();
      if (rest.completion)
        asio::post(io_, [c = std::move(rest.completion)] { c(cancelledError()); });
    }
  }
  socket_.shutdown(asio::socket_base::shutdown_send, ec);
  if (!linger || ec || peerFinished_) {
    closeSocket();
    return;
  }
  // Read and discard what the peer still sends until it closes or the linger time is over.
  // Nothing is left to lose but the end of a response on its way: closing it early to make room
  // is the cheapest there is.
  setUse(Use::idle);
  auto self = shared_from_this();
  auto timer = std::make_shared<asio::steady_timer>(io_, kLingerTime);
  timer->async_wait([self](const asio::error_code& timerError) {
    if (!timerError)
      self->closeSocket();
  });
  drain(timer);
}

void Connection::setUse(Use use) {
  if (slot_)
    slot_->setUse(use);
}

std::size_t Connection::unreadBytes() {
  int count = 0;
  if (!socket_.is_open() || ::ioctl(socket_.native_handle(), FIONREAD, &count) != 0)
    return 0;
  return std::size_t(count);
}

// Reads and discards what the peer still sends until it closes, an error occurs or the linger
// timer closes the socket.
void Connection::drain(std::shared_ptr<asio::steady_timer> timer) {
  auto self = shared_from_this();
  socket_.async_wait(asio::socket_base::wait_read,
                     [self, timer](const asio::error_code& waitError) {
                       std::array<std::uint8_t, 4096> sink;
                       asio::error_code readError = waitError;
                       // A bounded number of reads per wake-up, so a flooding peer cannot hold the
                       // loop.
                       for (int i = 0; i < 16 && !readError; ++i)
                         self->socket_.read_some(asio::buffer(sink), readError);
                       if (!readError || readError == asio::error::would_block ||
                           readError == asio::error::try_again) {
                         self->drain(timer);
                         return;
                       }
                       timer->cancel();
                       self->closeSocket();
                     });
}

void Connection::abandon() {
  sends_.clear();
  queuedBytes_ = 0;
  stateHandler_ = nullptr;
  closeSocket();
}

void Connection::keepAlive(int idleSeconds, int intervalSeconds, int probes) {
  auto self = shared_from_this();
  onMainLoop([self, idleSeconds, intervalSeconds, probes] {
    asio::error_code ec;
    self->socket_.set_option(asio::socket_base::keep_alive(true), ec);
    int fd = self->socket_.native_handle();
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
  });
}

void Connection::limitUnsentBytes(int bytes) {
  auto self = shared_from_this();
  onMainLoop([self, bytes] {
    ::setsockopt(self->socket_.native_handle(), IPPROTO_TCP, TCP_NOTSENT_LOWAT, &bytes,
                 sizeof bytes);
  });
}

void Connection::closeWhenIdle(double seconds) {
  auto self = shared_from_this();
  onMainLoop([self, seconds] {
    self->setUse(Use::idle); // nobody reads or writes it any more
    std::uint64_t seen = self->activity_;
    auto timer = std::make_shared<asio::steady_timer>(
        self->io_, std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                       std::chrono::duration<double>(seconds)));
    timer->async_wait([self, timer, seen](const asio::error_code& ec) {
      if (!ec && self->activity_ == seen)
        self->cancel();
    });
  });
}

} // namespace tovel
