// The pretend instrument's event loop on a pseudo-terminal pair: the orvelle-serial-sim tool runs
// it on its main thread, `orvelle --demo` on a thread of its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "base/unique_fd.h"

namespace orvelle::tools {

struct SimulatorOptions {
  std::chrono::milliseconds delay{50};            // before "*IDN?" and "PING" are answered
  std::chrono::milliseconds stream_interval{10};  // between two "T=n" lines
  bool stream = false;                            // stream from the start
  std::chrono::milliseconds hangup_after{0};      // 0: never drop the line by itself
};

class Simulator {
 public:
  // Told the port side's path of every pseudo-terminal the simulator brings up.
  using PathSink = std::function<void(const std::string&)>;

  Simulator(SimulatorOptions options, PathSink on_path);
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Opens a pseudo-terminal pair and reports its path; false when the system has none to give.
  bool BringUp();
  // Answers on the line until stop_fd becomes readable: 0 then, 1 when waiting fails.
  int Run(int stop_fd);

 private:
  using Clock = std::chrono::steady_clock;
  struct Pending {
    Clock::time_point due;
    std::string text;
  };

  void HangUp();
  void OnBytes(const char* data, std::size_t size);
  void OnLine(const std::string& line);
  void Send(const std::string& text);
  void SendDue();
  int Timeout() const;

  SimulatorOptions options_;
  PathSink on_path_;
  base::UniqueFd master_;
  base::UniqueFd slave_;  // held so the master never sees "nobody connected" between openers
  // The dropped line's slave, held until the new line is up so that it comes up under a new name.
  base::UniqueFd dropped_slave_;
  std::string line_;
  std::deque<Pending> pending_;
  bool streaming_;
  std::uint64_t stream_count_ = 0;
  Clock::time_point next_stream_ = Clock::now();
  Clock::time_point hangup_at_ = Clock::time_point::max();
  Clock::time_point bring_up_at_ = Clock::time_point::max();
};

}  // namespace orvelle::tools
