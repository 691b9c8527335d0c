// Test support for the bridge: a real broker (the Debian package's mosquitto) as a child process
// on a free port of 127.0.0.1, and a subscriber built on the client library that keeps every
// message it gets and subscribes again after a reconnect.
#pragma once

#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <functional>
#include <mutex>

#include "e2e/server_process.h"

namespace orvelle::mqtt_test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A port no one listens on now (the kernel's pick for a socket bound and closed).
inline int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t size = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(fd);
  return ntohs(address.sin_port);
}

// Waits for `done` in short steps, at most `limit`.
inline bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

class Broker {
 public:
  // Another test may take the free port before the broker binds it: then a new one is tried.
  // With a certificate and key, a second listener speaks TLS (mqtts) on TlsPort().
  explicit Broker(const fs::path& dir, const fs::path& cert = {}, const fs::path& key = {})
      : dir_(dir) {
    constexpr int kPortTries = 3;
    for (int attempt = 0; attempt < kPortTries; ++attempt) {
      port_ = FreePort();
      std::string conf =
          "per_listener_settings false\nallow_anonymous true\npersistence false\n"
          "listener " +
          std::to_string(port_) + " 127.0.0.1\n";
      if (!cert.empty()) {
        tls_port_ = FreePort();
        conf += "listener " + std::to_string(tls_port_) + " 127.0.0.1\ncertfile " + cert.string() +
                "\nkeyfile " + key.string() + "\n";
        // As root it would become the user "mosquitto", who may not read the test's key.
        if (::geteuid() == 0) conf += "user root\n";
      }
      e2e::WriteText(dir_ / "broker.conf", conf);
      if (Start()) return;
      Stop();
    }
  }
  ~Broker() { Stop(); }
  Broker(const Broker&) = delete;
  Broker& operator=(const Broker&) = delete;

  int Port() const { return port_; }
  std::string Url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
  std::string TlsUrl() const { return "mqtts://127.0.0.1:" + std::to_string(tls_port_); }

  // Starts it; true once it takes connections.
  bool Start() {
    pid_ = e2e::Spawn({"/usr/sbin/mosquitto", "-c", (dir_ / "broker.conf").string()},
                      dir_ / "broker.out", dir_ / "broker.err");
    bool exited = false;  // reaped: its number is no longer ours to signal
    WaitFor(
        [&] {
          exited = e2e::WaitExit(pid_, std::chrono::milliseconds(0)).has_value();
          return exited || Reachable();
        },
        e2e::kProcessLimit);
    if (exited) pid_ = -1;
    return !exited && Reachable();
  }
  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    if (!e2e::WaitExit(pid_, e2e::kProcessLimit)) {
      ::kill(pid_, SIGKILL);
      e2e::WaitExit(pid_, e2e::kProcessLimit);
    }
    pid_ = -1;
  }

 private:
  bool Reachable() const {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
  }

  fs::path dir_;
  int port_ = 0;
  int tls_port_ = 0;
  pid_t pid_ = -1;
};

struct Received {
  std::string topic;
  std::string payload;
  bool retained = false;
};

class Subscriber {
 public:
  Subscriber(int port, std::string filter) : filter_(std::move(filter)) {
    mosquitto_lib_init();
    client_ = mosquitto_new(nullptr, true, this);
    mosquitto_connect_callback_set(client_, [](mosquitto* m, void* self, int code) {
      auto* me = static_cast<Subscriber*>(self);
      if (code == 0) mosquitto_subscribe(m, nullptr, me->filter_.c_str(), 1);
    });
    mosquitto_subscribe_callback_set(client_, [](mosquitto*, void* self, int, int, const int*) {
      auto* me = static_cast<Subscriber*>(self);
      std::lock_guard hold(me->lock_);
      ++me->subscriptions_;
    });
    mosquitto_message_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message* m) {
      auto* me = static_cast<Subscriber*>(self);
      std::lock_guard hold(me->lock_);
      me->messages_.push_back({m->topic,
                               std::string(static_cast<const char*>(m->payload),
                                           static_cast<std::size_t>(m->payloadlen)),
                               m->retain});
    });
    mosquitto_reconnect_delay_set(client_, 1, 1, false);
    mosquitto_connect_async(client_, "127.0.0.1", port, 60);
    mosquitto_loop_start(client_);
  }
  ~Subscriber() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
    mosquitto_lib_cleanup();
  }
  Subscriber(const Subscriber&) = delete;
  Subscriber& operator=(const Subscriber&) = delete;

  // True once the broker confirmed `count` subscriptions (one per connect).
  bool WaitSubscribed(int count = 1) {
    return WaitFor(
        [&] {
          std::lock_guard hold(lock_);
          return subscriptions_ >= count;
        },
        e2e::kProcessLimit);
  }
  std::vector<Received> Messages() const {
    std::lock_guard hold(lock_);
    return messages_;
  }
  std::vector<std::string> Payloads(const std::string& topic) const {
    std::vector<std::string> out;
    for (const Received& m : Messages()) {
      if (m.topic == topic) out.push_back(m.payload);
    }
    return out;
  }
  bool WaitForPayload(const std::string& topic, const std::string& part) const {
    return WaitFor(
        [&] {
          for (const std::string& p : Payloads(topic)) {
            if (p.find(part) != std::string::npos) return true;
          }
          return false;
        },
        e2e::kProcessLimit);
  }
  void Publish(const std::string& topic, const std::string& payload) {
    mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                      payload.data(), 1, false);
  }

 private:
  const std::string filter_;
  mosquitto* client_ = nullptr;
  mutable std::mutex lock_;
  int subscriptions_ = 0;
  std::vector<Received> messages_;
};

}  // namespace orvelle::mqtt_test
