// The bridge's parts that need no broker: the command-line settings (one table of accepted and
// refused values), the away store's drop order, and the line splitter against a whole-text
// split under random cuts.
#include "app/mqtt_settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "app/mqtt_outbox.h"

namespace orvelle::app {
namespace {

TEST(MqttSettings, AcceptsWhatAUserWritesAndRefusesTheRest) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path();
  const std::string password_file = (dir / "orvelle-mqtt-password-test").string();
  std::ofstream(password_file) << "s3cret\r\nsecond line\n";
  const std::string missing_file = (dir / "orvelle-mqtt-no-such-file").string();
  const struct {
    MqttArguments in;
    std::string error;  // empty: accepted
    std::string host;
    int port;
    bool tls;
    std::string user;
    std::string password;
  } cases[] = {
      {{"mqtt://broker.lan", "", "lab1"}, "", "broker.lan", 1883, false, "", ""},
      {{"mqtts://broker.lan", "", "lab1"}, "", "broker.lan", 8883, true, "", ""},
      {{"mqtt://10.0.0.2:1999/", "", "lab1"}, "", "10.0.0.2", 1999, false, "", ""},
      {{"mqtt://[::1]:1884", "", "lab1"}, "", "::1", 1884, false, "", ""},
      {{"mqtt://ann:p%40ss@h", "", "lab1"}, "", "h", 1883, false, "ann", "p@ss"},
      {{"mqtt://ann@h", password_file, "lab1"}, "", "h", 1883, false, "ann", "s3cret"},
      {{"http://h", "", "lab1"}, "mqtt:// or mqtts://", "", 0, false, "", ""},
      {{"mqtt://", "", "lab1"}, "no host", "", 0, false, "", ""},
      {{"mqtt://h:0", "", "lab1"}, "1 to 65535", "", 0, false, "", ""},
      {{"mqtt://h:70000", "", "lab1"}, "1 to 65535", "", 0, false, "", ""},
      {{"mqtt://h:", "", "lab1"}, "1 to 65535", "", 0, false, "", ""},
      {{"mqtt://h:12x", "", "lab1"}, "1 to 65535", "", 0, false, "", ""},
      {{"mqtt://h/topic", "", "lab1"}, "no path", "", 0, false, "", ""},
      {{"mqtt://a%4@h", "", "lab1"}, "%-escape", "", 0, false, "", ""},
      {{"mqtt://a%0Ab@h", "", "lab1"}, "control character", "", 0, false, "", ""},
      {{"mqtt://[::1", "", "lab1"}, "unclosed", "", 0, false, "", ""},
      {{"mqtt://h" + std::string(300, 'x'), "", "lab1"}, "too long", "", 0, false, "", ""},
      {{"mqtt://ann@h", missing_file, "lab1"}, "cannot read", "", 0, false, "", ""},
      {{"mqtt://ann@h", dir.string(), "lab1"}, "cannot read", "", 0, false, "", ""},
      {{"mqtt://h", password_file, "lab1"}, "names no user", "", 0, false, "", ""},
      {{"mqtt://a:b@h", password_file, "lab1"}, "holds a password", "", 0, false, "", ""},
      {{"mqtt://h", "", "lab/1"}, "'#', '+' or '/'", "", 0, false, "", ""},
      {{"mqtt://h", "", "lab#"}, "'#', '+' or '/'", "", 0, false, "", ""},
      {{"mqtt://h", "", "+"}, "'#', '+' or '/'", "", 0, false, "", ""},
      {{"mqtt://h", "", "lab 1"}, "printable", "", 0, false, "", ""},
      {{"mqtt://h", "", std::string(65, 'n')}, "longer than", "", 0, false, "", ""},
      {{"mqtts://h", "", "lab1", false, password_file}, "", "h", 8883, true, "", ""},
      {{"mqtt://h", "", "lab1", false, password_file},
       "only for an mqtts://",
       "",
       0,
       false,
       "",
       ""},
      {{"mqtts://h", "", "lab1", false, missing_file},
       "--mqtt-ca: cannot read",
       "",
       0,
       false,
       "",
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in.url + " file=" + c.in.password_file + " name=" + c.in.name);
    try {
      const MqttSettings settings = ParseMqttSettings(c.in);
      EXPECT_EQ(c.error, "") << "accepted";
      EXPECT_EQ(settings.host, c.host);
      EXPECT_EQ(settings.port, c.port);
      EXPECT_EQ(settings.tls, c.tls);
      EXPECT_EQ(settings.user, c.user);
      EXPECT_EQ(settings.password, c.password);
      EXPECT_EQ(settings.Prefix(), "orvelle/" + c.in.name + "/");
    } catch (const MqttSettingsError& e) {
      const std::string what = e.what();
      EXPECT_NE(c.error, "") << what;
      EXPECT_NE(what.find(c.error), std::string::npos) << what;
      EXPECT_EQ(what.find('\n'), std::string::npos) << "one line";
    }
  }
  std::filesystem::remove(password_file);
  // Without a name the host name stands in, made fit for a topic level.
  const MqttSettings defaulted = ParseMqttSettings({"mqtt://h", "", ""});
  EXPECT_EQ(MqttNameProblem(defaulted.name), "");
}

MqttMessage Message(std::string payload, bool event) {
  return {"t", std::move(payload), event ? 1 : 0, false, event};
}

TEST(AwayBuffer, KeepsEventsDropsOldestTrafficFirstAndKeepsTheOrder) {
  AwayBuffer away(100);  // each message below costs 1 + 9 = 10 bytes
  away.Add(Message("event-001", true));
  for (int i = 0; i < 8; ++i) away.Add(Message("traffic-" + std::to_string(i), false));
  away.Add(Message("event-002", true));
  EXPECT_EQ(away.Bytes(), 100u);
  EXPECT_EQ(away.Dropped(), 0u);
  // Full: a new event pushes out the oldest traffic, never an event.
  away.Add(Message("event-003", true));
  away.Add(Message("event-004", true));
  EXPECT_EQ(away.Dropped(), 2u);
  EXPECT_LE(away.Bytes(), 100u);
  // A message bigger than the whole bound cannot be kept at all.
  away.Add(Message(std::string(200, 'x'), true));
  EXPECT_EQ(away.Dropped(), 3u);
  std::vector<std::string> held;
  for (const MqttMessage& m : away.TakeAll()) held.push_back(m.payload);
  const std::vector<std::string> expected{"event-001", "traffic-2", "traffic-3", "traffic-4",
                                          "traffic-5", "traffic-6", "traffic-7", "event-002",
                                          "event-003", "event-004"};
  EXPECT_EQ(held, expected);
  EXPECT_TRUE(away.Empty());
  EXPECT_EQ(away.Bytes(), 0u);

  // Only events held: traffic that does not fit is dropped itself, events that do not fit push
  // out the oldest event.
  for (int i = 0; i < 10; ++i) away.Add(Message("event-1" + std::to_string(i) + "x", true));
  away.Add(Message("traffic-X", false));
  away.Add(Message("event-new", true));
  held.clear();
  for (const MqttMessage& m : away.TakeAll()) held.push_back(m.payload);
  ASSERT_EQ(held.size(), 10u);
  EXPECT_EQ(held.front(), "event-11x");
  EXPECT_EQ(held.back(), "event-new");
}

// The lines a whole text holds, split the plain way: what the splitter must give for any cuts.
std::vector<std::string> WholeTextLines(const std::string& text, std::string& rest) {
  std::vector<std::string> lines;
  std::string line;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      lines.push_back(line);
      line.clear();
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line.push_back(text[i]);
      if (line.size() == LineSplitter::kMaxLineBytes) lines.push_back(std::exchange(line, {}));
    }
  }
  rest = line;
  return lines;
}

