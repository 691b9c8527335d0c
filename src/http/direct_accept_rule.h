// When a worker fresh from a connection takes the next one straight from the listener instead
// of waiting for it: with a lone client the next connection is seldom queued yet, and the try
// is a wasted system call, so after misses in a row it is made only now and then until one
// finds a connection again.
#pragma once

#include <atomic>
#include <cstdint>

namespace orvelle::http {

class TDirectAcceptRule {
 public:
  // Misses in a row after which a worker fresh from a connection stops trying directly.
  static constexpr std::uint32_t kMissesBeforeBackOff = 2;
  // Then every this many chances one try is still made, so returning load is seen soon.
  static constexpr std::uint32_t kTryEvery = 8;

  // Whether a worker fresh from a connection should try. Safe from any thread.
  bool ShouldTry() {
    if (misses_.load(std::memory_order_relaxed) < kMissesBeforeBackOff) return true;
    return chances_.fetch_add(1, std::memory_order_relaxed) % kTryEvery == 0;
  }
  // The outcome of a direct try, whoever made it.
  void Note(bool found) {
    if (found) {
      misses_.store(0, std::memory_order_relaxed);
      return;
    }
    // Saturates well below wrapping: only "at least kMissesBeforeBackOff" matters.
    if (misses_.load(std::memory_order_relaxed) < kMissesBeforeBackOff) {
      misses_.fetch_add(1, std::memory_order_relaxed);
    }
  }

 private:
  std::atomic<std::uint32_t> misses_{0};
  std::atomic<std::uint32_t> chances_{0};
};

}  // namespace orvelle::http
