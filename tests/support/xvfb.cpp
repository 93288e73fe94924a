#include "support/xvfb.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

extern char** environ;

namespace tovel::test {

namespace {

pid_t spawn(const std::vector<std::string>& arguments, int extraFd, int extraFdTarget,
            const std::vector<std::string>& extraEnvironment) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  posix_spawn_file_actions_adddup2(&actions, devNull, 0);
  posix_spawn_file_actions_adddup2(&actions, devNull, 1);
  posix_spawn_file_actions_adddup2(&actions, devNull, 2);
  if (extraFd >= 0)
    posix_spawn_file_actions_adddup2(&actions, extraFd, extraFdTarget);

  std::vector<std::string> args = arguments;
  std::vector<char*> argv;
  for (auto& a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e)
    if (std::string(*e).rfind("DISPLAY=", 0) != 0)
      env.emplace_back(*e);
  env.insert(env.end(), extraEnvironment.begin(), extraEnvironment.end());
  std::vector<char*> envp;
  for (auto& e : env)
    envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
    pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(devNull);
  return pid;
}

void stop(pid_t& pid) {
  if (pid <= 0)
    return;
  ::kill(pid, SIGTERM);
  for (int i = 0; i < 200; ++i) {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) {
      pid = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  pid = -1;
}

} // namespace

XvfbServer::XvfbServer(Options options) {
  // Xvfb picks a free display number itself and writes it to the descriptor given by -displayfd,
  // which avoids races between tests starting servers at the same time.
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0)
    return;
  std::string screen = std::to_string(options.width) + "x" + std::to_string(options.height) + "x" +
                       std::to_string(options.depth);
  std::vector<std::string> arguments{"Xvfb", "-displayfd", "3",   "-screen", "0",
                                     screen, "-nolisten",  "tcp", "-noreset"};
  arguments.insert(arguments.end(), options.arguments.begin(), options.arguments.end());
  xvfb_ = spawn(arguments, fds[1], 3, {});
  ::close(fds[1]);
  std::string number;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (xvfb_ > 0 && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fds[0], POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0)
      continue;
    char c;
    if (::read(fds[0], &c, 1) != 1)
      break;
    if (c == '\n')
      break;
    number += c;
  }
  ::close(fds[0]);
  if (number.empty()) {
    stop(xvfb_);
    return;
  }
  display_ = ":" + number;
  if (options.windowManager && !startWindowManager()) {
    stop(windowManager_);
    stop(xvfb_);
    display_.clear();
  }
}

bool XvfbServer::startWindowManager() {
  windowManager_ = spawn({"openbox", "--sm-disable"}, -1, -1, environment());
  if (windowManager_ <= 0)
    return false;
  // Ready once it has announced itself on the root window.
  Display* display = XOpenDisplay(display_.c_str());
  if (!display)
    return false;
  Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
  bool ready = false;
  for (int i = 0; i < 500 && !ready; ++i) {
    Atom type;
    int format;
    unsigned long count = 0, after;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, DefaultRootWindow(display), check, 0, 1, False, XA_WINDOW,
                           &type, &format, &count, &after, &data) == Success &&
        count == 1)
      ready = true;
    if (data)
      XFree(data);
    if (!ready)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // The hint appears before the window manager handles requests; it is really ready once it maps
  // a window of ours. A request made too early can be lost, so ask again until it is answered.
  if (ready) {
    ready = false;
    Window probe = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 10, 10, 0, 0, 0);
    XSelectInput(display, probe, StructureNotifyMask);
    for (int i = 0; i < 50 && !ready; ++i) {
      XMapWindow(display, probe);
      XFlush(display);
      for (int k = 0; k < 20 && !ready; ++k) {
        XEvent event;
        while (XCheckTypedWindowEvent(display, probe, MapNotify, &event))
          ready = true;
        if (!ready)
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    XDestroyWindow(display, probe);
    XSync(display, False);
  }
  XCloseDisplay(display);
  return ready;
}

XvfbServer::~XvfbServer() {
  stop(windowManager_);
  stop(xvfb_);
}

std::string XvfbServer::run(const std::string& command) const {
  return commandOutput("export DISPLAY=" + display_ + "; " + command);
}

std::string commandOutput(const std::string& command) {
  std::string output;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
      output.append(buffer, n);
    ::pclose(pipe);
  }
  return output;
}

} // namespace tovel::test