TEST(LineSplitter, AnyCutsGiveTheLinesOfTheWholeText) {
  std::mt19937 random(20261208);
  constexpr int kRounds = 300;
  const std::string alphabet("ab\r\n\r\n\x00 ", 8);
  for (int round = 0; round < kRounds; ++round) {
    std::string text;
    const std::size_t size = random() % 200;
    for (std::size_t i = 0; i < size; ++i) text.push_back(alphabet[random() % alphabet.size()]);
    if (round % 50 == 0) text += std::string(LineSplitter::kMaxLineBytes + 10, 'L') + "\r\n";
    std::string rest;
    const std::vector<std::string> expected = WholeTextLines(text, rest);
    LineSplitter splitter;
    std::vector<std::string> got;
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t piece = 1 + random() % 9;
      for (std::string& line : splitter.Feed(std::string_view(text).substr(at, piece))) {
        got.push_back(std::move(line));
      }
      at += piece;
    }
    ASSERT_EQ(got, expected) << "round " << round;
    // The unfinished rest comes out with its line end; a Reset forgets it.
    std::vector<std::string> finish = splitter.Feed("\n");
    if (!text.empty() && text.back() == '\r') {
      EXPECT_TRUE(finish.empty());
    } else {
      ASSERT_EQ(finish, std::vector<std::string>{rest});
    }
    splitter.Feed("partial");
    splitter.Reset();
    EXPECT_EQ(splitter.Feed("x\n"), std::vector<std::string>{"x"});
  }
}

}  // namespace
}  // namespace orvelle::app
