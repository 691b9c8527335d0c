// The network listeners' settings: which ports, on which address, for whom.
#pragma once

#include <string>

#include "netport/address_allow_list.h"

namespace orvelle::netport {

struct TcpPortSettings {
  static constexpr int kOff = -1;
  int rfc2217_port = kOff;  // 0: any free port (the log names it)
  int raw_port = kOff;
  std::string bind;  // an IPv4 address; empty: every interface, IPv6 included
  AddressAllowList allow = AddressAllowList::Local();
  bool takeover = false;  // a new client replaces the connected one instead of being refused
};

}  // namespace orvelle::netport
