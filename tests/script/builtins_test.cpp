// Built-in functions called through the table, against the fake host.
#include "script/builtins.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "script/fake_host.h"

namespace orvelle::script {
namespace {

using test_support::FakeHost;

struct Outcome {
  BuiltinValue value;
  std::string error;
  bool call_failed = false;
  bool no_action = false;
};

class BuiltinsTest : public ::testing::Test {
 protected:
  Outcome Call(std::string_view name, std::vector<std::string> args) {
    const BuiltinEntry* entry = FindBuiltin(name, args.size());
    if (entry == nullptr) {
      ADD_FAILURE() << "no built-in " << name << "/" << args.size();
      return {};
    }
    BuiltinEnv env{host, host.counter_frequency, last_error, {}, false};
    BuiltinValue value = entry->fn(env, args);
    return {std::move(value), env.error, env.call_failed, env.no_action};
  }
  // A text result with no message.
  std::string Text(std::string_view name, std::vector<std::string> args) {
    Outcome out = Call(name, std::move(args));
    EXPECT_EQ(out.error, "") << name;
    EXPECT_EQ(out.value.kind, BuiltinValue::Kind::kText) << name;
    return out.value.text;
  }
  double Number(std::string_view name, std::vector<std::string> args) {
    Outcome out = Call(name, std::move(args));
    EXPECT_EQ(out.error, "") << name;
    EXPECT_EQ(out.value.kind, BuiltinValue::Kind::kNumber) << name;
    return out.value.number;
  }
  // A bad argument: the message and the empty text.
  void ExpectBad(std::string_view name, std::vector<std::string> args, std::string_view message) {
    Outcome out = Call(name, args);
    EXPECT_EQ(out.error, message) << name << " " << ::testing::PrintToString(args);
    EXPECT_EQ(out.value.kind, BuiltinValue::Kind::kText);
    EXPECT_EQ(out.value.text, "");
  }

