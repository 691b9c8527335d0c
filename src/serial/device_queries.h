// Small ioctl queries shared by the port and its event thread.
#pragma once

namespace orvelle::serial {

// The driver's running counts of line errors and breaks (TIOCGICOUNT).
struct LineCounters {
  int frame = 0, parity = 0, overrun = 0, brk = 0, buf_overrun = 0;
  bool operator==(const LineCounters&) const = default;
};

// False with errno set when the driver keeps no counters (pseudo-terminals) or fails.
bool ReadLineCounters(int fd, LineCounters& out);
// The TIOCM_* bits of the modem lines; false with errno set on failure.
bool ReadModemBits(int fd, int& bits);
// Bytes waiting in the receive queue; -1 with errno set on failure.
int WaitingBytes(int fd);

}  // namespace orvelle::serial
