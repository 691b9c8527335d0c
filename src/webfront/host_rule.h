// Which names a request may address this server by. A page on a name that first resolves to an
// attacker and then to this machine is same-origin for the browser; serving only names that are
// this machine's, or that the operator named, turns that page away.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orvelle::webfront {

// Longest host name DNS can carry; a longer Host header is no name of ours.
inline constexpr std::size_t kMaxHostName = 253;

// The name part of a Host header value: the port removed, brackets kept around an IPv6
// address, a trailing dot removed, lower-cased.
std::string HostNameOf(std::string_view host);

// This machine's names: the host name, short and fully qualified, and SHORT.local.
std::vector<std::string> MachineNames();

// True for "NAME" and "*.DOMAIN" forms made of letters, digits, "-" and ".".
bool IsAllowedHostPattern(std::string_view pattern);

class HostRule {
 public:
  // `allowed` holds names and "*.domain" wildcards the operator gave.
  HostRule(std::vector<std::string> machine_names, std::vector<std::string> allowed);

  // True for an IP literal (v4, or v6 in brackets), "localhost", one of this machine's names,
  // or an allowed name; `host` is the Host header's value.
  bool Allows(std::string_view host) const;

 private:
  std::vector<std::string> names_;     // lower-case, exact
  std::vector<std::string> suffixes_;  // ".domain" of each wildcard, lower-case
};

}  // namespace orvelle::webfront
