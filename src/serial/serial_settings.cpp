// Text forms of the settings and the composite flow-control rules.
#include "serial/serial_settings.h"

#include <array>
#include <cstddef>

#include "base/ascii_text.h"

namespace orvelle::serial {
namespace {

constexpr std::array<const char*, 16> kBaudTexts = {
    "Custom", "110",   "300",   "600",   "1200",  "2400",   "4800",   "9600",
    "14400",  "19200", "38400", "56000", "57600", "115200", "128000", "256000"};
constexpr std::array<std::uint32_t, 16> kBaudBits = {0,     110,    300,    600,   1200,  2400,
                                                     4800,  9600,   14400,  19200, 38400, 56000,
                                                     57600, 115200, 128000, 256000};
constexpr std::array<const char*, 3> kStopTexts = {"1", "1.5", "2"};
constexpr std::array<const char*, 4> kDataTexts = {"5", "6", "7", "8"};
constexpr std::array<const char*, 5> kParityTexts = {"None", "Odd", "Even", "Mark", "Space"};
constexpr std::array<const char*, 4> kFlowTexts = {"Hardware", "Software", "None", "Custom"};

// The first text form equal to `text` when both are upper-cased, in ordinal order.
template <typename Enum, std::size_t N>
Enum Parse(std::string_view text, const std::array<const char*, N>& forms, Enum fallback) {
  for (std::size_t i = 0; i < N; ++i) {
    if (base::EqualsIgnoreCase(text, forms[i])) return static_cast<Enum>(i);
  }
  return fallback;
}

template <typename Enum, std::size_t N>
std::string Text(Enum value, const std::array<const char*, N>& forms) {
  return forms.at(static_cast<std::size_t>(value));
}

}  // namespace

TBaudRate ParseBaudRate(std::string_view text) {
  return Parse(text, kBaudTexts, TBaudRate::br9600);
}
TStopBits ParseStopBits(std::string_view text) {
  return Parse(text, kStopTexts, TStopBits::sbOneStopBit);
}
TDataBits ParseDataBits(std::string_view text) {
  return Parse(text, kDataTexts, TDataBits::dbEight);
}
TParityBits ParseParity(std::string_view text) {
  return Parse(text, kParityTexts, TParityBits::prNone);
}
TFlowControl ParseFlowControl(std::string_view text) {
  return Parse(text, kFlowTexts, TFlowControl::fcCustom);
}

std::string BaudRateText(TBaudRate value) {
  return Text(value, kBaudTexts);
}
std::string StopBitsText(TStopBits value) {
  return Text(value, kStopTexts);
}
std::string DataBitsText(TDataBits value) {
  return Text(value, kDataTexts);
}
std::string ParityText(TParityBits value) {
  return Text(value, kParityTexts);
}
std::string FlowControlText(TFlowControl value) {
  return Text(value, kFlowTexts);
}

std::uint32_t BaudRateBits(TBaudRate value) {
  return kBaudBits.at(static_cast<std::size_t>(value));
}

int DataBitsCount(TDataBits value) {
  return 5 + static_cast<int>(value);
}

TFlowControl TSerialFlowControl::FlowControl() const {
  const bool xon_both = XonXoffIn && XonXoffOut;
  const bool xon_none = !XonXoffIn && !XonXoffOut;
  if (ControlRTS == TRTSFlowControl::rtsHandshake && OutCTSFlow && xon_none) {
    return TFlowControl::fcHardware;
  }
  if (ControlRTS == TRTSFlowControl::rtsDisable && !OutCTSFlow && xon_both) {
    return TFlowControl::fcSoftware;
  }
  if (ControlRTS == TRTSFlowControl::rtsDisable && !OutCTSFlow && xon_none) {
    return TFlowControl::fcNone;
  }
  return TFlowControl::fcCustom;
}

void TSerialFlowControl::FlowControl(TFlowControl value) {
  if (value == TFlowControl::fcCustom) return;
  ControlRTS = TRTSFlowControl::rtsDisable;
  OutCTSFlow = XonXoffIn = XonXoffOut = false;
  if (value == TFlowControl::fcHardware) {
    ControlRTS = TRTSFlowControl::rtsHandshake;
    OutCTSFlow = true;
  } else if (value == TFlowControl::fcSoftware) {
    XonXoffIn = XonXoffOut = true;
  }
}

int EvenQueueSize(int size) {
  return size > 0 && size % 2 != 0 ? size - 1 : size;
}

}  // namespace orvelle::serial
