// The broker bridge's settings from the command line: the broker URL (mqtt:// or mqtts://, with
// an optional user and password), a password file, the gateway's name in the topics, and whether
// messages may write to the port. Everything is checked here, so a bad value stops the start
// with one line instead of a bridge that fails later.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace orvelle::app {

// A setting the bridge cannot use; what() is the one line the user sees.
class MqttSettingsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct MqttSettings {
  std::string host;
  int port = 0;
  bool tls = false;
  std::string ca_file;  // mqtts: the PEM file of the broker's CA; empty: the system's store
  std::string user;     // empty: none
  std::string password;
  std::string name;  // the gateway's part of every topic
  bool allow_send = false;
  // The first wait after a failed connect; it doubles up to the ceiling.
  std::chrono::milliseconds backoff_first{std::chrono::seconds(1)};
  std::chrono::milliseconds backoff_ceiling{std::chrono::seconds(60)};

  std::string Prefix() const { return "orvelle/" + name + "/"; }
  std::string Where() const { return host + ":" + std::to_string(port); }  // for log lines
};

// A topic level is short in every setup we know; it also bounds every topic we build.
inline constexpr std::size_t kMaxMqttNameBytes = 64;
// DNS names stop at 253 bytes; an IPv6 literal is far shorter.
inline constexpr std::size_t kMaxMqttHostBytes = 253;
// User names and passwords of brokers are short; a file holding more is not a password file.
inline constexpr std::size_t kMaxMqttCredentialBytes = 1024;

struct MqttArguments {
  std::string url;
  std::string password_file;  // empty: none
  std::string name;           // empty: the host name
  bool allow_send = false;
  std::string ca_file = {};  // empty: the system's certificates
};

// The settings the arguments describe; throws MqttSettingsError.
MqttSettings ParseMqttSettings(const MqttArguments& arguments);

// Checks a topic name part: 1 to kMaxMqttNameBytes printable bytes, none of '#', '+', '/'.
// Returns the reason it is refused, or empty text.
std::string MqttNameProblem(std::string_view name);

// The machine's host name made fit for a topic level ("gateway" when it has none).
std::string DefaultMqttName();

}  // namespace orvelle::app
