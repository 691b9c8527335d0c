// NetworkPortControl: what the application grants a network serial client. Its turns are the
// script slot's (so it never lands inside a page's, an API call's or a broker send's exchange),
// its port work runs under the port's own lock, and its changes are logged and recorded as events
// for the live console.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "app/port_access.h"
#include "base/traffic_ring.h"
#include "netport/port_control.h"
#include "webfront/script_slot.h"

namespace orvelle::app {

class NetworkPortControl final : public netport::PortControl {
 public:
  using DeviceName = std::function<std::string()>;
  using LogLine = std::function<void(std::string_view)>;

  // `device` names the port a client opens when none is open (empty text: none).
  NetworkPortControl(PortAccess& port, webfront::ScriptSlot& slot, base::TrafficRing& traffic,
                     DeviceName device, LogLine log)
      : port_(port),
        slot_(slot),
        traffic_(traffic),
        device_(std::move(device)),
        log_(std::move(log)) {}

  bool WithSlot(const std::function<void()>& work) override;
  bool OpenIfClosed(std::string& why) override;
  bool IsOpen() override;
  bool Write(std::string_view bytes) override;
  std::optional<netport::LineSettings> Line() override;
  bool SetLine(const netport::LineSettings& line) override;
  bool SetOutputLine(netport::OutputLine line, bool on) override;
  bool Purge(bool input, bool output) override;
  std::optional<serial::TModemSignals> ModemSignals() override;
  void Log(std::string_view line) override { log_(line); }
  void Note(std::string_view event) override;

 private:
  PortAccess& port_;
  webfront::ScriptSlot& slot_;
  base::TrafficRing& traffic_;
  DeviceName device_;
  LogLine log_;
};

}  // namespace orvelle::app
