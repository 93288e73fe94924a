#include "server/request_reader.h"

#include "server/request_intake.h"
#include "server/responses.h"

#include <chrono>

namespace tovel {

void RequestReader::accept(const ConnectionPtr& connection) {
  // Forget the connections that have gone, now and then, so the list stays as long as the
  // number of open connections.
  if (connections_.size() >= 64 && connections_.size() % 64 == 0)
    std::erase_if(connections_, [](const auto& weak) { return weak.expired(); });
  connections_.push_back(connection);
  connection->start();
  readMore(connection, std::make_shared<Received>());
}

void RequestReader::abandonAll() {
  for (const auto& weak : connections_)
    if (auto connection = weak.lock())
      connection->abandon();
  connections_.clear();
  afterPost_.clear();
}

void RequestReader::receiveNext(const ConnectionPtr& connection) {
  auto it = afterPost_.find(connection.get());
  if (it == afterPost_.end()) {
    readMore(connection, std::make_shared<Received>());
    return;
  }
  ReceivedPtr received = std::move(it->second);
  afterPost_.erase(it);
  handleReceived(connection, std::move(received));
}

void RequestReader::readMore(const ConnectionPtr& connection, ReceivedPtr received) {
  // Between requests nothing is lost by closing it to make room; a request on its way is.
  connection->setUse(received->bytes.empty() ? Connection::Use::idle
                                             : Connection::Use::requestUnderway);
  if (received->bytes.empty() && !received->waiting) {
    received->waiting = std::make_unique<asio::steady_timer>(
        io_, std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                 std::chrono::duration<double>(waitSeconds_)));
    received->waiting->async_wait(
        [weak = std::weak_ptr<Connection>(connection)](const asio::error_code& error) {
          if (auto connection = weak.lock(); connection && !error)
            connection->cancel();
        });
  }
  connection->receive(1, kMaximumRead,
                      [this, connection, received](std::optional<Bytes> bytes, bool isComplete,
                                                   std::optional<NetworkError> error) {
                        if (bytes)
                          received->bytes.insert(received->bytes.end(), bytes->begin(),
                                                 bytes->end());
                        if (isComplete || error)
                          received->ended = true;
                        handleReceived(connection, received);
                      });
}

void RequestReader::armDeadline(const ConnectionPtr& connection, Received& received,
                                double seconds) {
  if (!received.deadline) {
    received.deadline = std::make_unique<asio::steady_timer>(io_);
    received.firstByte = std::chrono::steady_clock::now();
  }
  // Re-arming cancels the wait before: its handler sees the cancellation and does nothing.
  received.deadline->expires_at(received.firstByte +
                                std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                    std::chrono::duration<double>(seconds)));
  received.deadline->async_wait([connection](const asio::error_code& error) {
    if (!error) // not cancelled: the request is still not whole
      connection->cancel();
  });
}

