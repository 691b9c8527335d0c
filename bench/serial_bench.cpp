// Serial benchmarks, each beside the same measurement done directly on the pseudo-terminal:
//  - round trip: a 16-byte command to the device simulator and its echo back, once by a page
//    served by the real orvelle (page request to reply in the body, a new connection each time)
//    and once by this program on the port itself;
//  - throughput: bytes written by the device side of a pseudo-terminal until they are all in
//    ReceiveBuffer (the server's own port, event thread and main loop, in-process), against a
//    plain reader thread on the same kind of pseudo-terminal; the server writes its traffic record
//    to a file and has one live-console viewer connected meanwhile.
//   orvelle_serial_bench [--rounds N] [--mib N] [--orvelle PATH] [--sim PATH] [--before PATH]
// --before: another orvelle binary (an earlier build) whose page round trip is timed in the same
// alternating blocks, so before and after come from one run.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
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
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/main_loop.h"
#include "app/server_main.h"
#include "base/unique_fd.h"
#include "bench_pty.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using orvelle::base::UniqueFd;
using orvelle::bench::MakeRaw;
using orvelle::bench::OpenPty;
using orvelle::bench::PtyPair;

constexpr auto kStartLimit = std::chrono::seconds(10);
// 15 characters and the CR the simulator ends a line with: 16 bytes out, the echo and CR LF back.
constexpr std::string_view kCommand = "0123456789ABCDE";
constexpr std::size_t kReplySize = kCommand.size() + 2;

struct Options {
  int rounds = 1000;
  int mib = 8;
  std::string orvelle = ORVELLE_BINARY;
  std::string sim = ORVELLE_SERIAL_SIM;
  std::string before;  // empty: no earlier binary to compare with
};

