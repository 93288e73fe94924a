// A small X client that the system tests use as a witness: it shows a window of a given title,
// place and colour and prints every pointer and key event it receives, one line each.
//
//   tovel_x_witness --title T --geometry X,Y,W,H --colour RRGGBB [--focus] [--commands]
//
// Output lines: "ready 0xWINDOW", then e.g. "ButtonPress button=1 x=10 y=20 time=123 state=0x0",
// "KeyPress keysym=Shift_L state=0x0 time=123 typed=", "KeyRelease keysym=a state=0x1 time=125",
// "FocusIn", and "placed x=201 y=170" when a window manager reports where it put the window.
// A key's keysym is the one of its first level; typed= gives what the press types, as an
// application reads it (XLookupString with the event's modifiers and group), in hex UTF-8 bytes:
// "typed=c3a9" for an e with acute, "typed=0d" for Return, nothing for a modifier.
//
// With --commands it also takes commands on standard input, one a line, and answers each:
//   "grab-sync": grabs the pointer in synchronous mode, as a window manager's click-to-focus grab
//                does: pointer events freeze in the server until released; answers "grabbed".
//   "release":   lets the frozen events go and ends the grab; answers "released".
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

namespace {

std::mutex outputMutex;

// One whole line at a time, flushed at once, from either thread.
void say(const std::string& line) {
  std::lock_guard lock(outputMutex);
  std::fputs(line.c_str(), stdout);
  std::fflush(stdout);
}

template <typename... Args> std::string format(const char* pattern, Args... args) {
  char buffer[256];
  std::snprintf(buffer, sizeof buffer, pattern, args...);
  return buffer;
}

} // namespace

int main(int argc, char** argv) {
  XInitThreads();
  std::string title = "Witness";
  int x = 100, y = 100, width = 400, height = 300;
  unsigned long colour = 0x3366cc;
  bool focus = false;
  bool commands = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--title" && i + 1 < argc)
      title = argv[++i];
    else if (arg == "--geometry" && i + 1 < argc)
      std::sscanf(argv[++i], "%d,%d,%d,%d", &x, &y, &width, &height);
    else if (arg == "--colour" && i + 1 < argc)
      colour = std::strtoul(argv[++i], nullptr, 16);
    else if (arg == "--focus")
      focus = true;
    else if (arg == "--commands")
      commands = true;
  }

  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    std::fprintf(stderr, "cannot open display\n");
    return 1;
  }
  Window root = DefaultRootWindow(display);
  Window window =
      XCreateSimpleWindow(display, root, x, y, unsigned(width), unsigned(height), 0, 0, colour);

  XSizeHints hints{};
  hints.flags = USPosition | USSize | PPosition | PSize;
  hints.x = x;
  hints.y = y;
  hints.width = width;
  hints.height = height;
  XSetWMNormalHints(display, window, &hints);
  XStoreName(display, window, title.c_str());
  XChangeProperty(display, window, XInternAtom(display, "_NET_WM_NAME", False),
                  XInternAtom(display, "UTF8_STRING", False), 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(title.data()), int(title.size()));
  XClassHint classHint{const_cast<char*>("witness"), const_cast<char*>("Witness")};
  XSetClassHint(display, window, &classHint);

  XSelectInput(display, window,
               ButtonPressMask | ButtonReleaseMask | KeyPressMask | KeyReleaseMask |
                   StructureNotifyMask | ExposureMask | FocusChangeMask);
  XMapRaised(display, window);

  // Commands come on a thread of their own, so that events are read with a blocking XNextEvent:
  // polling the connection's descriptor misses events that Xlib has already taken from the
  // socket during an earlier round trip, and they would wait there for the next event to come.
  std::thread commandReader;
  if (commands)
    commandReader = std::thread([display, root] {
      std::string line;
      while (std::getline(std::cin, line)) {
        if (line == "grab-sync") {
          int status = XGrabPointer(display, root, False, ButtonPressMask | ButtonReleaseMask,
                                    GrabModeSync, GrabModeAsync, None, None, CurrentTime);
          XSync(display, False);
          if (status == GrabSuccess)
            say("grabbed\n");
          else
            say("grab failed " + std::to_string(status) + "\n");
        } else if (line == "release") {
          XAllowEvents(display, AsyncPointer, CurrentTime);
          XUngrabPointer(display, CurrentTime);
          XSync(display, False);
          say("released\n");
        }
      }
    });

  bool announced = false;
  while (true) {
    XEvent event;
    XNextEvent(display, &event);
    switch (event.type) {
    case MapNotify:
      if (focus)
        XSetInputFocus(display, window, RevertToParent, CurrentTime);
      XSync(display, False);
      break;
    case Expose:
      if (!announced) {
        announced = true;
        say(format("ready 0x%lx\n", window));
      }
      break;
    case ButtonPress:
    case ButtonRelease:
      say(format("%s button=%u x=%d y=%d time=%lu state=0x%x\n",
                 event.type == ButtonPress ? "ButtonPress" : "ButtonRelease", event.xbutton.button,
                 event.xbutton.x, event.xbutton.y, event.xbutton.time, event.xbutton.state));
      break;
    case KeyPress:
    case KeyRelease: {
      KeySym keysym = XkbKeycodeToKeysym(display, KeyCode(event.xkey.keycode), 0, 0);
      const char* name = XKeysymToString(keysym);
      std::string line = format("%s keysym=%s state=0x%x time=%lu",
                                event.type == KeyPress ? "KeyPress" : "KeyRelease",
                                name ? name : "NoSymbol", event.xkey.state, event.xkey.time);
      if (event.type == KeyPress) {
        char latin1[32];
        KeySym typed = NoSymbol;
        XLookupString(&event.xkey, latin1, sizeof latin1, &typed, nullptr);
        char utf8[16] = {};
        xkb_keysym_to_utf8(xkb_keysym_t(typed), utf8, sizeof utf8);
        line += " typed=";
        for (const char* c = utf8; *c; ++c)
          line += format("%02x", unsigned(static_cast<unsigned char>(*c)));
      }
      say(line + "\n");
      break;
    }
    case MappingNotify:
      // As every application does: a changed keyboard map is read again before the next key.
      XRefreshKeyboardMapping(&event.xmapping);
      break;
    case FocusIn:
      say("FocusIn\n");
      break;
    case ConfigureNotify:
      // A window manager tells where it put the window with a synthetic event in root
      // coordinates.
      if (event.xconfigure.send_event)
        say(format("placed x=%d y=%d\n", event.xconfigure.x, event.xconfigure.y));
      break;
    default:
      break;
    }
  }
}
