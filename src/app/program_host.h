// The program's side of the script engine's host interface: the output list, settings from the
// configuration store, the split list, the random generator, the clock, the serial port and the
// machine's files.
#pragma once

#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "app/config_store.h"
#include "script/file_ops.h"
#include "script/host.h"

namespace orvelle::app {

class ProgramHost final : public script::ScriptHost {
 public:
  ProgramHost(const ConfigStore& config, script::SerialAccess& serial, std::uint64_t seed);

  std::vector<std::string>& Output() { return output_; }

  void AppendOutput(std::string line) override { output_.push_back(std::move(line)); }
  std::string GetSetting(std::string_view key) override { return config_.GetSetting(key); }
  std::vector<std::string>& SplitParts() override { return split_parts_; }
  std::uint32_t Random(std::uint32_t n) override;
  std::tm LocalTime() override;
  std::int64_t CounterTicks() override;
  std::int64_t CounterFrequency() override { return 1'000'000'000; }
  script::SerialAccess& Serial() override { return serial_; }
  script::FileAccess& Files() override { return files_; }
  void PumpMessages() override {}

 private:
  const ConfigStore& config_;
  script::SerialAccess& serial_;
  script::LocalFiles files_;
  std::vector<std::string> output_;
  std::vector<std::string> split_parts_;
  std::mutex random_lock_;  // the generator outlives runs and may be drawn from other threads
  std::mt19937_64 random_;
};

}  // namespace orvelle::app
