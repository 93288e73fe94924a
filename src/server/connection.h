#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

namespace tovel {

class ConnectionSlot;

using Bytes = std::vector<std::uint8_t>;

// An error of the network transport: a POSIX error number and its description.
struct NetworkError {
  int code = 0;
  std::string description;
};

// One accepted TCP connection. Everything it does happens on the main event loop; its operations
// may be called from any thread and take effect there in call order. Whoever has an operation
// pending on it (a read, a send's completion) keeps it alive.
class Connection : public std::enable_shared_from_this<Connection> {
public:
  enum class State { setup, ready, failed, cancelled };

  // (bytes or none, is-complete: the peer has finished sending, error or none), called once.
  using ReceiveCompletion =
      std::function<void(std::optional<Bytes>, bool isComplete, std::optional<NetworkError>)>;
  using SendCompletion = std::function<void(std::optional<NetworkError>)>;
  using StateHandler = std::function<void(State, std::optional<NetworkError>)>;

  // What a connection is doing, for the listener that may close one to make room for a new one:
  // never one in use (a request being answered, a stream, a WebSocket), one whose request is still
  // arriving only when no connection is idle (waiting for a request, or closing).
  enum class Use { busy, requestUnderway, idle };

  // The slot, when given, is held while the socket is open (a cancelled connection keeps it
  // through its linger time), so whoever hands them out counts open descriptors.
  static std::shared_ptr<Connection> create(asio::io_context& io, asio::ip::tcp::socket socket,
                                            std::unique_ptr<ConnectionSlot> slot);
  static std::shared_ptr<Connection> create(asio::io_context& io, asio::ip::tcp::socket socket);

  // Reports the ready state to the state handler.
  void start();
  // Replaces the state handler. It is called on the main loop with ready, failed and cancelled.
  void setStateHandler(StateHandler handler);
  State state() const { return state_.load(); }
  // The host's own address and port this connection reached; none when the system cannot tell.
  const std::optional<asio::ip::tcp::endpoint>& localEndpoint() const { return localEndpoint_; }
  // The client's address and port; none when the system cannot tell.
  const std::optional<asio::ip::tcp::endpoint>& remoteEndpoint() const { return remoteEndpoint_; }

  // One read of at least minimum and at most maximum bytes. After the peer has finished sending,
  // the next read reports that once (no bytes, is-complete set) and any further read fails.
  void receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion);

  // Queues bytes for sending; they leave in call order, and each completion runs once its bytes
  // have been handed to the network (or with the error that prevented it).
  void send(std::shared_ptr<const Bytes> content, SendCompletion completion);
  void send(Bytes content, SendCompletion completion);
  void send(std::string_view content, SendCompletion completion);

  // Bytes handed to send() that the network has not taken yet.
  std::size_t queuedBytes() const { return queuedBytes_.load(); }

  // Closes the connection; pending operations complete with an error, later ones fail.
  void cancel();
  // Cancels and closes the socket at once, without reading on for the linger time: to make room
  // for a new connection.
  void closeNow();

  // Main loop only. Tells the slot what the connection is doing; new ones count as busy.
  void setUse(Use use);
  // Main loop only. Bytes the peer has sent that no read has taken yet.
  std::size_t unreadBytes();

  // Drops every pending completion and the state handler without running them. Only for when the
  // main loop has stopped for good: completions that hold the connection would otherwise keep it
  // (and whatever they hold) alive forever.
  void abandon();

  // Has the system probe a connection that has been silent for idleSeconds, every
  // intervalSeconds, and fail it after that many unanswered probes: a peer that vanishes without
  // closing (a phone that loses its network) then ends the connection like one that resets it.
  void keepAlive(int idleSeconds, int intervalSeconds, int probes);

  // Lets the system hold at most about this many bytes not yet sent to the peer; sends beyond it
  // wait in the connection's own queue, where a stream can see them (queuedBytes()) and send
  // fresher pictures instead. Without it the system's buffer grows to megabytes and a slow client
  // sees pictures seconds old.
  void limitUnsentBytes(int bytes);

  // Keeps the connection open, untouched, for the given time and then cancels it unless some
  // other operation has been started on it meanwhile. For connections nobody reads or writes any
  // more, which would otherwise stay open forever.
  void closeWhenIdle(double seconds);

  ~Connection();

private:
  Connection(asio::io_context& io, asio::ip::tcp::socket socket,
             std::unique_ptr<ConnectionSlot> slot);

  std::optional<asio::ip::tcp::endpoint> localEndpoint_;
  std::optional<asio::ip::tcp::endpoint> remoteEndpoint_;

  struct PendingSend {
    std::shared_ptr<const Bytes> content;
    SendCompletion completion;
  };

  struct PendingRead {
    std::size_t minimum = 1;
    std::size_t maximum = 1;
    ReceiveCompletion completion;
    Bytes buffer;
  };

  void onMainLoop(std::function<void()> work);
  void doReceive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion);
  void waitAndRead(std::shared_ptr<PendingRead> read);
  void readAvailable(const std::shared_ptr<PendingRead>& read, const asio::error_code& waitError);
  void drain(std::shared_ptr<asio::steady_timer> timer);
  void writeNext();
  PendingSend takeFirstSend();
  void fail(const NetworkError& error);
  void doCancel(bool linger);
  void setState(State state, std::optional<NetworkError> error);
  void touch();
  void closeSocket();

  asio::io_context& io_;
  asio::ip::tcp::socket socket_;
  std::atomic<State> state_{State::setup};
  StateHandler stateHandler_;
  std::deque<PendingSend> sends_;
  std::atomic<std::size_t> queuedBytes_{0}; // of sends_
  bool writing_ = false;
  bool peerFinished_ = false;
  bool endReported_ = false;
  std::uint64_t activity_ = 0;           // bumped by every operation, for closeWhenIdle
  std::unique_ptr<ConnectionSlot> slot_; // given back when the socket closes
};

// Errors the transport reports, with the POSIX numbers that identify them.
NetworkError cancelledError();

} // namespace tovel
