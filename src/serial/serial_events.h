// The port events, line errors and modem signals as sets, and the event flag masks.
#pragma once

#include <cstdint>

namespace orvelle::serial {

// Port events with their flag values; a TSerialEvents value is a mask of them.
enum TSerialEvent : std::uint32_t {
  evRxChar = 0x0001,
  evTxEmpty = 0x0004,
  evRxFlag = 0x0002,
  evRing = 0x0100,
  evBreak = 0x0040,
  evCTS = 0x0008,
  evDSR = 0x0010,
  evError = 0x0080,
  evRLSD = 0x0020,
  evRx80Full = 0x0400,
};
using TSerialEvents = std::uint32_t;
inline constexpr TSerialEvents kAllSerialEvents = 0x05FF;

inline constexpr std::uint32_t EventsToMask(TSerialEvents events) {
  return events & kAllSerialEvents;
}
inline constexpr TSerialEvents MaskToEvents(std::uint32_t mask) {
  return mask & kAllSerialEvents;
}

// TSerialErrors: a mask of line errors.
enum TSerialError : std::uint32_t {
  FrameError = 1u << 0,
  ParityError = 1u << 1,
  Overrun = 1u << 2,
  BreakDetected = 1u << 3,
  IOError = 1u << 4,
  ModeError = 1u << 5,
  RxOverflow = 1u << 6,
  TxFull = 1u << 7,
};
using TSerialErrors = std::uint32_t;

// Modem signals: a mask of what the signal query reports.
enum TModemSignal : std::uint32_t { CTS = 1u << 0, DSR = 1u << 1, Ring = 1u << 2, RLSD = 1u << 3 };
using TModemSignals = std::uint32_t;

}  // namespace orvelle::serial
