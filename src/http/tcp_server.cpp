// Activation, the listener loop and the life of a connection thread.
#include "http/tcp_server.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "http/exceptions.h"
#include "http/socket_errors.h"

namespace orvelle::http {
namespace {

// The wait set of the listener; more bindings than this cannot be watched at once.
constexpr std::size_t kMaxBindings = 64;
// Pending connections the kernel may queue; a burst of clients must not see refusals.
constexpr int kListenBacklog = 511;
// Connections taken per readiness of one listening socket before the others get a turn.
constexpr int kAcceptBurst = 64;
// After a failed accept (out of fds), wait this long before trying again instead of spinning.
constexpr std::chrono::milliseconds kAcceptErrorPause{100};

// Sends on a closed socket must fail with EPIPE, not kill the process; every thread of the
// server blocks the signal (new threads inherit the mask).
void BlockSigpipe() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace

TTCPServer::TTCPServer(TServerLimits limits)
    : limits_(limits),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      threads_([this] { Wake(); }) {
  if (!wake_.Valid()) ThrowSocketError(errno);
}

TTCPServer::~TTCPServer() {
  Shutdown();
}

void TTCPServer::Shutdown() {
  Active(false);
  threads_.AbortAll();
  threads_.WaitIdle(std::chrono::hours(24 * 365));
}

void TTCPServer::Active(bool value) {
  if (value == active_) return;
  if (value) {
    Activate();
  } else {
    Deactivate();
  }
}

void TTCPServer::Activate() {
  if (bindings_.Count() == 0) bindings_.Add();
  if (bindings_.Count() > kMaxBindings) throw EStackSetSizeExceeded();
  try {
    for (TSocketHandle& binding : bindings_) {
      binding.Bind();
      binding.Listen(kListenBacklog);
    }
  } catch (...) {
    for (TSocketHandle& binding : bindings_) binding.CloseSocket();
    throw;
  }
  listener_ = std::jthread([this](std::stop_token stop) { Listen(stop); });
  active_ = true;
}

void TTCPServer::Deactivate() {
  listener_.request_stop();
  Wake();
  if (listener_.joinable()) listener_.join();
  for (TSocketHandle& binding : bindings_) binding.CloseSocket();
  threads_.AbortAll();
  threads_.WaitIdle(TerminateWaitTime);
  active_ = false;
}

void TTCPServer::Wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = ::write(wake_.Get(), &one, sizeof one);
}

void TTCPServer::Listen(std::stop_token stop) {
  BlockSigpipe();
  std::vector<pollfd> set;
  for (TSocketHandle& binding : bindings_) set.push_back({binding.Handle(), POLLIN, 0});
  set.push_back({wake_.Get(), POLLIN, 0});
  while (!stop.stop_requested()) {
    for (pollfd& p : set) p.revents = 0;
    const int ready = ::poll(set.data(), set.size(), static_cast<int>(AcceptWait.count()));
    if (ready < 0 && errno != EINTR) PauseAfterError(ESocketError(SocketErrorNumber(errno)).what());
    if (set.back().revents != 0) {
      std::uint64_t count;
      [[maybe_unused]] const auto got = ::read(wake_.Get(), &count, sizeof count);
    }
    threads_.Reap();
    if (ready <= 0 || stop.stop_requested()) continue;
    for (std::size_t i = 0; i + 1 < set.size(); ++i) {
      if (set[i].revents == 0) continue;
      try {
        AcceptFrom(bindings_[i]);
      } catch (const std::exception& e) {
        PauseAfterError(e.what());  // the listener outlives any one failed connection
      }
    }
  }
}

void TTCPServer::AcceptFrom(TSocketHandle& binding) {
  for (int i = 0; i < kAcceptBurst; ++i) {
    TSocketHandle socket;
    try {
      socket = binding.Accept();
    } catch (const std::exception& e) {
      return PauseAfterError(e.what());
    }
    if (!socket.HandleAllocated()) return;
    if (threads_.Count() >= limits_.MaxConnections) {
      RejectConnection(socket);
      continue;
    }
    auto connection = std::make_unique<TTCPConnection>(std::move(socket), limits_.Timeouts);
    try {
      threads_.Start(std::move(connection), [this](TPeerThread& peer) { RunPeer(peer); });
    } catch (const std::exception& e) {
      return PauseAfterError(e.what());
    }
  }
}

void TTCPServer::PauseAfterError(const std::string& message) {
  if (OnListenerError) OnListenerError(message);
  pollfd p{wake_.Get(), POLLIN, 0};
  ::poll(&p, 1, static_cast<int>(kAcceptErrorPause.count()));
}

void TTCPServer::RunPeer(TPeerThread& thread) {
  TTCPConnection& connection = thread.Connection();
  try {
    if (OnConnect) OnConnect(thread);
    while (!thread.StopRequested() && connection.Connected()) {
      try {
        DoExecute(thread);
      } catch (const ESocketError& e) {
        if (e.LastError() != kErrorConnectionAborted && e.LastError() != kErrorConnectionReset)
          throw;
        connection.Disconnect();
      } catch (const EClosedSocket&) {
      }
    }
  } catch (const std::exception& e) {
    thread.terminating_message_ = e.what();
  } catch (...) {
    thread.terminating_message_ = "Unknown exception.";
  }
  connection.Disconnect();
  try {
    if (OnDisconnect) OnDisconnect(thread);
  } catch (...) {
    // A failing disconnect handler must not take the thread's clean-up with it.
  }
}

void TTCPServer::DoExecute(TPeerThread& thread) {
  if (!OnExecute) throw ENoExecuteSpecified();
  OnExecute(thread);
}

void TTCPServer::RejectConnection(TSocketHandle& socket) {
  socket.CloseSocket();
}

}  // namespace orvelle::http
