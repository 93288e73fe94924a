#pragma once

#include <cstddef>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <asio/ip/address.hpp>

#include "server/connection.h"

namespace tovel {

class ConnectionSlot;

// The listener's open connections, counted in all and per client, and among them those that may
// be closed to make room for a new one: idle ones in the order they became idle, then those whose
// request is still arriving in the order their requests began. Both orders are kept as lists that
// only ever grow at the back, so finding the one to close costs no search.
class ConnectionSlots {
public:
  // The client a peer address counts as: the address itself, or for IPv6 its /64 network, where
  // one device may take any number of addresses.
  static asio::ip::address clientOf(const asio::ip::address& peer);
  // The client for a log line: "192.0.2.7", "2001:db8:1:2::/64".
  static std::string describe(const asio::ip::address& client);

  // A slot for a new connection of the client, held by the connection while its socket is open.
  std::unique_ptr<ConnectionSlot> take(const asio::ip::address& client);

  std::size_t open() const;
  std::size_t openFrom(const asio::ip::address& client) const;

  // The connection to close to make room, among the client's own when one is given: the one idle
  // longest, else the one whose request began first. Null when every one is in use. An idle one
  // whose peer has sent bytes not read yet counts as having a request under way.
  std::shared_ptr<Connection> reclaimable(const std::optional<asio::ip::address>& client);

private:
  friend class ConnectionSlot;
  using Order = std::list<ConnectionSlot*>;
  struct Client {
    std::size_t open = 0;
    Order idle, underway;
  };
  // Shared with the slots, which may outlive the listener (a connection still held by a stream's
  // step), and locked because the last owner of a connection may let go of it on any thread.
  struct Table {
    std::mutex mutex;
    std::size_t open = 0;
    Order idle, underway;
    std::map<asio::ip::address, Client> clients;
  };

  std::shared_ptr<Table> table_ = std::make_shared<Table>();
};

// One open connection's place in the table.
class ConnectionSlot {
public:
  ~ConnectionSlot();
  ConnectionSlot(const ConnectionSlot&) = delete;
  ConnectionSlot& operator=(const ConnectionSlot&) = delete;

  void attach(std::weak_ptr<Connection> connection);
  void setUse(Connection::Use use);

private:
  friend class ConnectionSlots;
  using Table = ConnectionSlots::Table;
  using Order = ConnectionSlots::Order;
  ConnectionSlot(std::shared_ptr<Table> table,
                 std::map<asio::ip::address, ConnectionSlots::Client>::iterator client)
      : table_(std::move(table)), client_(client) {}
  // Under the table's lock.
  void leaveOrder();
  void joinOrder();

  std::shared_ptr<Table> table_;
  std::map<asio::ip::address, ConnectionSlots::Client>::iterator client_;
  std::weak_ptr<Connection> connection_;
  Connection::Use use_ = Connection::Use::busy;
  Order::iterator inAll_, inClient_;
};

} // namespace tovel
