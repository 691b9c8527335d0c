// The broker bridge under a device streaming text lines at full speed: the port's throughput
// into ReceiveBuffer with the bridge on, beside the same port without it and a plain reader on
// the pseudo-terminal; and the messages and bytes per second a subscriber gets from the bridge.
// Needs /usr/sbin/mosquitto (started here on a free port of 127.0.0.1).
//   orvelle_mqtt_bench [--mib N] [--rounds N]
#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/main_loop.h"
#include "app/server_main.h"
#include "base/unique_fd.h"
#include "bench_pty.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using orvelle::base::UniqueFd;
using orvelle::bench::OpenPty;
using orvelle::bench::PtyPair;

// One reading a line, as a streaming instrument sends it.
constexpr std::string_view kLine = "T=01234567 V=3.3001\r\n";
// A run that takes longer than this has lost bytes, not become slow.
constexpr auto kRunLimit = std::chrono::seconds(60);
// The broker runs on this machine only for the bench; in a lab it has a machine of its own, so
// here it gets the processor after the port's threads (as the bridge does).
constexpr int kBrokerNiceness = 10;
// After the device stops, the subscriber's count still grows this long.
constexpr auto kDrain = std::chrono::seconds(1);

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

std::thread StartDevice(int fd, std::size_t total, std::atomic<bool>& failed) {
  return std::thread([fd, total, &failed] {
    std::string chunk;
    while (chunk.size() + kLine.size() <= 4096) chunk += kLine;
    for (std::size_t sent = 0; sent < total;) {
      std::string_view piece = std::string_view(chunk).substr(0, total - sent);
      while (!piece.empty()) {
        const ssize_t n = ::write(fd, piece.data(), piece.size());
        if (n <= 0) {
          failed = true;
          return;
        }
        piece.remove_prefix(static_cast<std::size_t>(n));
        sent += static_cast<std::size_t>(n);
      }
    }
  });
}

double MiBPerSecond(std::size_t total, Clock::duration took) {
  return static_cast<double>(total) / (1 << 20) / std::chrono::duration<double>(took).count();
}

double PlainReader(std::size_t total) {
  PtyPair pty = OpenPty();
  std::atomic<bool> failed{false};
  std::size_t got = 0;
  Clock::time_point end;
  std::thread reader([&] {
    char buffer[4096];
    while (got < total) {
      pollfd set{pty.port.Get(), POLLIN, 0};
      if (::poll(&set, 1, 1000) != 1) return;
      const ssize_t n = ::read(pty.port.Get(), buffer, sizeof buffer);
      if (n <= 0) return;
      got += static_cast<std::size_t>(n);
    }
    end = Clock::now();
  });
  const auto start = Clock::now();
  std::thread device = StartDevice(pty.device.Get(), total, failed);
  reader.join();
  device.join();
  if (got != total || failed) throw std::runtime_error("plain reader: bytes missing");
  return MiBPerSecond(total, end - start);
}

// The port of a whole server (with or without the bridge) into its ReceiveBuffer.
double ServerPort(const fs::path& home, std::size_t total,
                  std::optional<orvelle::app::MqttSettings> mqtt) {
  PtyPair pty = OpenPty();
  fs::create_directories(home / "web");
  std::ofstream(home / "config.ini") << "Server port=0\r\n";
  orvelle::app::MainLoop loop;
  orvelle::app::ServerOptions options;
  options.home = home;
  options.mqtt = std::move(mqtt);
  orvelle::app::ServerMain main(loop, options);
  main.LoadSettings();
  main.Port().SetPort(pty.path);
  main.Port().Open();
  std::atomic<bool> failed{false};
  const auto start = Clock::now();
  std::thread device = StartDevice(pty.device.Get(), total, failed);
  while (main.ReceivedSize() < total && Clock::now() < start + kRunLimit && !failed) {
    loop.RunOnce(std::chrono::milliseconds(0));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const auto took = Clock::now() - start;
  device.join();
  const bool complete = main.ReceivedSize() == total;
  std::this_thread::sleep_for(kDrain);  // the bridge's last messages reach the subscriber
  main.Port().Close();
  if (!complete || failed) throw std::runtime_error("server port: bytes missing");
  return MiBPerSecond(total, took);
}

int FreePort() {
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

// Counts what arrives under orvelle/bench/ (its own thread, inside the client library).
class Counter {
 public:
  explicit Counter(int port) {
    client_ = mosquitto_new(nullptr, true, this);
    mosquitto_connect_callback_set(client_, [](mosquitto* m, void*, int) {
      mosquitto_subscribe(m, nullptr, "orvelle/bench/#", 0);
    });
    mosquitto_message_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message* m) {
      auto* me = static_cast<Counter*>(self);
      me->messages_.fetch_add(1);
      me->bytes_.fetch_add(static_cast<std::uint64_t>(m->payloadlen));
    });
    mosquitto_connect(client_, "127.0.0.1", port, 60);
    mosquitto_loop_start(client_);
  }
  ~Counter() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
  }
  Counter(const Counter&) = delete;
  Counter& operator=(const Counter&) = delete;
  std::uint64_t Messages() const { return messages_.load(); }
  std::uint64_t Bytes() const { return bytes_.load(); }

 private:
  mosquitto* client_ = nullptr;
  std::atomic<std::uint64_t> messages_{0};
  std::atomic<std::uint64_t> bytes_{0};
};

}  // namespace

