// TCustomSerialPort / TSerialPort: a serial device over termios with the settings of
// serial_settings.h, open and close with their events, writes bounded by the write time limit,
// reads, and the queries of input count, line errors and modem signals.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "base/unique_fd.h"
#include "serial/device_kind.h"
#include "serial/device_queries.h"
#include "serial/serial_error.h"
#include "serial/serial_events.h"
#include "serial/serial_settings.h"
#include "serial/sync_target.h"

namespace orvelle::serial {

class TSerialThread;

class TCustomSerialPort {
 public:
  // Handlers are optional; an empty one skips its event. The port is the implicit sender.
  std::function<void()> OnAfterOpen, OnAfterClose;
  std::function<void(bool)> OnCTSChange, OnDSRChange, OnRLSDChange;
  std::function<void(int count)> OnRxChar;
  std::function<void(TSerialErrors)> OnError;
  // smWindowSync only: where an exception of a delivery goes (the thread carries on).
  std::function<void(const std::exception&)> OnSyncException;
  // Open refused the port's device as no serial line, before opening it; the argument is the
  // port name as the user wrote it (see SetPortAsWritten), through PrintablePortName. Open then
  // fails as for a missing device.
  std::function<void(const std::string& port)> OnNotSerialPort;
  // Open failed to find or open the device: the port name as the user wrote it, through
  // PrintablePortName, the path it resolved to (as written where nothing exists), and errno. The
  // failure is thrown as before, after this returns.
  std::function<void(const std::string& port, const std::filesystem::path& device, int error)>
      OnOpenFailed;
  // The device hung up while open: once per loss, on the thread that noticed it (the event
  // thread, or a caller of CheckConnected). It must not block.
  std::function<void()> OnLost;

  TCustomSerialPort();
  virtual ~TCustomSerialPort();
  TCustomSerialPort(const TCustomSerialPort&) = delete;
  TCustomSerialPort& operator=(const TCustomSerialPort&) = delete;

  // The main thread that smThreadSync delivers on; without one, smThreadSync delivers on the
  // event thread itself. Must outlive the port.
  void SetSyncTarget(TSyncTarget* target) { sync_target_ = target; }
  // Where Open looks up a device's class; tests point it at a fake sysfs tree.
  void SetSysfsRoot(std::filesystem::path root) { sysfs_root_ = std::move(root); }

  void Open();
  void Close();
  // True while the device is open and has not hung up.
  bool Connected() const { return device_.Valid() && !lost_.load(); }
  // The device hung up (unplugged) while open; Open or Reopen opens it again, Close tidies up.
  bool Lost() const { return lost_.load(); }
  // After a hang-up: lets go of the device, so the system can give its name to the next device
  // plugged in. The port stays lost, with all its settings, until Reopen, Open or Close.
  void ReleaseLostDevice();
  // After a hang-up: opens the device again by the same name and settings, without the open and
  // close events, so to its users the port simply stayed open. Throws ESerialPort as Open does,
  // and then stays lost.
  void Reopen();
  // Looks at the device once without waiting and notes a hang-up, so a port without a running
  // event thread still tells the truth; returns Connected().
  bool CheckConnected();
  // An event thread exists and has not ended (on close, hang-up or a failed delivery).
  bool EventThreadRunning() const;

  int WriteText(std::string_view text);
  std::string ReadText(int count);
  // One read of at most `max` bytes of what is waiting now, without first counting it; empty
  // when nothing waits. For a reader that was just told input is there.
  std::string ReadWaiting(std::size_t max);
  int QueuedInput();
  // Waits at most `limit` for input; true when some is waiting. False on a closed or hung-up
  // device too, which never gets input again.
  bool WaitForInput(std::chrono::microseconds limit);
  // For a caller that waits for and reads the input itself (see TInputClaim): the event thread
  // leaves the input alone while claimed and takes over again at the last release.
  void ClaimInput();
  void ReleaseInput();
  TSerialErrors LineErrors();
  TModemSignals ModemSignals();
  // Raises or drops DTR or RTS on an open port; devices without modem lines ignore it.
  bool SetModemLine(bool dtr, bool on);
  // Starts or ends a break on the transmit line of an open port.
  bool SetBreak(bool on);
  // Throws away the device's unread input and/or its unsent output; false on a closed port.
  bool Purge(bool input, bool output);

