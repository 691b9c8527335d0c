// The listeners, the client's socket and its turns at the port, all on the service's thread.
#include "netport/port_client_service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "netport/line_codes.h"

namespace orvelle::netport {
namespace {

constexpr int kListenBacklog = 4;  // one client at a time; the rest are refused at once

void Signal(int fd) {
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = ::write(fd, &one, sizeof one);
}

void Drain(int fd) {
  std::uint64_t count = 0;
  [[maybe_unused]] const auto read = ::read(fd, &count, sizeof count);
}

// A dual-stack socket on every interface, or the one IPv4 address asked for.
base::UniqueFd BoundSocket(const std::string& bind, int port) {
  if (bind.empty()) {
    base::UniqueFd fd(::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (fd.Valid()) {
      const int off = 0, on = 1;
      ::setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
      ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
      sockaddr_in6 address{};
      address.sin6_family = AF_INET6;
      address.sin6_addr = in6addr_any;
      address.sin6_port = htons(static_cast<std::uint16_t>(port));
      if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
      if (errno != EAFNOSUPPORT && errno != EADDRNOTAVAIL) return base::UniqueFd{};
    }
  }
  base::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) return fd;
  const int on = 1;
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (!bind.empty() && ::inet_pton(AF_INET, bind.c_str(), &address.sin_addr) != 1) {
    errno = EINVAL;
    return base::UniqueFd{};
  }
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return base::UniqueFd{};
  }
  return fd;
}

int BoundPort(int fd) {
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
  const in_port_t port = address.ss_family == AF_INET6
                             ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                             : reinterpret_cast<sockaddr_in*>(&address)->sin_port;
  return ntohs(port);
}

const char* KindText(bool telnet) {
  return telnet ? "RFC 2217" : "raw TCP";
}

}  // namespace

PortClientService::PortClientService(PortControl& control, TcpPortSettings settings)
    : control_(control), settings_(std::move(settings)) {}

PortClientService::~PortClientService() {
  Stop();
}

bool PortClientService::Listen(int port, bool telnet, int& bound) {
  if (port == TcpPortSettings::kOff) return true;
  base::UniqueFd fd = BoundSocket(settings_.bind, port);
  if (!fd.Valid() || ::listen(fd.Get(), kListenBacklog) != 0) {
    control_.Log(std::string("Cannot listen for ") + KindText(telnet) + " serial clients on port " +
                 std::to_string(port) + ": " + std::strerror(errno));
    return false;
  }
  bound = BoundPort(fd.Get());
  const std::string where = settings_.bind.empty() ? "every interface" : settings_.bind;
  control_.Log(std::string("Serial port for ") + KindText(telnet) + " clients on " + where +
               " port " + std::to_string(bound));
  listeners_.push_back({std::move(fd), telnet});
  return true;
}

bool PortClientService::Start() {
  if (thread_.joinable()) return true;
  wake_ = base::UniqueFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!wake_.Valid() || !Listen(settings_.rfc2217_port, true, rfc2217_port_) ||
      !Listen(settings_.raw_port, false, raw_port_)) {
    listeners_.clear();
    return false;
  }
  thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
  return true;
}

void PortClientService::Stop() {
  if (!thread_.joinable()) return;
  thread_.request_stop();
  Signal(wake_.Get());
  thread_.join();
  listeners_.clear();
  rfc2217_port_ = raw_port_ = 0;
}

void PortClientService::Deliver(std::string_view bytes) {
  bool wake = false;
  {
    std::lock_guard hold(outbox_lock_);
    if (outbox_.fd < 0 || outbox_.full) return;
    QueueLocked(bytes, outbox_.telnet);
    wake = !outbox_.bytes.empty() || outbox_.full || outbox_.failed;
  }
  if (wake) Signal(wake_.Get());
}

void PortClientService::QueueLocked(std::string_view bytes, bool escape) {
  if (bytes.empty()) return;
  if (outbox_.bytes.size() + bytes.size() > kMaxBacklog) {
    outbox_.full = true;
    return;
  }
  if (outbox_.bytes.empty()) outbox_.last_progress = Clock::now();
  if (escape) {
    AppendEscaped(bytes, outbox_.bytes);
  } else {
    outbox_.bytes.append(bytes);
  }
  FlushLocked();
}

