// TPeerThread: one accepted connection as a pool worker serves it, and what it owns.
#pragma once

#include <memory>
#include <stop_token>
#include <string>

#include "http/connection.h"

namespace orvelle::http {

class TPeerThread {
 public:
  explicit TPeerThread(std::unique_ptr<TTCPConnection> connection)
      : connection_(std::move(connection)) {}
  TPeerThread(const TPeerThread&) = delete;
  TPeerThread& operator=(const TPeerThread&) = delete;

  TTCPConnection& Connection() { return *connection_; }
  // Set when the server deactivates; long-running handlers should poll it.
  bool StopRequested() const { return stop_.stop_requested(); }
  std::stop_token StopToken() const { return stop_.get_token(); }
  // The message of the exception that ended the connection, if any.
  const std::string& TerminatingMessage() const { return terminating_message_; }

 private:
  friend class TThreadMgrDefault;
  friend class TTCPServer;

  std::unique_ptr<TTCPConnection> connection_;
  std::stop_source stop_;
  std::string terminating_message_;
  bool evicted_ = false;  // guarded by the pool's lock; its slot went to a newcomer
};

}  // namespace orvelle::http