  const std::string& Port() const { return port_; }
  // The port name as the user wrote it, before the upper-casing that Port() keeps for lookups;
  // only messages use it. Counts while it names the same port as Port().
  void SetPortAsWritten(std::string written) { written_ = std::move(written); }
  std::string PortAsWritten() const;
  // The device path for messages: the real path the name resolves to, or, where none exists,
  // the name as the user wrote it, resolved the same way.
  std::filesystem::path ShownPath() const;
  TBaudRate BaudRate() const { return baud_rate_; }
  int CustomBaudRate() const { return custom_baud_rate_; }
  TStopBits StopBits() const { return stop_bits_; }
  TDataBits DataBits() const { return data_bits_; }
  const TSerialParity& Parity() const { return parity_; }
  const TSerialFlowControl& FlowControl() const { return flow_; }
  const TSerialTimeouts& Timeouts() const { return timeouts_; }
  const TSerialBuffer& Buffer() const { return buffer_; }
  TSerialEvents Events() const { return events_; }
  TSyncMethod SyncMethod() const { return sync_method_; }
  // The bits per second the line runs at.
  std::uint32_t Rate() const;

  void SetPort(const std::string& value);
  void SetBaudRate(TBaudRate value);
  void SetCustomBaudRate(int value);
  void SetStopBits(TStopBits value);
  void SetDataBits(TDataBits value);
  void SetParity(const TSerialParity& value);
  void SetParityBits(TParityBits value);
  void SetFlowControl(const TSerialFlowControl& value);
  // The composite mode; re-applies the line settings even for fcCustom.
  void SetFlowControlMode(TFlowControl value);
  void SetTimeouts(const TSerialTimeouts& value);
  void SetBuffer(const TSerialBuffer& value);
  void SetEvents(TSerialEvents value) { events_ = value; }
  void SetSyncMethod(TSyncMethod value);

  // Used by the event thread.
  int DeviceHandle() const { return device_.Get(); }
  void MarkLost();
  TSyncTarget* SyncTarget() const { return sync_target_; }
  // Delivers one batch of events in the fixed order; handlers may throw.
  void DeliverBatch(TSerialEvents batch);
  // Bytes read so far, and the count the last delivered receive event reported: together they
  // tell the thread how many reported bytes a handler left unread.
  std::uint64_t BytesRead() const { return bytes_read_.load(); }
  int LastReported() const { return last_reported_.load(); }

 private:
  void ApplyLineSettings();
  void OpenDevice();
  [[noreturn]] void FailOpen(int error);
  void StartEventThread();
  void ReportModemSignals();
  void StopThread();
  template <typename T>
  void Change(T& field, const T& value) {
    if (field == value) return;
    field = value;
    ApplyLineSettings();
  }

  std::string port_ = "COM1";
  std::string written_;  // port_ before upper-casing, for messages
  TBaudRate baud_rate_ = TBaudRate::br9600;
  int custom_baud_rate_ = 9600;
  TStopBits stop_bits_ = TStopBits::sbOneStopBit;
  TDataBits data_bits_ = TDataBits::dbEight;
  TSerialParity parity_;
  std::atomic<bool> parity_check_{false};  // read by deliveries on the main thread
  TSerialFlowControl flow_;
  TSerialTimeouts timeouts_;
  TSerialBuffer buffer_;
  TSerialEvents events_ = kAllSerialEvents;
  TSyncMethod sync_method_ = TSyncMethod::smThreadSync;
  TSyncTarget* sync_target_ = nullptr;
  std::filesystem::path sysfs_root_ = kSysfsRoot;

  base::UniqueFd device_;
  std::atomic<bool> lost_{false};
  std::atomic<std::uint64_t> bytes_read_{0};
  std::atomic<int> last_reported_{0};
  std::unique_ptr<TSerialThread> thread_;
  std::mutex counters_lock_;  // the line-error counters seen last, read on two threads
  LineCounters counters_;
};

class TSerialPort final : public TCustomSerialPort {};

// Holds the port's input claimed for its lifetime. The port must stay open meanwhile.
class TInputClaim {
 public:
  explicit TInputClaim(TCustomSerialPort& port) : port_(port) { port_.ClaimInput(); }
  ~TInputClaim() { port_.ReleaseInput(); }
  TInputClaim(const TInputClaim&) = delete;
  TInputClaim& operator=(const TInputClaim&) = delete;

 private:
  TCustomSerialPort& port_;
};

}  // namespace orvelle::serial