  FakeHost host;
  std::string last_error;
};

struct KnownBuiltin {
  const char* name;
  std::size_t count;
  bool inert;
};

constexpr KnownBuiltin kKnown[] = {
    {"geterror", 0, false}, {"tohex", 1, false},    {"len", 1, false},       {"asc", 1, false},
    {"pos", 2, false},      {"ucase", 1, false},    {"lcase", 1, false},     {"mid", 3, false},
    {"del", 3, false},      {"chr", 1, false},      {"trim", 1, false},      {"random", 1, false},
    {"pow", 2, false},      {"extract", 1, false},  {"split", 2, false},     {"time", 0, false},
    {"date", 0, false},     {"year", 0, false},     {"month", 0, false},     {"day", 0, false},
    {"getticks", 0, false}, {"readfile", 1, false}, {"enumports", 0, false}, {"is_open", 0, false},
    {"receive", 0, false},  {"getcts", 1, false},   {"getdsr", 1, false},    {"getrlsd", 1, false},
    {"getring", 1, false},  {"query", 3, false},
};

TEST(FindBuiltinTest, NamesAndArgumentCountsAreExact) {
  for (const KnownBuiltin& e : kKnown) {
    const BuiltinEntry* found = FindBuiltin(e.name, e.count);
    ASSERT_NE(found, nullptr) << e.name;
    EXPECT_EQ(found->name, e.name);
    EXPECT_NE(found->fn, nullptr) << e.name;
    EXPECT_EQ(found->inert, e.inert) << e.name;
    EXPECT_EQ(FindBuiltin(e.name, e.count + 1), nullptr) << e.name;
    if (e.count > 0) {
      EXPECT_EQ(FindBuiltin(e.name, e.count - 1), nullptr) << e.name;
    }
  }
  for (const char* name : {"Len", "LEN", "Mid", "len ", "", "exec", "writefile", "setrts"}) {
    for (std::size_t n = 0; n < 4; ++n) EXPECT_EQ(FindBuiltin(name, n), nullptr) << name << n;
  }
}

// The integer-text rules, seen through chr, whose result shows the parsed value's low byte.
TEST_F(BuiltinsTest, IntegerTextRules) {
  struct Case {
    const char* text;
    int byte;
  };
  const Case accepted[] = {
      {"65", 65},
      {"321", 65},
      {"-1", 255},
      {"+5", 5},
      {" 5", 5},
      {"   +66", 66},
      {"$FFFFFFFF", 255},
      {"$41", 0x41},
      {"x1A", 0x1A},
      {"X1a", 0x1A},
      {"0x1a", 0x1A},
      {"0X1A", 0x1A},
      {"$000000041", 0x41},
      {"2147483647", 255},
      {"-2147483648", 0},
  };
  for (const Case& c : accepted) {
    EXPECT_EQ(Text("chr", {c.text}), std::string(1, static_cast<char>(c.byte))) << c.text;
  }
  for (const char* text : {"5 ", "", " ", "-$1", "+x1", "2147483648", "-2147483649", "$100000000",
                           "1.5", "1e2", "A", "$", "0x", "\t5", "5x", "-"}) {
    ExpectBad("chr", {text}, "chr: unexpected argument.");
  }
  // A hexadecimal text is a two's-complement pattern: $FFFFFFFF is -1, a start before the text.
  EXPECT_EQ(Text("mid", {"abcdef", "$FFFFFFFF", "2"}), "ab");
}

TEST_F(BuiltinsTest, TextFunctions) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string expected;
  };
  const Case cases[] = {
      {"tohex", {"Hi"}, "48 69"},
      {"tohex", {"10"}, "31 30"},
      {"tohex", {""}, ""},
      {"tohex", {std::string("\xff\x00\n", 3)}, "FF 00 0A"},
      {"ucase", {"abc XyZ 1\xe9"}, "ABC XYZ 1\xe9"},
      {"lcase", {"ABC xYz 1\xc9"}, "abc xyz 1\xc9"},
      {"trim", {" \t\r\n a b \x01\x7f \r\n"}, "a b \x01\x7f"},
      {"trim", {"\xe9 x \xa0"}, "\xe9 x \xa0"},
      {"trim", {"   "}, ""},
      {"mid", {"abcdef", "0", "3"}, "abc"},
      {"mid", {"abcdef", "-5", "2"}, "ab"},
      {"mid", {"abcdef", "2", "3"}, "bcd"},
      {"mid", {"abcdef", "5", "10"}, "ef"},
      {"mid", {"abcdef", "6", "2147483647"}, "f"},
      {"mid", {"abcdef", "7", "1"}, ""},
      {"mid", {"abcdef", "2", "-1"}, ""},
      {"mid", {"abcdef", "2", "0"}, ""},
      {"mid", {"", "1", "1"}, ""},
      {"del", {"abcdef", "2", "2"}, "adef"},
      {"del", {"abcdef", "0", "2"}, "abcdef"},
      {"del", {"abcdef", "7", "2"}, "abcdef"},
      {"del", {"abcdef", "5", "10"}, "abcd"},
      {"del", {"abcdef", "1", "2147483647"}, ""},
      {"del", {"abcdef", "3", "0"}, "abcdef"},
      {"del", {"abcdef", "3", "-2"}, "abcdef"},
      {"del", {"abcdef", "6", "1"}, "abcde"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Text(c.name, c.args), c.expected) << c.name << ::testing::PrintToString(c.args);
  }
}

TEST_F(BuiltinsTest, NumberFunctions) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    double expected;
  };
  const Case cases[] = {
      {"len", {""}, 0},
      {"len", {"100"}, 3},
      {"len", {std::string("a\0b", 3)}, 3},
      {"asc", {"A"}, 65},
      {"asc", {"\xff"}, 255},
      {"asc", {std::string(1, '\0')}, 0},
      {"pos", {"cd", "abcdef"}, 3},
      {"pos", {"CD", "abcdef"}, 0},
      {"pos", {"", "abc"}, 0},
      {"pos", {"a", ""}, 0},
      {"pos", {"ab", "xabab"}, 2},
      {"pos", {"abcdefg", "abcdef"}, 0},
      {"pos", {"f", "abcdef"}, 6},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Number(c.name, c.args), c.expected) << c.name << ::testing::PrintToString(c.args);
  }
}

