#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tovel {

// A rectangle of whole pixels of a picture, top-left origin.
struct PixelRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  friend bool operator==(const PixelRect&, const PixelRect&) = default;
};

// A picture in 32-bit BGRA (byte order B, G, R, A), top row first. The fourth byte of a capture
// is padding and must not be relied on. A view does not own its pixels.
struct ImageView {
  const std::uint8_t* data = nullptr;
  int width = 0;
  int height = 0;
  std::size_t stride = 0; // bytes from one row to the next

  const std::uint8_t* pixel(int x, int y) const { return data + y * stride + std::size_t(x) * 4; }
  bool empty() const { return width <= 0 || height <= 0 || data == nullptr; }
};

// An owning BGRA picture whose storage is kept across resizes, so per-frame buffers can be reused.
class BgraImage {
public:
  BgraImage() = default;
  BgraImage(int width, int height) { resize(width, height); }

  void resize(int width, int height) {
    width_ = width > 0 ? width : 0;
    height_ = height > 0 ? height : 0;
    pixels_.resize(std::size_t(width_) * std::size_t(height_) * 4);
  }

  int width() const { return width_; }
  int height() const { return height_; }
  std::size_t stride() const { return std::size_t(width_) * 4; }
  std::uint8_t* data() { return pixels_.data(); }
  const std::uint8_t* data() const { return pixels_.data(); }
  std::uint8_t* row(int y) { return pixels_.data() + std::size_t(y) * stride(); }
  ImageView view() const { return ImageView{pixels_.data(), width_, height_, stride()}; }

private:
  int width_ = 0;
  int height_ = 0;
  std::vector<std::uint8_t> pixels_;
};

} // namespace tovel
