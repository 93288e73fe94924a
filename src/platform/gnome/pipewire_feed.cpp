#include "platform/gnome/pipewire_feed.h"

#include <cstring>
#include <mutex>
#include <string>

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

namespace tovel {

namespace {

// When the compositor took a buffer: its time stamp, on the monotonic clock that the steady clock
// reads here. None without one, or for one on another clock.
std::optional<PipeWireFeed::Clock::time_point> takenAt(const spa_meta_header* header) {
  using namespace std::chrono_literals;
  if (!header || header->pts <= 0)
    return std::nullopt;
  PipeWireFeed::Clock::time_point taken{std::chrono::nanoseconds(header->pts)};
  auto now = PipeWireFeed::Clock::now();
  if (taken > now + 1s || taken < now - 60s)
    return std::nullopt;
  return taken;
}

// Room for the cursor's report: the compositor asks for a fixed size of its own, which must lie in
// the range offered. Larger cursors than the largest side are not drawn.
constexpr int kCursorSide = 1024;
constexpr std::size_t cursorMetaSize(int side) {
  return sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + std::size_t(side) * side * 4;
}

// The compositor drops a picture that follows the previous one too closely (faster than the
// stream's frame rate), and sends nothing more while the screen stays still: the last picture of a
// burst of changes can be lost, leaving the stream behind the screen until the next change. Once
// a stream has been quiet this long after a change, it is paused and resumed, which makes the
// compositor send the screen as it is.
constexpr timespec kSettleDelay{0, 250'000'000};

std::once_flag pipewireStarted;

// A premultiplied 0xAARRGGBB value from four bytes of a bitmap of the given format; none for a
// format without alpha or one not handled.
std::optional<std::uint32_t> argbOf(std::uint32_t format, const std::uint8_t* p) {
  auto pack = [](unsigned a, unsigned r, unsigned g, unsigned b) {
    return std::uint32_t(a) << 24 | std::uint32_t(r) << 16 | std::uint32_t(g) << 8 | b;
  };
  switch (format) {
  case SPA_VIDEO_FORMAT_RGBA:
    return pack(p[3], p[0], p[1], p[2]);
  case SPA_VIDEO_FORMAT_BGRA:
    return pack(p[3], p[2], p[1], p[0]);
  case SPA_VIDEO_FORMAT_ARGB:
    return pack(p[0], p[1], p[2], p[3]);
  case SPA_VIDEO_FORMAT_ABGR:
    return pack(p[0], p[3], p[2], p[1]);
  default:
    return std::nullopt;
  }
}

// The cursor picture of a report of `size` bytes (the whole metadata area).
std::shared_ptr<const CursorSprite> readSprite(const spa_meta_cursor& cursor, std::size_t size) {
  auto sprite = std::make_shared<CursorSprite>();
  sprite->hotX = cursor.hotspot.x;
  sprite->hotY = cursor.hotspot.y;
  const auto* bitmap = SPA_PTROFF(&cursor, cursor.bitmap_offset, const spa_meta_bitmap);
  int width = int(bitmap->size.width), height = int(bitmap->size.height);
  if (width <= 0 || height <= 0 || width > kCursorSide || height > kCursorSide ||
      bitmap->offset < sizeof(spa_meta_bitmap))
    return sprite; // an empty sprite: nothing to draw
  std::size_t stride = bitmap->stride > 0 ? std::size_t(bitmap->stride) : std::size_t(width) * 4;
  if (bitmap->offset + stride * (height - 1) + std::size_t(width) * 4 > size - cursor.bitmap_offset)
    return sprite;
  const auto* pixels = SPA_PTROFF(bitmap, bitmap->offset, const std::uint8_t);
  sprite->argb.resize(std::size_t(width) * height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      std::optional<std::uint32_t> value = argbOf(bitmap->format, pixels + y * stride + x * 4);
      if (!value)
        return std::make_shared<CursorSprite>();
      sprite->argb[std::size_t(y) * width + x] = *value;
    }
  sprite->width = width;
  sprite->height = height;
  return sprite;
}

} // namespace

// --- The connection ----------------------------------------------------------------------------

std::unique_ptr<PipeWireLoop> PipeWireLoop::connect(std::string& error) {
  std::call_once(pipewireStarted, [] { pw_init(nullptr, nullptr); });
  std::unique_ptr<PipeWireLoop> self(new PipeWireLoop);
  self->loop_ = pw_thread_loop_new("tovel-pipewire", nullptr);
  if (!self->loop_) {
    error = "cannot make PipeWire's thread";
    return nullptr;
  }
  self->context_ = pw_context_new(pw_thread_loop_get_loop(self->loop_), nullptr, 0);
  if (!self->context_ || pw_thread_loop_start(self->loop_) < 0) {
    error = "cannot start PipeWire's thread";
    return nullptr;
  }
  pw_thread_loop_lock(self->loop_);
  self->core_ = pw_context_connect(self->context_, nullptr, 0);
  pw_thread_loop_unlock(self->loop_);
  if (!self->core_) {
    error = std::string("cannot connect to PipeWire: ") + std::strerror(errno);
    return nullptr;
  }
  return self;
}

PipeWireLoop::~PipeWireLoop() {
  if (loop_)
    pw_thread_loop_stop(loop_);
  if (core_)
    pw_core_disconnect(core_);
  if (context_)
    pw_context_destroy(context_);
  if (loop_)
    pw_thread_loop_destroy(loop_);
}

// --- One monitor's feed ------------------------------------------------------------------------

struct PipeWireFeed::Impl {
  Impl(PipeWireLoop& loop, Events events) : loop(loop), events(std::move(events)) {}

