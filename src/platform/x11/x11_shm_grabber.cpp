#include "platform/x11/x11_shm_grabber.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/socket.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/picture_pool.h"

#include "platform/x11/x11_error_trap.h"

namespace tovel {

namespace {

// How the server lays out one pixel of the root window.
struct PixelFormat {
  int bitsPerPixel = 0;
  bool msbFirst = false;
  unsigned long red = 0, green = 0, blue = 0;

  bool bgrx() const {
    return bitsPerPixel == 32 && !msbFirst && red == 0xff0000 && green == 0xff00 && blue == 0xff;
  }
  static PixelFormat of(const XImage& image) {
    return PixelFormat{image.bits_per_pixel, image.byte_order == MSBFirst, image.red_mask,
                       image.green_mask, image.blue_mask};
  }
};

// One colour channel of a TrueColor pixel, widened or narrowed to 8 bits.
struct Channel {
  unsigned long mask = 0;
  int shift = 0;
  unsigned long maximum = 0;

  explicit Channel(unsigned long m)
      : mask(m), shift(m ? std::countr_zero(m) : 0), maximum(m ? m >> shift : 0) {}
  std::uint8_t of(unsigned long pixel) const {
    if (maximum == 0)
      return 0;
    unsigned long value = (pixel & mask) >> shift;
    return std::uint8_t((value * 255 + maximum / 2) / maximum);
  }
};

bool supported(const PixelFormat& format) {
  auto sensible = [](unsigned long mask) { return mask != 0 && std::popcount(mask) <= 16; };
  return (format.bitsPerPixel == 16 || format.bitsPerPixel == 24 || format.bitsPerPixel == 32) &&
         sensible(format.red) && sensible(format.green) && sensible(format.blue);
}

// Rewrites server pixels of any supported format as BGRA, alpha opaque.
void convert(const std::uint8_t* data, std::size_t bytesPerLine, int width, int height,
             const PixelFormat& format, BgraImage& into) {
  into.resize(width, height);
  if (format.bgrx()) {
    for (int y = 0; y < height; ++y)
      std::memcpy(into.row(y), data + std::size_t(y) * bytesPerLine, into.stride());
    return;
  }
  const Channel red(format.red), green(format.green), blue(format.blue);
  const int bytes = format.bitsPerPixel / 8;
  for (int y = 0; y < height; ++y) {
    const std::uint8_t* in = data + std::size_t(y) * bytesPerLine;
    std::uint8_t* out = into.row(y);
    for (int x = 0; x < width; ++x, in += bytes, out += 4) {
      unsigned long pixel = 0;
      for (int i = 0; i < bytes; ++i)
        pixel |= (unsigned long)in[format.msbFirst ? i : bytes - 1 - i] << (8 * (bytes - 1 - i));
      out[0] = blue.of(pixel);
      out[1] = green.of(pixel);
      out[2] = red.of(pixel);
      out[3] = 0xff;
    }
  }
}

// Shared memory only works when the server runs on this machine; a Unix socket says it does.
bool localConnection(Display* display) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  return getsockname(ConnectionNumber(display), reinterpret_cast<sockaddr*>(&address), &length) ==
             0 &&
         address.ss_family == AF_UNIX;
}

// Segments a grabber hands out with its pictures; beyond these, pictures are copied.
constexpr std::size_t kMaximumOwnedSegments = 8;

// A shared-memory segment that pictures live in. The process's mapping goes with the object;
// the server's attachment goes with an explicit detach or with the connection.
struct OwnedSegment {
  XShmSegmentInfo info{};
  std::size_t capacity = 0;
  ~OwnedSegment() {
    if (info.shmaddr)
      shmdt(info.shmaddr);
  }
};

// Segments let go by their pictures, for the grabber to use again. Pictures may be let go on any
// thread and after the grabber is gone (closed), when their segment is simply unmapped.
struct SegmentPool {
  std::mutex mutex;
  bool open = true;
  std::vector<std::unique_ptr<OwnedSegment>> spare;
};

// Makes a segment of the given size and attaches it to the server; null when either fails.
std::unique_ptr<OwnedSegment> attachSegment(Display* display, std::size_t size) {
  auto segment = std::make_unique<OwnedSegment>();
  int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
  if (id < 0)
    return nullptr;
  void* address = shmat(id, nullptr, 0);
  if (address == reinterpret_cast<void*>(-1)) {
    shmctl(id, IPC_RMID, nullptr);
    return nullptr;
  }
  segment->info.shmid = id;
  segment->info.shmaddr = static_cast<char*>(address);
  segment->info.readOnly = False;
  bool attached;
  {
    // A server that cannot reach the segment (another IPC namespace, another machine behind a
    // local socket) refuses the attach.
    XErrorTrap attachTrap(display);
    attached = XShmAttach(display, &segment->info) && !attachTrap.failed();
  }
  // Marked for removal at once: it disappears when both sides have let go, even if this process
  // dies without cleaning up.
  shmctl(id, IPC_RMID, nullptr);
  if (!attached)
    return nullptr;
  segment->capacity = size;
  return segment;
}

// Xlib frees an image's data with the image; shared pixels belong to the segment.
void destroyHeader(XImage*& image) {
  if (!image)
    return;
  image->data = nullptr;
  XDestroyImage(image);
  image = nullptr;
}

} // namespace

