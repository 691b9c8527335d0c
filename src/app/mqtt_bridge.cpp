// The bridge's thread: connecting with backoff, routing ring records to topics, the away store,
// the status and its last will, and the send queue.
#include "app/mqtt_bridge.h"

#include <mosquitto.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "base/json_text.h"
#include "base/traffic_text.h"

namespace orvelle::app {
namespace {

using namespace std::chrono_literals;

// The broker hears from us at least this often; a dead link is noticed within about 1.5 times it.
constexpr int kKeepAliveSeconds = 30;
// Where Debian keeps the trusted CA certificates, hashed for lookup.
constexpr const char* kSystemCaPath = "/etc/ssl/certs";
// A broker that took the TCP connection but has not answered by then is given up on.
constexpr auto kConnackLimit = 10s;
// How long one network wait lasts; it bounds how late a ring record or a stop is seen.
constexpr int kLoopWaitMs = 20;
// How long the thread waits for ring news while no broker is connected.
constexpr auto kIdleWait = 100ms;
// The "offline" status and the goodbye get this long at the stop, then the thread ends anyway.
constexpr auto kStopLimit = 1s;
// Received or sent bytes of one ring batch go out as one message up to this size.
constexpr std::size_t kMaxBytesPayload = 16 * 1024;
// A bridge that fell behind the ring says so at most this often.
constexpr auto kMissedNoteGap = 5s;
// The bridge is best effort: under a device streaming at full speed the port's threads get the
// processor first, and the bridge what is left (it reports what it had to skip).
constexpr int kBridgeNiceness = 10;
// Names the client to the broker besides the gateway's name; a second gateway by the same name
// must not throw this one off.
constexpr std::size_t kMaxClientIdBytes = 96;

int ToQos1(bool event) {
  return event ? 1 : 0;
}

}  // namespace

void MqttBridge::ClientDeleter::operator()(mosquitto* client) const {
  mosquitto_destroy(client);
}

MqttBridge::MqttBridge(base::TrafficRing& ring, MqttSettings settings, MqttPortHooks hooks)
    : ring_(ring),
      settings_(std::move(settings)),
      hooks_(std::move(hooks)),
      prefix_(settings_.Prefix()),
      backoff_(settings_.backoff_first) {
  mosquitto_lib_init();
  SetUpClient();
  thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
}

MqttBridge::~MqttBridge() {
  thread_.request_stop();
  if (thread_.joinable()) thread_.join();
  client_.reset();
  mosquitto_lib_cleanup();
}

void MqttBridge::SetUpClient() {
  std::string id = "orvelle-" + settings_.name + "-" + std::to_string(::getpid());
  id.resize(std::min(id.size(), kMaxClientIdBytes));
  client_.reset(mosquitto_new(id.c_str(), true, this));
  if (!client_) return;  // out of memory: the bridge stays quiet, the server goes on
  mosquitto_connect_callback_set(client_.get(), [](mosquitto*, void* self, int code) {
    static_cast<MqttBridge*>(self)->connack_ = code;
  });
  mosquitto_disconnect_callback_set(client_.get(), [](mosquitto*, void* self, int code) {
    static_cast<MqttBridge*>(self)->disconnect_ = code;
  });
  mosquitto_publish_callback_set(client_.get(), [](mosquitto*, void* self, int id) {
    static_cast<MqttBridge*>(self)->acked_ = id;
  });
  mosquitto_message_callback_set(client_.get(),
                                 [](mosquitto*, void* self, const mosquitto_message* message) {
                                   if (message != nullptr)
                                     static_cast<MqttBridge*>(self)->OnMessage(*message);
                                 });
  if (!settings_.user.empty()) {
    mosquitto_username_pw_set(client_.get(), settings_.user.c_str(),
                              settings_.password.empty() ? nullptr : settings_.password.c_str());
  }
  if (settings_.tls) {
    const bool own_ca = !settings_.ca_file.empty();
    if (mosquitto_tls_set(client_.get(), own_ca ? settings_.ca_file.c_str() : nullptr,
                          own_ca ? nullptr : kSystemCaPath, nullptr, nullptr,
                          nullptr) != MOSQ_ERR_SUCCESS) {
      hooks_.log("MQTT: the TLS settings were refused; connects will fail");
    }
  }
  const std::string will = R"({"state":"offline","name":)" + base::JsonString(settings_.name) + "}";
  mosquitto_will_set(client_.get(), Topic("status").c_str(), static_cast<int>(will.size()),
                     will.data(), 1, true);
}

void MqttBridge::Run(std::stop_token stop) {
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kBridgeNiceness);  // this thread only
  std::uint64_t from = ring_.OldestSeq();
  next_attempt_ = Clock::now();
  while (!stop.stop_requested()) Step(from, stop);
  // What the ring held at the stop still goes out, or into the store with the rest.
  Route(ring_.ReadFrom(from, 0ms));
  Finish();
}

