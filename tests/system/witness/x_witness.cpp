// A small X client that the system tests use as a witness: it shows a window of a given title,
// place and colour and prints every pointer and key event it receives, one line each.
//
//   tovel_x_witness [--title T] [--geometry X,Y,W,H] [--colour RRGGBB] [--focus]
//
// Output lines: "ready 0xWINDOW", then e.g. "ButtonPress button=1 x=10 y=20 time=123 state=0x0",
// "KeyPress keysym=Shift_L state=0x0 time=123 typed=", "KeyRelease keysym=a state=0x1 time=125",
// and "FocusIn".
// A key's keysym is the one of its first level; typed= gives what the press types, as an
// application reads it (XLookupString with the event's modifiers and group), in hex UTF-8 bytes:
// "typed=c3a9" for an e with acute, "typed=0d" for Return, nothing for a modifier.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdlib>
#include <cstring>

#include "witness_output.h"

using namespace tovel::witness;

int main(int argc, char** argv) {
  const char* title = "Witness";
  int x = 100, y = 100, width = 400, height = 300;
  unsigned long colour = 0x3366cc;
  bool focus = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool valued = i + 1 < argc;
    if (arg == "--title" && valued)
      title = argv[++i];
    else if (arg == "--colour" && valued)
      colour = std::strtoul(argv[++i], nullptr, 16);
    else if (arg == "--focus")
      focus = true;
    else if (arg != "--geometry" || !valued ||
             std::sscanf(argv[++i], "%d,%d,%d,%d", &x, &y, &width, &height) != 4)
      usage(argv[0], "[--title T] [--geometry X,Y,W,H] [--colour RRGGBB] [--focus]");
  }

  Display* display = XOpenDisplay(nullptr);
  if (!display)
    fail("cannot open display");
  Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), x, y, unsigned(width),
                                      unsigned(height), 0, 0, colour);
  // The place and size as the user's own, so that a window manager keeps them; the title as
  // WM_NAME and _NET_WM_NAME; the class "Witness".
  XSizeHints hints{};
  hints.flags = USPosition | USSize | PPosition | PSize;
  hints.x = x, hints.y = y, hints.width = width, hints.height = height;
  XClassHint classHint{const_cast<char*>("witness"), const_cast<char*>("Witness")};
  Xutf8SetWMProperties(display, window, title, title, nullptr, 0, &hints, nullptr, &classHint);
  XChangeProperty(display, window, XInternAtom(display, "_NET_WM_NAME", False),
                  XInternAtom(display, "UTF8_STRING", False), 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(title), int(std::strlen(title)));
  XSelectInput(display, window,
               ButtonPressMask | ButtonReleaseMask | KeyPressMask | KeyReleaseMask |
                   StructureNotifyMask | ExposureMask | FocusChangeMask);
  XMapRaised(display, window);

  for (bool announced = false;;) {
    XEvent event;
    XNextEvent(display, &event);
    if (event.type == MapNotify && focus) {
      XSetInputFocus(display, window, RevertToParent, CurrentTime);
    } else if (event.type == Expose && !announced) {
      announced = true;
      say("ready 0x%lx", window);
    } else if (event.type == ButtonPress || event.type == ButtonRelease) {
      const XButtonEvent& b = event.xbutton;
      say("%s button=%u x=%d y=%d time=%lu state=0x%x",
          b.type == ButtonPress ? "ButtonPress" : "ButtonRelease", b.button, b.x, b.y, b.time,
          b.state);
    } else if (event.type == KeyPress || event.type == KeyRelease) {
      XKeyEvent& k = event.xkey;
      const char* name = XKeysymToString(XkbKeycodeToKeysym(display, KeyCode(k.keycode), 0, 0));
      char utf8[16] = {};
      if (k.type == KeyPress) {
        char latin1[32];
        KeySym typed = NoSymbol;
        XLookupString(&k, latin1, sizeof latin1, &typed, nullptr);
        xkb_keysym_to_utf8(xkb_keysym_t(typed), utf8, sizeof utf8);
      }
      say("%s keysym=%s state=0x%x time=%lu%s%s", k.type == KeyPress ? "KeyPress" : "KeyRelease",
          name ? name : "NoSymbol", k.state, k.time, k.type == KeyPress ? " typed=" : "",
          hexBytes(utf8).c_str());
    } else if (event.type == MappingNotify) {
      // As every application does: a changed keyboard map is read again before the next key.
      XRefreshKeyboardMapping(&event.xmapping);
    } else if (event.type == FocusIn) {
      say("FocusIn");
    }
  }
}
