// ServerMain: the application core without any widget: the greeting lines, the configuration
// at start, starting and stopping the server, the session timer, the port's handlers, closing.
// It owns the server, the serial port, the log and the web front's shared state.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/api_port_access.h"
#include "app/config_store.h"
#include "app/event_log.h"
#include "app/main_loop.h"
#include "app/mqtt_bridge.h"
#include "app/mqtt_settings.h"
#include "app/network_port_control.h"
#include "app/port_access.h"
#include "app/port_report.h"
#include "app/program_host.h"
#include "app/receive_buffer.h"
#include "app/receive_pump.h"
#include "app/traffic_log.h"
#include "base/traffic_ring.h"
#include "http/http_server.h"
#include "http/tls_context.h"
#include "netport/port_client_service.h"
#include "netport/tcp_port_settings.h"
#include "script/host.h"
#include "serial/posted_sync.h"
#include "serial/serial_port.h"
#include "webfront/request_dispatcher.h"
#include "webfront/session_gate.h"

namespace orvelle::app {

struct ServerOptions {
  std::filesystem::path home;  // holds config.ini and web/
  std::string home_note;       // why this home was chosen, logged at start; empty: nothing to say
  std::optional<int> port;     // replaces "Server port" in memory, never in the file
  std::string listen_ip;       // --bind: empty means all interfaces
  // --config: the configuration is read from here and never written; empty: HOME/config.ini.
  std::filesystem::path config_file = {};
  std::chrono::milliseconds session_minute = std::chrono::minutes(1);  // "Session expire" unit
  TEventLog::LineSink console;  // sees every log line, greeting lines included
  // name=value lines that every script page gets after its request parameters (--demo's
  // demoport), so no request parameter can replace them.
  std::function<std::vector<std::string>()> page_variables;
  bool allow_cross_site = false;    // script pages also for requests other sites make
  std::size_t max_connections = 0;  // live connections at most; 0 keeps the server's default
  serial::SystemRoots roots;  // where the port list and open diagnoses look (tests: a fake tree)
  // HTTPS beside the plain port: the loaded certificate pair (none: no HTTPS) and its port.
  std::shared_ptr<const http::TTlsContext> tls;
  int https_port = 0;
  bool https_only = false;  // the plain port answers every request with a redirect to HTTPS
  std::filesystem::path traffic_log;  // every traffic record appended here; empty: none
  std::optional<MqttSettings> mqtt;   // the broker bridge; none: no bridge
  // Host names served besides IP literals, localhost and this machine's names ("*.domain"
  // wildcards allowed).
  std::vector<std::string> allowed_hosts;
  // Opened at every start, as openport opens it (the port name as written); none: no port.
  std::optional<script::SerialAccess::OpenRequest> open_at_start = {};
  std::optional<netport::TcpPortSettings> tcp;  // network serial clients; none: no listeners
  std::function<std::string()> tcp_device;      // the port they open when none is open
  bool explain_scripts = false;                 // log why script lines did nothing
};

class ServerMain final : public webfront::DispatcherContext {
 public:
  ServerMain(MainLoop& loop, ServerOptions options);
  ~ServerMain() override;
  ServerMain(const ServerMain&) = delete;
  ServerMain& operator=(const ServerMain&) = delete;

  // Loads config.ini, creating it with the defaults when missing. Returns the message the user
  // must see (already logged), or empty text.
  std::string LoadSettings();
  // Loads config.ini again (a front end does it once it is shown). On failure the list stays as it
  // is and the message the user must see (already logged) is returned.
  std::string ReloadSettings();
  // Writes the list to config.ini, with the file's own values where the command line overrides
  // them in memory and the list still holds the override; writes nothing when the file holds
  // those lines already. False when the file could not be written.
  // Never written when it is a --config file, which the server only reads.
  bool SaveSettings();
  std::filesystem::path ConfigPath() const {
    return options_.config_file.empty() ? options_.home / "config.ini" : options_.config_file;
  }

  // Start when stopped, stop when running.
  void StartOrStop();
  // The session timer fired.
  void OnSessionTimer();
  // Abort the running script, stop the server (which closes the port).
  void Close();

