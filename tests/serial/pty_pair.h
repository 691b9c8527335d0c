// Test support: a real pseudo-terminal pair. The test plays the device on the master side; the
// port under test opens the slave by its path. Reads wait with a bound so no test can hang.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>

namespace orvelle::serial::test {

// Any single wait of a test for the device; reaching it is a failure, never a pass.
inline constexpr int kWaitLimitMs = 5000;

class PtyPair {
 public:
  PtyPair() {
    int slave = -1;
    char name[256] = {};
    if (::openpty(&master_, &slave, name, nullptr, nullptr) != 0) {
      throw std::runtime_error("openpty failed");
    }
    ::close(slave);  // the port opens its own; keeping none lets the master see the hang-up
    path_ = name;
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~PtyPair() { HangUp(); }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& Path() const { return path_; }
  int Master() const { return master_; }

  void Write(const std::string& bytes) const {
    std::size_t done = 0;
    for (int round = 0; done < bytes.size() && round < 1000; ++round) {
      const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) done += static_cast<std::size_t>(n);
      pollfd set{master_, POLLOUT, 0};
      if (n <= 0) ::poll(&set, 1, kWaitLimitMs);
    }
  }

  // Reads until `count` bytes arrived or the wait limit passed.
  std::string Read(std::size_t count) const {
    std::string text;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitLimitMs);
    while (text.size() < count && std::chrono::steady_clock::now() < until) {
      pollfd set{master_, POLLIN, 0};
      if (::poll(&set, 1, 50) <= 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(master_, buffer, std::min(sizeof buffer, count - text.size()));
      if (n > 0) text.append(buffer, static_cast<std::size_t>(n));
      if (n < 0 && errno != EAGAIN) break;
    }
    return text;
  }

  // Closes the master: the slave side sees a hang-up, like an unplugged USB adapter.
  void HangUp() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

 private:
  int master_ = -1;
  std::string path_;
};

// Waits, serving `serve` between looks, until `done` holds or the limit passes.
template <typename Done, typename Serve>
bool WaitUntil(Done done, Serve serve) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitLimitMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    serve();
  }
  return true;
}

}  // namespace orvelle::serial::test
