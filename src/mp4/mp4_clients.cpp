#include "mp4/mp4_clients.h"

#include <algorithm>
#include <cerrno>

#include "mp4/box_writer.h"
#include "server/http_chunk.h"
#include "server/responses.h"
#include "server/stream_client.h"

namespace tovel {

namespace {

using Bytes = std::vector<std::uint8_t>;

std::shared_ptr<const Bytes> withBytes(std::string_view head,
                                       const std::shared_ptr<const Bytes>& body) {
  auto block = std::make_shared<Bytes>(head.begin(), head.end());
  block->insert(block->end(), body->begin(), body->end());
  return block;
}

// The peer has gone: the connection was reset or is no longer connected.
bool peerGone(const NetworkError& error) {
  return error.code == ECONNRESET || error.code == ENOTCONN || error.code == EPIPE;
}

} // namespace

Mp4Clients::Mp4Clients(Log& log, Hooks hooks, Bytes initializationSegment, std::string codecString)
    : log_(log), hooks_(std::move(hooks)),
      initialization_(std::make_shared<const Bytes>(httpChunk({initializationSegment}))) {
  fullAnswer_ = "HTTP/1.1 200 OK\r\nContent-Type: ";
  fullAnswer_ += kMp4StreamContentType;
  if (!codecString.empty())
    fullAnswer_ += "; codecs=\"" + codecString + "\"";
  fullAnswer_ += kMp4StreamHeadAfterType;
}

void Mp4Clients::sendInitialHeaders(const ConnectionPtr& connection) {
  connection->limitUnsentBytes(kStreamUnsentBytes);
  connection->send(withBytes(fullAnswer_, initialization_),
                   [this, connection](std::optional<NetworkError> error) {
                     if (error) {
                       log_.print("Failed to send initial headers: " + error->description);
                       return;
                     }
                     log_.print("Initial headers sent successfully");
                     addClient(connection, false);
                   });
}

void Mp4Clients::addClient(const ConnectionPtr& connection, bool isRange) {
  hooks_.startStreaming();
  std::weak_ptr<Connection> weak = connection;
  connection->setStateHandler(
      [this, weak, isRange](Connection::State state, std::optional<NetworkError> error) {
        onStateChange(weak, isRange, state, error);
      });
  connection->start();
}

void Mp4Clients::onStateChange(const std::weak_ptr<Connection>& weak, bool isRange,
                               Connection::State state, const std::optional<NetworkError>& error) {
  ConnectionPtr connection = weak.lock();
  if (!connection)
    return;
  switch (state) {
  case Connection::State::ready: {
    log_.print("Client connection ready");
    auto known = std::find_if(clients_.begin(), clients_.end(),
                              [&](const Client& c) { return c.connection == connection; });
    if (known != clients_.end()) {
      log_.print("Client already exists, skipping headers");
      return;
    }
    if (isRange)
      sendRangeResponseHeaders(connection);
    // A client that goes away ends its registration even while no fragment is being sent.
    cancelWhenPeerLeaves(connection);
    Client client{connection};
    client.bytesSent = initialization_->size();
    clients_.push_back(std::move(client));
    hooks_.keyFrameNeeded();
    break;
  }
  case Connection::State::failed:
    log_.print("Client connection failed: " + (error ? error->description : std::string()));
    remove(connection.get());
    break;
  case Connection::State::cancelled:
    log_.print("Client connection cancelled");
    remove(connection.get());
    break;
  default:
    break;
  }
}

void Mp4Clients::sendRangeResponseHeaders(const ConnectionPtr& connection) {
  connection->limitUnsentBytes(kStreamUnsentBytes);
  // A range request asks from byte 0 on, which is the initialization segment: a player can decode
  // nothing without it.
  connection->send(withBytes(kMp4RangeAnswerHead, initialization_),
                   [this](std::optional<NetworkError> error) {
                     if (error)
                       log_.print("Failed to send range headers: " + error->description);
                     else
                       log_.print("Range headers sent successfully");
                   });
}

void Mp4Clients::remove(const Connection* connection) {
  std::size_t before = clients_.size();
  std::erase_if(clients_, [&](const Client& c) { return c.connection.get() == connection; });
  if (before > 0 && clients_.empty())
    hooks_.lastClientGone();
}

void Mp4Clients::sendToClients(const SharedFragment& fragment) {
  // Chosen first: a completion may change the list.
  std::vector<std::pair<ConnectionPtr, std::uint64_t>> targets;
  bool starting = false;
  for (Client& client : clients_) {
    if (client.connection->state() != Connection::State::ready) {
      log_.print("Skipping client that is not ready");
      continue;
    }
    if (client.connection->queuedBytes() > kQueueCap) {
      if (!client.waitingForKeyFrame)
        log_.print("Client too slow: its fragments are dropped until its next key frame");
      client.waitingForKeyFrame = true;
      client.askedForKeyFrame = false;
      continue;
    }
    if (client.waitingForKeyFrame && !fragment.keyFrame) {
      if (!client.askedForKeyFrame) {
        client.askedForKeyFrame = true;
        hooks_.keyFrameNeeded();
      }
      continue;
    }
    client.waitingForKeyFrame = false;
    targets.emplace_back(client.connection, client.decodeTime);
    client.decodeTime += fragment.duration;
    if (client.starting()) {
      ++client.fragmentsSent;
      client.bytesSent += fragment.head->size() + fragment.body->size();
      starting = starting || client.starting();
    }
  }
  if (starting && hooks_.frameNeeded)
    hooks_.frameNeeded();
  for (const auto& [connection, decodeTime] : targets) {
    Bytes head = *fragment.head;
    if (fragment.decodeTimeAt + 8 <= head.size()) {
      auto time = uint64ToBytes(decodeTime);
      std::copy(time.begin(), time.end(), head.begin() + std::ptrdiff_t(fragment.decodeTimeAt));
    }
    // Both blocks leave in order; an error in the first fails the second too.
    connection->send(std::move(head), nullptr);
    std::weak_ptr<Connection> weak = connection;
    connection->send(fragment.body, [this, weak](std::optional<NetworkError> error) {
      if (!error) {
        log_.print("Fragment sent successfully to client");
        return;
      }
      log_.print("Error sending data to client: " + error->description);
      if (peerGone(*error)) {
        log_.print("Removing disconnected client");
        if (ConnectionPtr gone = weak.lock())
          remove(gone.get());
      }
    });
  }
}

} // namespace tovel
