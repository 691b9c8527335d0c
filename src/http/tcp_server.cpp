// Activation, the wait for and acceptance of connections by idle workers, and the life of a
// connection on the worker that accepted it.
#include "http/tcp_server.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>

#include "http/exceptions.h"
#include "http/socket_errors.h"

namespace orvelle::http {
namespace {

// More bindings than this are refused, as before: each one is a listening socket to watch.
constexpr std::size_t kMaxBindings = 64;
// Pending connections the kernel may queue; a burst of clients must not see refusals.
constexpr int kListenBacklog = 511;
// After a failed accept (out of fds), wait this long before trying again instead of spinning.
constexpr std::chrono::milliseconds kAcceptErrorPause{100};
// The epoll key of wake_; bindings use their index.
constexpr std::uint64_t kWakeKey = std::numeric_limits<std::uint64_t>::max();
// A binding is watched for one connection at a time: exactly one waiting worker is woken, and
// it watches again right after its accept, so no worker spins on a connection another takes.
constexpr std::uint32_t kBindingEvents = EPOLLIN | EPOLLONESHOT;

void Watch(int epoll, int op, int fd, std::uint32_t events, std::uint64_t key) {
  epoll_event event{};
  event.events = events;
  event.data.u64 = key;
  if (::epoll_ctl(epoll, op, fd, &event) < 0) ThrowSocketError(errno);
}

}  // namespace

TTCPServer::TTCPServer(TServerLimits limits)
    : limits_(limits), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), threads_(nullptr) {
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
      binding.Listen(kListenBacklog, DeferAccept);
    }
    // Left readable by the last deactivation.
    std::uint64_t count;
    [[maybe_unused]] const auto got = ::read(wake_.Get(), &count, sizeof count);
    epoll_ = base::UniqueFd(::epoll_create1(EPOLL_CLOEXEC));
    if (!epoll_.Valid()) ThrowSocketError(errno);
    Watch(epoll_.Get(), EPOLL_CTL_ADD, wake_.Get(), EPOLLIN, kWakeKey);
    for (std::size_t i = 0; i < bindings_.Count(); ++i) {
      Watch(epoll_.Get(), EPOLL_CTL_ADD, bindings_[i].Handle(), kBindingEvents, i);
    }
  } catch (...) {
    epoll_.Reset();
    for (TSocketHandle& binding : bindings_) binding.CloseSocket();
    throw;
  }
  TThreadMgrDefault::TAcceptor acceptor;
  acceptor.accept = [this](std::chrono::milliseconds wait,
                           TThreadMgrDefault::TAcceptor::TQueued queued) {
    return AcceptNext(wait, queued);
  };
  acceptor.reject = [this](TTCPConnection& connection) { RejectConnection(connection.Binding()); };
  acceptor.error = [this](const std::string& message) {
    if (OnListenerError) OnListenerError(message);
  };
  acceptor.max_live = limits_.MaxConnections;
  acceptor.evict_unfinished = EvictUnfinished;
  acceptor.body = [this](TPeerThread& peer) { RunPeer(peer); };
  threads_.StartAccepting(std::move(acceptor));
  active_ = true;
}

void TTCPServer::Deactivate() {
  threads_.StopAccepting([this] { Wake(); });
  epoll_.Reset();
  for (TSocketHandle& binding : bindings_) binding.CloseSocket();
  threads_.AbortAll();
  threads_.WaitIdle(TerminateWaitTime);
  active_ = false;
}

void TTCPServer::Wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = ::write(wake_.Get(), &one, sizeof one);
}

// Runs on an idle worker; the worker serves what it returns. Under load (other connections
// are being served) connections are usually queued already, so the worker takes one straight
// from the listener and neither sleeps nor rearms the watch. A worker fresh from a connection
// does so too while that keeps finding one (direct_rule_).
std::unique_ptr<TTCPConnection> TTCPServer::AcceptNext(
    std::chrono::milliseconds wait, TThreadMgrDefault::TAcceptor::TQueued queued) {
  using TQueued = TThreadMgrDefault::TAcceptor::TQueued;
  if (queued == TQueued::kOthersBusy ||
      (queued == TQueued::kJustServed && direct_rule_.ShouldTry())) {
    bool failed = false;
    for (TSocketHandle& binding : bindings_) {
      TSocketHandle socket;
      try {
        socket = binding.Accept();
      } catch (const std::exception&) {
        failed = true;
        break;  // reported by the watched path below, which also pauses
      }
      if (socket.HandleAllocated()) {
        direct_rule_.Note(true);
        return std::make_unique<TTCPConnection>(std::move(socket), limits_.Timeouts);
      }
    }
    if (!failed) direct_rule_.Note(false);
  }
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return nullptr;
    epoll_event event{};
    const int ready = ::epoll_wait(epoll_.Get(), &event, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) {
      PauseAfterError(ESocketError(SocketErrorNumber(errno)).what());
      return nullptr;
    }
    if (ready <= 0 || event.data.u64 == kWakeKey) return nullptr;
    const auto index = static_cast<std::size_t>(event.data.u64);
    TSocketHandle socket;
    bool failed = false;
    try {
      socket = bindings_[index].Accept();
    } catch (const std::exception& e) {
      PauseAfterError(e.what());  // before watching again, so no other worker spins on it
      failed = true;
    }
    Rearm(index);
    if (socket.HandleAllocated())
      return std::make_unique<TTCPConnection>(std::move(socket), limits_.Timeouts);
    // Another worker took the connection straight from the listener: wait on, so the miss
    // does not count as an idle spell.
    if (failed) return nullptr;
  }
}

void TTCPServer::Rearm(std::size_t index) {
  try {
    Watch(epoll_.Get(), EPOLL_CTL_MOD, bindings_[index].Handle(), kBindingEvents, index);
  } catch (const std::exception& e) {
    // Nothing would accept on this binding any more; say so, but keep serving the others.
    if (OnListenerError) OnListenerError(e.what());
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