std::optional<RootArea> captureArea(const Monitor& monitor, const std::optional<Rect>& rect,
                                    int rootWidth, int rootHeight) {
  std::optional<PixelRect> part = clipToPicture(rect, monitor.width, monitor.height);
  if (!part)
    return std::nullopt;
  double x0 = std::max(0, part->x + monitor.x), y0 = std::max(0, part->y + monitor.y);
  double x1 = std::min(rootWidth, part->x + part->width + monitor.x);
  double y1 = std::min(rootHeight, part->y + part->height + monitor.y);
  if (!(x1 > x0) || !(y1 > y0))
    return std::nullopt;
  return RootArea{int(x0), int(y0), int(x1 - x0), int(y1 - y0)};
}

std::optional<RootArea> rootWindowArea(Display* display) {
  Window root = 0;
  int x = 0, y = 0;
  unsigned width = 0, height = 0, border = 0, depth = 0;
  if (!display || !XGetGeometry(display, DefaultRootWindow(display), &root, &x, &y, &width, &height,
                                &border, &depth))
    return std::nullopt;
  return RootArea{0, 0, int(width), int(height)};
}

struct X11ShmGrabber::State {
  explicit State(Display* d) : display(d), trap(d) {}

  Display* display;
  // Held for the grabber's life: a grab that races a shrinking screen, or an attach the server
  // cannot make, fails that request instead of ending the process.
  XErrorTrap trap;
  Window root = 0;
  Visual* visual = nullptr;
  int depth = 0;
  PixelFormat format;

  bool shared = false;
  XShmSegmentInfo segment{};
  bool attached = false;
  std::size_t capacity = 0;
  XImage* header = nullptr; // describes the segment for the last grabbed size

  BgraImage converted;

  // Pictures handed out with their own storage.
  std::shared_ptr<SegmentPool> segments = std::make_shared<SegmentPool>();
  std::size_t ownedSegments = 0; // attached to the server, spare or held
  XImage* ownedHeader = nullptr;
  PicturePool copies;

  ~State() {
    destroyHeader(header);
    destroyHeader(ownedHeader);
    releaseSegment();
    std::vector<std::unique_ptr<OwnedSegment>> spare;
    {
      std::lock_guard lock(segments->mutex);
      segments->open = false;
      spare.swap(segments->spare);
    }
    for (auto& segment : spare)
      XShmDetach(display, &segment->info);
    if (!spare.empty())
      XSync(display, False); // the server lets go before the memory goes
  }

