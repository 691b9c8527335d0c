// The script statements' view of CP1 and TReceiveBuffer (script::SerialAccess): openport's
// settings and open, closeport, send, the buffer operations, enumports, is_open, and the modem
// lines. One lock keeps a script's port calls and the server's stop apart.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "app/receive_buffer.h"
#include "app/receive_pump.h"
#include "base/traffic_ring.h"
#include "script/host.h"
#include "serial/serial_port.h"

namespace orvelle::app {

class PortAccess final : public script::SerialAccess {
 public:
  // `traffic`, when given, records what is sent and the modem lines set.
  PortAccess(serial::TSerialPort& port, TReceiveBuffer& buffer, ReceivePump& pump,
             base::TrafficRing* traffic = nullptr)
      : port_(port), buffer_(buffer), pump_(pump), traffic_(traffic) {}

  bool OpenPort(const OpenRequest& request) override;
  bool ClosePort() override;
  bool Send(std::string_view bytes) override;
  bool FlushReceived() override;
  bool RemoveReceived(std::int64_t count) override;
  bool Receive(std::string& out) override;
  std::string EnumPorts() override;
  std::string IsOpenText() override;
  void SetModemLine(ModemLine line, bool on) override;
  std::string ModemSignalText(ModemSignal signal) override;

 private:
  void ApplyOpenRequest(const OpenRequest& request);
  bool WaitForNews(std::uint64_t seen);

  serial::TSerialPort& port_;
  TReceiveBuffer& buffer_;
  ReceivePump& pump_;
  base::TrafficRing* traffic_;
  std::mutex lock_;  // one port operation at a time; deliveries never take it
  std::atomic<std::uint64_t> last_seen_changes_{~std::uint64_t{0}};  // receive's previous look
  std::atomic<int> unchanged_looks_{0};  // receive calls in a row that found nothing new
};

}  // namespace orvelle::app
