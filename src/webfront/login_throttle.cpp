// The failed-login tables: a fixed window per address and one for all addresses, oldest
// addresses forgotten first; a blocked address is never forgotten for a newcomer.
#include "login_throttle.h"

namespace orvelle::webfront {

LoginThrottle::LoginThrottle(Clock clock)
    : clock_(clock ? std::move(clock) : Clock(std::chrono::steady_clock::now)) {}

bool LoginThrottle::Trusted(const std::string& address, TimePoint now) const {
  const auto found = trusted_.find(address);
  return found != trusted_.end() && now - found->second.first < kTrustedFor;
}

bool LoginThrottle::Blocked(const std::string& address) {
  std::lock_guard lock(mutex_);
  const auto now = clock_();
  const auto found = entries_.find(address);
  if (found != entries_.end() && now < found->second.blocked_until) return true;
  return now < all_blocked_until_ && !Trusted(address, now);
}

LoginThrottle::Entry& LoginThrottle::Touch(const std::string& address, TimePoint now) {
  auto found = entries_.find(address);
  if (found != entries_.end()) {
    oldest_.splice(oldest_.end(), oldest_, found->second.age);
    return found->second;
  }
  if (entries_.size() >= kMaxAddresses) {
    // Blocked addresses stop failing and so drift to the front; the first one not blocked goes.
    auto victim = oldest_.begin();
    while (victim != oldest_.end() && now < entries_.at(*victim).blocked_until) ++victim;
    if (victim == oldest_.end()) victim = oldest_.begin();
    entries_.erase(*victim);
    oldest_.erase(victim);
  }
  Entry& entry = entries_[address];
  entry.window_start = now;
  entry.age = oldest_.insert(oldest_.end(), address);
  return entry;
}

// Counts one failure in the window for all addresses; true when it exhausts the budget.
bool LoginThrottle::CountAll(TimePoint now) {
  if (now - window_all_start_ >= kWindow) {
    window_all_start_ = now;
    failures_all_ = 0;
  }
  if (++failures_all_ < kMaxFailuresAll) return false;
  all_blocked_until_ = now + kBlockTime;
  failures_all_ = 0;
  window_all_start_ = now + kBlockTime;
  return true;
}

LoginThrottle::Verdict LoginThrottle::Failed(const std::string& address) {
  std::lock_guard lock(mutex_);
  const auto now = clock_();
  Verdict verdict;
  // A user who signed in here lately and mistypes once must not add to the guessers' budget.
  if (!Trusted(address, now)) verdict.everyone_blocked = CountAll(now);
  Entry& entry = Touch(address, now);
  if (now - entry.window_start >= kWindow) {
    entry.window_start = now;
    entry.failures = 0;
  }
  if (++entry.failures < kMaxFailures) return verdict;
  entry.blocked_until = now + kBlockTime;
  entry.failures = 0;
  entry.window_start = now + kBlockTime;
  verdict.address_blocked = true;
  return verdict;
}

void LoginThrottle::Succeeded(const std::string& address) {
  std::lock_guard lock(mutex_);
  const auto now = clock_();
  const auto found = entries_.find(address);
  if (found != entries_.end()) {
    oldest_.erase(found->second.age);
    entries_.erase(found);
  }
  auto trusted = trusted_.find(address);
  if (trusted != trusted_.end()) {
    trusted->second.first = now;
    trusted_oldest_.splice(trusted_oldest_.end(), trusted_oldest_, trusted->second.second);
    return;
  }
  if (trusted_.size() >= kMaxAddresses) {
    trusted_.erase(trusted_oldest_.front());
    trusted_oldest_.pop_front();
  }
  trusted_.emplace(address,
                   std::make_pair(now, trusted_oldest_.insert(trusted_oldest_.end(), address)));
}

std::size_t LoginThrottle::Remembered() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

}  // namespace orvelle::webfront