TEST_F(BuiltinsTest, BadArgumentsReportTheirMessage) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {"asc", {""}, "asc: unexpected argument."},
      {"asc", {"ab"}, "asc: unexpected argument."},
      {"mid", {"abcdef", "1.5", "2"}, "mid: unexpected argument."},
      {"mid", {"abcdef", "1", ""}, "mid: unexpected argument."},
      {"del", {"abcdef", "x", "2"}, "del: unexpected argument."},
      {"del", {"abcdef", "2", "2 "}, "del: unexpected argument."},
      {"chr", {"A"}, "chr: unexpected argument."},
      {"random", {"ten"}, "random: unexpected argument."},
      {"pow", {"1.5", "2"}, "pow: unexpected argument."},
      {"pow", {"2", "0.5"}, "pow: unexpected argument."},
      {"extract", {"one"}, "extract: unexpected argument."},
  };
  for (const Case& c : cases) ExpectBad(c.name, c.args, c.message);
}

TEST_F(BuiltinsTest, PowMatchesRepeatedMultiplicationAndStaysInRange) {
  struct Case {
    const char* base;
    const char* exponent;
    double expected;
  };
  const Case cases[] = {
      {"2", "10", 1024},
      {"2", "-1", 0.5},
      {"0", "0", 1},
      {"0", "5", 0},
      {"7", "0", 1},
      {"-2", "3", -8},
      {"-2", "-1", -0.5},
      {"10", "-3", 0.001},
      {"3", "13", 1594323},
      {"2", "62", 4611686018427387904.0},
      {"2", "1023", std::ldexp(1.0, 1023)},
      {"2", "-1022", std::ldexp(1.0, -1022)},
      {"-1", "2147483647", -1},
      {"-1", "-2147483648", 1},
      {"1", "2147483647", 1},
      {"$FFFFFFFF", "4", 1},
      {"2", "-2000", 0},
      {"2", "-1100", 0},
      {"2", "-2147483648", 0},
      {"-3", "-2147483647", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Number("pow", {c.base, c.exponent}), c.expected) << c.base << "^" << c.exponent;
  }
  // 3^40 exceeds 2^63: computed exactly, then rounded once to double.
  EXPECT_EQ(Number("pow", {"3", "40"}), 12157665459056928801.0);
  EXPECT_DOUBLE_EQ(Number("pow", {"10", "308"}), 1e308);
  EXPECT_FALSE(std::signbit(Number("pow", {"-2", "-2147483647"})));
  for (auto [base, exponent] : {std::pair{"0", "-1"},
                                {"0", "-2147483648"},
                                {"2", "1024"},
                                {"2", "2000"},
                                {"10", "309"},
                                {"-2", "2147483647"},
                                {"2147483647", "2147483647"},
                                {"-10", "400"}}) {
    ExpectBad("pow", {base, exponent}, "pow: unexpected argument.");
  }
}

TEST_F(BuiltinsTest, RandomStaysInItsRange) {
  EXPECT_EQ(Number("random", {"0"}), 0);
  EXPECT_EQ(Number("random", {"-7"}), 0);
  EXPECT_TRUE(host.random_bounds.empty()) << "no generator draw without a range";
  for (int i = 0; i < 20; ++i) EXPECT_EQ(Number("random", {"1"}), 0);
  for (int i = 0; i < 50; ++i) {
    double n = Number("random", {"$A"});
    EXPECT_GE(n, 0);
    EXPECT_LT(n, 10);
    EXPECT_EQ(n, std::floor(n));
  }
  EXPECT_EQ(host.random_bounds.back(), 10u);
  Number("random", {"2147483647"});
  EXPECT_EQ(host.random_bounds.back(), 2147483647u);
}

