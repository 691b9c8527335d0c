// A deterministic ScriptHost for tests: recorded output, a settings map, the split list, a
// predictable random sequence, a fixed local time, a settable counter and a scripted serial port.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "script/file_ops.h"
#include "script/host.h"

namespace orvelle::script::test_support {

// A serial port whose state tests set and inspect directly.
class FakeSerial final : public SerialAccess {
 public:
  std::vector<std::string> openable_ports{"COM1"};  // names OpenPort accepts
  bool open = false;
  OpenRequest last_open;
  std::string open_text;  // what IsOpenText reports while open
  std::string received;   // the receive buffer
  std::vector<std::string> sent;
  std::string enum_ports_text;
  bool fail_receive = false;
  bool fail_send = false;
  bool fail_close = false;
  std::map<ModemLine, bool> lines;
  std::map<ModemSignal, bool> signals;
  std::string query_answer;  // what the device sends back to every query
  QueryRequest last_query;

  bool OpenPort(const OpenRequest& request) override {
    last_open = request;
    for (const std::string& name : openable_ports) {
      if (name == request.port) {
        open = true;
        return true;
      }
    }
    return false;
  }
  bool ClosePort() override {
    if (fail_close) return false;
    if (open) received.clear();
    open = false;
    return true;
  }
  bool Send(std::string_view bytes) override {
    if (!open || fail_send) return false;
    sent.emplace_back(bytes);
    return true;
  }
  bool FlushReceived() override {
    received.clear();
    return true;
  }
  bool RemoveReceived(std::int64_t count) override {
    if (count > 0) received.erase(0, static_cast<std::size_t>(count));
    return true;
  }
  bool Receive(std::string& out) override {
    if (fail_receive) return false;
    out = received;
    return true;
  }
  std::string EnumPorts() override { return enum_ports_text; }
  std::string IsOpenText() override { return open ? open_text : std::string(); }
  void SetModemLine(ModemLine line, bool on) override {
    if (open) lines[line] = on;
  }
  std::string ModemSignalText(ModemSignal signal) override {
    if (!open) return {};
    return signals[signal] ? "1" : "0";
  }
  // The answer arrives at once; the reply is cut from the buffer as the real port cuts it.
  QueryOutcome Query(const QueryRequest& request, std::stop_token, QueryReply& reply) override {
    reply = {};
    last_query = request;
    if (!open) return QueryOutcome::kClosed;
    if (fail_send) return QueryOutcome::kSendFailed;
    if (request.flush) received.clear();
    sent.push_back(request.send);
    reply.sent = request.send.size();
    received += query_answer;
    const auto end = QueryReplyEnd(received, request.until, request.max_bytes);
    reply.complete = end.has_value();
    reply.bytes = received.substr(0, end.value_or(received.size()));
    received.erase(0, reply.bytes.size());
    return QueryOutcome::kDone;
  }
};

// 6 December 2026, 09:05:03 local time.
inline std::tm FixedLocalTime() {
  std::tm t{};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 11;
  t.tm_mday = 6;
  t.tm_hour = 9;
  t.tm_min = 5;
  t.tm_sec = 3;
  t.tm_wday = 0;
  t.tm_yday = 339;
  return t;
}

// Real files (tests give temporary paths), with every path the engine asked for recorded.
class RecordingFiles final : public FileAccess {
 public:
  std::vector<std::string> paths;

  std::string ReadFile(const std::string& path, std::string& content) override {
    paths.push_back(path);
    return local_.ReadFile(path, content);
  }
  std::string AppendFile(const std::string& path, std::string_view text) override {
    paths.push_back(path);
    return local_.AppendFile(path, text);
  }
  std::string DeleteFile(const std::string& path) override {
    paths.push_back(path);
    return local_.DeleteFile(path);
  }

 private:
  LocalFiles local_;
};

class FakeHost final : public ScriptHost {
 public:
  std::vector<std::string> output;
  std::map<std::string, std::string, std::less<>> settings;
  std::vector<std::string> split_parts;
  std::uint32_t random_state = 1;            // seed of the linear congruential sequence
  std::vector<std::uint32_t> random_bounds;  // every n that Random was asked for
  std::tm local_time = FixedLocalTime();
  std::int64_t counter_ticks = 0;
  std::int64_t counter_frequency = 1'000'000'000;
  FakeSerial serial;
  RecordingFiles files;
  int pumped = 0;

  void AppendOutput(std::string line) override { output.push_back(std::move(line)); }
  std::string GetSetting(std::string_view key) override {
    auto it = settings.find(key);
    return it == settings.end() ? std::string() : it->second;
  }
  std::vector<std::string>& SplitParts() override { return split_parts; }
  std::uint32_t Random(std::uint32_t n) override {
    random_bounds.push_back(n);
    random_state = random_state * 1664525u + 1013904223u;
    return random_state % n;
  }
  std::tm LocalTime() override { return local_time; }
  std::int64_t CounterTicks() override { return counter_ticks; }
  std::int64_t CounterFrequency() override { return counter_frequency; }
  SerialAccess& Serial() override { return serial; }
  FileAccess& Files() override { return files; }
  void PumpMessages() override { ++pumped; }
};

}  // namespace orvelle::script::test_support
