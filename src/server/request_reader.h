#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include "common/log.h"
#include "server/origin_policy.h"
#include "server/pairing_guard.h"
#include "server/router.h"

namespace tovel {

// Reads requests from connections and hands them to the router or, for an upgrade, to the
// WebSocket handshake. TCP may cut a request anywhere, so the bytes of a connection are kept
// until they make a whole request; a request never has to arrive in one read, but it has to
// arrive whole in time.
//
// What a client sends after a POST is its next request, handled once the POST has been
// acknowledged; after any other request the connection is the route's (answered and closed, a
// stream, a WebSocket) and nothing more is read as HTTP. A request larger than allowed closes the
// connection at once: what follows it could not be told apart from it. When the client has
// finished sending, the requests it sent whole are still answered before the connection closes.
class RequestReader {
public:
  // The connection, the upgrade request's header block, and whatever the client sent after it.
  using UpgradeHandler =
      std::function<void(const ConnectionPtr&, const std::string& request, Bytes following)>;

  // Time limits, all ending in the connection being closed unanswered:
  // - a request's header block must be in within kHeaderSeconds of the request's first byte, so
  //   a client trickling bytes cannot hold a connection however steadily it sends;
  // - the whole request, body included, within kIdleConnectionSeconds of that first byte;
  // - a connection whose request was dropped is closed after kIdleConnectionSeconds untouched.
  // - a connection with no byte of a request yet (new, or between requests) is closed after
  //   kRequestWaitSeconds, so that silent connections cannot fill the listener's cap for good.
  static constexpr double kHeaderSeconds = 10.0;
  static constexpr double kIdleConnectionSeconds = 30.0;
  static constexpr double kRequestWaitSeconds = 60.0;

  RequestReader(asio::io_context& io, Router& router, Log& log)
      : io_(io), router_(router), log_(log) {}

  void setUpgradeHandler(UpgradeHandler handler) { upgradeHandler_ = std::move(handler); }
  void setIdleConnectionSeconds(double seconds) { idleSeconds_ = seconds; }
  void setHeaderSeconds(double seconds) { headerSeconds_ = seconds; }
  void setRequestWaitSeconds(double seconds) { waitSeconds_ = seconds; }
  // Requests from other sites' pages are refused with 403 (none: every request is served).
  void setOriginPolicy(std::optional<OriginPolicy> policy) { originPolicy_ = std::move(policy); }
  // With a secret, every request but those for the app's own files needs it (401 otherwise);
  // none: every request is served, as without pairing.
  void setPairingSecret(const std::optional<std::string>& secret) {
    if (secret)
      pairing_.emplace(*secret);
    else
      pairing_.reset();
  }
  double idleConnectionSeconds() const { return idleSeconds_; }

  // Starts a freshly accepted connection and reads its first request.
  void accept(const ConnectionPtr& connection);

  // Lets go of every connection still open, dropping their pending completions. For when the main
  // loop has stopped for good.
  void abandonAll();

  // Goes on to the connection's next request: first from what the client has already sent, else
  // from a new read (1 to 65536 bytes).
  void receiveNext(const ConnectionPtr& connection);

  static constexpr std::size_t kMaximumRead = 65536;

private:
  // What a connection has sent and no request has taken yet.
  struct Received {
    Bytes bytes;
    bool ended = false; // the peer finished sending, or the connection failed
    // Set while a request has begun to arrive and is not whole yet.
    std::unique_ptr<asio::steady_timer> deadline;
    std::chrono::steady_clock::time_point firstByte; // of that request
    bool headerWhole = false;                        // its body is what is missing
    // Set while no byte of the next request has come.
    std::unique_ptr<asio::steady_timer> waiting;
  };
  using ReceivedPtr = std::shared_ptr<Received>;

  void readMore(const ConnectionPtr& connection, ReceivedPtr received);
  void handleReceived(const ConnectionPtr& connection, ReceivedPtr received);
  // Closes the connection unless the request is whole by the given time after its first byte.
  void armDeadline(const ConnectionPtr& connection, Received& received, double seconds);
  // True, after answering 403 and logging why, when the request comes from another site's page.
  bool refuseForeign(const ConnectionPtr& connection, const HttpRequest& request);
  // True, after answering 401 (and logging it at most once a minute per address), when pairing is
  // on and the request lacks the key.
  bool refuseUnpaired(const ConnectionPtr& connection, const HttpRequest& request, bool upgrade);

  asio::io_context& io_;
  Router& router_;
  Log& log_;
  UpgradeHandler upgradeHandler_;
  std::optional<OriginPolicy> originPolicy_;
  std::optional<PairingGuard> pairing_;
  double idleSeconds_ = kIdleConnectionSeconds;
  double headerSeconds_ = kHeaderSeconds;
  double waitSeconds_ = kRequestWaitSeconds;
  std::vector<std::weak_ptr<Connection>> connections_; // every accepted one still alive
  // Bytes that followed a POST, kept while its acknowledgement goes out; the router then calls
  // receiveNext, which carries on with them.
  std::unordered_map<const Connection*, ReceivedPtr> afterPost_;
};

} // namespace tovel
