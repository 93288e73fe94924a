// A small X client that the system tests use as a witness: it shows a window of a given title,
// place and colour and prints every pointer and key event it receives, one line each.
//
//   tovel_x_witness --title T --geometry X,Y,W,H --colour RRGGBB [--focus]
//
// Output lines: "ready 0xWINDOW", then e.g. "ButtonPress button=1 x=10 y=20 time=123 state=0x0",
// "KeyPress keysym=Shift_L state=0x0", "KeyRelease keysym=a state=0x1".
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  std::string title = "Witness";
  int x = 100, y = 100, width = 400, height = 300;
  unsigned long colour = 0x3366cc;
  bool focus = false;
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
  }

  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    std::fprintf(stderr, "cannot open display\n");
    return 1;
  }
  Window root = DefaultRootWindow(display);
  Window window = XCreateSimpleWindow(display, root, x, y, unsigned(width), unsigned(height), 0, 0,
                                      colour);

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
        std::printf("ready 0x%lx\n", window);
      }
      break;
    case ButtonPress:
    case ButtonRelease:
      std::printf("%s button=%u x=%d y=%d time=%lu state=0x%x\n",
                  event.type == ButtonPress ? "ButtonPress" : "ButtonRelease",
                  event.xbutton.button, event.xbutton.x, event.xbutton.y, event.xbutton.time,
                  event.xbutton.state);
      break;
    case KeyPress:
    case KeyRelease: {
      KeySym keysym = XkbKeycodeToKeysym(display, KeyCode(event.xkey.keycode), 0, 0);
      const char* name = XKeysymToString(keysym);
      std::printf("%s keysym=%s state=0x%x\n", event.type == KeyPress ? "KeyPress" : "KeyRelease",
                  name ? name : "NoSymbol", event.xkey.state);
      break;
    }
    case FocusIn:
      std::printf("FocusIn\n");
      break;
    default:
      break;
    }
    std::fflush(stdout);
  }
}
