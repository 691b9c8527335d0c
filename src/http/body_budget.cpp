// The shared bound on request bodies held in memory.
#include "http/body_budget.h"

namespace orvelle::http {

bool TBodyBudget::Take(std::size_t bytes) {
  std::lock_guard lock(mutex_);
  if (bytes > limit_ - held_) return false;
  held_ += bytes;
  return true;
}

void TBodyBudget::Give(std::size_t bytes) {
  std::lock_guard lock(mutex_);
  held_ -= bytes;
}

std::size_t TBodyBudget::Held() const {
  std::lock_guard lock(mutex_);
  return held_;
}

bool TBodyShare::GrowTo(std::size_t bytes) {
  if (bytes <= held_) return true;
  if (!budget_.Take(bytes - held_)) return false;
  held_ = bytes;
  return true;
}

}  // namespace orvelle::http
