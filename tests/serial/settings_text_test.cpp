// Text forms, defaults, the composite flow-control rules, queue sizes and ESerialPort messages.
#include <gtest/gtest.h>

#include "serial/serial_error.h"
#include "serial/serial_settings.h"

namespace orvelle::serial {
namespace {

TEST(ParseTest, BaudRateTexts) {
  const struct {
    const char* text;
    TBaudRate want;
  } cases[] = {{"9600", TBaudRate::br9600},     {"9600 ", TBaudRate::br9600},
               {"fast", TBaudRate::br9600},     {"custom", TBaudRate::brCustom},
               {"CUSTOM", TBaudRate::brCustom}, {"110", TBaudRate::br110},
               {"115200", TBaudRate::br115200}, {"256000", TBaudRate::br256000},
               {"", TBaudRate::br9600},         {" 110", TBaudRate::br9600}};
  for (const auto& c : cases) EXPECT_EQ(ParseBaudRate(c.text), c.want) << '"' << c.text << '"';
}

TEST(ParseTest, OtherTexts) {
  EXPECT_EQ(ParseStopBits("1.5"), TStopBits::sbOne5StopBits);
  EXPECT_EQ(ParseStopBits("2"), TStopBits::sbTwoStopBits);
  EXPECT_EQ(ParseStopBits("3"), TStopBits::sbOneStopBit);
  EXPECT_EQ(ParseParity("mark"), TParityBits::prMark);
  EXPECT_EQ(ParseParity("SPACE"), TParityBits::prSpace);
  EXPECT_EQ(ParseParity("odd"), TParityBits::prOdd);
  EXPECT_EQ(ParseParity(""), TParityBits::prNone);
  EXPECT_EQ(ParseDataBits("7"), TDataBits::dbSeven);
  EXPECT_EQ(ParseDataBits("5"), TDataBits::dbFive);
  EXPECT_EQ(ParseDataBits("9"), TDataBits::dbEight);
  EXPECT_EQ(ParseFlowControl("NONE"), TFlowControl::fcNone);
  EXPECT_EQ(ParseFlowControl("hardware"), TFlowControl::fcHardware);
  EXPECT_EQ(ParseFlowControl("Software"), TFlowControl::fcSoftware);
  EXPECT_EQ(ParseFlowControl("xyz"), TFlowControl::fcCustom);
}

// Every value's text parses back to the value itself.
TEST(TextTest, RoundTripsEveryValue) {
  for (int i = 0; i <= static_cast<int>(TBaudRate::br256000); ++i) {
    const auto value = static_cast<TBaudRate>(i);
    EXPECT_EQ(ParseBaudRate(BaudRateText(value)), value) << i;
  }
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ParseStopBits(StopBitsText(TStopBits(i))), TStopBits(i));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(ParseDataBits(DataBitsText(TDataBits(i))), TDataBits(i));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(ParseParity(ParityText(TParityBits(i))), TParityBits(i));
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(ParseFlowControl(FlowControlText(TFlowControl(i))), TFlowControl(i));
  }
}

TEST(TextTest, ExactForms) {
  EXPECT_EQ(BaudRateText(TBaudRate::brCustom), "Custom");
  EXPECT_EQ(BaudRateText(TBaudRate::br56000), "56000");
  EXPECT_EQ(StopBitsText(TStopBits::sbOne5StopBits), "1.5");
  EXPECT_EQ(DataBitsText(TDataBits::dbSix), "6");
  EXPECT_EQ(ParityText(TParityBits::prSpace), "Space");
  EXPECT_EQ(FlowControlText(TFlowControl::fcHardware), "Hardware");
  EXPECT_EQ(BaudRateBits(TBaudRate::br128000), 128000u);
  EXPECT_EQ(DataBitsCount(TDataBits::dbSeven), 7);
}

TEST(FlowControlTest, NewGroupReadsNone) {
  EXPECT_EQ(TSerialFlowControl{}.FlowControl(), TFlowControl::fcNone);
}

TEST(FlowControlTest, SettingHardwareKeepsDtr) {
  TSerialFlowControl flow;
  flow.ControlDTR = TDTRFlowControl::dtrEnable;
  flow.FlowControl(TFlowControl::fcHardware);
  EXPECT_EQ(flow.FlowControl(), TFlowControl::fcHardware);
  EXPECT_EQ(flow.ControlRTS, TRTSFlowControl::rtsHandshake);
  EXPECT_TRUE(flow.OutCTSFlow);
  EXPECT_EQ(flow.ControlDTR, TDTRFlowControl::dtrEnable);
}