TEST_F(BuiltinsTest, SplitFillsTheListAndExtractReadsIt) {
  struct Case {
    std::string text, separator;
    std::vector<std::string> parts;
  };
  const Case cases[] = {
      {"x,y,z", ",", {"x", "y", "z"}},
      {"x,,y", ",", {"x", "", "y"}},
      {"x,y,", ",", {"x", "y"}},
      {",x", ",", {"", "x"}},
      {",", ",", {""}},
      {"", ",", {}},
      {"abc", "", {"abc"}},
      {"a<>b<><>c", "<>", {"a", "b", "", "c"}},
      {"aaa", "aa", {"", "a"}},
      {"abc", "abcd", {"abc"}},
  };
  for (const Case& c : cases) {
    host.split_parts = {"stale"};
    EXPECT_EQ(Text("split", {c.text, c.separator}), std::to_string(c.parts.size())) << c.text;
    EXPECT_EQ(host.split_parts, c.parts) << c.text << " at " << c.separator;
  }

  EXPECT_EQ(Text("split", {"x;y;z", ";"}), "3");
  EXPECT_EQ(Text("extract", {"2"}), "y");
  EXPECT_EQ(Text("extract", {"$3"}), "z");
  EXPECT_EQ(Text("extract", {"0"}), "");
  EXPECT_EQ(Text("extract", {"4"}), "");
  EXPECT_EQ(Text("extract", {"-1"}), "");
  EXPECT_EQ(Text("extract", {"-2147483648"}), "");
  EXPECT_EQ(host.split_parts.size(), 3u) << "extract leaves the list alone";
}

TEST_F(BuiltinsTest, ClockFunctionsReadTheHostsLocalTime) {
  EXPECT_EQ(Text("time", {}), "09:05:03");
  EXPECT_EQ(Text("date", {}), "06-12-26");
  EXPECT_EQ(Number("year", {}), 2026);
  EXPECT_EQ(Number("month", {}), 12);
  EXPECT_EQ(Number("day", {}), 6);

  host.local_time.tm_year = 2000 - 1900;
  host.local_time.tm_mon = 0;
  host.local_time.tm_mday = 31;
  host.local_time.tm_hour = 23;
  host.local_time.tm_min = 59;
  host.local_time.tm_sec = 0;
  EXPECT_EQ(Text("date", {}), "31-01-00");
  EXPECT_EQ(Text("time", {}), "23:59:00");
  EXPECT_EQ(Number("year", {}), 2000);
  EXPECT_EQ(Number("month", {}), 1);
}

TEST_F(BuiltinsTest, GetticksCountsMillisecondsOfTheCounter) {
  struct Case {
    std::int64_t frequency, ticks;
    const char* expected;
  };
  const Case cases[] = {
      {1'000'000'000, 5'123'456'789, "5123"},
      {1'000'000'000, 999'999, "0"},
      {10'000'000, 9'223'372'036'854'775'807, "922337203685477"},
      {1000, 42, "42"},
      {1999, 42, "42"},
      {2000, 43, "21"},
  };
  for (const Case& c : cases) {
    host.counter_frequency = c.frequency;
    host.counter_ticks = c.ticks;
    EXPECT_EQ(Text("getticks", {}), c.expected) << c.frequency << " " << c.ticks;
  }
  for (std::int64_t frequency : {999, 0, -5000}) {
    host.counter_frequency = frequency;
    ExpectBad("getticks", {}, "getticks: undocumented error.");
  }
}

TEST_F(BuiltinsTest, GeterrorReturnsTheLastMessage) {
  EXPECT_EQ(Text("geterror", {}), "");
  last_error = "readfile: file does not exist.";
  EXPECT_EQ(Text("geterror", {}), "readfile: file does not exist.");
}

