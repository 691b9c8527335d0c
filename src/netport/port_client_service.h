// PortClientService: the raw TCP and RFC 2217 listeners and the one network client that may hold
// the serial port. One thread of its own accepts, reads the client, writes to it and hands its
// bytes and commands to the port between script turns. The port never waits for the client: the
// port's thread hands what it received straight to the socket when nothing waits before it (one
// thread switch less per batch), otherwise queues it here; a client that takes nothing for
// kStallLimit is dropped.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/unique_fd.h"
#include "netport/com_port_session.h"
#include "netport/port_control.h"
#include "netport/tcp_port_settings.h"
#include "netport/telnet_parser.h"

struct sockaddr;

namespace orvelle::netport {

class PortClientService {
 public:
  // Received bytes waiting for a slow client; at 8 Mbit/s the stall rule drops it before this.
  static constexpr std::size_t kMaxBacklog = 4 * 1024 * 1024;
  // A client that takes none of its waiting bytes for this long is dropped, as a slow viewer is.
  static constexpr std::chrono::seconds kStallLimit{5};
  // The client's bytes waiting for the slot; beyond this its socket is left unread (TCP then
  // holds the client back, not the port).
  static constexpr std::size_t kMaxPendingToPort = 64 * 1024;
  // Bytes written in one turn of the slot: about a second at 9600 baud once the driver's queue
  // is full, well inside what a page asking for the slot waits for a short turn.
  static constexpr std::size_t kMaxTurnBytes = 1024;
  // Work that could not get the slot for this long is dropped with a log line.
  static constexpr std::chrono::seconds kMaxSlotWait{30};
  // How often a refused turn is tried again.
  static constexpr std::chrono::milliseconds kSlotRetry{2};
  // How often the modem lines are read for RFC 2217 notifications.
  static constexpr std::chrono::milliseconds kModemPoll{100};
  // A refused address is logged at most this often.
  static constexpr std::chrono::seconds kRefusalQuiet{60};
  // Addresses remembered for that; a flood of more goes unlogged until they age out.
  static constexpr std::size_t kMaxRefusalNotes = 1024;
  // One read from the client.
  static constexpr std::size_t kReadChunk = 16 * 1024;

  PortClientService(PortControl& control, TcpPortSettings settings);
  ~PortClientService();
  PortClientService(const PortClientService&) = delete;
  PortClientService& operator=(const PortClientService&) = delete;

  // Binds the listeners and starts the thread; false when a listener cannot be had (logged).
  bool Start();
  // Drops the client, closes the listeners and joins the thread.
  void Stop();
  // The bound ports (0 while off).
  int Rfc2217Port() const { return rfc2217_port_; }
  int RawPort() const { return raw_port_; }

  // What the port received, on the port's thread: queued for the client, never waited for.
  void Deliver(std::string_view bytes);

 private:
  using Clock = std::chrono::steady_clock;
  struct Listener {
    base::UniqueFd fd;
    bool telnet = false;
  };
  struct Client {
    base::UniqueFd fd;
    std::string peer;
    bool telnet = false;
    TelnetParser parser;
    ComPortSession session;
    std::deque<PortRequest> to_port;
    std::size_t to_port_bytes = 0;
    std::optional<Clock::time_point> waiting_since;  // for the slot
    std::optional<std::uint8_t> modem_told;          // the modem state last sent
    Clock::time_point next_modem_poll;
    bool dtr = true, rts = true, brk = false;  // as set through the client
    bool write_failing = false;                // the last write to the port failed
  };

  bool Listen(int port, bool telnet, int& bound);
  void Run(std::stop_token stop);
  int PollTimeout() const;
  void Accept(const Listener& listener);
  bool Admit(const sockaddr* address, const std::string& peer);
  void NoteRefusal(const std::string& address, const std::string& line);
  void DropClient(const std::string& why);
  void ReadClient();
  void WriteClient();
  // Under outbox_lock_: queue bytes for the client after what waits, sending what the socket
  // takes now.
  void QueueLocked(std::string_view bytes, bool escape);
  void FlushLocked();
  void FeedPort();
  void RunTurn();
  void RunCommand(const PortRequest& request);
  void SetControl(std::uint32_t value);
  void ApplyLine(const LineSettings& line);
  void PollModem();
  void Answer(std::uint8_t command, std::uint32_t value, int size = 1);

  PortControl& control_;
  const TcpPortSettings settings_;
  base::UniqueFd wake_;  // an eventfd: new bytes for the client, or stop
  std::vector<Listener> listeners_;
  int rfc2217_port_ = 0;
  int raw_port_ = 0;
  std::optional<Client> client_;                       // the thread's alone
  std::map<std::string, Clock::time_point> refusals_;  // the thread's alone
  // What goes to the client, shared by the port's thread and the service's.
  struct Outbox {
    int fd = -1;                      // the client's socket; -1: none
    bool telnet = false;              // port bytes get IAC doubled
    bool suspended = false;           // the client asked for a pause (FLOWCONTROL-SUSPEND)
    std::string bytes;                // not yet taken by the socket
    Clock::time_point last_progress;  // the socket last took bytes, or bytes began waiting
    bool full = false;                // bytes were lost for it
    bool failed = false;              // the socket failed
  };
  std::mutex outbox_lock_;
  Outbox outbox_;  // guarded by outbox_lock_
  std::jthread thread_;
};

}  // namespace orvelle::netport