void MqttBridge::Step(std::uint64_t& from, std::stop_token stop) {
  const auto now = Clock::now();
  if (state_ == State::kWaiting && now >= next_attempt_) TryConnect();
  if (state_ == State::kConnecting && now - attempt_started_ > kConnackLimit) {
    Lost("no answer to the connect");
  }
  base::TrafficRing::Batch batch;
  if (client_ && mosquitto_socket(client_.get()) >= 0) {
    const int code = mosquitto_loop(client_.get(), kLoopWaitMs, 1);
    TakeCallbackNews();
    if (code != MOSQ_ERR_SUCCESS) Lost(mosquitto_strerror(code));
    batch = ring_.ReadFrom(from, 0ms);
  } else {
    const auto until_attempt =
        std::chrono::duration_cast<std::chrono::milliseconds>(next_attempt_ - now);
    batch = ring_.ReadFrom(from, std::clamp(until_attempt, 1ms, kIdleWait), stop);
  }
  from = batch.next;
  Route(batch);
  PumpSends();
}

void MqttBridge::TryConnect() {
  if (!client_) return;
  state_ = State::kConnecting;
  attempt_started_ = Clock::now();
  connack_ = kNoNews;
  disconnect_ = kNoNews;
  const int code = mosquitto_connect_async(client_.get(), settings_.host.c_str(), settings_.port,
                                           kKeepAliveSeconds);
  if (code != MOSQ_ERR_SUCCESS) {
    Lost(code == MOSQ_ERR_ERRNO ? std::string_view(std::strerror(errno))
                                : std::string_view(mosquitto_strerror(code)));
  }
}

// The link is gone or never came up: the next try waits, doubling up to the ceiling.
void MqttBridge::Lost(std::string_view why) {
  if (state_ == State::kWaiting) return;
  const bool was_connected = state_ == State::kConnected;
  state_ = State::kWaiting;  // first: the disconnect callback below then has nothing to do
  if (mosquitto_socket(client_.get()) >= 0) mosquitto_disconnect(client_.get());
  disconnect_ = kNoNews;  // that disconnect was ours
  next_attempt_ = Clock::now() + backoff_;
  if (!trouble_reported_) {
    trouble_reported_ = true;
    hooks_.log("MQTT: " + std::string(was_connected ? "lost" : "cannot reach") + " the broker at " +
               settings_.Where() + " (" + std::string(why) +
               "); trying again in the background, holding messages meanwhile");
  }
  backoff_ = std::min(backoff_ * 2, settings_.backoff_ceiling);
}

// The client library's callbacks only take note: publishing from inside one takes the library's
// locks in another order than elsewhere, so the work is done here, after the network step.
void MqttBridge::TakeCallbackNews() {
  if (const int code = std::exchange(connack_, kNoNews); code != kNoNews) Connected(code);
  if (const int code = std::exchange(disconnect_, kNoNews); code != kNoNews) {
    Lost(code == 0 ? "closed" : mosquitto_strerror(code));
  }
}

void MqttBridge::Connected(int code) {
  if (code != 0) {
    Lost(std::string("refused: ") + mosquitto_connack_string(code));
    return;
  }
  state_ = State::kConnected;
  backoff_ = settings_.backoff_first;
  trouble_reported_ = false;
  const std::uint64_t dropped = away_.TakeDropped();
  drop_reported_ = false;
  hooks_.log("MQTT: connected to " + settings_.Where() + ", publishing under " + prefix_ +
             (dropped > 0 ? "; " + std::to_string(dropped) + " held messages were dropped" : ""));
  // Subscribed before the status says "online", so a message sent on seeing it is taken.
  if (settings_.allow_send) {
    mosquitto_subscribe(client_.get(), nullptr, Topic("send").c_str(), 1);
  }
  PublishStatus();
  for (const MqttMessage& message : away_.TakeAll()) {
    if (!Publish(message)) away_.Add(message);
  }
}

void MqttBridge::OnMessage(const mosquitto_message& message) {
  if (message.topic == nullptr || Topic("send") != message.topic) return;
  if (sends_.size() == kMaxQueuedSends) {
    sends_.pop_front();
    hooks_.log("MQTT: " + std::to_string(kMaxQueuedSends) +
               " sends wait for a script to end; the oldest was dropped");
  }
  if (message.payloadlen < 0 || static_cast<std::size_t>(message.payloadlen) > kMaxSendBytes) {
    sends_.emplace_back(std::nullopt);  // answered in its turn with an error
    return;
  }
  sends_.emplace_back(std::in_place, static_cast<const char*>(message.payload),
                      static_cast<std::size_t>(message.payloadlen));
}

// Messages wait while a script holds the port; they go in order once it is free.
void MqttBridge::PumpSends() {
  while (!sends_.empty()) {
    if (!sends_.front()) {
      sends_.pop_front();
      Event("error: send refused: more than " + std::to_string(kMaxSendBytes) + " bytes",
            std::chrono::system_clock::now());
      continue;
    }
    const MqttSendOutcome outcome = hooks_.send(*sends_.front());
    if (outcome == MqttSendOutcome::kBusy) return;
    sends_.pop_front();
    if (outcome == MqttSendOutcome::kClosed) {
      Event("error: send: the port is not open", std::chrono::system_clock::now());
    } else if (outcome == MqttSendOutcome::kFailed) {
      Event("error: send: writing to the port failed", std::chrono::system_clock::now());
    }
  }
}

