// The one script slot: RunningScript and CurrentScript, claimed in one step so two script
// requests never share the page lines, the output list or the engine.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>

namespace orvelle::webfront {

class ScriptSlot {
 public:
  class Claim;

  // A short turn (a network client's write) is waited for, this long at most, rather than
  // answered with the busy page; a turn writes at most a few KiB.
  static constexpr std::chrono::seconds kShortTurnWait{2};

  // The slot for the page at `path`, or nothing when a script holds it already.
  // `holder` receives the path of the script that holds it.
  std::optional<Claim> TryClaim(const std::string& path, std::string& holder);
  // The same, waiting up to `wait` (or until `stop`) for the holder to let go.
  std::optional<Claim> ClaimWithin(const std::string& path, std::string& holder,
                                   std::chrono::milliseconds wait, std::stop_token stop);
  // The slot for a short turn: refused while a script holds it or waits for it, so a stream of
  // turns never keeps a page out.
  std::optional<Claim> TryClaimShort(const std::string& holder_name, std::string& holder);

  struct Holder {
    std::string path;
    std::chrono::system_clock::time_point since;
  };
  // Who holds the slot and since when; nothing when it is free.
  std::optional<Holder> Current() const;

  // Tells the script in the slot to stop; its path, or nothing when the slot is free. A script
  // still being prepared is stopped before its first line.
  std::optional<std::string> AbortCurrent();

  // How many claims wait for a short turn to end.
  int Waiting() const;

  // The path of the script holding the slot; empty when free.
  std::string RunningScript() const;

 private:
  std::stop_token StopToken() const;
  void Release();
  // Claims a free slot; otherwise `holder` receives the holder's path.
  std::optional<Claim> ClaimLocked(const std::string& path, std::string& holder,
                                   bool short_turn = false);
  // A page waits out a short turn rather than getting the busy page.
  void AwaitShortTurnLocked(std::unique_lock<std::mutex>& lock);

  mutable std::mutex mutex_;
  std::condition_variable_any released_;  // told at every release, for the waiting claims
  bool claimed_ = false;
  bool short_turn_ = false;                      // the claim is a short turn, worth waiting for
  int waiting_ = 0;                              // claims waiting for a short turn to end
  std::string running_script_;                   // RunningScript: shown on the busy page
  std::chrono::system_clock::time_point since_;  // of the current claim
  std::stop_source stop_;                        // the current claim's: the abort page requests it
};

// Holds the slot for one request; releasing it frees the slot.
class ScriptSlot::Claim final {
 public:
  explicit Claim(ScriptSlot& slot) : slot_(&slot) {}
  Claim(Claim&& other) noexcept : slot_(std::exchange(other.slot_, nullptr)) {}
  Claim& operator=(Claim&&) = delete;
  Claim(const Claim&) = delete;
  ~Claim();

  // What the run of this claim watches: an abort of the slot requests it.
  std::stop_token StopToken() const { return slot_->StopToken(); }

 private:
  ScriptSlot* slot_;
};

}  // namespace orvelle::webfront