void RequestReader::handleReceived(const ConnectionPtr& connection, ReceivedPtr received) {
  received->waiting.reset(); // something came, or the connection ended
  Bytes& bytes = received->bytes;
  RequestAssembly assembly = assembleRequest(bytes.data(), bytes.size());
  if (assembly.kind == RequestAssembly::Kind::incomplete) {
    if (received->ended) {
      // Nothing more can come; a request cut off here was never sent whole.
      connection->cancel();
      return;
    }
    // A client that never finishes its request would otherwise hold the connection for good.
    if (!bytes.empty() && !received->deadline)
      armDeadline(connection, *received, headerSeconds_);
    if (assembly.headerWhole && received->deadline && !received->headerWhole) {
      received->headerWhole = true;
      armDeadline(connection, *received, idleSeconds_);
    }
    readMore(connection, received);
    return;
  }
  received->deadline.reset(); // cancels it
  received->headerWhole = false;
  // Whatever comes of the request now (an answer, a stream, a WebSocket) is not to be cut short.
  connection->setUse(Connection::Use::busy);
  if ((assembly.kind == RequestAssembly::Kind::request ||
       assembly.kind == RequestAssembly::Kind::webSocketUpgrade) &&
      (refuseForeign(connection, assembly.request) ||
       refuseUnpaired(connection, assembly.request,
                      assembly.kind == RequestAssembly::Kind::webSocketUpgrade)))
    return;

  switch (assembly.kind) {
  case RequestAssembly::Kind::incomplete:
    return;
  case RequestAssembly::Kind::dropped:
    // No answer and no further read; close it eventually rather than keep it forever.
    connection->closeWhenIdle(idleSeconds_);
    return;
  case RequestAssembly::Kind::tooLarge:
    // Whatever follows cannot be told apart from this request: nothing more on this connection.
    connection->cancel();
    return;
  case RequestAssembly::Kind::webSocketUpgrade: {
    log_.print("WebSocket upgrade request detected");
    Bytes following(bytes.begin() + std::ptrdiff_t(assembly.used), bytes.end());
    if (upgradeHandler_)
      upgradeHandler_(connection, assembly.request.text, std::move(following));
    else
      connection->closeWhenIdle(idleSeconds_);
    return;
  }
  case RequestAssembly::Kind::request:
    break;
  }

  bytes.erase(bytes.begin(), bytes.begin() + std::ptrdiff_t(assembly.used));
  const HttpRequest& request = assembly.request;
  // Only a POST keeps the connection for another request: the router acknowledges it and then
  // calls receiveNext, so what the client sent after it is handled after the acknowledgement.
  bool keepsConnection = request.method == "POST";
  if (keepsConnection)
    afterPost_[connection.get()] = received;
  router_.route(connection, request);
  if (!keepsConnection && received->ended)
    connection->cancel();
}

bool RequestReader::refuseForeign(const ConnectionPtr& connection, const HttpRequest& request) {
  if (!originPolicy_)
    return false;
  RequestArrival arrival;
  if (const auto& local = connection->localEndpoint()) {
    asio::ip::address address = local->address();
    if (address.is_v6() && address.to_v6().is_v4_mapped())
      address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    arrival.localAddress = address.to_string();
    arrival.localPort = local->port();
  }
  std::string_view head = request.text;
  head = head.substr(0, head.find("\r\n\r\n"));
  std::optional<OriginRefusal> refusal = refusalOf(*originPolicy_, head, arrival);
  if (!refusal)
    return false;
  log_.print("Refused " + request.method + " " + request.target +
             " from another site: " + refusal->header + " " + refusal->value);
  connection->send(kForbiddenResponse,
                   [connection](std::optional<NetworkError>) { connection->cancel(); });
  return true;
}

bool RequestReader::refuseUnpaired(const ConnectionPtr& connection, const HttpRequest& request,
                                   bool upgrade) {
  // The WebSocket is reached through the page's own address: the upgrade always needs the key.
  if (!pairing_ || (!upgrade && servesAppFile(request)))
    return false;
  std::string address;
  if (const auto& remote = connection->remoteEndpoint()) {
    asio::ip::address peer = remote->address();
    if (peer.is_v6() && peer.to_v6().is_v4_mapped())
      peer = asio::ip::make_address_v4(asio::ip::v4_mapped, peer.to_v6());
    address = peer.to_string();
  }
  std::string_view head = request.text;
  head = head.substr(0, head.find("\r\n\r\n"));
  double now = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
                   .count();
  PairingGuard::Verdict verdict =
      pairing_->check(head, request.method + " " + request.target, address, now);
  if (verdict.outcome == PairingGuard::Outcome::allowed)
    return false;
  if (verdict.logLine)
    log_.print(*verdict.logLine);
  connection->send(kUnpairedResponse,
                   [connection](std::optional<NetworkError>) { connection->cancel(); });
  return true;
}

} // namespace tovel