double Micros(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A child process with its stdout in a file; killed and reaped when it goes.
class Child {
 public:
  Child(std::vector<std::string> args, const fs::path& out) : out_(out) {
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + args[0]);
  }
  ~Child() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Waits for a line of the child's output that starts with `prefix`; returns the rest of it.
  std::string WaitForLine(std::string_view prefix) const {
    const auto deadline = Clock::now() + kStartLimit;
    while (Clock::now() < deadline) {
      std::istringstream lines(ReadFile(out_));
      for (std::string line; std::getline(lines, line);) {
        const auto at = line.find(prefix);
        if (at != std::string::npos) return line.substr(at + prefix.size());
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    throw std::runtime_error("no line \"" + std::string(prefix) + "\" from " + out_.string());
  }

 private:
  fs::path out_;
  pid_t pid_ = -1;
};

// Reads from `fd` until `size` bytes arrived; false after a second without progress.
bool ReadExactly(int fd, std::string& into, std::size_t size) {
  char buffer[4096];
  while (into.size() < size) {
    pollfd set{fd, POLLIN, 0};
    if (::poll(&set, 1, 1000) != 1) return false;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    into.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EAGAIN) {
      pollfd set{fd, POLLOUT, 0};
      ::poll(&set, 1, 1000);
      continue;
    }
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// The command's round trip done on the port by this program.
std::vector<double> DirectRoundTrips(const std::string& port, int rounds) {
  UniqueFd device(::open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!device.Valid()) throw std::runtime_error("cannot open " + port);
  MakeRaw(device.Get());
  const std::string command = std::string(kCommand) + '\r';
  std::vector<double> times;
  for (int i = 0; i < rounds; ++i) {
    std::string reply;
    const auto start = Clock::now();
    if (!WriteAll(device.Get(), command) || !ReadExactly(device.Get(), reply, kReplySize)) {
      throw std::runtime_error("the simulator did not answer");
    }
    times.push_back(Micros(Clock::now() - start));
  }
  return times;
}

// One GET on a new connection; the whole response. `took`, when given, is the time from the
// start to the end of the response: the client's own close of the connection comes after the
// reply is in its hands, so it is not counted.
std::string Get(int port, const std::string& target, double* took = nullptr) {
  const auto start = Clock::now();
  UniqueFd socket_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(socket_fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("cannot connect");
  }
  const int one = 1;
  ::setsockopt(socket_fd.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  if (!WriteAll(socket_fd.Get(), request)) throw std::runtime_error("cannot send");
  std::string response;
  char buffer[4096];
  for (;;) {
    pollfd set{socket_fd.Get(), POLLIN, 0};
    if (::poll(&set, 1, 5000) != 1) throw std::runtime_error("no response");
    const ssize_t n = ::read(socket_fd.Get(), buffer, sizeof buffer);
    if (n <= 0) break;
    response.append(buffer, static_cast<std::size_t>(n));
  }
  if (took) *took = Micros(Clock::now() - start);
  return response;
}

constexpr const char* kOpenPage = R"(<%
openport (p, "115200", "8", "none", "1", "none")
echo ("open=" & is_open())
%>)";
// Sends the command, polls until the whole echo is there (2 s at most), removes and shows it.
constexpr const char* kRoundTripPage = R"(<%
send (c & chr(13))
t0 = getticks()
n = len(receive())
while (n<<17)
w = getticks() - t0
if (w>>2000)
break
endif
n = len(receive())
wend
r = receive()
flush ()
echo ("reply=" & r)
%>)";
// The same request without the port: what HTTP and the page cost on their own.
constexpr const char* kEmptyPage = R"(<%
echo ("reply=")
%>)";

struct PageTimes {
  std::vector<double> round_trip;
  std::vector<double> empty_page;
};

// The server's home with the bench's pages.
void WriteHome(const fs::path& home) {
  fs::create_directories(home / "web");
  std::ofstream(home / "config.ini") << "Server port=0\r\n";
  std::ofstream(home / "web" / "open.ovs") << kOpenPage;
  std::ofstream(home / "web" / "rt.ovs") << kRoundTripPage;
  std::ofstream(home / "web" / "empty.ovs") << kEmptyPage;
}

// The server keeps a page prepared only once its file has stayed unchanged for a moment (2 s);
// the pages a user serves were written long before they are asked for, so the bench writes its
// pages first and gives them this long, and times the pages as they are normally served.
constexpr auto kPageSettle = std::chrono::milliseconds(2500);

PageTimes PageRoundTrips(const std::string& binary, const fs::path& work, const fs::path& home,
                         const std::string& port, int rounds) {
  fs::create_directories(work);
  Child server({binary, "--home", home.string(), "--port", "0", "--listen-ip", "127.0.0.1"},
               work / "orvelle.log");
  const std::string listening = server.WaitForLine("Listening for HTTP connections on ");
  const int http_port = std::atoi(listening.substr(listening.rfind(':') + 1).c_str());
  if (Get(http_port, "/open.ovs?p=" + port).find("open=") == std::string::npos) {
    throw std::runtime_error("the page could not open " + port);
  }
  const std::string target = "/rt.ovs?c=" + std::string(kCommand);
  const std::string expected = "reply=" + std::string(kCommand) + "\r\n";
  PageTimes times;
  for (int i = 0; i < rounds; ++i) {
    double took = 0;
    const std::string response = Get(http_port, target, &took);
    times.round_trip.push_back(took);
    if (response.find(expected) == std::string::npos) {
      throw std::runtime_error("unexpected page: " + response);
    }
    Get(http_port, "/empty.ovs", &took);
    times.empty_page.push_back(took);
  }
  return times;
}

// Writes `total` bytes on the device side from its own thread.
std::thread StartDevice(int fd, std::size_t total, std::atomic<bool>& failed) {
  return std::thread([fd, total, &failed] {
    const std::string chunk(4096, 'x');
    for (std::size_t sent = 0; sent < total; sent += chunk.size()) {
      if (!WriteAll(fd, std::string_view(chunk).substr(0, std::min(chunk.size(), total - sent)))) {
        failed = true;
        return;
      }
    }
  });
}

// The plain reader has a thread of its own, started before the device as the port's event
// thread is: where the scheduler puts the reader and the device then happens alike on both
// sides, and a difference in throughput is the port's own.
double DirectThroughput(std::size_t total) {
  PtyPair pty = OpenPty();
  std::atomic<bool> failed{false};
  std::string received;
  received.reserve(total);
  bool complete = false;
  Clock::time_point end;
  std::thread reader([&] {
    complete = ReadExactly(pty.port.Get(), received, total);
    end = Clock::now();
  });
  const auto start = Clock::now();
  std::thread device = StartDevice(pty.device.Get(), total, failed);
  reader.join();
  device.join();
  if (!complete || failed) throw std::runtime_error("direct throughput: bytes missing");
  return static_cast<double>(total) / (1 << 20) /
         std::chrono::duration<double>(end - start).count();
}

// A live-console viewer: one connection to the event stream, read as fast as it comes, on a
// thread of its own; counts what it got and whether the server kept it to the end.
class Viewer {
 public:
  explicit Viewer(int http_port) {
    socket_ = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(http_port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(socket_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        !WriteAll(socket_.Get(), "GET /.orvelle/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")) {
      throw std::runtime_error("viewer: cannot connect");
    }
    // Connected once the stream's first bytes are in: the server serves it from then on.
    std::string head;
    if (!ReadExactly(socket_.Get(), head, 1)) throw std::runtime_error("viewer: no stream");
    received_ = head.size();
    reader_ = std::thread([this] {
      char buffer[65536];
      for (;;) {
        pollfd set{socket_.Get(), POLLIN, 0};
        if (::poll(&set, 1, 100) == 0) {
          if (stop_) return;
          continue;
        }
        const ssize_t n = ::read(socket_.Get(), buffer, sizeof buffer);
        if (n <= 0) {
          dropped_ = !stop_;
          return;
        }
        received_ += static_cast<std::size_t>(n);
      }
    });
  }
  ~Viewer() {
    stop_ = true;
    ::shutdown(socket_.Get(), SHUT_RDWR);
    reader_.join();
  }
  Viewer(const Viewer&) = delete;
  Viewer& operator=(const Viewer&) = delete;
  bool Dropped() const { return dropped_; }

 private:
  UniqueFd socket_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> dropped_{false};
  std::atomic<std::size_t> received_{0};
  std::thread reader_;
};

struct ServerRun {
  double mib_per_s = 0;
  bool viewer_dropped = false;
};

// The server as it runs: its HTTP side started, the traffic record written to a file, and one
// live-console viewer connected while the device sends.
ServerRun ServerThroughput(const fs::path& work, std::size_t total) {
  PtyPair pty = OpenPty();
  const fs::path home = work / "throughput";
  fs::create_directories(home / "web");
  std::ofstream(home / "config.ini") << "Server port=0\r\n";
  orvelle::app::MainLoop loop;
  orvelle::app::ServerOptions server_options;
  server_options.home = home;
  server_options.listen_ip = "127.0.0.1";
  server_options.traffic_log = work / "traffic.log";
  orvelle::app::ServerMain main(loop, server_options);
  main.LoadSettings();
  main.StartOrStop();
  if (!main.Active()) throw std::runtime_error("server throughput: the server did not start");
  main.Port().SetPort(pty.path);
  main.Port().Open();
  ServerRun run;
  {
    Viewer viewer(main.ListeningPort());
    std::atomic<bool> failed{false};
    const auto start = Clock::now();
    std::thread device = StartDevice(pty.device.Get(), total, failed);
    const auto deadline = start + std::chrono::seconds(60);
    // The port's handlers run on its event thread; the loop only has to notice the end. Looking
    // more often than every millisecond takes the buffer's lock from the event thread and a core
    // from the device and the port on a small machine, which is the bench's cost, not the
    // port's; the end is noticed at most a millisecond late, which counts against the port.
    while (main.ReceivedSize() < total && Clock::now() < deadline && !failed) {
      loop.RunOnce(std::chrono::milliseconds(0));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const auto took = Clock::now() - start;
    device.join();
    if (main.ReceivedSize() != total || failed) {
      throw std::runtime_error("server throughput: bytes missing");
    }
    run.mib_per_s =
        static_cast<double>(total) / (1 << 20) / std::chrono::duration<double>(took).count();
    run.viewer_dropped = viewer.Dropped();
  }
  main.Port().Close();
  main.StartOrStop();
  std::error_code ignored;
  fs::remove(server_options.traffic_log, ignored);
  return run;
}

std::optional<Options> ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const std::string value = argv[i + 1];
    if (name == "--rounds") {
      options.rounds = std::max(1, std::atoi(value.c_str()));
    } else if (name == "--mib") {
      // ReceiveBuffer keeps at most 16 MiB; more would be dropped, not measured.
      options.mib = std::clamp(std::atoi(value.c_str()), 1, 15);
    } else if (name == "--orvelle") {
      options.orvelle = value;
    } else if (name == "--before") {
      options.before = value;
    } else if (name == "--sim") {
      options.sim = value;
    } else {
      return std::nullopt;
    }
  }
  if (argc % 2 == 0) return std::nullopt;
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Options> options = ParseOptions(argc, argv);
  if (!options) {
    std::fprintf(stderr,
                 "usage: orvelle_serial_bench [--rounds N] [--mib N] [--orvelle PATH] [--sim PATH] "
                 "[--before PATH]\n");
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  const fs::path work =
      fs::temp_directory_path() / ("orvelle-serial-bench-" + std::to_string(::getpid()));
  fs::create_directories(work);
  int status = 0;
  try {
    {
      Child simulator({options->sim}, work / "sim.out");
      const std::string port = simulator.WaitForLine("/");
      const std::string path = "/" + port;
      const fs::path home = work / "home";
      WriteHome(home);
      const auto written = Clock::now();
      // Warm both paths up, then alternate blocks so a busy moment hits both alike.
      DirectRoundTrips(path, 50);
      std::this_thread::sleep_until(written + kPageSettle);
      std::vector<double> direct;
      PageTimes page;
      PageTimes before;
      constexpr int kBlocks = 5;
      const auto add = [](PageTimes& to, const PageTimes& from) {
        to.round_trip.insert(to.round_trip.end(), from.round_trip.begin(), from.round_trip.end());
        to.empty_page.insert(to.empty_page.end(), from.empty_page.begin(), from.empty_page.end());
      };
      for (int block = 0; block < kBlocks; ++block) {
        const int rounds = std::max(1, options->rounds / kBlocks);
        const auto d = DirectRoundTrips(path, rounds);
        direct.insert(direct.end(), d.begin(), d.end());
        // The page opens the port itself, so this program's handle must be gone by then.
        const std::string name = std::to_string(block);
        add(page, PageRoundTrips(options->orvelle, work / ("b" + name), home, path, rounds));
        if (!options->before.empty()) {
          add(before, PageRoundTrips(options->before, work / ("p" + name), home, path, rounds));
        }
      }
      const double direct_median = Median(direct);
      std::printf("round trip of a 16-byte command (median of %zu)\n", direct.size());
      std::printf("  directly on the pseudo-terminal   %8.1f us\n", direct_median);
      const auto show = [direct_median](const char* label, const PageTimes& times) {
        const double page_median = Median(times.round_trip);
        std::printf("%s\n", label);
        std::printf("  through a page served by orvelle  %8.1f us\n", page_median);
        std::printf("  the same request without the port %7.1f us\n", Median(times.empty_page));
        std::printf("  orvelle adds                      %8.1f us (target: at most 100)\n",
                    page_median - direct_median);
      };
      if (!options->before.empty()) show(" the --before binary:", before);
      show(options->before.empty() ? " orvelle:" : " this build:", page);
    }
    const std::size_t total = static_cast<std::size_t>(options->mib) << 20;
    // Side by side in alternating rounds; each round's ratio compares two runs a moment apart,
    // so the host's slower and faster spells cancel out of the ratios' median.
    constexpr int kThroughputRounds = 15;
    std::vector<double> direct;
    std::vector<double> server;
    std::vector<double> ratios;
    int viewers_dropped = 0;
    for (int round = 0; round < kThroughputRounds; ++round) {
      direct.push_back(DirectThroughput(total));
      const ServerRun run = ServerThroughput(work, total);
      server.push_back(run.mib_per_s);
      viewers_dropped += run.viewer_dropped ? 1 : 0;
      ratios.push_back(server.back() / direct.back());
    }
    std::printf("throughput device to receive buffer, %d MiB (medians of %d alternating rounds)\n",
                options->mib, kThroughputRounds);
    std::printf("  plain reader on the pseudo-terminal %8.1f MiB/s\n", Median(direct));
    std::printf("  orvelle's port into ReceiveBuffer  %8.1f MiB/s\n", Median(server));
    std::printf("  ratio (median of the rounds' ratios) %6.2f (target: at least 0.95)\n",
                Median(ratios));
    std::printf("  ratio of the two medians above       %6.2f\n", Median(server) / Median(direct));
    std::printf(
        "  (traffic record to a file and one live-console viewer on; the viewer was dropped"
        " in %d of %d rounds)\n",
        viewers_dropped, kThroughputRounds);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "orvelle_serial_bench: %s\n", error.what());
    status = 1;
  }
  std::error_code ignored;
  fs::remove_all(work, ignored);
  return status;
}
