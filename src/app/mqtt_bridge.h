// The broker bridge: a thread of its own that follows the traffic ring and publishes the port's
// bytes, lines, events and the server's log under orvelle/NAME/, keeps a retained status with a
// last will, and (when allowed) writes messages from orvelle/NAME/send to the port between
// script runs. The broker being slow or away never holds up the port, a request or the stop:
// the thread only reads the ring, and while the broker is away it holds a bounded store.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "app/mqtt_outbox.h"
#include "app/mqtt_settings.h"
#include "base/traffic_ring.h"

struct mosquitto;
struct mosquitto_message;

namespace orvelle::app {

enum class MqttSendOutcome { kSent, kBusy, kClosed, kFailed };

// What the bridge needs from the rest of the server; each may be called on the bridge's thread.
struct MqttPortHooks {
  // "PORT SETTINGS..." while the port is open, empty text while it is closed.
  std::function<std::string()> open_text;
  // Writes the bytes unless a script holds the port (kBusy: try again later).
  std::function<MqttSendOutcome(std::string_view)> send;
  // One line into the server's log.
  std::function<void(std::string_view)> log;
};

class MqttBridge {
 public:
  // Messages taken from orvelle/NAME/send larger than this are refused: a command, not a file.
  static constexpr std::size_t kMaxSendBytes = 4096;
  // Sends waiting for a script to end; the oldest goes when full.
  static constexpr std::size_t kMaxQueuedSends = 64;

  // Starts the thread; the first connect is tried at once, without waiting for it.
  MqttBridge(base::TrafficRing& ring, MqttSettings settings, MqttPortHooks hooks);
  ~MqttBridge();  // publishes "offline" when connected, within a short bound, then stops
  MqttBridge(const MqttBridge&) = delete;
  MqttBridge& operator=(const MqttBridge&) = delete;

 private:
  using Clock = std::chrono::steady_clock;
  enum class State { kWaiting, kConnecting, kConnected };
  struct ClientDeleter {
    void operator()(mosquitto* client) const;
  };

  void Run(std::stop_token stop);
  void SetUpClient();
  void Step(std::uint64_t& from, std::stop_token stop);
  void TryConnect();
  void Lost(std::string_view why);
  void Finish();

  void TakeCallbackNews();
  void Connected(int code);
  void OnMessage(const mosquitto_message& message);

  void Route(const base::TrafficRing::Batch& batch);
  void RouteRecord(const base::TrafficRecord& record, std::string& rx, std::string& tx);
  void FlushBytes(const char* topic, std::string& bytes);
  void Event(std::string_view text, std::chrono::system_clock::time_point time);
  void Emit(MqttMessage message);
  bool Publish(const MqttMessage& message);
  void PublishStatus();
  void PumpSends();
  std::string Topic(std::string_view leaf) const { return prefix_ + std::string(leaf); }

  base::TrafficRing& ring_;
  const MqttSettings settings_;
  const MqttPortHooks hooks_;
  const std::string prefix_;
  // Everything below belongs to the bridge's thread alone.
  std::unique_ptr<mosquitto, ClientDeleter> client_;
  State state_ = State::kWaiting;
  Clock::time_point next_attempt_;
  Clock::time_point attempt_started_;
  std::chrono::milliseconds backoff_;
  bool trouble_reported_ = false;  // one log line per spell without the broker
  bool drop_reported_ = false;     // one log line per spell of a full away store
  AwayBuffer away_;
  LineSplitter lines_;
  static constexpr int kNoNews = -1;
  int connack_ = kNoNews;                         // set by the connect callback
  int disconnect_ = kNoNews;                      // set by the disconnect callback
  std::deque<std::optional<std::string>> sends_;  // none: a message too large, to be answered
  Clock::time_point last_missed_note_;
  int acked_ = 0;        // the last message the broker confirmed (for the goodbye)
  std::jthread thread_;  // last: started once everything it uses is set
};

}  // namespace orvelle::app
