// The application core's handlers: creation, configuration at start, the port's events, closing.
#include "server_main.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "app/config_keys.h"
#include "app/home_folder.h"
#include "app/main_loop_sync.h"
#include "base/ascii_text.h"
#include "serial/port_names.h"

namespace orvelle::app {
namespace {

// The greeting lines of the log, written as they stand.
constexpr const char* kGreetings[] = {
    "To get help please start the server then click \"Start browser\" button.",
    "The help files contain examples written with scripts.",
    "You can try an web RS232 terminal written with scripts.",
};

std::filesystem::path WebFolderOf(const std::filesystem::path& home) {
  std::filesystem::path web = (std::filesystem::absolute(home) / "web").lexically_normal();
  return web.has_filename() ? web : web.parent_path();
}

// The setting that --port overrides.
constexpr std::string_view kPortKey = "Server port";

std::uint64_t ClockSeed() {
  return static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
}

}  // namespace

namespace {
http::TServerLimits ServerLimitsFor(const ServerOptions& options) {
  http::TServerLimits limits;
  if (options.max_connections > 0) limits.MaxConnections = options.max_connections;
  return limits;
}
}  // namespace

ServerMain::ServerMain(MainLoop& loop, ServerOptions options)
    : loop_(loop),
      options_(std::move(options)),
      web_folder_(WebFolderOf(options_.home)),
      log_(web_folder_ / "log.txt",
           [this](std::string_view key) { return settings_.GetSetting(key); }),
      receive_buffer_(
          [this] { AddLog("Serial port error: receive buffer full, oldest bytes dropped"); }),
      port_report_(options_.roots),
      port_sync_(MainLoopSyncHooks(loop_)),
      port_access_(
          port_, receive_buffer_, receive_pump_,
          [this](std::string_view line) {
            traffic_.Note(base::TrafficKind::kEvent, std::string(line));
            AddLog(line);
          },
          &traffic_, options_.roots),
      host_(settings_, port_access_, ClockSeed()),
      session_loop_timer_(loop_, [this] { OnSessionTimer(); }),
      session_(*this, session_timer_, options_.session_minute),
      dispatcher_({*this,
                   server_,
                   mime_table_,
                   host_,
                   host_.Output(),
                   session_,
                   web_folder_,
                   options_.page_variables,
                   options_.allow_cross_site,
                   {[this] { return port_report_.Json(port_access_.WaitingFor()); }},
                   &traffic_,
                   &api_port_,
                   options_.allowed_hosts,
                   options_.explain_scripts}),
      server_(ServerLimitsFor(options_)) {
  log_.SetSink([this](const std::string& line) {
    traffic_.Note(base::TrafficKind::kLog, line);
    if (options_.console) options_.console(line);
  });
  if (!options_.traffic_log.empty()) {
    traffic_log_.emplace(traffic_, options_.traffic_log,
                         [this](std::string_view message) { AddLog(message); });
  }
  if (options_.mqtt) {
    mqtt_.emplace(traffic_, *options_.mqtt,
                  MqttPortHooks{[this] { return port_access_.IsOpenText(); },
                                [this](std::string_view bytes) { return SendFromBroker(bytes); },
                                [this](std::string_view line) { AddLog(line); }});
  }
  for (const char* line : kGreetings) log_.AddMemoLine(line);
  if (!options_.home_note.empty()) AddLog(options_.home_note);
  if (const std::string note = MissingPagesNote(web_folder_); !note.empty()) AddLog(note);
  SetUpPort();
  SetUpNetworkPort();
  // The dispatcher decodes parameters itself, for admitted script requests only.
  server_.ParseParams = false;
  server_.GuardHeaders = true;
  server_.OnCommandGet = [this](http::TPeerThread& thread, http::THTTPRequestInfo& request,
                                http::THTTPResponseInfo& response) {
    dispatcher_.HTTPServerCommandGet(thread, request, response);
  };
  server_.OnCommandOther = [this](http::TPeerThread&, const std::string& command,
                                  const std::string&,
                                  const std::string&) { OnOtherCommand(command); };
  server_.OnListenerError = [this](const std::string& message) { AddLog(message); };
}

ServerMain::~ServerMain() {
  receive_pump_.SetTap(nullptr);  // before the service it feeds goes
  if (tcp_) tcp_->Stop();
  dispatcher_.Slot().AbortCurrent();
  if (server_.Active()) server_.Active(false);
}

std::string ServerMain::LoadSettings() {
  std::string message;
  if (!options_.config_file.empty()) {
    // A file given by path belongs to its administrator (a conffile): read, never written.
    if (!settings_.Load(ConfigPath())) {
      settings_.SetLines({});
      settings_.DefaultFill();
      message = ConfigStore::kLoadErrorMessage;
      AddLog(message);
    }
    ReportUnknownKeys();
    if (options_.port) settings_.SetValue("Server port", std::to_string(*options_.port));
    return message;
  }
  const auto outcome = settings_.LoadOrCreate(ConfigPath(), message);
  if (!message.empty()) AddLog(message);
  // The defined message reads like a failure; a first start is not one.
  if (outcome == ConfigStore::StartOutcome::kCreatedDefaults) {
    AddLog("Created " + ConfigPath().string() + " with the default settings.");
  }
  ReportUnknownKeys();
  NoteLoadedLines();
  return message;
}

std::string ServerMain::ReloadSettings() {
  if (settings_.Load(ConfigPath())) {
    NoteLoadedLines();
    return {};
  }
  const std::string message(ConfigStore::kLoadErrorMessage);
  AddLog(message);
  return message;
}

// Remembers the list as loaded, then lays the command line's override over it.
void ServerMain::NoteLoadedLines() {
  loaded_lines_ = settings_.Lines();
  if (options_.port) settings_.SetValue(kPortKey, std::to_string(*options_.port));
}

// An override still in the list goes back to the file's line; one the user has edited since is
// the user's value and is kept.
std::vector<std::string> ServerMain::LinesToSave() const {
  std::vector<std::string> lines = settings_.Lines();
  if (!options_.port) return lines;
  const auto is_port_line = [](const std::string& line) {
    const auto separator = line.find('=');
    return separator != std::string::npos &&
           base::EqualsIgnoreCase(std::string_view(line).substr(0, separator), kPortKey);
  };
  const auto line = std::find_if(lines.begin(), lines.end(), is_port_line);
  if (line == lines.end() || line->substr(line->find('=') + 1) != std::to_string(*options_.port))
    return lines;
  const auto loaded = std::find_if(loaded_lines_.begin(), loaded_lines_.end(), is_port_line);
  if (loaded == loaded_lines_.end()) {
    lines.erase(line);
  } else {
    *line = *loaded;
  }
  return lines;
}

// A file that already holds these lines keeps its bytes (its line ends, say).
bool ServerMain::SaveSettings() {
  if (!options_.config_file.empty()) return false;
  std::vector<std::string> lines = LinesToSave();
  ConfigStore on_disk;
  if (on_disk.Load(ConfigPath()) && on_disk.Lines() == lines) return true;
  ConfigStore to_write;
  to_write.SetLines(lines);
  if (!to_write.Save(ConfigPath())) return false;
  loaded_lines_ = std::move(lines);
  return true;
}

void ServerMain::ReportUnknownKeys() {
  if (reported_keys_) return;
  reported_keys_ = true;
  for (const std::string& line : UnknownKeyReport(settings_.Lines(), ConfigPath().string())) {
    AddLog(line);
  }
}

// The port as the core keeps it. Its receive and error handlers only append to the locked
// receive buffer and write a log line under the log's lock, so they run on the port's event thread:
// a hand-over to the main loop for every batch of at most a few KiB cost a third of the
// throughput (two thread switches per batch) and added latency to every reply a page waits for.
void ServerMain::SetUpPort() {
  constexpr int kQueueSize = 4096;
  port_.SetBuffer({kQueueSize, kQueueSize});
  port_.SetSyncTarget(&port_sync_);
  port_.SetSyncMethod(serial::TSyncMethod::smNone);
  port_.OnRxChar = [this](int count) { OnPortReceived(count); };
  port_.OnAfterOpen = [this] { OnPortOpened(); };
  port_.OnAfterClose = [this] { OnPortClosed(); };
  port_.OnError = [this](serial::TSerialErrors errors) { OnPortError(errors); };
  port_.OnCTSChange = [this](bool on) { NoteModemSignal(1, "CTS", on); };
  port_.OnDSRChange = [this](bool on) { NoteModemSignal(2, "DSR", on); };
  port_.OnRLSDChange = [this](bool on) { NoteModemSignal(4, "RLSD", on); };
  // The log line stays as it was; the page learns the reason from the port list.
  port_.OnNotSerialPort = [this](const std::string& port) {
    port_report_.NoteFailure(port, port_.ShownPath(), ENOTTY);
    AddLog("Serial port error: not a serial port: " + port);
  };
  port_.SetSysfsRoot(options_.roots.sys);
  port_.OnOpenFailed = [this](const std::string& port, const std::filesystem::path& device,
                              int error) { AddLog(port_report_.NoteFailure(port, device, error)); };
}

// receive_buffer_.Append(port_.ReadText(count)), kept in order with a waiting script's own reads.
void ServerMain::OnPortReceived(int count) {
  receive_pump_.Deliver(count);
}

void ServerMain::OnPortOpened() {
  receive_buffer_.Clear();
  port_report_.NoteOpened(port_.Port());
  traffic_.Note(base::TrafficKind::kEvent,
                "open " + serial::PrintablePortName(port_.ShownPath().string()));
}

void ServerMain::OnPortClosed() {
  receive_buffer_.Clear();
  port_report_.NoteClosed();
  traffic_.Note(base::TrafficKind::kEvent, "close");
}

// The port reports every input line at open and close; only a change is worth a record.
void ServerMain::NoteModemSignal(int bit, const char* name, bool on) {
  const int before = on ? modem_signals_.fetch_or(bit) : modem_signals_.fetch_and(~bit);
  if (((before & bit) != 0) != on) {
    traffic_.Note(base::TrafficKind::kEvent, std::string(name) + (on ? " on" : " off"));
  }
}

// A message from the broker: written only while no script holds the slot, which it holds itself
// for the write, so a script's exchange is never split by it.
MqttSendOutcome ServerMain::SendFromBroker(std::string_view bytes) {
  std::string holder;
  const std::optional<webfront::ScriptSlot::Claim> claim =
      dispatcher_.Slot().TryClaim("(message from the broker)", holder);
  if (!claim) return MqttSendOutcome::kBusy;
  if (port_access_.IsOpenText().empty()) return MqttSendOutcome::kClosed;
  return port_access_.Send(bytes) ? MqttSendOutcome::kSent : MqttSendOutcome::kFailed;
}

// The demo device's path as the pages are given it; empty without --demo.
std::string ServerMain::DemoPort() const {
  constexpr std::string_view kName = "demoport=";
  if (!options_.page_variables) return {};
  for (const std::string& line : options_.page_variables()) {
    if (line.starts_with(kName)) return line.substr(kName.size());
  }
  return {};
}

// Listeners start and stop with the server; the client sees every byte the pump delivers.
void ServerMain::SetUpNetworkPort() {
  if (!options_.tcp) return;
  tcp_control_.emplace(port_access_, dispatcher_.Slot(), traffic_, options_.tcp_device,
                       [this](std::string_view line) { AddLog(line); });
  tcp_.emplace(*tcp_control_, *options_.tcp);
  receive_pump_.SetTap([this](std::string_view bytes) { tcp_->Deliver(bytes); });
}

void ServerMain::OnPortError(serial::TSerialErrors) {
  AddLog("Serial port error");
}

void ServerMain::OnSessionTimer() {
  if (GetSetting("Use session") != "yes") return;
  session_.Expire();
}

void ServerMain::Close() {
  dispatcher_.Slot().AbortCurrent();
  if (active_) StartOrStop();
}

void ServerMain::OnOtherCommand(const std::string& command) {
  AddLog("Command other: " + command);
}

int ServerMain::ListeningPort() {
  return server_.Bindings().Count() == 0 ? 0 : server_.Bindings()[0].Port;
}

std::string ServerMain::LocalUrl() {
  // A wildcard listener is reached from this machine on the loopback address.
  const std::string& ip = options_.listen_ip;
  const std::string host = ip.empty() || ip == "0.0.0.0" || ip == "::" ? "127.0.0.1"
                           : ip.find(':') != std::string::npos         ? "[" + ip + "]"
                                                                       : ip;
  if (options_.tls && options_.https_only && server_.Bindings().Count() > 1) {
    return "https://" + host + ":" + std::to_string(server_.Bindings()[1].Port) + "/";
  }
  return "http://" + host + ":" + std::to_string(ListeningPort()) + "/";
}

}  // namespace orvelle::app
