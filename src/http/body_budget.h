// TBodyBudget: the memory all request bodies being read at once may hold together, and the share
// one request holds of it.
#pragma once

#include <cstddef>
#include <mutex>

namespace orvelle::http {

class TBodyBudget {
 public:
  explicit TBodyBudget(std::size_t limit) : limit_(limit) {}
  TBodyBudget(const TBodyBudget&) = delete;
  TBodyBudget& operator=(const TBodyBudget&) = delete;

  // Takes `bytes` more; false, taking nothing, when that would pass the limit.
  bool Take(std::size_t bytes);
  void Give(std::size_t bytes);
  std::size_t Held() const;

 private:
  const std::size_t limit_;
  mutable std::mutex mutex_;
  std::size_t held_ = 0;  // guarded by mutex_
};

// One request's share; given back when it goes.
class TBodyShare {
 public:
  explicit TBodyShare(TBodyBudget& budget) : budget_(budget) {}
  ~TBodyShare() { budget_.Give(held_); }
  TBodyShare(const TBodyShare&) = delete;
  TBodyShare& operator=(const TBodyShare&) = delete;

  // Makes the share at least `bytes`; false when the budget cannot give that much.
  bool GrowTo(std::size_t bytes);
  std::size_t Held() const { return held_; }

 private:
  TBodyBudget& budget_;
  std::size_t held_ = 0;
};

}  // namespace orvelle::http
