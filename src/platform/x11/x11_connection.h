#pragma once

#include <memory>
#include <string>

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

// A connection for each thread that talks to the X server, opened on first use. Xlib connections
// are not shared between threads: the main loop, every worker and every capture thread each get
// their own. A thread's connection is closed when the thread ends, and every one left when this
// object goes; either may come first. The X server only takes a few hundred clients, so threads
// that come and go must not leave theirs behind.
class ThreadConnections {
public:
  explicit ThreadConnections(std::string displayName);
  ~ThreadConnections();
  ThreadConnections(const ThreadConnections&) = delete;
  ThreadConnections& operator=(const ThreadConnections&) = delete;

  // The calling thread's connection; null when the display cannot be opened. Valid until the
  // thread ends or this object goes.
  Display* forThisThread();
  const std::string& displayName() const { return displayName_; }
  // How many threads hold a connection now.
  std::size_t openCount() const;

  // What the threads' exit guards share with this object, so that a thread ending after it is
  // gone finds nothing left to do.
  struct Registry;

private:
  const std::string displayName_;
  std::shared_ptr<Registry> registry_;
};

} // namespace tovel
