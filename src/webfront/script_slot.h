// The one script slot: RunningScript and CurrentScript, claimed in one step so two script
// requests never share the page lines, the output list or the engine.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "page_runner.h"
#include "script/Uscripteng.h"

namespace orvelle::webfront {

class ScriptSlot {
 public:
  class Claim;

  // The slot for the page at `path`, or nothing when a script holds it already.
  // `holder` receives the path of the script that holds it.
  std::optional<Claim> TryClaim(const std::string& path, std::string& holder);

  // Tells the script in the slot to stop; its path, or nothing when the slot is free. A script
  // still being prepared is stopped before its first line.
  std::optional<std::string> AbortCurrent();

  // The path of the script holding the slot; empty when free.
  std::string RunningScript() const;
  // True while an engine is published for Abort.
  bool HasCurrentScript() const;

 private:
  void Publish(script::TExecute* engine);
  bool MarkRunning();
  void Release();

  mutable std::mutex mutex_;
  bool claimed_ = false;
  std::string running_script_;                  // RunningScript: shown on the busy page
  script::TExecute* current_script_ = nullptr;  // CurrentScript: owned by the claiming request
  std::atomic<bool> abort_requested_{false};    // also read by the run's per-line hook
};

// Holds the slot for one request and follows its page run; releasing it frees the slot.
class ScriptSlot::Claim final : public RunObserver {
 public:
  explicit Claim(ScriptSlot& slot) : slot_(&slot) {}
  Claim(Claim&& other) noexcept : slot_(std::exchange(other.slot_, nullptr)) {}
  Claim& operator=(Claim&&) = delete;
  Claim(const Claim&) = delete;
  ~Claim() override;

  void Created(script::TExecute& engine) override { slot_->Publish(&engine); }
  bool Starting() override { return slot_->MarkRunning(); }
  void Finished() override { slot_->Publish(nullptr); }

  // True once an abort was asked for this run.
  bool AbortRequested() const { return slot_->abort_requested_.load(); }

 private:
  ScriptSlot* slot_;
};

}  // namespace orvelle::webfront
