// The script host of one claimed run: forwards to the program's host, and once per script line
// passes on an abort that arrived while the engine was between publishing and running.
#pragma once

#include "script/host.h"
#include "script_slot.h"

namespace orvelle::webfront {

class ClaimedRunHost final : public script::ScriptHost, public RunObserver {
 public:
  ClaimedRunHost(script::ScriptHost& host, ScriptSlot::Claim& claim) : host_(host), claim_(claim) {}

  void Created(script::TExecute& engine) override {
    engine_ = &engine;
    claim_.Created(engine);
  }
  bool Starting() override { return claim_.Starting(); }
  void Finished() override {
    claim_.Finished();
    engine_ = nullptr;
  }

  // The engine clears its abort flag when a run starts, so an abort that lands just before that
  // moment is passed on again here.
  void PumpMessages() override {
    if (engine_ && claim_.AbortRequested()) engine_->Abort();
    host_.PumpMessages();
  }

  void AppendOutput(std::string line) override { host_.AppendOutput(std::move(line)); }
  std::string GetSetting(std::string_view key) override { return host_.GetSetting(key); }
  std::vector<std::string>& SplitParts() override { return host_.SplitParts(); }
  std::uint32_t Random(std::uint32_t n) override { return host_.Random(n); }
  std::tm LocalTime() override { return host_.LocalTime(); }
  std::int64_t CounterTicks() override { return host_.CounterTicks(); }
  std::int64_t CounterFrequency() override { return host_.CounterFrequency(); }
  script::SerialAccess& Serial() override { return host_.Serial(); }

 private:
  script::ScriptHost& host_;
  ScriptSlot::Claim& claim_;
  script::TExecute* engine_ = nullptr;
};

}  // namespace orvelle::webfront
