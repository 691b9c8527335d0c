// Claiming, publishing, aborting and releasing the script slot under one lock.
#include "script_slot.h"

namespace orvelle::webfront {

std::optional<ScriptSlot::Claim> ScriptSlot::TryClaim(const std::string& path,
                                                      std::string& holder) {
  std::lock_guard lock(mutex_);
  if (claimed_) {
    holder = running_script_;
    return std::nullopt;
  }
  claimed_ = true;
  running_script_ = path;
  abort_requested_.store(false);
  return std::optional<Claim>(std::in_place, *this);
}

std::optional<std::string> ScriptSlot::AbortCurrent() {
  std::lock_guard lock(mutex_);
  if (!claimed_) return std::nullopt;
  abort_requested_.store(true);
  if (current_script_) current_script_->Abort();
  return running_script_;
}

std::string ScriptSlot::RunningScript() const {
  std::lock_guard lock(mutex_);
  return running_script_;
}

bool ScriptSlot::HasCurrentScript() const {
  std::lock_guard lock(mutex_);
  return current_script_ != nullptr;
}

void ScriptSlot::Publish(script::TExecute* engine) {
  std::lock_guard lock(mutex_);
  current_script_ = engine;
}

bool ScriptSlot::MarkRunning() {
  std::lock_guard lock(mutex_);
  return !abort_requested_.load();
}

void ScriptSlot::Release() {
  std::lock_guard lock(mutex_);
  claimed_ = false;
  running_script_.clear();
  current_script_ = nullptr;
  abort_requested_.store(false);
}

ScriptSlot::Claim::~Claim() {
  if (slot_) slot_->Release();
}

}  // namespace orvelle::webfront
