// The ioctl calls behind the queries.
#include "serial/device_queries.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

namespace orvelle::serial {

bool ReadLineCounters(int fd, LineCounters& out) {
  serial_icounter_struct counts{};
  if (::ioctl(fd, TIOCGICOUNT, &counts) != 0) return false;
  out = {counts.frame, counts.parity, counts.overrun, counts.brk, counts.buf_overrun};
  return true;
}

bool ReadModemBits(int fd, int& bits) {
  return ::ioctl(fd, TIOCMGET, &bits) == 0;
}

int WaitingBytes(int fd) {
  int count = 0;
  return ::ioctl(fd, FIONREAD, &count) == 0 ? count : -1;
}

}  // namespace orvelle::serial