  // A spare segment of at least `size` bytes, or a new one while there are not too many; spares
  // that are too small go. Null when there is none to be had.
  std::unique_ptr<OwnedSegment> takeSegment(std::size_t size) {
    std::vector<std::unique_ptr<OwnedSegment>> tooSmall;
    std::unique_ptr<OwnedSegment> found;
    {
      std::lock_guard lock(segments->mutex);
      while (!found && !segments->spare.empty()) {
        std::unique_ptr<OwnedSegment> candidate = std::move(segments->spare.back());
        segments->spare.pop_back();
        if (candidate->capacity >= size)
          found = std::move(candidate);
        else
          tooSmall.push_back(std::move(candidate));
      }
    }
    for (auto& segment : tooSmall) {
      XShmDetach(display, &segment->info);
      --ownedSegments;
    }
    if (!tooSmall.empty())
      XSync(display, False);
    if (found || ownedSegments >= kMaximumOwnedSegments)
      return found;
    found = attachSegment(display, size);
    if (found)
      ++ownedSegments;
    return found;
  }

  // Hands the segment out; it comes back to the spares when the last holder lets go.
  std::shared_ptr<void> share(std::unique_ptr<OwnedSegment> segment) {
    std::weak_ptr<SegmentPool> pool = segments;
    return std::shared_ptr<OwnedSegment>(segment.release(), [pool](OwnedSegment* returned) {
      std::unique_ptr<OwnedSegment> owned(returned);
      if (auto open = pool.lock()) {
        std::lock_guard lock(open->mutex);
        if (open->open)
          open->spare.push_back(std::move(owned));
      }
    });
  }

  std::optional<OwnedPicture> grabOwned(const RootArea& area) {
    if (shared && format.bgrx()) {
      if (!ownedHeader || ownedHeader->width != area.width || ownedHeader->height != area.height) {
        destroyHeader(ownedHeader);
        XShmSegmentInfo none{};
        ownedHeader = XShmCreateImage(display, visual, unsigned(depth), ZPixmap, nullptr, &none,
                                      unsigned(area.width), unsigned(area.height));
        if (!ownedHeader)
          return std::nullopt;
      }
      std::size_t stride = std::size_t(ownedHeader->bytes_per_line);
      if (std::unique_ptr<OwnedSegment> segment = takeSegment(stride * std::size_t(area.height))) {
        // The header names the segment the server writes into.
        ownedHeader->obdata = reinterpret_cast<char*>(&segment->info);
        ownedHeader->data = segment->info.shmaddr;
        bool ok = XShmGetImage(display, root, ownedHeader, area.x, area.y, AllPlanes);
        auto* pixels = reinterpret_cast<std::uint8_t*>(segment->info.shmaddr);
        ownedHeader->obdata = nullptr;
        ownedHeader->data = nullptr;
        std::shared_ptr<void> owner = share(std::move(segment));
        if (!ok)
          return std::nullopt;
        return OwnedPicture{pixels, area.width, area.height, stride, std::move(owner)};
      }
    }
    // Copied: without shared memory, for pixels that need converting, or while every segment is
    // held.
    std::optional<ImageView> view = shared ? grabShared(area) : grabCopied(area);
    if (!view)
      return std::nullopt;
    std::shared_ptr<BgraImage> picture = copies.take(view->width, view->height);
    for (int y = 0; y < view->height; ++y)
      std::memcpy(picture->row(y), view->data + std::size_t(y) * view->stride, picture->stride());
    return OwnedPicture{picture->data(), picture->width(), picture->height(), picture->stride(),
                        picture};
  }

  void releaseSegment() {
    if (attached) {
      XShmDetach(display, &segment);
      XSync(display, False); // the server lets go before the memory goes
      attached = false;
    }
    if (segment.shmaddr) {
      shmdt(segment.shmaddr);
      segment.shmaddr = nullptr;
    }
    capacity = 0;
  }

