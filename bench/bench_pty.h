// The pretend instrument's line for the benches: a pseudo-terminal in raw mode, its master the
// device side, its slave the port a program opens.
#pragma once

#include <pty.h>
#include <termios.h>

#include <stdexcept>
#include <string>

#include "base/unique_fd.h"

namespace orvelle::bench {

inline void MakeRaw(int fd) {
  termios settings{};
  if (::tcgetattr(fd, &settings) != 0) throw std::runtime_error("tcgetattr");
  ::cfmakeraw(&settings);
  if (::tcsetattr(fd, TCSANOW, &settings) != 0) throw std::runtime_error("tcsetattr");
}

struct PtyPair {
  base::UniqueFd device;  // the master: what the instrument writes to
  base::UniqueFd port;    // the slave: what a program opens as its serial port
  std::string path;
};

inline PtyPair OpenPty() {
  int master = -1;
  int slave = -1;
  char name[256] = {};
  if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
  PtyPair pair{base::UniqueFd(master), base::UniqueFd(slave), name};
  MakeRaw(pair.port.Get());
  return pair;
}

}  // namespace orvelle::bench
