// ProgramHost: clock, counter and random generator on Linux.
#include "program_host.h"

#include <time.h>

namespace orvelle::app {

ProgramHost::ProgramHost(const ConfigStore& config, script::SerialAccess& serial,
                         std::uint64_t seed)
    : config_(config), serial_(serial), random_(seed) {}

std::uint32_t ProgramHost::Random(std::uint32_t n) {
  std::lock_guard lock(random_lock_);
  return std::uniform_int_distribution<std::uint32_t>(0, n - 1)(random_);
}

std::tm ProgramHost::LocalTime() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

std::int64_t ProgramHost::CounterTicks() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

}  // namespace orvelle::app