void MqttBridge::Route(const base::TrafficRing::Batch& batch) {
  if (batch.missed && Clock::now() - last_missed_note_ > kMissedNoteGap) {
    last_missed_note_ = Clock::now();
    Event("error: the bridge fell behind; some traffic was not published",
          std::chrono::system_clock::now());
  }
  std::string rx;
  std::string tx;
  for (const base::TrafficRecord& record : batch.records) RouteRecord(record, rx, tx);
  FlushBytes("rx", rx);
  FlushBytes("tx", tx);
}

void MqttBridge::RouteRecord(const base::TrafficRecord& record, std::string& rx, std::string& tx) {
  switch (record.kind) {
    case base::TrafficKind::kRx:
      FlushBytes("tx", tx);  // the order of the two directions is kept
      rx += record.bytes;
      if (rx.size() >= kMaxBytesPayload) FlushBytes("rx", rx);
      for (std::string& line : lines_.Feed(record.bytes)) {
        Emit({Topic("lines"), std::move(line), 0, false, false});
      }
      return;
    case base::TrafficKind::kTx:
      FlushBytes("rx", rx);
      tx += record.bytes;
      if (tx.size() >= kMaxBytesPayload) FlushBytes("tx", tx);
      return;
    case base::TrafficKind::kEvent:
      Event(record.bytes, record.time);
      if (record.bytes == "close") lines_.Reset();
      if (record.bytes == "close" || record.bytes.starts_with("open ")) PublishStatus();
      return;
    case base::TrafficKind::kLog:
      Emit({Topic("log"), record.bytes, 0, false, false});
      // Port errors reach the log only; dashboards look for them among the events.
      if (record.bytes.find("Serial port error") != std::string::npos) {
        Event("error: " + record.bytes, record.time);
      }
      return;
  }
}

void MqttBridge::FlushBytes(const char* leaf, std::string& bytes) {
  if (bytes.empty()) return;
  Emit({Topic(leaf), std::exchange(bytes, {}), 0, false, false});
}

void MqttBridge::Event(std::string_view text, std::chrono::system_clock::time_point time) {
  Emit({Topic("events"),
        R"({"time":")" + base::IsoTimeMicros(time) + R"(","event":)" + base::JsonString(text) + "}",
        1, false, true});
}

void MqttBridge::Emit(MqttMessage message) {
  if (state_ == State::kConnected && away_.Empty() && Publish(message)) return;
  const std::uint64_t dropped_before = away_.Dropped();
  away_.Add(std::move(message));
  if (away_.Dropped() > dropped_before && !drop_reported_) {
    drop_reported_ = true;
    hooks_.log(
        "MQTT: the messages held for the broker reached their bound; dropping the oldest"
        " traffic first");
  }
}

bool MqttBridge::Publish(const MqttMessage& message) {
  return mosquitto_publish(client_.get(), nullptr, message.topic.c_str(),
                           static_cast<int>(message.payload.size()), message.payload.data(),
                           message.qos, message.retain) == MOSQ_ERR_SUCCESS;
}

// The retained status: online, with the port and its settings as they are now.
void MqttBridge::PublishStatus() {
  if (state_ != State::kConnected) return;  // a fresh one goes out at the next connect
  const std::string open = hooks_.open_text ? hooks_.open_text() : std::string();
  const auto space = open.find(' ');
  std::string status = R"({"state":"online","name":)" + base::JsonString(settings_.name) +
                       R"(,"open":)" + (open.empty() ? "false" : "true") + R"(,"port":)" +
                       base::JsonString(open.substr(0, space)) + R"(,"settings":)" +
                       base::JsonString(space == std::string::npos ? "" : open.substr(space + 1)) +
                       "}";
  Publish({Topic("status"), std::move(status), ToQos1(true), true, true});
}

// The goodbye: "offline" retained, as the last will would have said, then a clean disconnect.
void MqttBridge::Finish() {
  if (!client_ || state_ != State::kConnected) return;
  const std::string offline =
      R"({"state":"offline","name":)" + base::JsonString(settings_.name) + "}";
  int offline_id = 0;
  mosquitto_publish(client_.get(), &offline_id, Topic("status").c_str(),
                    static_cast<int>(offline.size()), offline.data(), 1, true);
  // What is queued goes out first, up to the broker's receipt for the status; then the goodbye.
  acked_ = 0;
  const auto deadline = Clock::now() + kStopLimit;
  while (acked_ != offline_id && Clock::now() < deadline) {
    if (mosquitto_loop(client_.get(), kLoopWaitMs, 1) != MOSQ_ERR_SUCCESS) return;
  }
  state_ = State::kWaiting;  // the goodbye's own disconnect is no loss to report
  mosquitto_disconnect(client_.get());
  while (mosquitto_socket(client_.get()) >= 0 && Clock::now() < deadline) {
    if (mosquitto_loop(client_.get(), kLoopWaitMs, 1) != MOSQ_ERR_SUCCESS) break;
  }
}

}  // namespace orvelle::app
