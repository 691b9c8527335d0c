// Claiming, aborting and releasing the script slot under one lock.
#include "script_slot.h"

namespace orvelle::webfront {

std::optional<ScriptSlot::Claim> ScriptSlot::TryClaim(const std::string& path,
                                                      std::string& holder) {
  std::lock_guard lock(mutex_);
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

std::optional<ScriptSlot::Holder> ScriptSlot::Current() const {
  std::lock_guard lock(mutex_);
  if (!claimed_) return std::nullopt;
  return Holder{running_script_, since_};
}

std::optional<ScriptSlot::Claim> ScriptSlot::ClaimLocked(const std::string& path,
                                                         std::string& holder) {
  if (claimed_) {
    holder = running_script_;
    return std::nullopt;
  }
  claimed_ = true;
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
    running_script_.clear();
  }
  released_.notify_all();
}

ScriptSlot::Claim::~Claim() {
  if (slot_) slot_->Release();
}

}  // namespace orvelle::webfront
