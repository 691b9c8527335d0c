// What the request dispatcher needs from the program that owns it: settings, the log, and the
// session timer. The application implements it; tests fake it.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace orvelle::webfront {

class DispatcherContext {
 public:
  virtual ~DispatcherContext() = default;
  // The configuration value of key; empty when absent.
  virtual std::string GetSetting(std::string_view key) = 0;
  // Writes one dated line to the event log; never throws.
  virtual void AddLog(std::string_view message) = 0;
};

// The session timer: running means a session is live. Safe from any thread.
class SessionTimer {
 public:
  virtual ~SessionTimer() = default;
  virtual bool Enabled() const = 0;
  // Sets the interval and starts counting from now; an interval of 0 never fires.
  virtual void Start(std::chrono::milliseconds interval) = 0;
  // Counts the full interval again from now.
  virtual void Restart() = 0;
  virtual void Stop() = 0;
  // Stops the timer that has just fired, unless a request restarted it since; true when stopped.
  virtual bool StopUnlessRestarted() = 0;
};

}  // namespace orvelle::webfront
