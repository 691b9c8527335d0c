// The serial port's settings: enumerations, their text forms, the four setting groups with their
// defaults, and the composite flow-control mode computed from the flow-control fields.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orvelle::serial {

enum class TBaudRate {
  brCustom,
  br110,
  br300,
  br600,
  br1200,
  br2400,
  br4800,
  br9600,
  br14400,
  br19200,
  br38400,
  br56000,
  br57600,
  br115200,
  br128000,
  br256000
};
enum class TStopBits { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum class TDataBits { dbFive, dbSix, dbSeven, dbEight };
enum class TParityBits { prNone, prOdd, prEven, prMark, prSpace };
enum class TFlowControl { fcHardware, fcSoftware, fcNone, fcCustom };
enum class TDTRFlowControl { dtrDisable, dtrEnable, dtrHandshake };
enum class TRTSFlowControl { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum class TSyncMethod { smThreadSync, smWindowSync, smNone };

TBaudRate ParseBaudRate(std::string_view text);
TStopBits ParseStopBits(std::string_view text);
TDataBits ParseDataBits(std::string_view text);
TParityBits ParseParity(std::string_view text);
TFlowControl ParseFlowControl(std::string_view text);

std::string BaudRateText(TBaudRate value);
std::string StopBitsText(TStopBits value);
std::string DataBitsText(TDataBits value);
std::string ParityText(TParityBits value);
std::string FlowControlText(TFlowControl value);

// Bits per second of a table rate; 0 for brCustom, whose rate is CustomBaudRate.
std::uint32_t BaudRateBits(TBaudRate value);
// 5 to 8.
int DataBitsCount(TDataBits value);

struct TSerialParity {
  TParityBits Bits = TParityBits::prNone;
  bool Check = false;    // the driver checks parity
  bool Replace = false;  // bytes with a parity error are replaced by ReplaceChar
  std::uint8_t ReplaceChar = 0;
  bool operator==(const TSerialParity&) const = default;
};

struct TSerialFlowControl {
  bool OutCTSFlow = false;
  bool OutDSRFlow = false;
  TDTRFlowControl ControlDTR = TDTRFlowControl::dtrDisable;
  TRTSFlowControl ControlRTS = TRTSFlowControl::rtsDisable;
  bool XonXoffOut = false;
  bool XonXoffIn = false;
  bool DSRSensitivity = false;
  bool TxContinueOnXoff = false;
  std::uint8_t XonChar = 17;
  std::uint8_t XoffChar = 19;
  bool operator==(const TSerialFlowControl&) const = default;

  // The composite mode read from the RTS, CTS and XON/XOFF fields.
  TFlowControl FlowControl() const;
  // Rewrites those fields for every mode but fcCustom, which changes nothing.
  void FlowControl(TFlowControl value);
};

// Milliseconds; -1 stands for the unsigned 4294967295 of "return at once".
struct TSerialTimeouts {
  std::int32_t ReadInterval = -1;
  std::int32_t ReadTotalMultiplier = 0;
  std::int32_t ReadTotalConstant = 0;
  std::int32_t WriteTotalMultiplier = 100;
  std::int32_t WriteTotalConstant = 1000;
  bool operator==(const TSerialTimeouts&) const = default;
};

struct TSerialBuffer {
  int InputSize = 1024;
  int OutputSize = 1024;
  bool operator==(const TSerialBuffer&) const = default;
};

// Odd positive queue sizes are stored one less (4097 becomes 4096).
int EvenQueueSize(int size);

}  // namespace orvelle::serial