  void formatChanged(const spa_pod* param);
  void process();
  // Whether the buffer brought a picture or moved the cursor.
  bool take(spa_buffer* buffer);
  void settled();
  // With PipeWire's thread locked.
  bool connect(std::uint32_t node);
  void disconnect();
  void linkToTarget();
  void noteChange() {
    ++changes;
    changed.notify_all();
  }

  PipeWireLoop& loop;
  const Events events;
  pw_stream* stream = nullptr; // the stream followed, if any
  spa_hook listener{};
  std::uint32_t target = 0;    // the node it reads
  bool linkItself = false;     // whether it links to the node itself, or the session manager does
  pw_proxy* link = nullptr;    // the link it made, if any
  spa_video_info_raw format{}; // PipeWire's thread only
  bool haveFormat = false;
  PicturePool pool{3};
  spa_source* settleTimer = nullptr;
  bool refreshing = false; // paused and resumed: waiting for the picture that follows

  mutable std::mutex mutex; // the members below
  std::condition_variable changed;
  Picture picture;
  CursorState cursor;
  std::uint64_t changes = 0;
  std::uint64_t followed = 0;
  bool pictured = false; // since the last follow
  bool linked = false;   // since the last follow: the stream has its format, so it has a link
  bool ended = false;
  bool woken = false;
};

void PipeWireFeed::Impl::formatChanged(const spa_pod* param) {
  spa_video_info_raw info{};
  std::uint32_t mediaType = 0, mediaSubtype = 0;
  if (!param || spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
      mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw ||
      spa_format_video_raw_parse(param, &info) < 0)
    return;
  format = info;
  haveFormat = true;
  {
    std::lock_guard lock(mutex);
    linked = true;
  }

  // Pictures in memory the host can read (no GPU buffers), and the cursor beside them.
  std::uint8_t storage[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  const spa_pod* params[3];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
      SPA_POD_CHOICE_RANGE_Int(4, 2, 16), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
      SPA_PARAM_BUFFERS_dataType, SPA_POD_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd))));
  params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
      SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
  params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
      SPA_POD_Id(SPA_META_Cursor), SPA_PARAM_META_size,
      SPA_POD_CHOICE_RANGE_Int(int(cursorMetaSize(384)), int(sizeof(spa_meta_cursor)),
                               int(cursorMetaSize(kCursorSide)))));
  pw_stream_update_params(stream, params, 3);
}

