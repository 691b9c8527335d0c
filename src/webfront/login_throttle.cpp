// The failed-login table: a fixed window per address, oldest addresses forgotten first.
#include "login_throttle.h"

namespace orvelle::webfront {

LoginThrottle::LoginThrottle(Clock clock)
    : clock_(clock ? std::move(clock) : Clock(std::chrono::steady_clock::now)) {}

bool LoginThrottle::Blocked(const std::string& address) {
  std::lock_guard lock(mutex_);
  const auto found = entries_.find(address);
  return found != entries_.end() && clock_() < found->second.blocked_until;
}

LoginThrottle::Entry& LoginThrottle::Touch(const std::string& address,
                                           std::chrono::steady_clock::time_point now) {
  auto found = entries_.find(address);
  if (found != entries_.end()) {
    oldest_.splice(oldest_.end(), oldest_, found->second.age);
    return found->second;
  }
  if (entries_.size() >= kMaxAddresses) {
    entries_.erase(oldest_.front());
    oldest_.pop_front();
  }
  Entry& entry = entries_[address];
  entry.window_start = now;
  entry.age = oldest_.insert(oldest_.end(), address);
  return entry;
}

bool LoginThrottle::Failed(const std::string& address) {
  std::lock_guard lock(mutex_);
  const auto now = clock_();
  Entry& entry = Touch(address, now);
  if (now - entry.window_start >= kWindow) {
    entry.window_start = now;
    entry.failures = 0;
  }
  if (++entry.failures < kMaxFailures) return false;
  entry.blocked_until = now + kBlockTime;
  entry.failures = 0;
  entry.window_start = now + kBlockTime;
  return true;
}

void LoginThrottle::Succeeded(const std::string& address) {
  std::lock_guard lock(mutex_);
  const auto found = entries_.find(address);
  if (found == entries_.end()) return;
  oldest_.erase(found->second.age);
  entries_.erase(found);
}

std::size_t LoginThrottle::Remembered() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

}  // namespace orvelle::webfront
