// The Telnet parser and the com-port session: a table of streams and their events, the same
// events whatever the chunks, and the negotiation answers an RFC 2217 client relies on.
#include "netport/telnet_parser.h"

#include <gtest/gtest.h>

#include <random>

#include "netport/com_port_session.h"

namespace orvelle::netport {
namespace {

using Kind = TelnetEvent::Kind;

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

// Data events split by chunking join again, so streams compare by meaning.
std::vector<TelnetEvent> Joined(const std::vector<TelnetEvent>& events) {
  std::vector<TelnetEvent> out;
  for (const TelnetEvent& event : events) {
    if (event.kind == Kind::kData && !out.empty() && out.back().kind == Kind::kData) {
      out.back().bytes += event.bytes;
    } else {
      out.push_back(event);
    }
  }
  return out;
}

std::vector<TelnetEvent> ParseWhole(const std::string& stream) {
  TelnetParser parser;
  std::vector<TelnetEvent> events;
  parser.Feed(stream, events);
  return events;
}

TEST(TelnetParser, StreamsBecomeTheirEvents) {
  const std::string long_sub(TelnetParser::kMaxSubnegotiation + 1, 'x');
  struct Case {
    std::string stream;
    std::vector<TelnetEvent> events;
  } cases[] = {
      {"abc", {{Kind::kData, 0, 0, "abc"}}},
      {Bytes({'a', 255, 255, 'b'}), {{Kind::kData, 0, 0, Bytes({'a', 255, 'b'})}}},
      {Bytes({255, 251, 44, 'z'}), {{Kind::kNegotiation, 251, 44, ""}, {Kind::kData, 0, 0, "z"}}},
      {Bytes({255, 250, 44, 1, 0, 0, 255, 255, 0, 255, 240}),
       {{Kind::kSubnegotiation, 0, 44, Bytes({1, 0, 0, 255, 0})}}},
      {Bytes({'a', 255, 241, 'b', 255, 240}), {{Kind::kData, 0, 0, "ab"}}},  // NOP, stray SE
      {Bytes({255, 250, 44}) + long_sub + Bytes({255, 240, 'k'}), {{Kind::kData, 0, 0, "k"}}},
  };
  for (const Case& c : cases) EXPECT_EQ(Joined(ParseWhole(c.stream)), c.events);
}

TEST(TelnetParser, ChunksDoNotChangeTheEvents) {
  std::mt19937 random(20261208);
  const int pieces[] = {255, 250, 251, 252, 253, 254, 240, 44, 1, 0, 'a', 'b'};
  for (int round = 0; round < 300; ++round) {
    std::string stream;
    const int length = 1 + static_cast<int>(random() % 400);
    for (int i = 0; i < length; ++i) stream.push_back(static_cast<char>(pieces[random() % 12]));
    const std::vector<TelnetEvent> whole = Joined(ParseWhole(stream));
    TelnetParser parser;
    std::vector<TelnetEvent> chunked;
    for (std::size_t at = 0; at < stream.size();) {
      const std::size_t size = 1 + random() % 7;
      parser.Feed(std::string_view(stream).substr(at, size), chunked);
      at += size;
    }
    ASSERT_EQ(Joined(chunked), whole) << "round " << round;
  }
}

TEST(TelnetParser, EscapingRoundTripsEveryByte) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  const std::string escaped = EscapeIac(all + all);
  EXPECT_EQ(escaped.size(), 2 * 256 + 2);
  EXPECT_EQ(Joined(ParseWhole(escaped)),
            (std::vector<TelnetEvent>{{Kind::kData, 0, 0, all + all}}));
}

// What pyserial and other clients send on connect, and the answers they wait for.
TEST(ComPortSession, NegotiatesOnceAndRefusesTheRestPolitely) {
  ComPortSession session;
  struct Step {
    std::string in;
    std::string reply;
  } steps[] = {
      {Bytes({255, 251, 44}), Bytes({255, 253, 44})},  // WILL COM-PORT: DO
      {Bytes({255, 253, 44}), Bytes({255, 251, 44})},  // DO COM-PORT: WILL
      {Bytes({255, 251, 44}), ""},                     // again: no loop
      {Bytes({255, 253, 1}), Bytes({255, 252, 1})},    // DO ECHO: WONT
      {Bytes({255, 253, 1}), ""},
      {Bytes({255, 251, 24}), Bytes({255, 254, 24})},  // WILL TERMINAL-TYPE: DONT
      {Bytes({255, 251, 3}), Bytes({255, 253, 3})},    // WILL SGA: DO
      {Bytes({255, 254, 0}), Bytes({255, 252, 0})},    // DONT BINARY: WONT, once
      {Bytes({255, 254, 0}), ""},
      {Bytes({255, 250, 44, 0, 255, 240}), ComPortAnswer(0, 0, 0).insert(4, "orvelle")},
      {Bytes({255, 250, 44, 11, 0x30, 255, 240}), Bytes({255, 250, 44, 111, 0x30, 255, 240})},
      {Bytes({255, 250, 44, 10, 255, 255, 255, 240}),
       Bytes({255, 250, 44, 110, 255, 255, 255, 240})},
      {Bytes({255, 250, 44, 8, 255, 240}), Bytes({255, 250, 44, 108, 255, 240})},
  };
  TelnetParser parser;
  for (const Step& step : steps) {
    std::vector<TelnetEvent> events;
    parser.Feed(step.in, events);
    std::string reply;
    std::vector<PortRequest> requests;
    for (const TelnetEvent& event : events) session.Handle(event, reply, requests);
    EXPECT_EQ(reply, step.reply);
    EXPECT_TRUE(requests.empty());
  }
  EXPECT_TRUE(session.ComPortActive());
  EXPECT_TRUE(session.OutputSuspended());
  EXPECT_EQ(session.ModemStateMask(), 0x30);
  EXPECT_EQ(session.LineStateMask(), 0xff);
}

TEST(ComPortSession, PortCommandsAndDataKeepTheirOrder) {
  ComPortSession session;
  TelnetParser parser;
  std::vector<TelnetEvent> events;
  parser.Feed(Bytes({255, 250, 44, 1, 0, 1, 194, 0, 255, 240}), events);  // before agreement
  parser.Feed(Bytes({255, 251, 44, 'h', 'i', 255, 250, 44, 1, 0, 3, 208, 144, 255, 240}), events);
  parser.Feed(Bytes({255, 250, 44, 5, 8, 255, 240, 255, 250, 44, 12, 1, 255, 240, 'x'}), events);
  std::string reply;
  std::vector<PortRequest> requests;
  for (const TelnetEvent& event : events) session.Handle(event, reply, requests);
  const std::vector<PortRequest> expected = {
      {PortRequest::Kind::kWrite, 0, 0, "hi"}, {PortRequest::Kind::kCommand, 1, 250000, ""},
      {PortRequest::Kind::kCommand, 5, 8, ""}, {PortRequest::Kind::kCommand, 12, 1, ""},
      {PortRequest::Kind::kWrite, 0, 0, "x"},
  };
  EXPECT_EQ(requests, expected);
  EXPECT_EQ(ComPortAnswer(1, 250000, 4), Bytes({255, 250, 44, 101, 0, 3, 208, 144, 255, 240}));
}

}  // namespace
}  // namespace orvelle::netport