bool PipeWireFeed::Impl::take(spa_buffer* buffer) {
  bool cursorChanged = false, cursorMoved = false;
  CursorState nextCursor;
  {
    std::lock_guard lock(mutex);
    nextCursor = cursor;
  }
  spa_meta* cursorMeta = spa_buffer_find_meta(buffer, SPA_META_Cursor);
  if (cursorMeta && cursorMeta->size >= sizeof(spa_meta_cursor)) {
    auto* meta = static_cast<spa_meta_cursor*>(cursorMeta->data);
    std::optional<std::pair<int, int>> position;
    if (spa_meta_cursor_is_valid(meta))
      position = std::make_pair(int(meta->position.x), int(meta->position.y));
    if (position != nextCursor.position) {
      nextCursor.position = position;
      cursorChanged = cursorMoved = true;
    }
    if (spa_meta_cursor_is_valid(meta) && meta->bitmap_offset >= sizeof(spa_meta_cursor) &&
        meta->bitmap_offset + sizeof(spa_meta_bitmap) <= cursorMeta->size) {
      nextCursor.sprite = readSprite(*meta, cursorMeta->size);
      cursorChanged = true;
    }
  }

  std::shared_ptr<BgraImage> copy;
  const spa_data& data = buffer->datas[0];
  auto* header = static_cast<spa_meta_header*>(
      spa_buffer_find_meta_data(buffer, SPA_META_Header, sizeof(spa_meta_header)));
  bool corrupted = (data.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) ||
                   (header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED));
  int width = int(format.size.width), height = int(format.size.height);
  if (haveFormat && data.data && data.chunk->size > 0 && !corrupted && width > 0 && height > 0) {
    std::size_t stride =
        data.chunk->stride > 0 ? std::size_t(data.chunk->stride) : std::size_t(width) * 4;
    std::size_t offset = data.chunk->offset % (data.maxsize ? data.maxsize : 1);
    if (stride >= std::size_t(width) * 4 &&
        offset + stride * (height - 1) + std::size_t(width) * 4 <= data.maxsize) {
      copy = pool.take(width, height);
      const auto* source = static_cast<const std::uint8_t*>(data.data) + offset;
      for (int y = 0; y < height; ++y)
        std::memcpy(copy->row(y), source + stride * y, std::size_t(width) * 4);
    }
  }

  if (!cursorChanged && !copy)
    return false;
  // Told before anyone can see the report, so that whoever sees it sees it told.
  if (cursorMoved && nextCursor.position && events.cursorMoved)
    events.cursorMoved(nextCursor.position->first, nextCursor.position->second, takenAt(header));
  bool pictured = bool(copy);
  std::lock_guard lock(mutex);
  if (cursorChanged) {
    nextCursor.generation = cursor.generation + 1;
    cursor = std::move(nextCursor);
  }
  if (copy) {
    picture.image = std::move(copy);
    ++picture.generation;
    this->pictured = true;
  }
  noteChange();
  return pictured || (cursorMoved && picture.image);
}

void PipeWireFeed::Impl::process() {
  bool changed = false, pictured = false;
  while (pw_buffer* buffer = pw_stream_dequeue_buffer(stream)) {
    std::uint64_t before = picture.generation; // written on this thread only
    changed = take(buffer->buffer) || changed;
    pictured = pictured || picture.generation != before;
    pw_stream_queue_buffer(stream, buffer);
  }
  if (refreshing) {
    // The picture asked for ends the quiet; later changes start a new one.
    refreshing = !pictured;
    return;
  }
  if (changed) {
    timespec value = kSettleDelay;
    pw_loop_update_timer(pw_thread_loop_get_loop(loop.loop()), settleTimer, &value, nullptr, false);
  }
}

void PipeWireFeed::Impl::settled() {
  if (!stream)
    return;
  refreshing = true;
  pw_stream_set_active(stream, false);
  pw_stream_set_active(stream, true);
}

bool PipeWireFeed::Impl::connect(std::uint32_t node) {
  static const pw_stream_events streamEvents = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = [](void* data, pw_stream_state, pw_stream_state state, const char* error) {
      auto* self = static_cast<Impl*>(data);
      // Paused: the stream's node is there, and can be linked.
      if (state == PW_STREAM_STATE_PAUSED && self->linkItself && !self->link)
        self->linkToTarget();
      if ((state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) &&
          self->events.failed) {
        std::uint64_t follow;
        {
          std::lock_guard lock(self->mutex);
          follow = self->followed;
        }
        self->events.failed(follow, error && *error ? error : pw_stream_state_as_string(state));
      }
    };
    e.param_changed = [](void* data, std::uint32_t id, const spa_pod* param) {
      if (id == SPA_PARAM_Format)
        static_cast<Impl*>(data)->formatChanged(param);
    };
    e.process = [](void* data) { static_cast<Impl*>(data)->process(); };
    return e;
  }();

  pw_properties* properties = pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                                "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr);
  target = node;
  stream = pw_stream_new(loop.core(), "tovel-screen", properties);
  if (!stream)
    return false;
  pw_stream_add_listener(stream, &listener, &streamEvents, this);
  std::uint8_t storage[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  spa_rectangle size{1920, 1080}, smallest{1, 1}, largest{16384, 16384};
  spa_fraction rate{0, 1}, slowest{0, 1}, fastest{1000, 1};
  const spa_pod* offer = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
      SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
      SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                             SPA_VIDEO_FORMAT_BGRA),
      SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&size, &smallest, &largest),
      SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&rate, &slowest, &fastest)));
  // A stream that links itself is left alone by the session manager.
  auto flags = linkItself
                   ? PW_STREAM_FLAG_MAP_BUFFERS
                   : pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS);
  if (pw_stream_connect(stream, PW_DIRECTION_INPUT, node, flags, &offer, 1) != 0) {
    disconnect();
    return false;
  }
  return true;
}

