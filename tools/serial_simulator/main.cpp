// orvelle-serial-sim: opens a pseudo-terminal pair, prints the port side's path on stdout and
// answers on it like a simple instrument (see instrument.h). Options: --delay MS (reply delay,
// default 50), --stream-interval MS (default 10), --stream (start streaming at once),
// --hangup-after MS (drop the line once, then bring up a new one and print its path).
// SIGINT or SIGTERM end it.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

#include "instrument.h"
#include "serial/device_fd.h"

namespace orvelle::tools {
namespace {

using Clock = std::chrono::steady_clock;
using serial::DeviceFd;

// A line longer than this without an end is answered as it stands.
constexpr std::size_t kMaxLine = 4096;

struct Options {
  std::chrono::milliseconds delay{50};
  std::chrono::milliseconds stream_interval{10};
  bool stream = false;
  std::chrono::milliseconds hangup_after{0};
};

struct Pending {
  Clock::time_point due;
  std::string text;
};

class Simulator {
 public:
  explicit Simulator(Options options) : options_(options), streaming_(options.stream) {}

  int Run();

 private:
  bool BringUp();
  void HangUp();
  void OnBytes(const char* data, std::size_t size);
  void OnLine(const std::string& line);
  void Send(const std::string& text);
  void SendDue();
  int Timeout() const;

  Options options_;
  DeviceFd master_;
  DeviceFd slave_;  // held so the master never sees "nobody connected" between openers
  DeviceFd signals_;
  std::string line_;
  std::deque<Pending> pending_;
  bool streaming_;
  std::uint64_t stream_count_ = 0;
  Clock::time_point next_stream_ = Clock::now();
  Clock::time_point hangup_at_ = Clock::time_point::max();
  Clock::time_point bring_up_at_ = Clock::time_point::max();
};

bool Simulator::BringUp() {
  int master = -1;
  int slave = -1;
  char name[256] = {};
  if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) return false;
  master_.Reset(master);
  slave_.Reset(slave);
  ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
  std::printf("%s\n", name);
  std::fflush(stdout);
  return true;
}

void Simulator::HangUp() {
  master_.Reset();
  slave_.Reset();
  line_.clear();
  pending_.clear();
  bring_up_at_ = Clock::now() + options_.delay;
}

void Simulator::Send(const std::string& text) {
  std::size_t done = 0;
  for (int round = 0; done < text.size() && round < 100 && master_.Valid(); ++round) {
    const ssize_t n = ::write(master_.Get(), text.data() + done, text.size() - done);
    if (n > 0) done += static_cast<std::size_t>(n);
    if (n < 0 && errno != EAGAIN) return;
    if (n <= 0) {
      pollfd set{master_.Get(), POLLOUT, 0};
      ::poll(&set, 1, 100);
    }
  }
}

void Simulator::OnLine(const std::string& line) {
  const Reply reply = Answer(line);
  switch (reply.kind) {
    case Reply::Kind::kEcho:
      Send(reply.text);
      break;
    case Reply::Kind::kDelayed:
      pending_.push_back({Clock::now() + options_.delay, reply.text});
      break;
    case Reply::Kind::kStreamOn:
      streaming_ = true;
      Send(reply.text);
      break;
    case Reply::Kind::kStreamOff:
      streaming_ = false;
      Send(reply.text);
      break;
    case Reply::Kind::kHangUp:
      HangUp();
      break;
  }
}

void Simulator::OnBytes(const char* data, std::size_t size) {
  for (std::size_t i = 0; i < size && master_.Valid(); ++i) {
    if (data[i] == '\r' || data[i] == '\n') {
      if (!line_.empty()) OnLine(line_);
      line_.clear();
    } else {
      line_ += data[i];
      if (line_.size() >= kMaxLine) OnLine(std::exchange(line_, {}));
    }
  }
}

void Simulator::SendDue() {
  const auto now = Clock::now();
  while (!pending_.empty() && pending_.front().due <= now) {
    Send(pending_.front().text);
    pending_.pop_front();
  }
  if (streaming_ && master_.Valid() && next_stream_ <= now) {
    Send("T=" + std::to_string(stream_count_++) + "\r\n");
    next_stream_ = now + options_.stream_interval;
  }
  if (now >= hangup_at_) {
    hangup_at_ = Clock::time_point::max();
    HangUp();
  }
  if (now >= bring_up_at_) {
    bring_up_at_ = Clock::time_point::max();
    BringUp();
  }
}

int Simulator::Timeout() const {
  auto until = Clock::now() + std::chrono::seconds(1);
  if (!pending_.empty()) until = std::min(until, pending_.front().due);
  if (streaming_) until = std::min(until, next_stream_);
  until = std::min({until, hangup_at_, bring_up_at_});
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
  return static_cast<int>(std::max<std::int64_t>(left.count(), 0));
}

int Simulator::Run() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  if (::sigprocmask(SIG_BLOCK, &set, nullptr) != 0) return 1;
  signals_.Reset(::signalfd(-1, &set, SFD_CLOEXEC));
  if (!signals_.Valid() || !BringUp()) return 1;
  if (options_.hangup_after.count() > 0) hangup_at_ = Clock::now() + options_.hangup_after;
  for (;;) {
    pollfd fds[2] = {{signals_.Get(), POLLIN, 0}, {master_.Get(), POLLIN, 0}};
    if (::poll(fds, master_.Valid() ? 2 : 1, Timeout()) < 0 && errno != EINTR) return 1;
    if (fds[0].revents != 0) return 0;
    if (master_.Valid() && (fds[1].revents & POLLIN) != 0) {
      char buffer[4096];
      const ssize_t n = ::read(master_.Get(), buffer, sizeof buffer);
      if (n > 0) OnBytes(buffer, static_cast<std::size_t>(n));
    }
    SendDue();
  }
}

bool ParseMs(const char* text, std::chrono::milliseconds& out) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 0) return false;
  out = std::chrono::milliseconds(value);
  return true;
}

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--stream") {
      options.stream = true;
    } else if (arg == "--delay" && has_value) {
      if (!ParseMs(argv[++i], options.delay)) return false;
    } else if (arg == "--stream-interval" && has_value) {
      if (!ParseMs(argv[++i], options.stream_interval)) return false;
    } else if (arg == "--hangup-after" && has_value) {
      if (!ParseMs(argv[++i], options.hangup_after)) return false;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace
}  // namespace orvelle::tools

int main(int argc, char** argv) {
  orvelle::tools::Options options;
  if (!orvelle::tools::ParseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: orvelle-serial-sim [--delay MS] [--stream] [--stream-interval MS] "
                 "[--hangup-after MS]\n");
    return 2;
  }
  return orvelle::tools::Simulator(options).Run();
}
