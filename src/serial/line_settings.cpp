// termios2 through ioctl, so every rate is set exactly (BOTHER) rather than rounded to a table.
// <termios.h> is not included: its struct termios clashes with the kernel's.
#include "serial/line_settings.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace orvelle::serial {
namespace {

// Two UARTs still understand each other when their rates differ by this much.
constexpr std::uint64_t kRateTolerancePercent = 2;

tcflag_t SizeFlag(TDataBits bits) {
  switch (bits) {
    case TDataBits::dbFive:
      return CS5;
    case TDataBits::dbSix:
      return CS6;
    case TDataBits::dbSeven:
      return CS7;
    case TDataBits::dbEight:
      return CS8;
  }
  return CS8;
}

tcflag_t ParityFlags(TParityBits bits) {
  switch (bits) {
    case TParityBits::prNone:
      return 0;
    case TParityBits::prOdd:
      return PARENB | PARODD;
    case TParityBits::prEven:
      return PARENB;
    case TParityBits::prMark:
      return PARENB | CMSPAR | PARODD;
    case TParityBits::prSpace:
      return PARENB | CMSPAR;
  }
  return 0;
}

// termios has no 1.5 stop bits; CSTOPB gives 1.5 on UARTs at 5 data bits and 2 otherwise, the
// nearest a receiver expecting 1.5 still accepts.
tcflag_t StopFlag(TStopBits bits) {
  return bits == TStopBits::sbOneStopBit ? 0 : CSTOPB;
}

void SetControl(termios2& t, const LineRequest& r) {
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT) | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT) | CREAD | CLOCAL | SizeFlag(r.data_bits);
  t.c_cflag |= ParityFlags(r.parity.Bits) | StopFlag(r.stop_bits);
  const bool rts_cts = r.flow.OutCTSFlow || r.flow.ControlRTS == TRTSFlowControl::rtsHandshake;
  if (rts_cts) t.c_cflag |= CRTSCTS;
  t.c_ispeed = t.c_ospeed = r.rate;
}

// Raw input; a checked byte with a parity error reads as 0, the driver's form of replacement.
void SetInput(termios2& t, const LineRequest& r) {
  t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY |
                 INPCK | IGNPAR);
  if (r.parity.Check) t.c_iflag |= INPCK;
  if (r.flow.XonXoffOut) t.c_iflag |= IXON;
  if (r.flow.XonXoffIn) t.c_iflag |= IXOFF;
  t.c_cc[VSTART] = r.flow.XonChar;
  t.c_cc[VSTOP] = r.flow.XoffChar;
}

void SetRaw(termios2& t) {
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN | ECHOE | ECHOK);
  t.c_cc[VMIN] = 1;  // reads are non-blocking anyway; poll decides when to read
  t.c_cc[VTIME] = 0;
}

int SizeBits(tcflag_t flags) {
  switch (flags & CSIZE) {
    case CS5:
      return 5;
    case CS6:
      return 6;
    case CS7:
      return 7;
    default:
      return 8;
  }
}

void Decode(const termios2& t, LineReadback& out) {
  out.input_rate = t.c_ispeed;
  out.output_rate = t.c_ospeed;
  out.data_bits = SizeBits(t.c_cflag);
  out.parity_enabled = (t.c_cflag & PARENB) != 0;
  out.parity_odd = (t.c_cflag & PARODD) != 0;
  out.parity_sticky = (t.c_cflag & CMSPAR) != 0;
  out.two_stop_bits = (t.c_cflag & CSTOPB) != 0;
  out.rts_cts = (t.c_cflag & CRTSCTS) != 0;
  out.xon_out = (t.c_iflag & IXON) != 0;
  out.xon_in = (t.c_iflag & IXOFF) != 0;
  out.input_check = (t.c_iflag & INPCK) != 0;
  out.raw = (t.c_lflag & (ICANON | ECHO | ISIG)) == 0 && (t.c_oflag & OPOST) == 0;
  out.start_char = t.c_cc[VSTART];
  out.stop_char = t.c_cc[VSTOP];
}

// A driver clamps a rate it cannot run to its own limit and says so in the settings it keeps;
// running at another rate than asked would garble every byte, so that is a failure.
bool RateTaken(int fd, std::uint32_t rate) {
  termios2 t{};
  if (::ioctl(fd, TCGETS2, &t) != 0) return false;
  const std::uint64_t got = t.c_ospeed;
  const std::uint64_t differs = got > rate ? got - rate : rate - got;
  if (differs * 100 > std::uint64_t{rate} * kRateTolerancePercent) {
    errno = EINVAL;
    return false;
  }
  return true;
}

}  // namespace

bool ApplyLineSettings(int fd, const LineRequest& request) {
  termios2 t{};
  if (request.rate == 0) {  // B0 would hang the line up rather than set a rate
    errno = EINVAL;
    return false;
  }
  if (::ioctl(fd, TCGETS2, &t) != 0) return false;
  SetControl(t, request);
  SetInput(t, request);
  SetRaw(t);
  if (::ioctl(fd, TCSETS2, &t) != 0) return false;
  return RateTaken(fd, request.rate);
}

bool ReadLineSettings(int fd, LineReadback& out) {
  termios2 t{};
  if (::ioctl(fd, TCGETS2, &t) != 0) return false;
  Decode(t, out);
  return true;
}

LineReadback DescribeRequest(const LineRequest& request) {
  termios2 t{};
  SetControl(t, request);
  SetInput(t, request);
  SetRaw(t);
  LineReadback out;
  Decode(t, out);
  return out;
}

bool NoSuchDeviceFeature(int error) {
  return error == ENOTTY || error == EINVAL;
}

namespace {

bool SetLine(int fd, int line, bool on) {
  if (::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0) return true;
  return NoSuchDeviceFeature(errno);
}

}  // namespace

bool ApplyControlLines(int fd, const TSerialFlowControl& flow) {
  const bool dtr = flow.ControlDTR != TDTRFlowControl::dtrDisable;
  // With hardware handshake the driver drives RTS itself.
  if (flow.ControlRTS == TRTSFlowControl::rtsHandshake) return SetLine(fd, TIOCM_DTR, dtr);
  const bool rts = flow.ControlRTS != TRTSFlowControl::rtsDisable;
  return SetLine(fd, TIOCM_DTR, dtr) && SetLine(fd, TIOCM_RTS, rts);
}

}  // namespace orvelle::serial
