#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/image.h"

namespace tovel {

// Pictures for a capture's frames that come back when the last frame holding one goes, so that a
// capture reuses a few buffers instead of allocating one per frame. A picture may be let go on
// any thread, also after the pool itself is gone.
class PicturePool {
public:
  explicit PicturePool(std::size_t spares = 4) : state_(std::make_shared<State>(spares)) {}

  // A picture of the given size, its pixels undefined.
  std::shared_ptr<BgraImage> take(int width, int height) {
    std::unique_ptr<BgraImage> picture;
    {
      std::lock_guard lock(state_->mutex);
      if (!state_->spare.empty()) {
        picture = std::move(state_->spare.back());
        state_->spare.pop_back();
      }
    }
    if (!picture)
      picture = std::make_unique<BgraImage>();
    picture->resize(width, height);
    std::weak_ptr<State> pool = state_;
    return std::shared_ptr<BgraImage>(picture.release(), [pool](BgraImage* returned) {
      std::unique_ptr<BgraImage> owned(returned);
      if (auto state = pool.lock()) {
        std::lock_guard lock(state->mutex);
        if (state->spare.size() < state->spares)
          state->spare.push_back(std::move(owned));
      }
    });
  }

private:
  struct State {
    explicit State(std::size_t n) : spares(n) {}
    const std::size_t spares;
    std::mutex mutex;
    std::vector<std::unique_ptr<BgraImage>> spare;
  };
  std::shared_ptr<State> state_;
};

} // namespace tovel
