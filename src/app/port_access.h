// The script statements' view of the port and TReceiveBuffer (script::SerialAccess): openport's
// settings and open, closeport, send, the buffer operations, enumports, is_open, and the modem
// lines, and the query that sends and waits for a reply. One lock keeps a script's port calls,
// the server's stop and the reopen of a device plugged back in apart: when the device of an open
// port goes, the port waits for a device under the same name and reopens it with the same
// settings, until a script closes or opens a port. A port opened by a kernel name (ttyUSB0)
// reopens only the device it had, as far as sysfs tells.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string_view>

#include "app/receive_buffer.h"
#include "app/receive_pump.h"
#include "base/traffic_ring.h"
#include "script/host.h"
#include "serial/device_return_watch.h"
#include "serial/open_diagnosis.h"
#include "serial/port_inventory.h"
#include "serial/serial_port.h"
#include "webfront/api_port.h"

namespace orvelle::app {

class PortAccess final : public script::SerialAccess {
 public:
  using LogLine = std::function<void(std::string_view)>;
  // `log` gets the lines about a device that goes and comes back; it may be empty. Sets the
  // port's OnLost; closes the port when it goes. `traffic`, when given, records what is sent
  // and the modem lines set. `roots` is where a device's identity is looked up.
  PortAccess(serial::TSerialPort& port, TReceiveBuffer& buffer, ReceivePump& pump,
             LogLine log = nullptr, base::TrafficRing* traffic = nullptr,
             serial::SystemRoots roots = {});
  ~PortAccess() override;
  PortAccess(const PortAccess&) = delete;
  PortAccess& operator=(const PortAccess&) = delete;

  bool OpenPort(const OpenRequest& request) override;
  // The port the server opens when it starts: `request.port` as the administrator wrote it
  // (upper-cased here, as openport does). Opened as openport opens it; a device that is not
  // there yet is waited for like one that went away, and opened when it appears. False when it
  // is not open now.
  bool OpenAtStart(const OpenRequest& request);
  bool ClosePort() override;
  bool Send(std::string_view bytes) override;
  bool FlushReceived() override;
  bool RemoveReceived(std::int64_t count) override;
  bool Receive(std::string& out) override;
  std::string EnumPorts() override;
  std::string IsOpenText() override;
  void SetModemLine(ModemLine line, bool on) override;
  std::string ModemSignalText(ModemSignal signal) override;
  QueryOutcome Query(const QueryRequest& request, std::stop_token stop, QueryReply& reply) override;

  // OpenPort for a caller that wants to know why it failed: the system's error number (0 when
  // the failure had none).
  bool OpenPort(const OpenRequest& request, int& failure);
  // Writes on an open port; `written` is what went out.
  QueryOutcome Write(std::string_view bytes, std::size_t& written);
  // The port as /.orvelle/status shows it.
  webfront::PortFacts Facts();
  // Bytes written to the port since the start.
  std::uint64_t SentBytes() const { return sent_.load(); }
  // Runs `work` on the port under the lock that keeps port operations apart (network clients'
  // settings, lines and writes).
  void Exclusive(const std::function<void(serial::TSerialPort&)>& work);
  // How often the port has looked for a device that went away (see DeviceReturnWatch::Checks).
  std::uint64_t DeviceChecks() const { return watch_.Checks(); }
  // The device path the port lost and waits for; empty while it does not wait.
  std::filesystem::path WaitingFor();

 private:
  void ApplyOpenRequest(const OpenRequest& request);
  bool WaitForNews(std::uint64_t seen, std::chrono::microseconds limit);
  QueryOutcome WriteLocked(std::string_view bytes, std::size_t& written);
  bool StillOpen();
  // Takes the first `count` of the bytes that arrived out of the buffer as the reply.
  void TakeReply(const std::string& arrived, std::size_t count, QueryReply& reply);
  void ApplyLineSettings(const OpenRequest& request);
  // On the watch's thread: takes note of a lost device, or reopens the one that came back.
  serial::DeviceReturnWatch::Outcome FollowDevice();
  serial::DeviceReturnWatch::Outcome StartWaitingLocked();
  serial::DeviceReturnWatch::Outcome TryReopenLocked();
  // kDone when the device under the name now is the one that went; logs a stranger once.
  serial::DeviceReturnWatch::Outcome CheckIdentityLocked();
  void StopWaitingLocked();
  void ForgetOpenedLocked();
  void Log(std::string_view what) const;

  serial::TSerialPort& port_;
  TReceiveBuffer& buffer_;
  ReceivePump& pump_;
  base::TrafficRing* traffic_;
  std::mutex lock_;  // one port operation at a time; deliveries never take it
  std::atomic<std::uint64_t> last_seen_changes_{~std::uint64_t{0}};  // receive's previous look
  std::atomic<int> unchanged_looks_{0};  // receive calls in a row that found nothing new
  std::atomic<std::uint64_t> sent_{0};   // bytes written since the start
  LogLine log_;
  std::string opened_name_;            // guarded by lock_: the port name the port opened
  std::filesystem::path opened_path_;  // guarded by lock_: the device path it stood for then
  const serial::SystemRoots roots_;
  serial::DeviceIdentity opened_identity_;  // guarded by lock_: empty for a stable name
  std::string stranger_;       // guarded by lock_: the other device under the name, logged already
  bool waiting_ = false;       // guarded by lock_: for that path to come back
  bool never_opened_ = false;  // guarded by lock_: the wait is for a start's first open
  serial::DeviceReturnWatch watch_;  // last: its thread stops before what it uses goes
};

}  // namespace orvelle::app
