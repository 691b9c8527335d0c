// Entry point of the orvelle executable: parses the command line and runs the chosen command.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <filesystem>
#include <iostream>

#include "app/home_folder.h"
#include "app/mqtt_settings.h"
#include "app/settings_file.h"
#include "app/start_options.h"
#include "app/tls_options.h"
#include "check_command.h"
#include "http/self_signed.h"
#include "render_command.h"
#include "server_command.h"
#include "tcp_options.h"

namespace {

// --make-cert: a self-signed pair for this machine, then exit.
int MakeCertificate(const std::filesystem::path& dir) {
  try {
    orvelle::http::WriteSelfSigned(dir, orvelle::http::LocalCertificateNames());
  } catch (const orvelle::http::ETlsError& error) {
    std::cerr << "orvelle: " << error.what() << "\n";
    return 1;
  }
  const std::string cert = (dir / "cert.pem").string();
  const std::string key = (dir / "key.pem").string();
  std::cout << "Wrote " << cert << " and " << key << " (self-signed, valid for a year).\n"
            << "Serve HTTPS with them: orvelle --https-port 8443 --cert " << cert << " --key "
            << key << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Orvelle: puts a serial device on the web. Serves the folder web/ of its home "
      "over HTTP and runs script pages (.ovs)."};
  orvelle::app::UsePlainHelp(app);  // before the subcommands, which take it over
  app.set_version_flag("--version", std::string("orvelle ") + ORVELLE_VERSION);
  std::string home;
  constexpr const char* kHomeHelp =
      "Folder holding config.ini and web/ (default: the executable's folder, or "
      "~/.local/share/orvelle when that cannot be written)";
  app.add_option("--home", home, kHomeHelp)->type_name("DIR");
  std::string config_file;
  app.add_option("--config", config_file,
                 "Read the settings from FILE instead of HOME/config.ini; the server never "
                 "writes it. Every key=value line counts; lines starting with # are comments")
      ->type_name("FILE");
  std::string instance;
  app.add_option("--instance", instance,
                 "This gateway's NAME (orvelle@NAME.service gives it): the MQTT name unless "
                 "\"MQTT name\" or --mqtt-name says otherwise")
      ->type_name("NAME");
  orvelle::app::StartArguments start;
  orvelle::app::AddStartOptions(app, start);
  bool allow_cross_site = false;
  app.add_flag("--allow-cross-site", allow_cross_site,
               "Run script pages and /.orvelle/ endpoints also for requests that a page of "
               "another origin makes the browser send (refused with 403 by default; a link "
               "followed from there gets a page to continue from)");
  bool explain_scripts = false;
  app.add_flag("--explain-scripts", explain_scripts,
               "Log why script lines did nothing (an unknown function, a wrong argument count, a "
               "division by zero, a failed expression), at most once per page and line a minute");
  orvelle::app::TlsArguments tls;
  orvelle::app::AddTlsOptions(app, tls);
  orvelle::cli::TcpArguments tcp;
  orvelle::cli::AddTcpOptions(app, tcp);
  std::string make_cert;
  app.add_option("--make-cert", make_cert,
                 "Write a self-signed certificate and key for this machine (cert.pem, key.pem) "
                 "into DIR for --cert and --key, and exit")
      ->type_name("DIR");
  std::string traffic_log;
  app.add_option("--traffic-log", traffic_log,
                 "Append every byte received and sent and every port event to FILE as dated "
                 "hex and ASCII lines (rotated at 16 MiB, 3 old files kept)")
      ->type_name("FILE");
  orvelle::app::MqttArguments mqtt;
  CLI::Option* mqtt_url =
      app.add_option("--mqtt", mqtt.url,
                     "Publish the port's traffic, lines, events, status and the log to the MQTT "
                     "broker at URL (mqtt://[USER[:PASSWORD]@]HOST[:PORT] or mqtts://...) under "
                     "orvelle/NAME/")
          ->type_name("URL");
  app.add_option("--mqtt-password-file", mqtt.password_file,
                 "Read the broker password from the first line of FILE (the URL names the user); "
                 "with --mqtt")
      ->type_name("FILE")
      ->needs(mqtt_url);
  app.add_option("--mqtt-ca", mqtt.ca_file,
                 "Check an mqtts:// broker against the CA certificate(s) in this PEM FILE "
                 "instead of the system's; with --mqtt")
      ->type_name("FILE")
      ->needs(mqtt_url);
  app.add_option("--mqtt-name", mqtt.name,
                 "The gateway's NAME in the topics (default: the host name; no '#', '+' or '/'); "
                 "with --mqtt")
      ->type_name("NAME")
      ->needs(mqtt_url);
  app.add_flag("--mqtt-allow-send", mqtt.allow_send,
               "Write each message on orvelle/NAME/send to the open port, between script runs; "
               "with --mqtt")
      ->needs(mqtt_url);
  // Test hooks, left out of --help: the old name of --bind, a shorter session minute, and a
  // connection limit small enough to fill.
  long max_connections = 0;
  app.add_option("--max-connections", max_connections)->check(CLI::Range(1L, 1024L))->group("");
  long session_minute_ms = 0;
  app.add_option("--listen-ip", start.bind)->group("");
  app.add_option("--session-minute-ms", session_minute_ms)
      ->check(CLI::Range(1L, 60000L))
      ->group("");
  long mqtt_backoff_ms = 0;
  app.add_option("--mqtt-backoff-ms", mqtt_backoff_ms)->check(CLI::Range(1L, 60000L))->group("");
  app.fallthrough();

