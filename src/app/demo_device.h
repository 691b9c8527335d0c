// `orvelle --demo`'s device: the simulated instrument on a pseudo-terminal, answering on a thread
// of this process for as long as the object lives.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_fd.h"
#include "simulator.h"

namespace orvelle::app {

class DemoDevice {
 public:
  // Told the new path when the instrument drops its line ("HANGUP") and brings up another.
  using MovedSink = std::function<void(const std::string&)>;

  // Brings the device up; throws std::runtime_error when no pseudo-terminal can be had.
  explicit DemoDevice(MovedSink on_moved = {});
  ~DemoDevice();  // stops and joins the thread; the device disappears
  DemoDevice(const DemoDevice&) = delete;
  DemoDevice& operator=(const DemoDevice&) = delete;

  // The port side's path as it is now (e.g. /dev/pts/3).
  std::string Path() const;
  // What every script page is seeded with: demoport=PATH, the path as it is now.
  std::vector<std::string> PageVariables() const { return {"demoport=" + Path()}; }
  // The log line that tells the user where the device is and where to try it; an empty URL
  // means the server is not running yet.
  std::string Announcement(const std::string& served_url) const {
    const std::string terminal =
        served_url.empty() ? "terminal.ovs, once the server runs" : served_url + "terminal.ovs";
    return "Demo device (a simulated instrument) on " + Path() + "; RS232 terminal: " + terminal;
  }

 private:
  void OnPath(const std::string& path);

  MovedSink on_moved_;
  mutable std::mutex mutex_;  // guards path_: the thread writes it on a hang-up
  std::string path_;
  base::UniqueFd stop_;  // an eventfd; readable means "stop"
  tools::Simulator simulator_;
  std::jthread thread_;  // last: joined before the simulator it runs goes
};

}  // namespace orvelle::app
