// TTCPServer: bindings, activation, and a pool of workers that accept connections themselves
// and serve each one on the thread that accepted it.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "base/unique_fd.h"
#include "http/direct_accept_rule.h"
#include "http/peer_thread.h"
#include "http/server_limits.h"
#include "http/socket_handle.h"
#include "http/thread_manager.h"

namespace orvelle::http {

// The bindings of a server; an added binding takes the server's DefaultPort at that moment.
class TSocketHandles {
 public:
  explicit TSocketHandles(const int& default_port) : default_port_(default_port) {}
  TSocketHandle& Add() { return items_.emplace_back(std::string{}, default_port_); }
  void Clear() { items_.clear(); }
  std::size_t Count() const { return items_.size(); }
  TSocketHandle& operator[](std::size_t i) { return items_[i]; }
  auto begin() { return items_.begin(); }
  auto end() { return items_.end(); }

 private:
  const int& default_port_;
  std::deque<TSocketHandle> items_;  // deque: Add() must not move earlier bindings
};

class TTCPServer {
 public:
  using TThreadEvent = std::function<void(TPeerThread&)>;
  using TErrorEvent = std::function<void(const std::string&)>;

  explicit TTCPServer(TServerLimits limits = {});
  TTCPServer(const TTCPServer&) = delete;
  TTCPServer& operator=(const TTCPServer&) = delete;
  virtual ~TTCPServer();

  bool Active() const { return active_; }
  // Starts or stops listening. Throws ECouldNotBindSocket or ESocketError when a binding
  // cannot be opened; the server then stays inactive.
  void Active(bool value);

  int DefaultPort = 0;
  TSocketHandles& Bindings() { return bindings_; }
  std::chrono::milliseconds TerminateWaitTime{5000};
  // Hand a connection to a worker only once the client has sent something. Right for
  // protocols where the client speaks first (HTTP): the worker never sleeps waiting for the
  // request. Wrong where the server greets first, so off unless an owner turns it on.
  bool DeferAccept = false;
  // When MaxConnections are live, a newcomer takes the slot of the connection that has waited
  // longest without its request's head (TTCPConnection::CompleteHead), else of the oldest one
  // still sending its body; only when every request is in is the newcomer turned away. For
  // protocols whose reader marks the request (CompleteRequest), so off unless an owner turns it
  // on.
  bool EvictUnfinished = false;

  // Events; assign them before activation.
  TThreadEvent OnDisconnect;
  TThreadEvent OnExecute;
  // Reports a failure accepting survived (for example running out of file descriptors); runs on
  // the worker that met it, so on several at once.
  TErrorEvent OnListenerError;

  // Connections being served now.
  std::size_t ConnectionCount() const { return threads_.Count(); }

 protected:
  // One step of work on a connection; the plain server runs OnExecute.
  virtual void DoExecute(TPeerThread& thread);
  // Answers a connection turned away because MaxConnections are live, on the worker that
  // accepted it; must not block. The plain server just closes it.
  virtual void RejectConnection(TSocketHandle& socket);
  // Deactivates and joins every connection thread; derived classes call it first thing in
  // their destructor so no thread runs into a half-destroyed object.
  void Shutdown();

  const TServerLimits& Limits() const { return limits_; }

 private:
  void Activate();
  void Deactivate();
  std::unique_ptr<TTCPConnection> AcceptNext(std::chrono::milliseconds wait,
                                             TThreadMgrDefault::TAcceptor::TQueued queued);
  void Rearm(std::size_t index);
  void PauseAfterError(const std::string& message);
  void RunPeer(TPeerThread& thread);
  void Wake();

  TServerLimits limits_;
  TSocketHandles bindings_{DefaultPort};
  bool active_ = false;
  base::UniqueFd wake_;   // eventfd, readable from deactivation on: ends every wait for connections
  base::UniqueFd epoll_;  // while active: the bindings, one waiter woken per connection, and wake_
  // Whether a worker fresh from a connection takes the next one without waiting in epoll.
  TDirectAcceptRule direct_rule_;
  TThreadMgrDefault threads_;
};

}  // namespace orvelle::http