  orvelle::cli::RenderOptions render;
  CLI::App* render_cmd =
      app.add_subcommand("render", "Run one script page and write the response body to stdout");
  render_cmd->add_option("file", render.file, "The page file")->required()->type_name("FILE");
  render_cmd->add_option("params", render.params, "Request parameters as NAME=VALUE, in order")
      ->type_name("NAME=VALUE");
  // Also here, so `render --help` shows it; before or after `render` it is the same option.
  render_cmd->add_option("--home", home, kHomeHelp)->type_name("DIR");
  render_cmd->add_flag("--plain", render.plain,
                       "Evaluate every line from its text, without the cached fast path");
  render_cmd->add_flag("--explain", render.explain,
                       "Say on stderr, as FILE:LINE: reason, why lines did nothing");
  std::vector<std::string> check_pages;
  CLI::App* check_cmd = app.add_subcommand(
      "check", "Report quirks in script pages without running them: one line per finding");
  check_cmd
      ->add_option("pages", check_pages,
                   "The page files, and folders standing for every .ovs file below them")
      ->required()
      ->type_name("PAGE|DIR");

  // The file may give a companion the command line leaves out (--cert of --https-port).
  const orvelle::app::OptionNeeds needs = orvelle::app::DeferOptionNeeds(app);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::cerr << "orvelle: " << e.what() << " (see orvelle --help)\n";
    return 2;
  }
  if (!make_cert.empty()) return MakeCertificate(make_cert);
  if (check_cmd->parsed()) return orvelle::cli::RunCheck(check_pages);
  const orvelle::app::HomeChoice chosen =
      home.empty() ? orvelle::app::DefaultHome(orvelle::app::ExecutableFolder())
                   : orvelle::app::HomeChoice{home, {}};
  render.home = chosen.home;
  if (render_cmd->parsed()) return orvelle::cli::RunRender(render);
  const std::filesystem::path settings_file =
      config_file.empty() ? render.home / "config.ini" : std::filesystem::path(config_file);
  if (const int code = orvelle::app::ApplySettingsFile(app, needs, settings_file,
                                                       !config_file.empty(), "orvelle"))
    return code;
  std::optional<orvelle::netport::TcpPortSettings> tcp_settings;
  try {
    tcp_settings = orvelle::cli::TcpSettings(tcp, start.bind);
  } catch (const CLI::ValidationError& e) {
    std::cerr << "orvelle: " << e.what() << " (see orvelle --help)\n";
    return 2;
  }
  if (mqtt.name.empty()) mqtt.name = instance;
  std::optional<orvelle::app::MqttSettings> mqtt_settings;
  if (!mqtt.url.empty()) {
    try {
      mqtt_settings = orvelle::app::ParseMqttSettings(mqtt);
    } catch (const orvelle::app::MqttSettingsError& e) {
      std::cerr << "orvelle: " << e.what() << "\n";
      return 2;
    }
    if (mqtt_backoff_ms > 0)
      mqtt_settings->backoff_first = std::chrono::milliseconds(mqtt_backoff_ms);
  }
  orvelle::cli::ServerCommandOptions server{
      render.home, orvelle::app::PortOverride(start),
      start.bind,  std::chrono::milliseconds(session_minute_ms),
      start.demo,  allow_cross_site,
      tls};
  server.max_connections = static_cast<std::size_t>(max_connections);
  server.traffic_log = traffic_log;
  server.mqtt = mqtt_settings;
  server.home_note = chosen.note;
  server.allowed_hosts = start.allowed_hosts;
  server.config_file = config_file;
  server.open_at_start = orvelle::app::OpenAtStart(start);
  server.tcp = tcp_settings;
  server.tcp_device = tcp.device;
  server.explain_scripts = explain_scripts;
  return orvelle::cli::RunServer(server);
}
