// The Host check: literals and this machine's names always, other names only when allowed.
#include "host_rule.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

#include "base/ascii_text.h"

namespace orvelle::webfront {
namespace {

bool IsNameByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.';
}

bool IsPlainName(std::string_view name) {
  return !name.empty() && name.size() <= kMaxHostName && name.front() != '.' &&
         name.back() != '.' && std::all_of(name.begin(), name.end(), IsNameByte);
}

bool IsIpLiteral(const std::string& name) {
  unsigned char address[16];
  if (::inet_pton(AF_INET, name.c_str(), address) == 1) return true;
  if (name.size() < 3 || name.front() != '[' || name.back() != ']') return false;
  return ::inet_pton(AF_INET6, name.substr(1, name.size() - 2).c_str(), address) == 1;
}

void AddName(std::vector<std::string>& names, std::string name) {
  name = base::AsciiLower(name);
  if (IsPlainName(name) && std::find(names.begin(), names.end(), name) == names.end()) {
    names.push_back(std::move(name));
  }
}

// The canonical name the resolver gives for this host (from /etc/hosts on most machines).
std::string CanonicalName(const std::string& host) {
  addrinfo hints{};
  hints.ai_flags = AI_CANONNAME;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return {};
  std::string name = found->ai_canonname ? found->ai_canonname : "";
  ::freeaddrinfo(found);
  return name;
}

}  // namespace

std::string HostNameOf(std::string_view host) {
  std::string_view name = host;
  if (name.starts_with('[')) {
    name =
        name.substr(0, name.find(']') == std::string_view::npos ? name.size() : name.find(']') + 1);
  } else {
    name = name.substr(0, name.find(':'));
  }
  if (name.ends_with('.')) name.remove_suffix(1);
  return base::AsciiLower(name);
}

std::vector<std::string> MachineNames() {
  char buffer[HOST_NAME_MAX + 1] = {};
  if (::gethostname(buffer, sizeof buffer - 1) != 0) return {};
  const std::string host = buffer;
  std::vector<std::string> names;
  AddName(names, host);
  const std::string full = host.find('.') == std::string::npos ? CanonicalName(host) : host;
  AddName(names, full);
  const std::string short_name = host.substr(0, host.find('.'));
  AddName(names, short_name);
  AddName(names, short_name + ".local");
  return names;
}

bool IsAllowedHostPattern(std::string_view pattern) {
  if (pattern.starts_with("*.")) pattern.remove_prefix(2);
  return IsPlainName(pattern);
}

HostRule::HostRule(std::vector<std::string> machine_names, std::vector<std::string> allowed) {
  for (std::string& name : machine_names) AddName(names_, std::move(name));
  AddName(names_, "localhost");
  for (const std::string& pattern : allowed) {
    if (!IsAllowedHostPattern(pattern)) continue;
    if (pattern.starts_with("*.")) {
      suffixes_.push_back(base::AsciiLower(pattern.substr(1)));
    } else {
      AddName(names_, pattern);
    }
  }
}

bool HostRule::Allows(std::string_view host) const {
  if (host.size() > kMaxHostName + sizeof ":65535") return false;
  const std::string name = HostNameOf(host);
  if (IsIpLiteral(name)) return true;
  if (!IsPlainName(name)) return false;
  if (std::find(names_.begin(), names_.end(), name) != names_.end()) return true;
  return std::any_of(suffixes_.begin(), suffixes_.end(), [&name](const std::string& suffix) {
    return name.size() > suffix.size() && name.ends_with(suffix);
  });
}

}  // namespace orvelle::webfront
