// A changing picture for the stream benchmarks (support/animation_scene.h) in a full-screen X
// window, redrawn 60 times a second.
//
//   tovel_x_animation [frames-per-second]      (on $DISPLAY; runs until killed)
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "support/animation_scene.h"

namespace {

void addNanoseconds(timespec& time, long nanoseconds) {
  time.tv_nsec += nanoseconds;
  while (time.tv_nsec >= 1'000'000'000) {
    time.tv_nsec -= 1'000'000'000;
    ++time.tv_sec;
  }
}

} // namespace

int main(int argc, char** argv) {
  int rate = argc > 1 ? std::atoi(argv[1]) : 60;
  if (rate <= 0)
    rate = 60;
  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    std::fprintf(stderr, "cannot open display\n");
    return 1;
  }
  int screen = DefaultScreen(display);
  int width = DisplayWidth(display, screen), height = DisplayHeight(display, screen);
  Window root = RootWindow(display, screen);
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.background_pixel = tovel::test::kSceneBackground;
  Window window =
      XCreateWindow(display, root, 0, 0, unsigned(width), unsigned(height), 0, CopyFromParent,
                    InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
  XMapRaised(display, window);
  Pixmap canvas = XCreatePixmap(display, window, unsigned(width), unsigned(height),
                                unsigned(DefaultDepth(display, screen)));
  GC gc = XCreateGC(display, canvas, 0, nullptr);

  timespec next{};
  clock_gettime(CLOCK_MONOTONIC, &next);
  for (long frame = 0;; ++frame) {
    XSetForeground(display, gc, tovel::test::kSceneBackground);
    XFillRectangle(display, canvas, gc, 0, 0, unsigned(width), unsigned(height));
    for (const tovel::test::SceneShape& shape : tovel::test::animationScene(frame, width, height)) {
      XSetForeground(display, gc, shape.rgb);
      if (shape.round)
        XFillArc(display, canvas, gc, shape.x, shape.y, unsigned(shape.width),
                 unsigned(shape.height), 0, 360 * 64);
      else
        XFillRectangle(display, canvas, gc, shape.x, shape.y, unsigned(shape.width),
                       unsigned(shape.height));
    }

    XCopyArea(display, canvas, window, gc, 0, 0, unsigned(width), unsigned(height), 0, 0);
    XSync(display, False);
    addNanoseconds(next, 1'000'000'000L / rate);
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
  }
}