  bool replaceSegment(std::size_t size) {
    releaseSegment();
    int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (id < 0)
      return false;
    void* address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
      shmctl(id, IPC_RMID, nullptr);
      return false;
    }
    segment.shmid = id;
    segment.shmaddr = static_cast<char*>(address);
    segment.readOnly = False;
    bool ok;
    {
      // A server that cannot reach the segment (another IPC namespace, another machine behind
      // a local socket) refuses the attach.
      XErrorTrap attachTrap(display);
      ok = XShmAttach(display, &segment) && !attachTrap.failed();
    }
    // Marked for removal at once: it disappears when both sides have detached, even if this
    // process dies without cleaning up.
    shmctl(id, IPC_RMID, nullptr);
    attached = ok;
    if (!ok) {
      releaseSegment();
      return false;
    }
    capacity = size;
    return true;
  }

  std::optional<ImageView> grabShared(const RootArea& area) {
    if (!header || header->width != area.width || header->height != area.height) {
      destroyHeader(header);
      header = XShmCreateImage(display, visual, unsigned(depth), ZPixmap, nullptr, &segment,
                               unsigned(area.width), unsigned(area.height));
      if (!header)
        return std::nullopt;
    }
    std::size_t needed = std::size_t(header->bytes_per_line) * std::size_t(area.height);
    if (needed > capacity && !replaceSegment(needed)) {
      destroyHeader(header);
      shared = false; // the server cannot share memory with us: use the socket from now on
      return grabCopied(area);
    }
    header->data = segment.shmaddr;
    if (!XShmGetImage(display, root, header, area.x, area.y, AllPlanes))
      return std::nullopt;
    const auto* pixels = reinterpret_cast<const std::uint8_t*>(header->data);
    if (format.bgrx())
      return ImageView{pixels, area.width, area.height, std::size_t(header->bytes_per_line)};
    convert(pixels, std::size_t(header->bytes_per_line), area.width, area.height, format,
            converted);
    return converted.view();
  }

  std::optional<ImageView> grabCopied(const RootArea& area) {
    XImage* image = XGetImage(display, root, area.x, area.y, unsigned(area.width),
                              unsigned(area.height), AllPlanes, ZPixmap);
    if (!image)
      return std::nullopt;
    PixelFormat got = PixelFormat::of(*image);
    bool ok = supported(got);
    if (ok)
      convert(reinterpret_cast<const std::uint8_t*>(image->data),
              std::size_t(image->bytes_per_line), area.width, area.height, got, converted);
    XDestroyImage(image);
    return ok ? std::optional<ImageView>(converted.view()) : std::nullopt;
  }
};

std::unique_ptr<X11ShmGrabber> X11ShmGrabber::create(Display* display, std::string* why) {
  auto fail = [&](std::string reason) {
    if (why)
      *why = std::move(reason);
    return nullptr;
  };
  if (!display)
    return fail("no X display connection");
  auto state = std::make_unique<State>(display);
  state->root = DefaultRootWindow(display);
  int screen = DefaultScreen(display);
  state->visual = DefaultVisual(display, screen);
  state->depth = DefaultDepth(display, screen);
  if (!state->visual || state->visual->c_class != TrueColor)
    return fail("the X screen's visual is not TrueColor");
  // An image header alone tells how the server lays out pixels of this depth.
  XImage* probe = XCreateImage(display, state->visual, unsigned(state->depth), ZPixmap, 0, nullptr,
                               1, 1, 32, 0);
  if (!probe)
    return fail("cannot describe the X screen's pixels");
  state->format = PixelFormat::of(*probe);
  XDestroyImage(probe);
  if (!supported(state->format))
    return fail("unsupported X pixel format: depth " + std::to_string(state->depth) + ", " +
                std::to_string(state->format.bitsPerPixel) + " bits per pixel");
  state->shared = localConnection(display) && XShmQueryExtension(display);
  return std::unique_ptr<X11ShmGrabber>(new X11ShmGrabber(std::move(state)));
}

X11ShmGrabber::X11ShmGrabber(std::unique_ptr<State> state) : state_(std::move(state)) {}

X11ShmGrabber::~X11ShmGrabber() = default;

std::optional<ImageView> X11ShmGrabber::grab(const RootArea& area) {
  if (area.width <= 0 || area.height <= 0)
    return std::nullopt;
  return state_->shared ? state_->grabShared(area) : state_->grabCopied(area);
}

std::optional<X11ShmGrabber::OwnedPicture> X11ShmGrabber::grabOwned(const RootArea& area) {
  if (area.width <= 0 || area.height <= 0)
    return std::nullopt;
  return state_->grabOwned(area);
}

bool X11ShmGrabber::usesSharedMemory() const {
  return state_->shared;
}

bool X11ShmGrabber::converts() const {
  return !state_->format.bgrx();
}

} // namespace tovel