  bool Active() const { return active_; }  // started, and not stopped since
  int ListeningPort();                     // the port of the first binding, as bound
  std::string LocalUrl();                  // where a browser on this machine finds the pages
  std::int32_t SessionCounter() const { return session_.SessionCounter(); }
  TEventLog& Log() { return log_; }
  serial::TSerialPort& Port() { return port_; }
  std::size_t ReceivedSize() const { return receive_buffer_.Size(); }
  ConfigStore& Settings() { return settings_; }
  base::TrafficRing& Traffic() { return traffic_; }
  // The network serial listeners, while the server runs with them (tests read the bound ports).
  const netport::PortClientService* NetworkPort() const { return tcp_ ? &*tcp_ : nullptr; }

  std::string GetSetting(std::string_view key) override { return settings_.GetSetting(key); }
  void AddLog(std::string_view message) override { log_.AddLog(message); }

 private:
  // The session timer as the session rule sees it.
  class SessionTimerOnLoop final : public webfront::SessionTimer {
   public:
    explicit SessionTimerOnLoop(LoopTimer& timer) : timer_(timer) {}
    bool Enabled() const override { return timer_.Enabled(); }
    void Start(std::chrono::milliseconds interval) override { timer_.Start(interval); }
    void Restart() override { timer_.Restart(); }
    void Stop() override { timer_.Stop(); }
    bool StopUnlessRestarted() override { return timer_.StopUnlessRestarted(); }

   private:
    LoopTimer& timer_;
  };

  void NoteLoadedLines();
  std::vector<std::string> LinesToSave() const;
  void PrepareBinding();
  void StartServer();
  void LogListening();
  void OpenPortAtStart();
  void ReportUnknownKeys();
  void ExplainPrivilegedPort(const http::EServerException& error);
  void ExplainBusyPort(const http::EServerException& error);
  void StopServer();
  void OnOtherCommand(const std::string& command);
  void SetUpPort();
  void OnPortReceived(int count);
  void OnPortOpened();
  void OnPortClosed();
  void OnPortError(serial::TSerialErrors errors);
  void NoteModemSignal(int bit, const char* name, bool on);
  MqttSendOutcome SendFromBroker(std::string_view bytes);
  std::string DemoPort() const;
  void SetUpNetworkPort();

  MainLoop& loop_;
  ServerOptions options_;
  std::filesystem::path web_folder_;
  ConfigStore settings_;
  std::vector<std::string> loaded_lines_;  // the list as the file held it, overrides left out
  base::TrafficRing traffic_;              // before the log, whose lines it also records
  TEventLog log_;
  http::TMimeTable mime_table_;
  TReceiveBuffer receive_buffer_;
  PortReport port_report_;
  serial::TPostedSync port_sync_;
  // Only keeps a reference to the port until used.
  ReceivePump receive_pump_{port_, receive_buffer_, &traffic_};
  serial::TSerialPort port_;  // after what its handlers use, so it closes before they go
  PortAccess port_access_;
  ApiPortAccess api_port_{port_access_, port_report_, receive_pump_, [this] { return DemoPort(); }};
  ProgramHost host_;
  LoopTimer session_loop_timer_;
  SessionTimerOnLoop session_timer_{session_loop_timer_};
  webfront::SessionGate session_;
  webfront::TRequestDispatcher dispatcher_;
  std::atomic<int> modem_signals_{0};  // the input lines as last recorded, one bit each
  std::optional<TrafficLog> traffic_log_;
  std::optional<MqttBridge> mqtt_;                 // after the port and the slot it writes through
  std::optional<NetworkPortControl> tcp_control_;  // likewise
  std::optional<netport::PortClientService> tcp_;  // its thread stops before what it uses goes
  bool active_ = false;
  bool warned_clear_text_ = false;  // the clear-text password warning is given once
  bool reported_keys_ = false;      // unknown keys are reported at the first load only
  http::THTTPServer server_;        // last: its threads stop before anything they use is freed
};

}  // namespace orvelle::app
