// Parsing the broker URL, reading the password file, checking the gateway's name.
#include "app/mqtt_settings.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <charconv>

#include "base/unique_fd.h"

namespace orvelle::app {
namespace {

constexpr int kPlainPort = 1883;
constexpr int kTlsPort = 8883;

bool IsPrintable(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 0x21 && byte != 0x7F;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "%XX" escapes of a URL's user part; a broken escape or a control byte refuses the URL.
std::string DecodeUserPart(std::string_view text, const char* what) {
  if (text.size() > kMaxMqttCredentialBytes) {
    throw MqttSettingsError(std::string("--mqtt: the ") + what + " is too long");
  }
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      const int high = i + 2 < text.size() ? HexValue(text[i + 1]) : -1;
      const int low = high >= 0 ? HexValue(text[i + 2]) : -1;
      if (low < 0) throw MqttSettingsError(std::string("--mqtt: a broken %-escape in the ") + what);
      c = static_cast<char>(high * 16 + low);
      i += 2;
    }
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      throw MqttSettingsError(std::string("--mqtt: a control character in the ") + what);
    }
    out.push_back(c);
  }
  return out;
}

int ParsePort(std::string_view text) {
  int port = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || port < 1 ||
      port > 65535) {
    throw MqttSettingsError("--mqtt: the port must be a number from 1 to 65535");
  }
  return port;
}

void ParseHostPort(std::string_view text, MqttSettings& settings) {
  std::string_view host = text;
  std::string_view port;
  if (text.starts_with('[')) {  // an IPv6 literal
    const auto close = text.find(']');
    if (close == std::string_view::npos) throw MqttSettingsError("--mqtt: an unclosed '['");
    host = text.substr(1, close - 1);
    const std::string_view rest = text.substr(close + 1);
    if (!rest.empty() && !rest.starts_with(':')) {
      throw MqttSettingsError("--mqtt: text after the host");
    }
    if (!rest.empty()) port = rest.substr(1);
    if (rest == ":") port = ":";  // refused below
  } else if (const auto colon = text.rfind(':'); colon != std::string_view::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (port.empty()) port = ":";
  }
  if (host.empty()) throw MqttSettingsError("--mqtt: the URL names no host");
  if (host.size() > kMaxMqttHostBytes) throw MqttSettingsError("--mqtt: the host is too long");
  for (const char c : host) {
    if (!IsPrintable(c) || c == '/' || c == '@' || c == '[' || c == ']' || c == '%') {
      throw MqttSettingsError("--mqtt: the host holds a character a host name cannot have");
    }
  }
  settings.host = std::string(host);
  if (!port.empty()) settings.port = ParsePort(port);
}

void ParseUrl(std::string_view url, MqttSettings& settings) {
  constexpr std::string_view kPlain = "mqtt://";
  constexpr std::string_view kTls = "mqtts://";
  if (url.starts_with(kPlain)) {
    url.remove_prefix(kPlain.size());
    settings.port = kPlainPort;
  } else if (url.starts_with(kTls)) {
    url.remove_prefix(kTls.size());
    settings.tls = true;
    settings.port = kTlsPort;
  } else {
    throw MqttSettingsError("--mqtt: the URL must start with mqtt:// or mqtts://");
  }
  if (url.ends_with('/')) url.remove_suffix(1);  // "mqtt://host:1883/" is common to paste
  if (url.find_first_of("/?#") != std::string_view::npos) {
    throw MqttSettingsError("--mqtt: the URL may hold no path, query or fragment");
  }
  if (const auto at = url.rfind('@'); at != std::string_view::npos) {
    const std::string_view user_part = url.substr(0, at);
    const auto colon = user_part.find(':');
    settings.user = DecodeUserPart(user_part.substr(0, colon), "user");
    if (colon != std::string_view::npos) {
      settings.password = DecodeUserPart(user_part.substr(colon + 1), "password");
    }
    if (settings.user.empty()) throw MqttSettingsError("--mqtt: an empty user before '@'");
    url.remove_prefix(at + 1);
  }
  ParseHostPort(url, settings);
}

// The first line of the file, without its line end; only that much of the file is read.
std::string ReadPassword(const std::string& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) throw MqttSettingsError("--mqtt-password-file: cannot read " + file);
  const base::UniqueFd hold(fd);
  std::string text(kMaxMqttCredentialBytes + 2, '\0');  // room for CR LF after the longest
  const ssize_t n = ::read(fd, text.data(), text.size());
  if (n < 0) throw MqttSettingsError("--mqtt-password-file: cannot read " + file);
  text.resize(static_cast<std::size_t>(n));
  text = text.substr(0, text.find_first_of("\r\n"));
  if (text.size() > kMaxMqttCredentialBytes) {
    throw MqttSettingsError("--mqtt-password-file: the first line of " + file + " is too long");
  }
  return text;
}

}  // namespace

std::string MqttNameProblem(std::string_view name) {
  if (name.empty()) return "is empty";
  if (name.size() > kMaxMqttNameBytes) {
    return "is longer than " + std::to_string(kMaxMqttNameBytes) + " bytes";
  }
  for (const char c : name) {
    if (c == '#' || c == '+' || c == '/') return "may not hold '#', '+' or '/'";
    if (!IsPrintable(c)) return "may hold only printable characters without spaces";
  }
  return {};
}

std::string DefaultMqttName() {
  std::array<char, 256> buffer{};
  if (::gethostname(buffer.data(), buffer.size() - 1) != 0) return "gateway";
  std::string name(buffer.data());
  if (name.size() > kMaxMqttNameBytes) name.resize(kMaxMqttNameBytes);
  for (char& c : name) {
    if (!IsPrintable(c) || c == '#' || c == '+' || c == '/') c = '_';
  }
  return name.empty() ? "gateway" : name;
}

MqttSettings ParseMqttSettings(const MqttArguments& arguments) {
  MqttSettings settings;
  ParseUrl(arguments.url, settings);
  if (!arguments.password_file.empty()) {
    if (!settings.password.empty()) {
      throw MqttSettingsError("--mqtt-password-file: the URL holds a password already");
    }
    if (settings.user.empty()) {
      throw MqttSettingsError("--mqtt-password-file: the URL names no user (mqtt://USER@host)");
    }
    settings.password = ReadPassword(arguments.password_file);
  }
  settings.name = arguments.name.empty() ? DefaultMqttName() : arguments.name;
  if (const std::string problem = MqttNameProblem(settings.name); !problem.empty()) {
    throw MqttSettingsError("--mqtt-name: the name " + problem);
  }
  settings.allow_send = arguments.allow_send;
  if (!arguments.ca_file.empty()) {
    if (!settings.tls) throw MqttSettingsError("--mqtt-ca: only for an mqtts:// URL");
    // Checked here so a wrong path stops the start instead of failing every connect later.
    if (::access(arguments.ca_file.c_str(), R_OK) != 0) {
      throw MqttSettingsError("--mqtt-ca: cannot read " + arguments.ca_file);
    }
    settings.ca_file = arguments.ca_file;
  }
  return settings;
}

}  // namespace orvelle::app
