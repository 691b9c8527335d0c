// The engine's only way out to the program: output list, settings, the split list, the random
// generator, the clock, the serial port, files and the message pump. The app implements it; tests
// fake it.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace orvelle::script {

// The script's view of the program's one serial port and its receive buffer. Every operation
// reports failure by returning false; the engine turns that into the statement's message.
class SerialAccess {
 public:
  virtual ~SerialAccess() = default;

  struct OpenRequest {
    std::string port;  // already upper-cased
    std::string baud_rate, data_bits, parity, stop_bits, flow_control;
    std::string written = {};  // the port name before upper-casing, for messages only
  };
  virtual bool OpenPort(const OpenRequest& request) = 0;
  virtual bool ClosePort() = 0;
  virtual bool Send(std::string_view bytes) = 0;
  virtual bool FlushReceived() = 0;                     // empties the receive buffer
  virtual bool RemoveReceived(std::int64_t count) = 0;  // drops the first count bytes
  virtual bool Receive(std::string& out) = 0;           // the whole receive buffer, unchanged
  virtual std::string EnumPorts() = 0;
  virtual std::string IsOpenText() = 0;  // empty when the port is closed

  enum class ModemLine { kRts, kDtr };
  enum class ModemSignal { kCts, kDsr, kRlsd, kRing };
  // Set or clear an output line; a silent no-op on a closed port.
  virtual void SetModemLine(ModemLine line, bool on) = 0;
  // "1" or "0" on an open port; empty text on a closed one.
  virtual std::string ModemSignalText(ModemSignal signal) = 0;

  // Send, then wait for the reply: the page's query and the programs' query share it.
  struct QueryRequest {
    std::string send;           // written first; may be empty
    std::string until;          // the reply ends after its first occurrence; empty: no terminator
    std::size_t max_bytes = 0;  // the reply ends once this many bytes arrived; 0: no such end
    std::chrono::milliseconds timeout{2'000};
    bool flush = true;  // what waited in the receive buffer before the send is discarded
  };
  struct QueryReply {
    std::string bytes;      // taken out of the receive buffer; what came after stays there
    bool complete = false;  // ended by the terminator or max_bytes, not by the time or a stop
    std::size_t sent = 0;   // bytes written (a write cut short by its time limit sends fewer)
    std::chrono::nanoseconds elapsed{0};  // from the send to the end of the wait
  };
  enum class QueryOutcome { kDone, kClosed, kSendFailed };
  // Waits without spinning; `stop` ends the wait early with what arrived.
  virtual QueryOutcome Query(const QueryRequest& request, std::stop_token stop,
                             QueryReply& reply) = 0;
};

// Where a query's reply ends in what arrived: after the first `until`, or at `max_bytes`,
// whichever comes first; nothing while neither has arrived.
inline std::optional<std::size_t> QueryReplyEnd(std::string_view arrived, std::string_view until,
                                                std::size_t max_bytes) {
  std::size_t end = std::string_view::npos;
  if (!until.empty()) {
    const std::size_t at = arrived.find(until);
    if (at != std::string_view::npos) end = at + until.size();
  }
  if (max_bytes > 0 && arrived.size() >= max_bytes) end = std::min(end, max_bytes);
  if (end == std::string_view::npos) return std::nullopt;
  return end;
}

// A machine without a serial port: the host's behaviour until a real port is wired in.
class NoSerialPort final : public SerialAccess {
 public:
  bool OpenPort(const OpenRequest&) override { return false; }
  bool ClosePort() override { return true; }
  bool Send(std::string_view) override { return false; }
  bool FlushReceived() override { return true; }
  bool RemoveReceived(std::int64_t) override { return true; }
  bool Receive(std::string& out) override {
    out.clear();
    return true;
  }
  std::string EnumPorts() override { return {}; }
  std::string IsOpenText() override { return {}; }
  void SetModemLine(ModemLine, bool) override {}
  std::string ModemSignalText(ModemSignal) override { return {}; }
  QueryOutcome Query(const QueryRequest&, std::stop_token, QueryReply& reply) override {
    reply = {};
    return QueryOutcome::kClosed;
  }
};

// The files readfile, writefile and deletefile reach. Each returns the statement's own message
// on failure and "" on success.
class FileAccess {
 public:
  virtual ~FileAccess() = default;
  // The exact bytes of a regular file in content.
  virtual std::string ReadFile(const std::string& path, std::string& content) = 0;
  // Appends text to the file, creating it when absent.
  virtual std::string AppendFile(const std::string& path, std::string_view text) = 0;
  virtual std::string DeleteFile(const std::string& path) = 0;
};

class ScriptHost {
 public:
  virtual ~ScriptHost() = default;

  // Appends one entry to the output list (the page body).
  virtual void AppendOutput(std::string line) = 0;
  // The configuration value of key; empty when absent.
  virtual std::string GetSetting(std::string_view key) = 0;
  // The program-wide list that split fills and extract reads.
  virtual std::vector<std::string>& SplitParts() = 0;
  // A pseudo-random whole number in [0, n); n >= 1.
  virtual std::uint32_t Random(std::uint32_t n) = 0;
  // Local calendar time now.
  virtual std::tm LocalTime() = 0;
  // The high-resolution counter: ticks and ticks per second.
  virtual std::int64_t CounterTicks() = 0;
  virtual std::int64_t CounterFrequency() = 0;
  virtual SerialAccess& Serial() = 0;
  virtual FileAccess& Files() = 0;
  // Called every few dozen executed lines; lets a desktop front end stay responsive.
  virtual void PumpMessages() = 0;
  // Requested when the run is to end (the abort page, the server's stop): a built-in that waits
  // stops waiting. A host that never aborts runs keeps the default.
  virtual std::stop_token StopToken() { return {}; }
};

}  // namespace orvelle::script
