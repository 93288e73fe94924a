// A changing picture for the stream benchmarks: a full-screen window showing lines of text-like
// blocks that scroll up and a few shapes that move, redrawn 60 times a second, like a terminal
// or an editor scrolling next to moving content.
//
//   tovel_x_animation [frames-per-second]      (on $DISPLAY; runs until killed)
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

void addNanoseconds(timespec& time, long nanoseconds) {
  time.tv_nsec += nanoseconds;
  while (time.tv_nsec >= 1'000'000'000) {
    time.tv_nsec -= 1'000'000'000;
    ++time.tv_sec;
  }
}

// Word widths of one text line, the same for every pass of the same line.
std::vector<int> wordsOfLine(long line) {
  std::vector<int> widths;
  unsigned seed = unsigned(line) * 2654435761u + 12345u;
  int count = 3 + int(seed % 12);
  for (int i = 0; i < count; ++i) {
    seed = seed * 1103515245u + 12345u;
    widths.push_back(16 + int((seed >> 16) % 120));
  }
  return widths;
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
  attributes.background_pixel = 0x202428;
  Window window =
      XCreateWindow(display, root, 0, 0, unsigned(width), unsigned(height), 0, CopyFromParent,
                    InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
  XMapRaised(display, window);
  Pixmap canvas = XCreatePixmap(display, window, unsigned(width), unsigned(height),
                                unsigned(DefaultDepth(display, screen)));
  GC gc = XCreateGC(display, canvas, 0, nullptr);

  constexpr int kLineHeight = 18, kGlyphHeight = 11, kScrollPerFrame = 3;
  timespec next{};
  clock_gettime(CLOCK_MONOTONIC, &next);
  for (long frame = 0;; ++frame) {
    XSetForeground(display, gc, 0x202428);
    XFillRectangle(display, canvas, gc, 0, 0, unsigned(width), unsigned(height));

    // Text on the left two thirds, scrolling up.
    long scrolled = frame * kScrollPerFrame;
    long firstLine = scrolled / kLineHeight;
    int offset = int(scrolled % kLineHeight);
    XSetForeground(display, gc, 0xd8dee9);
    std::vector<XRectangle> glyphs;
    for (int row = 0; row * kLineHeight - offset < height; ++row) {
      int y = row * kLineHeight - offset + (kLineHeight - kGlyphHeight) / 2;
      int x = 24;
      for (int word : wordsOfLine(firstLine + row)) {
        if (x + word > width * 2 / 3)
          break;
        glyphs.push_back(
            XRectangle{short(x), short(y), static_cast<unsigned short>(word), kGlyphHeight});
        x += word + 9;
      }
    }
    XFillRectangles(display, canvas, gc, glyphs.data(), int(glyphs.size()));

    // Shapes on the right third, moving.
    const unsigned long colours[] = {0xbf616a, 0xa3be8c, 0x5e81ac, 0xebcb8b};
    for (int i = 0; i < 4; ++i) {
      int span = width / 3 - 160;
      long position = (frame * (4 + i * 3)) % (2 * span);
      int x = width * 2 / 3 + 40 + int(position < span ? position : 2 * span - position);
      int y = 80 + i * (height - 200) / 4 + int((frame * (2 + i)) % 120);
      XSetForeground(display, gc, colours[i]);
      if (i % 2)
        XFillArc(display, canvas, gc, x, y, 120, 120, 0, 360 * 64);
      else
        XFillRectangle(display, canvas, gc, x, y, 120, 90);
    }

    XCopyArea(display, canvas, window, gc, 0, 0, unsigned(width), unsigned(height), 0, 0);
    XSync(display, False);
    addNanoseconds(next, 1'000'000'000L / rate);
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
  }
}
