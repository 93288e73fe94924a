#pragma once

#include <atomic>
#include <cstddef>
#include <memory>

namespace tovel {

// Counts things alive (streams, sessions): a token is taken when one is made and given back when
// it goes, which may be after the counter's owner is gone (a step still queued on a pool).
class LiveCount {
public:
  class Token {
  public:
    explicit Token(std::shared_ptr<std::atomic<std::size_t>> count) : count_(std::move(count)) {
      ++*count_;
    }
    ~Token() { --*count_; }
    Token(const Token&) = delete;
    Token& operator=(const Token&) = delete;

  private:
    std::shared_ptr<std::atomic<std::size_t>> count_;
  };

  std::unique_ptr<Token> take() { return std::make_unique<Token>(count_); }
  std::size_t value() const { return count_->load(); }

private:
  std::shared_ptr<std::atomic<std::size_t>> count_ = std::make_shared<std::atomic<std::size_t>>(0);
};

} // namespace tovel