TEST_F(BuiltinsTest, SerialFunctionsGoThroughTheHost) {
  EXPECT_EQ(Text("is_open", {}), "");
  host.serial.enum_ports_text = "/DEV/TTYS0 /DEV/TTYUSB0";
  EXPECT_EQ(Text("enumports", {}), "/DEV/TTYS0 /DEV/TTYUSB0");
  host.serial.open = true;
  host.serial.open_text = "COM1 9600 8 None 1 None";
  EXPECT_EQ(Text("is_open", {}), "COM1 9600 8 None 1 None");

  host.serial.received = std::string("ok\0\r\n", 5);
  EXPECT_EQ(Text("receive", {}), host.serial.received);
  EXPECT_EQ(Text("receive", {}), std::string("ok\0\r\n", 5)) << "receive keeps the buffer";

  host.serial.fail_receive = true;
  Outcome out = Call("receive", {});
  EXPECT_EQ(out.error, "error reading buffer");
  EXPECT_TRUE(out.call_failed);
  EXPECT_EQ(out.value.text, "");
  EXPECT_FALSE(Call("enumports", {}).call_failed);
}

// query: a fresh exchange through the host, the reply up to and including the first end.
TEST_F(BuiltinsTest, QuerySendsAndTakesTheReplyUpToItsEnd) {
  Outcome closed = Call("query", {"PING\r", "\n", "500"});
  EXPECT_TRUE(closed.call_failed);
  EXPECT_EQ(closed.error, "error sending data");

  host.serial.open = true;
  host.serial.received = "stale";
  host.serial.query_answer = "T=1\r\nT=2\r\n";
  EXPECT_EQ(Text("query", {"PING\r", "\n", "500"}), "T=1\r\n");
  EXPECT_EQ(host.serial.sent.back(), "PING\r");
  EXPECT_EQ(host.serial.received, "T=2\r\n") << "what came after the reply stays";
  EXPECT_TRUE(host.serial.last_query.flush);
  EXPECT_EQ(host.serial.last_query.timeout, std::chrono::milliseconds(500));
  EXPECT_EQ(Text("query", {"", "END", "99999"}), "T=1\r\nT=2\r\n") << "no end: all that came";
  EXPECT_EQ(host.serial.last_query.timeout, std::chrono::milliseconds(60'000));
  Text("query", {"", "\n", "-5"});
  EXPECT_EQ(host.serial.last_query.timeout, std::chrono::milliseconds(0));
  ExpectBad("query", {"PING", "\n", "soon"}, "query: unexpected argument.");

  host.serial.fail_send = true;
  EXPECT_TRUE(Call("query", {"PING", "\n", "10"}).call_failed);
}

TEST_F(BuiltinsTest, ModemSignalFunctionsReadTheOpenPort) {
  using Signal = SerialAccess::ModemSignal;
  const struct {
    const char* name;
    Signal signal;
  } cases[] = {{"getcts", Signal::kCts},
               {"getdsr", Signal::kDsr},
               {"getrlsd", Signal::kRlsd},
               {"getring", Signal::kRing}};
  for (const auto& c : cases) {
    host.serial.open = false;
    Outcome closed = Call(c.name, {"x"});
    EXPECT_TRUE(closed.no_action) << c.name << " on a closed port";
    EXPECT_EQ(closed.error, "") << c.name;
    host.serial.open = true;
    host.serial.signals = {};
    EXPECT_FALSE(Call(c.name, {"x"}).no_action) << c.name;
    EXPECT_EQ(Text(c.name, {"x"}), "0") << c.name;
    host.serial.signals[c.signal] = true;
    EXPECT_EQ(Text(c.name, {""}), "1") << c.name;
  }
}

TEST_F(BuiltinsTest, ReadfileDeliversBytesOrItsMessage) {
  char folder[] = "/tmp/orvelle-builtins-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  std::string path = std::string(folder) + "/data.bin";
  const std::string bytes("a\0b\r\nc", 6);
  {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  EXPECT_EQ(Text("readfile", {path}), bytes);
  std::remove(path.c_str());
  ExpectBad("readfile", {path}, "readfile: file does not exist.");
  ::rmdir(folder);
}

}  // namespace
}  // namespace orvelle::script
