// The simulator's loop: reads lines from the pseudo-terminal's master side, answers them through
// the instrument's command table, streams, drops and brings up the line.
#include "simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "instrument.h"

namespace orvelle::tools {
namespace {

// A line longer than this without an end is answered as it stands.
constexpr std::size_t kMaxLine = 4096;

}  // namespace

Simulator::Simulator(SimulatorOptions options, PathSink on_path)
    : options_(options), on_path_(std::move(on_path)), streaming_(options.stream) {}

bool Simulator::BringUp() {
  int master = -1;
  int slave = -1;
  char name[256] = {};
  if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) return false;
  master_.Reset(master);
  slave_.Reset(slave);
  dropped_slave_.Reset();
  ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
  ::fcntl(master, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave, F_SETFD, FD_CLOEXEC);
  if (on_path_) on_path_(name);
  return true;
}

void Simulator::HangUp() {
  master_.Reset();  // every opener of the line sees the hang-up
  dropped_slave_ = std::move(slave_);
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

int Simulator::Run(int stop_fd) {
  if (options_.hangup_after.count() > 0) hangup_at_ = Clock::now() + options_.hangup_after;
  for (;;) {
    pollfd fds[2] = {{stop_fd, POLLIN, 0}, {master_.Get(), POLLIN, 0}};
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

}  // namespace orvelle::tools
