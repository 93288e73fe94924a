#include "platform/wlroots/wlroots_screencopy.h"

#include <sys/mman.h>
#include <unistd.h>

#include <wayland-client.h>

#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>

#include "platform/wlroots/wayland_client.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"

namespace tovel {

namespace {

// B, G, R and a fourth byte in memory, as the host's pictures are; the other two have R and B
// the other way round.
bool bgraInMemory(std::uint32_t format) {
  return format == WL_SHM_FORMAT_ARGB8888 || format == WL_SHM_FORMAT_XRGB8888;
}
bool rgbaInMemory(std::uint32_t format) {
  return format == WL_SHM_FORMAT_ABGR8888 || format == WL_SHM_FORMAT_XBGR8888;
}

const zwlr_screencopy_frame_v1_listener& frameListener();

} // namespace

Screencopy::Screencopy(WaylandClient& client, wl_output* output, bool overlayCursor)
    : client_(client), output_(output), overlayCursor_(overlayCursor) {}

Screencopy::~Screencopy() {
  abandon();
  for (Buffer& buffer : buffers_)
    release(buffer);
  client_.flush();
}

void Screencopy::abandon() {
  if (frame_)
    zwlr_screencopy_frame_v1_destroy(frame_);
  frame_ = nullptr;
}

void Screencopy::release(Buffer& buffer) {
  if (buffer.buffer)
    wl_buffer_destroy(buffer.buffer);
  if (buffer.data)
    munmap(buffer.data, buffer.size);
  buffer = Buffer{};
}

void Screencopy::request(bool withDamage, std::optional<int> keep) {
  abandon();
  buffer_ = keep ? 1 - *keep : buffer_;
  withDamage_ = withDamage;
  yInvert_ = false;
  damage_.clear();
  state_ = State::pending;
  frame_ = zwlr_screencopy_manager_v1_capture_output(client_.screencopy(), overlayCursor_ ? 1 : 0,
                                                     output_);
  zwlr_screencopy_frame_v1_add_listener(frame_, &frameListener(), this);
  client_.flush();
}

void Screencopy::waitWhilePending(std::chrono::steady_clock::time_point deadline) {
  while (state_ == State::pending && std::chrono::steady_clock::now() < deadline)
    if (!client_.waitForEvents(deadline, -1)) {
      state_ = State::failed;
      return;
    }
}

bool Screencopy::prepare(Buffer& buffer, std::uint32_t format, std::uint32_t width,
                         std::uint32_t height, std::uint32_t stride) {
  if (buffer.buffer && buffer.format == format && buffer.width == width &&
      buffer.height == height && buffer.stride == stride)
    return true;
  release(buffer);
  std::size_t size = std::size_t(stride) * height;
  if (size == 0 || !client_.shm())
    return false;
  int fd = memfd_create("tovel-screencopy", MFD_CLOEXEC);
  if (fd < 0)
    return false;
  void* data = MAP_FAILED;
  if (ftruncate(fd, off_t(size)) == 0)
    data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (data == MAP_FAILED) {
    ::close(fd);
    return false;
  }
  wl_shm_pool* pool = wl_shm_create_pool(client_.shm(), fd, int(size));
  buffer.buffer = wl_shm_pool_create_buffer(pool, 0, int(width), int(height), int(stride), format);
  wl_shm_pool_destroy(pool);
  ::close(fd);
  buffer.data = data;
  buffer.size = size;
  buffer.format = format;
  buffer.width = width;
  buffer.height = height;
  buffer.stride = stride;
  return buffer.buffer != nullptr;
}

std::optional<ImageView> Screencopy::picture(BgraImage& scratch) const {
  if (state_ != State::ready)
    return std::nullopt;
  const Buffer& b = buffers_[buffer_];
  const auto* data = static_cast<const std::uint8_t*>(b.data);
  int width = int(b.width), height = int(b.height), stride = int(b.stride);
  if (bgraInMemory(b.format) && !yInvert_)
    return ImageView{data, width, height, b.stride};
  scratch.resize(width, height);
  int flip = yInvert_ ? -1 : 1;
  if (bgraInMemory(b.format))
    libyuv::ARGBCopy(data, stride, scratch.data(), int(scratch.stride()), width, flip * height);
  else if (rgbaInMemory(b.format))
    libyuv::ABGRToARGB(data, stride, scratch.data(), int(scratch.stride()), width, flip * height);
  else
    return std::nullopt;
  return scratch.view();
}

// --- Events ------------------------------------------------------------------------------------

void Screencopy::onBuffer(void* data, zwlr_screencopy_frame_v1* frame, std::uint32_t format,
                          std::uint32_t width, std::uint32_t height, std::uint32_t stride) {
  auto* self = static_cast<Screencopy*>(data);
  if (frame != self->frame_)
    return;
  if (!(bgraInMemory(format) || rgbaInMemory(format)) ||
      !self->prepare(self->buffers_[self->buffer_], format, width, height, stride)) {
    self->abandon();
    self->state_ = State::failed;
    return;
  }
  wl_buffer* target = self->buffers_[self->buffer_].buffer;
  if (self->withDamage_)
    zwlr_screencopy_frame_v1_copy_with_damage(frame, target);
  else
    zwlr_screencopy_frame_v1_copy(frame, target);
  self->client_.flush();
}

void Screencopy::onFlags(void* data, zwlr_screencopy_frame_v1*, std::uint32_t flags) {
  static_cast<Screencopy*>(data)->yInvert_ = (flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
}

void Screencopy::onDamage(void* data, zwlr_screencopy_frame_v1*, std::uint32_t x, std::uint32_t y,
                          std::uint32_t width, std::uint32_t height) {
  auto* self = static_cast<Screencopy*>(data);
  self->damage_.push_back(PixelRect{int(x), int(y), int(width), int(height)});
}

void Screencopy::onReady(void* data, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t,
                         std::uint32_t) {
  auto* self = static_cast<Screencopy*>(data);
  self->abandon();
  self->state_ = State::ready;
  if (self->yInvert_) {
    int height = int(self->buffers_[self->buffer_].height);
    for (PixelRect& r : self->damage_)
      r.y = height - r.y - r.height;
  }
}

void Screencopy::onFailed(void* data, zwlr_screencopy_frame_v1*) {
  auto* self = static_cast<Screencopy*>(data);
  self->abandon();
  self->state_ = State::failed;
}

namespace {

const zwlr_screencopy_frame_v1_listener& frameListener() {
  static const zwlr_screencopy_frame_v1_listener listener{Screencopy::onBuffer, Screencopy::onFlags,
                                                          Screencopy::onReady, Screencopy::onFailed,
                                                          Screencopy::onDamage};
  return listener;
}

} // namespace

} // namespace tovel
