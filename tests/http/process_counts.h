// Counts of this process's threads and open file descriptors, for leak checks.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <thread>

namespace orvelle::http::testing {

inline std::size_t CountEntries(const char* folder) {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++count;
  return count;
}

inline std::size_t ThreadCount() {
  return CountEntries("/proc/self/task");
}
inline std::size_t FdCount() {
  return CountEntries("/proc/self/fd");
}

// Polls `done` every 10 ms for at most `limit`; true as soon as it holds. Threads end
// asynchronously, so leak checks wait for the counts to settle rather than read them once.
inline bool Eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

// A joined thread can still be listed for a moment while the kernel finishes its exit, so the
// count taken at a test's start may include a thread of the test before it that is about to
// vanish: no more threads than then, once the count settles.
inline bool ThreadsSettleAt(std::size_t expected) {
  return Eventually([expected] { return ThreadCount() <= expected; }, std::chrono::seconds(2));
}

}  // namespace orvelle::http::testing
