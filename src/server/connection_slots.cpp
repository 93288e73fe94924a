#include "server/connection_slots.h"

#include <vector>

namespace tovel {

asio::ip::address ConnectionSlots::clientOf(const asio::ip::address& peer) {
  if (!peer.is_v6())
    return peer;
  asio::ip::address_v6 v6 = peer.to_v6();
  // An IPv4 client reaching the dual-stack socket.
  if (v6.is_v4_mapped())
    return asio::ip::make_address_v4(asio::ip::v4_mapped, v6);
  asio::ip::address_v6::bytes_type bytes = v6.to_bytes();
  for (std::size_t i = 8; i < bytes.size(); ++i)
    bytes[i] = 0;
  return asio::ip::address_v6(bytes);
}

std::string ConnectionSlots::describe(const asio::ip::address& client) {
  return client.is_v6() ? client.to_string() + "/64" : client.to_string();
}

std::unique_ptr<ConnectionSlot> ConnectionSlots::take(const asio::ip::address& client) {
  std::lock_guard lock(table_->mutex);
  auto entry = table_->clients.try_emplace(client).first;
  ++entry->second.open;
  ++table_->open;
  return std::unique_ptr<ConnectionSlot>(new ConnectionSlot(table_, entry));
}

std::size_t ConnectionSlots::open() const {
  std::lock_guard lock(table_->mutex);
  return table_->open;
}

std::size_t ConnectionSlots::openFrom(const asio::ip::address& client) const {
  std::lock_guard lock(table_->mutex);
  auto entry = table_->clients.find(client);
  return entry == table_->clients.end() ? 0 : entry->second.open;
}

std::shared_ptr<Connection>
ConnectionSlots::reclaimable(const std::optional<asio::ip::address>& client) {
  // Connections looked at and passed over are let go of after the lock: the last owner's release
  // takes the lock again.
  std::vector<std::shared_ptr<Connection>> passed;
  std::lock_guard lock(table_->mutex);
  Order* idle = &table_->idle;
  Order* underway = &table_->underway;
  if (client) {
    auto entry = table_->clients.find(*client);
    if (entry == table_->clients.end())
      return nullptr;
    idle = &entry->second.idle;
    underway = &entry->second.underway;
  }
  for (auto it = idle->begin(); it != idle->end();) {
    ConnectionSlot* slot = *it++;
    std::shared_ptr<Connection> connection = slot->connection_.lock();
    if (!connection) // on its way out: its slot goes with it
      continue;
    // A request the reader has not seen yet, say one that waited in the listen queue.
    if (connection->state() != Connection::State::cancelled && connection->unreadBytes() > 0) {
      slot->leaveOrder();
      slot->use_ = Connection::Use::requestUnderway;
      slot->joinOrder();
      passed.push_back(std::move(connection));
      continue;
    }
    return connection;
  }
  for (ConnectionSlot* slot : *underway)
    if (std::shared_ptr<Connection> connection = slot->connection_.lock())
      return connection;
  return nullptr;
}

ConnectionSlot::~ConnectionSlot() {
  std::lock_guard lock(table_->mutex);
  leaveOrder();
  --table_->open;
  if (--client_->second.open == 0)
    table_->clients.erase(client_);
}

void ConnectionSlot::attach(std::weak_ptr<Connection> connection) {
  std::lock_guard lock(table_->mutex);
  connection_ = std::move(connection);
}

void ConnectionSlot::setUse(Connection::Use use) {
  std::lock_guard lock(table_->mutex);
  if (use == use_)
    return;
  leaveOrder();
  use_ = use;
  joinOrder();
}

void ConnectionSlot::leaveOrder() {
  if (use_ == Connection::Use::busy)
    return;
  bool idle = use_ == Connection::Use::idle;
  (idle ? table_->idle : table_->underway).erase(inAll_);
  (idle ? client_->second.idle : client_->second.underway).erase(inClient_);
}

void ConnectionSlot::joinOrder() {
  if (use_ == Connection::Use::busy)
    return;
  bool idle = use_ == Connection::Use::idle;
  Order& all = idle ? table_->idle : table_->underway;
  Order& mine = idle ? client_->second.idle : client_->second.underway;
  inAll_ = all.insert(all.end(), this);
  inClient_ = mine.insert(mine.end(), this);
}

} // namespace tovel
