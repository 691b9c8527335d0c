// Claiming, aborting and releasing the script slot under one lock.
#include "script_slot.h"

namespace orvelle::webfront {

std::optional<ScriptSlot::Claim> ScriptSlot::TryClaim(const std::string& path,
                                                      std::string& holder) {
  std::unique_lock lock(mutex_);
  AwaitShortTurnLocked(lock);
  return ClaimLocked(path, holder);
}

std::optional<ScriptSlot::Claim> ScriptSlot::ClaimWithin(const std::string& path,
                                                         std::string& holder,
                                                         std::chrono::milliseconds wait,
                                                         std::stop_token stop) {
  std::unique_lock lock(mutex_);
  released_.wait_for(lock, stop, wait, [this] { return !claimed_; });
  return ClaimLocked(path, holder);
}

std::optional<ScriptSlot::Claim> ScriptSlot::TryClaimShort(const std::string& holder_name,
                                                           std::string& holder) {
  std::lock_guard lock(mutex_);
  if (waiting_ > 0) {
    holder = running_script_;
    return std::nullopt;
  }
  return ClaimLocked(holder_name, holder, true);
}

std::optional<ScriptSlot::Holder> ScriptSlot::Current() const {
  std::lock_guard lock(mutex_);
  if (!claimed_) return std::nullopt;
  return Holder{running_script_, since_};
}

void ScriptSlot::AwaitShortTurnLocked(std::unique_lock<std::mutex>& lock) {
  if (!claimed_ || !short_turn_) return;
  ++waiting_;
  released_.wait_for(lock, kShortTurnWait, [this] { return !claimed_ || !short_turn_; });
  --waiting_;
}

std::optional<ScriptSlot::Claim> ScriptSlot::ClaimLocked(const std::string& path,
                                                         std::string& holder, bool short_turn) {
  if (claimed_) {
    holder = running_script_;
    return std::nullopt;
  }
  claimed_ = true;
  short_turn_ = short_turn;
  running_script_ = path;
  since_ = std::chrono::system_clock::now();
  stop_ = std::stop_source();  // a fresh token: an abort of an earlier claim is not this one's
  return std::optional<Claim>(std::in_place, *this);
}

std::optional<std::string> ScriptSlot::AbortCurrent() {
  std::lock_guard lock(mutex_);
  if (!claimed_) return std::nullopt;
  stop_.request_stop();
  return running_script_;
}

int ScriptSlot::Waiting() const {
  std::lock_guard lock(mutex_);
  return waiting_;
}

std::string ScriptSlot::RunningScript() const {
  std::lock_guard lock(mutex_);
  return running_script_;
}

std::stop_token ScriptSlot::StopToken() const {
  std::lock_guard lock(mutex_);
  return stop_.get_token();
}

void ScriptSlot::Release() {
  {
    std::lock_guard lock(mutex_);
    claimed_ = false;
    short_turn_ = false;
    running_script_.clear();
  }
  released_.notify_all();
}

ScriptSlot::Claim::~Claim() {
  if (slot_) slot_->Release();
}

}  // namespace orvelle::webfront
