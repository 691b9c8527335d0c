// Starting and stopping the server, the port setting and its fallback, a new
// SessionCounter at each start.
#include <fmt/format.h>

#include <chrono>
#include <random>

#include "http/exceptions.h"
#include "server_main.h"
#include "webfront/setting_numbers.h"

namespace orvelle::app {
namespace {

// Used when "Server port" is not a port number.
constexpr int kFallbackPort = 80;
// SessionCounter is drawn from 0 to this, as the cookie values always were.
constexpr int kMaxFirstSessionCounter = 9998;
constexpr int kMaxPort = 65535;
// Ports below this need root or CAP_NET_BIND_SERVICE on Linux.
constexpr int kFirstUnprivilegedPort = 1024;
// The socket error number of EACCES, what binding a privileged port without the right gives.
constexpr int kAccessDenied = 10013;
// The password config.ini is created with; anyone who read the documentation knows it.
constexpr std::string_view kShippedPassword = "kelp";

std::int32_t DrawSessionCounter() {
  std::mt19937 generator(
      static_cast<std::uint32_t>(std::chrono::system_clock::now().time_since_epoch().count()));
  return std::uniform_int_distribution<std::int32_t>(0, kMaxFirstSessionCounter)(generator);
}

}  // namespace

void ServerMain::StartOrStop() {
  active_ = !active_;
  if (!server_.Active()) PrepareBinding();
  if (active_) {
    StartServer();
  } else {
    StopServer();
  }
}

void ServerMain::PrepareBinding() {
  server_.Bindings().Clear();
  const auto port = webfront::ParseSettingInteger(GetSetting("Server port"));
  // Out-of-range numbers would be truncated by the socket layer into some other port.
  if (!port || *port < 0 || *port > kMaxPort) {
    AddLog("Port value is incorrect. Using port 80.");
    server_.DefaultPort = kFallbackPort;
  } else {
    server_.DefaultPort = *port;
  }
  server_.Bindings().Add().IP = options_.listen_ip;
  server_.RedirectToHttps = options_.tls && options_.https_only;
  if (options_.tls) {
    http::TSocketHandle& secure = server_.Bindings().Add();
    secure.IP = options_.listen_ip;
    secure.Port = options_.https_port;
    secure.Tls = options_.tls;
  }
}

void ServerMain::StartServer() {
  // The names the Host rule serves besides this machine's own, as they stand at this start.
  dispatcher_.AllowHosts(options_.allowed_hosts);
  try {
    server_.Active(true);
    session_.NewCounter(DrawSessionCounter());
    LogListening();
    if (tcp_ && !tcp_->Start()) {
      // Asked for and not had: running without it would look like success.
      server_.Active(false);
      active_ = false;
      AddLog("Stop listening: the network serial port could not be opened.");
      return;
    }
    OpenPortAtStart();
  } catch (const http::EServerException& error) {
    active_ = false;
    AddLog(
        fmt::format("Exception {} in Activate. Error is:\"{}\".", error.ClassName(), error.what()));
    ExplainPrivilegedPort(error);
    ExplainBusyPort(error);
  } catch (const std::exception& error) {
    active_ = false;
    AddLog(fmt::format("Exception Exception in Activate. Error is:\"{}\".", error.what()));
  }
}

// The socket error number alone does not tell a newcomer what to do about port 80.
void ServerMain::ExplainPrivilegedPort(const http::EServerException& error) {
  const auto* socket_error = dynamic_cast<const http::ESocketError*>(&error);
  if (socket_error == nullptr || socket_error->LastError() != kAccessDenied) return;
  for (const http::TSocketHandle& binding : server_.Bindings()) {
    const int port = binding.Port != 0 ? binding.Port : server_.DefaultPort;
    if (port > 0 && port < kFirstUnprivilegedPort) {
      AddLog(fmt::format(
          "Port {} needs root or the CAP_NET_BIND_SERVICE capability; try --port 8080", port));
      return;
    }
  }
}

// The defined line says only that some address is taken; a newcomer needs the port and a way out.
void ServerMain::ExplainBusyPort(const http::EServerException& error) {
  if (dynamic_cast<const http::ECouldNotBindSocket*>(&error) == nullptr) return;
  std::string ports;
  for (const http::TSocketHandle& binding : server_.Bindings()) {
    const int port = binding.Port != 0 ? binding.Port : server_.DefaultPort;
    if (port != 0) ports += (ports.empty() ? "" : " or ") + std::to_string(port);
  }
  AddLog(fmt::format(
      "Port {} is already in use by another program (perhaps another Orvelle): stop it, or pick "
      "another port with --port N (--port 0 takes any free one) or \"Server port\" in {}",
      ports, ConfigPath().string()));
}

void ServerMain::LogListening() {
  for (const http::TSocketHandle& binding : server_.Bindings()) {
    // An IPv6 address is bracketed, so its last colon is not taken for the port's.
    const bool v6 = binding.IP.find(':') != std::string::npos;
    AddLog(fmt::format("Listening for {} connections on {}{}{}:{}.", binding.Tls ? "HTTPS" : "HTTP",
                       v6 ? "[" : "", binding.IP, v6 ? "]" : "", binding.Port));
  }
  AddLog("Serving " + LocalUrl());
  if (!options_.tls && GetSetting("Auth require") == "yes" && !warned_clear_text_) {
    warned_clear_text_ = true;
    AddLog(
        "Warning: authentication is on but HTTPS is not configured, so passwords travel in "
        "clear text (see --https-port).");
  }
  // The shipped password is in every copy of the documentation; an empty one is no better.
  const std::string password = GetSetting("Auth password");
  if (GetSetting("Auth require") == "yes" && (password.empty() || password == kShippedPassword)) {
    AddLog("Auth password is the shipped default: anyone can sign in; set your own in config.ini");
  }
}

// After the listeners, so a device that streams at once is already served to pages and viewers.
void ServerMain::OpenPortAtStart() {
  if (!options_.open_at_start) return;
  if (port_access_.OpenAtStart(*options_.open_at_start)) {
    AddLog("Serial port opened at start: " + port_access_.IsOpenText());
  }
}

void ServerMain::StopServer() {
  if (tcp_) tcp_->Stop();
  server_.Active(false);
  session_.Close();
  port_access_.ClosePort();
  AddLog("Stop listening, com port closed.");
}

}  // namespace orvelle::app