void PipeWireFeed::Impl::linkToTarget() {
  std::uint32_t own = pw_stream_get_node_id(stream);
  if (own == SPA_ID_INVALID)
    return;
  // Any free ports of the two nodes; the link goes when this client lets go of it.
  std::string output = std::to_string(target), input = std::to_string(own);
  const spa_dict_item items[] = {{PW_KEY_LINK_OUTPUT_NODE, output.c_str()},
                                 {PW_KEY_LINK_INPUT_NODE, input.c_str()}};
  const spa_dict properties = SPA_DICT_INIT_ARRAY(items);
  link = static_cast<pw_proxy*>(pw_core_create_object(
      loop.core(), "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &properties, 0));
}

void PipeWireFeed::Impl::disconnect() {
  pw_loop_update_timer(pw_thread_loop_get_loop(loop.loop()), settleTimer, nullptr, nullptr, false);
  refreshing = false;
  haveFormat = false;
  if (link) {
    pw_proxy_destroy(link);
    link = nullptr;
  }
  if (!stream)
    return;
  // The listener goes first: the stream's own end is no failure to report.
  spa_hook_remove(&listener);
  pw_stream_disconnect(stream);
  pw_stream_destroy(stream);
  stream = nullptr;
}

PipeWireFeed::PipeWireFeed(PipeWireLoop& loop, Events events)
    : impl_(std::make_unique<Impl>(loop, std::move(events))) {
  pw_thread_loop_lock(loop.loop());
  impl_->settleTimer = pw_loop_add_timer(
      pw_thread_loop_get_loop(loop.loop()),
      [](void* data, std::uint64_t) { static_cast<Impl*>(data)->settled(); }, impl_.get());
  pw_thread_loop_unlock(loop.loop());
}

PipeWireFeed::~PipeWireFeed() {
  pw_thread_loop_lock(impl_->loop.loop());
  impl_->disconnect();
  if (impl_->settleTimer)
    pw_loop_destroy_source(pw_thread_loop_get_loop(impl_->loop.loop()), impl_->settleTimer);
  pw_thread_loop_unlock(impl_->loop.loop());
}

bool PipeWireFeed::follow(std::uint32_t node, bool linkItself, std::string& error) {
  pw_thread_loop_lock(impl_->loop.loop());
  impl_->disconnect();
  {
    // Before the stream can report anything.
    std::lock_guard lock(impl_->mutex);
    ++impl_->followed;
    impl_->pictured = false;
    impl_->linked = false;
  }
  impl_->linkItself = linkItself;
  bool connected = impl_->settleTimer && impl_->connect(node);
  pw_thread_loop_unlock(impl_->loop.loop());
  if (!connected)
    error = "cannot read the screen cast's PipeWire node " + std::to_string(node);
  return connected;
}

void PipeWireFeed::unfollow() {
  pw_thread_loop_lock(impl_->loop.loop());
  impl_->disconnect();
  pw_thread_loop_unlock(impl_->loop.loop());
}

std::uint64_t PipeWireFeed::followed() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->followed;
}

bool PipeWireFeed::pictured() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->pictured;
}

bool PipeWireFeed::linked() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->linked;
}

PipeWireFeed::Picture PipeWireFeed::newest() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->picture;
}

CursorState PipeWireFeed::cursor() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->cursor;
}

std::uint64_t PipeWireFeed::changes() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->changes;
}

bool PipeWireFeed::waitForChange(std::uint64_t seen, std::optional<Clock::time_point> deadline) {
  std::unique_lock lock(impl_->mutex);
  auto done = [&] { return impl_->changes != seen || impl_->ended || impl_->woken; };
  if (deadline)
    impl_->changed.wait_until(lock, *deadline, done);
  else
    impl_->changed.wait(lock, done);
  impl_->woken = false;
  return impl_->changes != seen;
}

void PipeWireFeed::wake() {
  std::lock_guard lock(impl_->mutex);
  impl_->woken = true;
  impl_->changed.notify_all();
}

void PipeWireFeed::end() {
  std::lock_guard lock(impl_->mutex);
  impl_->ended = true;
  impl_->changed.notify_all();
}

bool PipeWireFeed::ended() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->ended;
}

} // namespace tovel