TEST(FlowControlTest, SettingNoneSwitchesAllOff) {
  TSerialFlowControl flow;
  flow.FlowControl(TFlowControl::fcSoftware);
  EXPECT_TRUE(flow.XonXoffIn && flow.XonXoffOut);
  EXPECT_EQ(flow.FlowControl(), TFlowControl::fcSoftware);
  flow.OutCTSFlow = true;
  flow.FlowControl(TFlowControl::fcNone);
  EXPECT_FALSE(flow.XonXoffIn || flow.XonXoffOut || flow.OutCTSFlow);
  EXPECT_EQ(flow.ControlRTS, TRTSFlowControl::rtsDisable);
}

TEST(FlowControlTest, CustomChangesNothing) {
  TSerialFlowControl flow;
  flow.OutCTSFlow = true;
  flow.XonXoffIn = true;
  const TSerialFlowControl before = flow;
  flow.FlowControl(TFlowControl::fcCustom);
  EXPECT_EQ(flow, before);
}

TEST(FlowControlTest, ReadingTable) {
  const struct {
    TRTSFlowControl rts;
    bool cts, xin, xout, dsr;
    TFlowControl want;
  } cases[] = {
      {TRTSFlowControl::rtsHandshake, true, false, false, false, TFlowControl::fcHardware},
      {TRTSFlowControl::rtsHandshake, true, false, false, true, TFlowControl::fcHardware},
      {TRTSFlowControl::rtsHandshake, true, true, false, false, TFlowControl::fcCustom},
      {TRTSFlowControl::rtsDisable, false, true, true, false, TFlowControl::fcSoftware},
      {TRTSFlowControl::rtsDisable, false, true, false, false, TFlowControl::fcCustom},
      {TRTSFlowControl::rtsDisable, false, false, false, true, TFlowControl::fcNone},
      {TRTSFlowControl::rtsEnable, false, false, false, false, TFlowControl::fcCustom},
      {TRTSFlowControl::rtsToggle, false, false, false, false, TFlowControl::fcCustom},
      {TRTSFlowControl::rtsDisable, true, false, false, false, TFlowControl::fcCustom},
  };
  for (const auto& c : cases) {
    TSerialFlowControl flow;
    flow.ControlRTS = c.rts;
    flow.OutCTSFlow = c.cts;
    flow.XonXoffIn = c.xin;
    flow.XonXoffOut = c.xout;
    flow.OutDSRFlow = c.dsr;
    EXPECT_EQ(flow.FlowControl(), c.want) << static_cast<int>(c.rts) << c.cts << c.xin << c.xout;
  }
}

TEST(QueueSizeTest, OddPositiveSizesStoredOneLess) {
  EXPECT_EQ(EvenQueueSize(4097), 4096);
  EXPECT_EQ(EvenQueueSize(4096), 4096);
  EXPECT_EQ(EvenQueueSize(1), 0);
  EXPECT_EQ(EvenQueueSize(0), 0);
  EXPECT_EQ(EvenQueueSize(-3), -3);
}

TEST(DefaultsTest, GroupDefaults) {
  const TSerialTimeouts timeouts;
  EXPECT_EQ(static_cast<std::uint32_t>(timeouts.ReadInterval), 4294967295u);
  EXPECT_EQ(timeouts.WriteTotalMultiplier, 100);
  EXPECT_EQ(timeouts.WriteTotalConstant, 1000);
  EXPECT_EQ(TSerialBuffer{}.InputSize, 1024);
  EXPECT_EQ(TSerialFlowControl{}.XonChar, 17);
  EXPECT_EQ(TSerialFlowControl{}.XoffChar, 19);
}

TEST(ESerialPortTest, MessagesWithAndWithoutSystemCode) {
  EXPECT_STREQ(ESerialPort(SerialErrorCode::kOpen, 2).what(),
               "Unable to open com port (system error code: 2)");
  EXPECT_STREQ(ESerialPort(SerialErrorCode::kAsync, -1).what(), "Invalid Async parameter");
  EXPECT_STREQ(ESerialPort(SerialErrorCode::kConnectedProperty, -1).what(),
               "Cannot set property while connected");
  const ESerialPort error(SerialErrorCode::kSetState, 22);
  EXPECT_EQ(error.Code(), 7);
  EXPECT_EQ(error.SystemCode(), 22);
  EXPECT_EQ(SerialErrorText(SerialErrorCode::kModemStatus), "GetCommModemStatus function failed");
  EXPECT_EQ(SerialErrorText(SerialErrorCode::kSetTimeouts), "SetCommTimeouts failed");
}

}  // namespace
}  // namespace orvelle::serial
