// TSerialThread: while the port is open, waits with epoll on the device and a stop eventfd,
// turns what it sees into a batch of port events and has the port deliver it by its SyncMethod.
// A caller that reads the port's input itself can claim it meanwhile: the thread then does not
// wake for that input, which would only make it queue behind the reader.
#pragma once

#include <atomic>
#include <mutex>
#include <stop_token>
#include <thread>

#include "base/unique_fd.h"
#include "serial/device_queries.h"
#include "serial/serial_events.h"
#include "serial/serial_settings.h"

namespace orvelle::serial {

class TCustomSerialPort;

class TSerialThread {
 public:
  // Starts at once with a snapshot of the port's event settings.
  explicit TSerialThread(TCustomSerialPort& port);
  // Stops the thread and waits for it.
  ~TSerialThread();
  TSerialThread(const TSerialThread&) = delete;
  TSerialThread& operator=(const TSerialThread&) = delete;

  // Asks the thread to leave its loop at the next wake-up; does not wait.
  void RequestStop() { thread_.request_stop(); }
  // True once the loop has ended (stopped, hung up, or a delivery failed).
  bool Ended() const { return ended_.load(); }
  // While claims are held the thread does not watch for input. The last release hands input
  // still waiting back to the thread at once. Any thread may call these.
  void ClaimInput();
  void ReleaseInput();

 private:
  struct Watch {
    bool counters = false;  // the driver keeps line-error counters
    bool modem = false;     // the driver reports modem lines
    LineCounters last_counters;
    int last_modem = 0;
    int leftover = 0;  // bytes a handler left unread after the last delivery
  };

  void Loop(std::stop_token stop);
  // What the device is watched for, from the thread's own hold (bytes a handler left unread
  // wake it again only with more) and the claims; changed only under interest_lock_.
  void UpdateInterestLocked();
  void HoldForLeftover(bool hold);
  void Finish();
  int PollTimeout(const Watch& watch) const;
  TSerialEvents SeenEvents(bool readable, Watch& watch) const;
  TSerialEvents CounterEvents(Watch& watch) const;
  TSerialEvents ModemEvents(Watch& watch) const;
  bool Deliver(TSerialEvents batch, std::stop_token stop);
  bool DeliverOnMain(TSerialEvents batch, std::stop_token stop);

  TCustomSerialPort& port_;
  const int device_;
  const TSerialEvents events_;
  const TSyncMethod method_;
  base::UniqueFd stop_event_;
  base::UniqueFd epoll_;
  std::mutex interest_lock_;
  int claims_ = 0;              // guarded by interest_lock_
  bool leftover_hold_ = false;  // guarded by interest_lock_
  bool watching_input_ = true;  // guarded by interest_lock_: what epoll_ is set to
  std::atomic<bool> ended_{false};
  std::jthread thread_;  // last: starts once everything above exists
};

}  // namespace orvelle::serial
