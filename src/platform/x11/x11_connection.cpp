#include "platform/x11/x11_connection.h"

#include <X11/Xlib.h>

namespace tovel {

std::unique_ptr<XConnection> XConnection::open(const std::string& displayName) {
  Display* display = XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str());
  if (!display)
    return nullptr;
  return std::unique_ptr<XConnection>(new XConnection(display));
}

XConnection::~XConnection() {
  if (display_)
    XCloseDisplay(display_);
}

Display* ThreadConnections::forThisThread() {
  std::lock_guard lock(mutex_);
  auto& connection = connections_[std::this_thread::get_id()];
  if (!connection)
    connection = XConnection::open(displayName_);
  return connection ? connection->get() : nullptr;
}

} // namespace tovel