void PortClientService::FlushLocked() {
  if (outbox_.bytes.empty() || outbox_.suspended || outbox_.failed) return;
  const ssize_t sent =
      ::send(outbox_.fd, outbox_.bytes.data(), outbox_.bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (sent > 0) {
    outbox_.bytes.erase(0, static_cast<std::size_t>(sent));
    outbox_.last_progress = Clock::now();
  } else if (sent < 0 && errno != EAGAIN && errno != EINTR) {
    outbox_.failed = true;
  }
}

void PortClientService::Run(std::stop_token stop) {
  std::vector<pollfd> fds;
  while (!stop.stop_requested()) {
    fds.assign({{wake_.Get(), POLLIN, 0}});
    for (const Listener& listener : listeners_) fds.push_back({listener.fd.Get(), POLLIN, 0});
    if (client_) {
      short events = 0;
      if (client_->to_port_bytes < kMaxPendingToPort) events |= POLLIN;
      std::lock_guard hold(outbox_lock_);
      if (!outbox_.bytes.empty() && !outbox_.suspended) events |= POLLOUT;
      fds.push_back({client_->fd.Get(), events, 0});
    }
    const int polled_client = client_ ? client_->fd.Get() : -1;
    if (::poll(fds.data(), fds.size(), PollTimeout()) < 0 && errno != EINTR) break;
    if (fds[0].revents != 0) Drain(wake_.Get());
    for (std::size_t i = 0; i < listeners_.size(); ++i) {
      if (fds[i + 1].revents != 0) Accept(listeners_[i]);
    }
    if (!client_) continue;
    // A client accepted just now was not polled; the next round looks at it.
    const bool polled = client_->fd.Get() == polled_client;
    if (polled && (fds.back().revents & (POLLIN | POLLHUP | POLLERR)) != 0) ReadClient();
    if (client_) FeedPort();
    if (client_) PollModem();
    if (client_) WriteClient();
  }
  if (client_) DropClient("disconnected: the server stopped");
}

int PortClientService::PollTimeout() const {
  if (!client_) return -1;
  if (client_->waiting_since) return static_cast<int>(kSlotRetry.count());
  return static_cast<int>(kModemPoll.count());
}

void PortClientService::Accept(const Listener& listener) {
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  base::UniqueFd fd(::accept4(listener.fd.Get(), reinterpret_cast<sockaddr*>(&address), &size,
                              SOCK_NONBLOCK | SOCK_CLOEXEC));
  if (!fd.Valid()) return;  // gone already, or out of descriptors: the next one may do
  const auto* peer_address = reinterpret_cast<const sockaddr*>(&address);
  const std::string peer = PeerText(peer_address);
  if (!Admit(peer_address, peer)) return;
  const int on = 1;
  ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  client_.emplace();
  client_->fd = std::move(fd);
  client_->peer = peer;
  client_->telnet = listener.telnet;
  {
    std::lock_guard hold(outbox_lock_);
    outbox_ = Outbox{};
    outbox_.fd = client_->fd.Get();
    outbox_.telnet = listener.telnet;
  }
  control_.Log("TCP client " + peer + " connected (" + KindText(listener.telnet) + ")");
}

// The allow-list first, then the one-client rule, then a port to drive.
bool PortClientService::Admit(const sockaddr* address, const std::string& peer) {
  const std::string host = AddressText(address);
  if (!settings_.allow.Allows(address)) {
    NoteRefusal(host, "TCP client " + peer + " refused: address not allowed (--tcp-allow)");
    return false;
  }
  if (client_ && !settings_.takeover) {
    NoteRefusal(host, "TCP client " + peer + " refused: the port is in use by " + client_->peer);
    return false;
  }
  if (client_) DropClient("replaced by " + peer);
  bool open = control_.IsOpen();
  std::string why = "no serial port is open";
  if (!open) control_.WithSlot([&] { open = control_.OpenIfClosed(why); });
  if (!open) NoteRefusal(host, "TCP client " + peer + " refused: " + why);
  return open;
}

void PortClientService::NoteRefusal(const std::string& address, const std::string& line) {
  const Clock::time_point now = Clock::now();
  std::erase_if(refusals_, [&](const auto& entry) { return now - entry.second >= kRefusalQuiet; });
  const auto found = refusals_.find(address);
  if (found != refusals_.end() || refusals_.size() >= kMaxRefusalNotes) return;
  refusals_.emplace(address, now);
  control_.Log(line);
}

void PortClientService::DropClient(const std::string& why) {
  {
    std::lock_guard hold(outbox_lock_);  // after this the port's thread no longer sends to it
    outbox_ = Outbox{};
  }
  control_.Log("TCP client " + client_->peer + " " + why);
  client_.reset();
}

void PortClientService::ReadClient() {
  char buffer[kReadChunk];
  const ssize_t got = ::recv(client_->fd.Get(), buffer, sizeof buffer, MSG_DONTWAIT);
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (got <= 0) {
    DropClient("disconnected");
    return;
  }
  const std::string_view bytes(buffer, static_cast<std::size_t>(got));
  std::vector<PortRequest> requests;
  if (client_->telnet) {
    std::vector<TelnetEvent> events;
    client_->parser.Feed(bytes, events);
    const bool was_active = client_->session.ComPortActive();
    std::string reply;
    for (const TelnetEvent& event : events) client_->session.Handle(event, reply, requests);
    if (!was_active && client_->session.ComPortActive()) client_->next_modem_poll = {};
    std::lock_guard hold(outbox_lock_);
    outbox_.suspended = client_->session.OutputSuspended();
    QueueLocked(reply, false);
  } else {
    requests.push_back({PortRequest::Kind::kWrite, 0, 0, std::string(bytes)});
  }
  for (PortRequest& request : requests) {
    client_->to_port_bytes += request.bytes.size();
    std::deque<PortRequest>& queue = client_->to_port;
    const bool joins = request.kind == PortRequest::Kind::kWrite && !queue.empty() &&
                       queue.back().kind == PortRequest::Kind::kWrite &&
                       queue.back().bytes.size() + request.bytes.size() <= kMaxTurnBytes;
    if (joins) {
      queue.back().bytes += request.bytes;
    } else {
      queue.push_back(std::move(request));
    }
  }
}

void PortClientService::WriteClient() {
  bool failed = false;
  bool full = false;
  bool stalled = false;
  {
    std::lock_guard hold(outbox_lock_);
    FlushLocked();
    failed = outbox_.failed;
    full = outbox_.full;
    stalled = !outbox_.bytes.empty() && Clock::now() - outbox_.last_progress >= kStallLimit;
  }
  if (failed) {
    DropClient("disconnected");
  } else if (full) {
    DropClient("dropped: it fell " + std::to_string(kMaxBacklog) + " bytes behind the port");
  } else if (stalled) {
    DropClient("dropped: it took no bytes for " + std::to_string(kStallLimit.count()) + " s");
  }
}

void PortClientService::FeedPort() {
  Client& client = *client_;
  if (client.to_port.empty()) return;
  if (control_.WithSlot([this] { RunTurn(); })) {
    client.waiting_since.reset();
    return;
  }
  const Clock::time_point now = Clock::now();
  if (!client.waiting_since) client.waiting_since = now;
  if (now - *client.waiting_since < kMaxSlotWait) return;
  control_.Log("TCP client " + client.peer + ": " + std::to_string(client.to_port_bytes) +
               " bytes and its commands dropped; the port stayed busy for " +
               std::to_string(kMaxSlotWait.count()) + " s");
  client.to_port.clear();
  client.to_port_bytes = 0;
  client.waiting_since.reset();
}

// Inside the slot: commands, and at most kMaxTurnBytes of data.
void PortClientService::RunTurn() {
  Client& client = *client_;
  std::size_t written = 0;
  while (!client.to_port.empty() && written < kMaxTurnBytes) {
    const PortRequest request = std::move(client.to_port.front());
    client.to_port.pop_front();
    client.to_port_bytes -= request.bytes.size();
    if (request.kind == PortRequest::Kind::kCommand) {
      RunCommand(request);
      continue;
    }
    written += request.bytes.size();
    const bool sent = control_.Write(request.bytes);
    // Once per spell of failures (a page closed the port), not once per write.
    if (!sent && !client.write_failing) {
      control_.Log("TCP client " + client.peer +
                   ": bytes not sent, the port refused them (is it open?)");
    }
    client.write_failing = !sent;
  }
}

void PortClientService::Answer(std::uint8_t command, std::uint32_t value, int size) {
  std::lock_guard hold(outbox_lock_);
  QueueLocked(ComPortAnswer(command, value, size), false);
}

void PortClientService::RunCommand(const PortRequest& request) {
  const std::optional<LineSettings> now = control_.Line();
  LineSettings line = now.value_or(LineSettings{});
  const std::uint32_t value = request.value;
  switch (request.command) {
    case comport::kSetBaudRate:
      if (value != 0 && now) line.rate = value;
      break;
    case comport::kSetDataSize:
      if (const auto bits = DataBitsFromCode(value); bits && now) line.data_bits = *bits;
      break;
    case comport::kSetParity:
      if (const auto parity = ParityFromCode(value); parity && now) line.parity = *parity;
      break;
    case comport::kSetStopSize:
      if (const auto stop = StopBitsFromCode(value); stop && now) line.stop_bits = *stop;
      break;
    case comport::kSetControl:
      SetControl(value);
      return;
    case comport::kPurgeData:
      if (value >= 1 && value <= 3) {
        control_.Purge(value != 2, value != 1);
        control_.Note("TCP client " + client_->peer + ": purge " +
                      (value == 1   ? "input"
                       : value == 2 ? "output"
                                    : "input and output"));
      }
      Answer(request.command, value);
      return;
    case comport::kNotifyLineState:
      Answer(request.command, 0 & client_->session.LineStateMask());
      return;
    case comport::kNotifyModemState:
      Answer(request.command, ModemStateCode(control_.ModemSignals().value_or(0)) &
                                  client_->session.ModemStateMask());
      return;
    default:
      return;
  }
  if (now && line != *now) ApplyLine(line);
  const LineSettings after = control_.Line().value_or(line);
  switch (request.command) {
    case comport::kSetBaudRate:
      Answer(request.command, after.rate, 4);
      return;
    case comport::kSetDataSize:
      Answer(request.command, DataBitsCode(after.data_bits));
      return;
    case comport::kSetParity:
      Answer(request.command, ParityCode(after.parity));
      return;
    default:
      Answer(request.command, StopBitsCode(after.stop_bits));
      return;
  }
}

void PortClientService::ApplyLine(const LineSettings& line) {
  const std::string who = "TCP client " + client_->peer;
  if (control_.SetLine(line)) {
    control_.Note(who + ": line " + LineText(line));
  } else {
    control_.Note(who + ": the port refused line " + LineText(line));
  }
}

// The SET-CONTROL codes: flow control, BREAK, DTR and RTS, each with its own question.
void PortClientService::SetControl(std::uint32_t value) {
  Client& client = *client_;
  const std::string who = "TCP client " + client.peer + ": ";
  auto set_line = [&](OutputLine which, bool on, bool& state, const char* name) {
    if (control_.SetOutputLine(which, on)) state = on;
    control_.Note(who + name + (on ? " on" : " off"));
  };
  const std::optional<LineSettings> line = control_.Line();
  switch (value) {
    case 1:
    case 2:
    case 3:
    case 14:
    case 15:
    case 16:
      if (line) {
        LineSettings wanted = *line;
        wanted.flow = FlowFromControlCode(value);
        if (wanted != *line) ApplyLine(wanted);
      }
      Answer(comport::kSetControl,
             FlowControlCode(control_.Line().value_or(LineSettings{}).flow, value >= 13));
      return;
    case 5:
    case 6:
      set_line(OutputLine::kBreak, value == 5, client.brk, "BREAK");
      break;
    case 8:
    case 9:
      set_line(OutputLine::kDtr, value == 8, client.dtr, "DTR");
      break;
    case 11:
    case 12:
      set_line(OutputLine::kRts, value == 11, client.rts, "RTS");
      break;
    default:
      break;  // the questions, and flow control on lines this port has no use for
  }
  if (value >= 4 && value <= 6) {
    Answer(comport::kSetControl, client.brk ? 5 : 6);
  } else if (value >= 7 && value <= 9) {
    Answer(comport::kSetControl, client.dtr ? 8 : 9);
  } else if (value >= 10 && value <= 12) {
    Answer(comport::kSetControl, client.rts ? 11 : 12);
  } else {
    Answer(comport::kSetControl, FlowControlCode(line.value_or(LineSettings{}).flow, value >= 13));
  }
}

// Sends NOTIFY-MODEMSTATE once COM-PORT-OPTION is agreed, and on every change after.
void PortClientService::PollModem() {
  Client& client = *client_;
  if (!client.telnet || !client.session.ComPortActive()) return;
  const Clock::time_point now = Clock::now();
  if (now < client.next_modem_poll) return;
  client.next_modem_poll = now + kModemPoll;
  const std::uint8_t state = ModemStateCode(control_.ModemSignals().value_or(0));
  if (client.modem_told == state) return;
  const std::uint8_t deltas = ModemDeltas(client.modem_told.value_or(state), state);
  client.modem_told = state;
  const std::uint8_t masked = (state | deltas) & client.session.ModemStateMask();
  Answer(comport::kNotifyModemState, masked);
}

}  // namespace orvelle::netport
