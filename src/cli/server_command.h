// The headless server: `orvelle [--home DIR] [--port N]` serving at once, log lines on stdout,
// SIGINT or SIGTERM closing it as closing the desktop window would; --demo adds a simulated device.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/mqtt_settings.h"
#include "app/tls_options.h"
#include "netport/tcp_port_settings.h"

namespace orvelle::cli {

struct ServerCommandOptions {
  std::filesystem::path home;
  std::optional<int> port;
  std::string listen_ip;                       // --bind: empty means all interfaces
  std::chrono::milliseconds session_minute{};  // hidden test hook: 0 keeps one real minute
  bool demo = false;                // run the simulated instrument and seed its path as demoport
  bool allow_cross_site = false;    // serve script pages to requests made by other sites
  app::TlsArguments tls;            // HTTPS beside the plain port
  std::size_t max_connections = 0;  // hidden test hook: 0 keeps the server's default
  std::filesystem::path traffic_log = {};      // --traffic-log: every traffic record appended here
  std::optional<app::MqttSettings> mqtt = {};  // --mqtt: the broker bridge
  std::string home_note = {};  // why the home is where it is (no --home given), for the log
  std::vector<std::string> allowed_hosts = {};  // --allow-host: names served besides our own
  std::filesystem::path config_file = {};       // --config: read, never written
  std::optional<script::SerialAccess::OpenRequest> open_at_start = {};  // --open-port
  std::optional<netport::TcpPortSettings> tcp = {};  // --rfc2217-port, --raw-port
  std::string tcp_device = {};                       // --tcp-device
  bool explain_scripts = false;                      // --explain-scripts: log why lines did nothing
};

// Runs until a signal; 0 after a clean close, 1 when the server could not start (also for a
// certificate or key that cannot be used).
int RunServer(const ServerCommandOptions& options);

}  // namespace orvelle::cli
