#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

using Display = struct _XDisplay;

namespace tovel {

// One Xlib connection, closed when the object goes away.
class XConnection {
public:
  // Null when the display cannot be opened. An empty name means $DISPLAY.
  static std::unique_ptr<XConnection> open(const std::string& displayName);
  ~XConnection();
  XConnection(const XConnection&) = delete;
  XConnection& operator=(const XConnection&) = delete;

  Display* get() const { return display_; }

private:
  explicit XConnection(Display* display) : display_(display) {}
  Display* display_;
};

// A connection for each thread that talks to the X server, opened on first use and closed with
// this object. Xlib connections are not shared between threads: the main loop, every worker and
// every capture thread each get their own.
class ThreadConnections {
public:
  explicit ThreadConnections(std::string displayName) : displayName_(std::move(displayName)) {}

  // The calling thread's connection; null when the display cannot be opened.
  Display* forThisThread();
  const std::string& displayName() const { return displayName_; }

private:
  std::string displayName_;
  std::mutex mutex_;
  std::unordered_map<std::thread::id, std::unique_ptr<XConnection>> connections_;
};

} // namespace tovel
