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
  try {
    server_.Active(true);
    session_.NewCounter(DrawSessionCounter());
    LogListening();
  } catch (const http::EServerException& error) {
    active_ = false;
    AddLog(
        fmt::format("Exception {} in Activate. Error is:\"{}\".", error.ClassName(), error.what()));
  } catch (const std::exception& error) {
    active_ = false;
    AddLog(fmt::format("Exception Exception in Activate. Error is:\"{}\".", error.what()));
  }
}

void ServerMain::LogListening() {
  for (const http::TSocketHandle& binding : server_.Bindings()) {
    AddLog(fmt::format("Listening for {} connections on {}:{}.", binding.Tls ? "HTTPS" : "HTTP",
                       binding.IP, binding.Port));
  }
  if (!options_.tls && GetSetting("Auth require") == "yes" && !warned_clear_text_) {
    warned_clear_text_ = true;
    AddLog(
        "Warning: authentication is on but HTTPS is not configured, so passwords travel in "
        "clear text (see --https-port).");
  }
}

void ServerMain::StopServer() {
  server_.Active(false);
  session_.Close();
  port_access_.ClosePort();
  AddLog("Stop listening, com port closed.");
}

}  // namespace orvelle::app