int main(int argc, char** argv) {
  int mib = 4;
  int rounds = 5;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--mib") mib = std::clamp(std::atoi(argv[i + 1]), 1, 15);  // ReceiveBuffer: 16 MiB
    if (name == "--rounds") rounds = std::clamp(std::atoi(argv[i + 1]), 1, 50);
  }
  ::signal(SIGPIPE, SIG_IGN);
  mosquitto_lib_init();
  const fs::path work =
      fs::temp_directory_path() / ("orvelle-mqtt-bench-" + std::to_string(::getpid()));
  fs::create_directories(work);
  const int port = FreePort();
  std::ofstream(work / "broker.conf")
      << "listener " << port << " 127.0.0.1\nallow_anonymous true\npersistence false\n";
  const pid_t broker = ::fork();
  if (broker == 0) {
    ::nice(kBrokerNiceness);
    ::execl("/usr/sbin/mosquitto", "mosquitto", "-c", (work / "broker.conf").c_str(), nullptr);
    ::_exit(127);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  int status = 0;
  try {
    orvelle::app::MqttSettings settings;
    settings.host = "127.0.0.1";
    settings.port = port;
    settings.name = "bench";
    const std::size_t total = static_cast<std::size_t>(mib) << 20;
    std::vector<double> plain, without, with, messages, bytes;
    for (int round = 0; round < rounds; ++round) {
      plain.push_back(PlainReader(total));
      without.push_back(ServerPort(work / "without", total, std::nullopt));
      // The subscriber, too, stands in for another machine: its thread inherits this niceness.
      std::unique_ptr<Counter> subscriber;
      std::thread([&] {
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kBrokerNiceness);
        subscriber = std::make_unique<Counter>(port);
      }).join();
      const Counter& counter = *subscriber;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));  // subscribed
      const auto start = Clock::now();
      with.push_back(ServerPort(work / "with", total, settings));
      const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
      messages.push_back(static_cast<double>(counter.Messages()) / seconds);
      bytes.push_back(static_cast<double>(counter.Bytes()) / seconds);
    }
    std::printf("device streaming %zu-byte lines, %d MiB a run, medians of %d rounds\n",
                kLine.size(), mib, rounds);
    std::printf("  plain reader on the pseudo-terminal   %8.1f MiB/s\n", Median(plain));
    std::printf("  orvelle's port, no bridge            %8.1f MiB/s\n", Median(without));
    std::printf("  orvelle's port, bridge on            %8.1f MiB/s\n", Median(with));
    std::printf("  bridge on / plain reader             %8.2f (target: at least 0.9)\n",
                Median(with) / Median(plain));
    std::printf("  bridge on / no bridge                %8.2f\n", Median(with) / Median(without));
    std::printf("  bridge to subscriber                 %8.0f messages/s, %.1f MiB/s payload\n",
                Median(messages), Median(bytes) / (1 << 20));
    std::printf(
        "    (the run, from start to the last message, over the wall time with 1 s drain)\n");
  } catch (const std::exception& error) {
    std::fprintf(stderr, "orvelle_mqtt_bench: %s\n", error.what());
    status = 1;
  }
  ::kill(broker, SIGTERM);
  ::waitpid(broker, nullptr, 0);
  std::error_code ignored;
  fs::remove_all(work, ignored);
  mosquitto_lib_cleanup();
  return status;
}
