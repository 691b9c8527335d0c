// The bridge end to end: the real orvelle binary with the demo device, a real broker, and a
// subscriber. The instrument's answer arrives as a line, sends reach the device only when
// allowed, the status is retained and the last will says "offline" after SIGKILL, no event is
// lost while the broker is away for 10 s, and a broker that never answers holds up neither the
// start nor the stop. Bad settings stop the start with exit code 2.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "broker.h"

namespace orvelle::mqtt_test {
namespace {

using e2e::Curl;
using e2e::ServerProcess;
using e2e::TempHome;

// A home with the terminal's open, send and close pages.
void AddTerminalPages(const TempHome& home) {
  for (const char* page : {"open.ovs", "send.ovs", "close.ovs", "poll.ovs"}) {
    e2e::WriteText(home.Web() / "term" / page,
                   e2e::ReadText(fs::path(ORVELLE_SOURCE_DIR) / "web" / "term" / page));
  }
}

std::string OpenPort(const ServerProcess& server) {
  return Curl({server.Url("/term/open.ovs?port=" + server.DemoDevicePath() +
                          "&baud=115200&data=8&parity=none&stop=1&flow=none")});
}

void SendLine(const ServerProcess& server, const std::string& text) {
  Curl({"--data-urlencode", "text=" + text, "-d", "eol=crlf", "-d", "hex=0",
        server.Url("/term/send.ovs")});
}

std::vector<std::string> BridgeArgs(const Broker& broker, const std::string& name,
                                    std::vector<std::string> more = {}) {
  std::vector<std::string> args{"--demo", "--mqtt", broker.Url(), "--mqtt-name", name};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

TEST(MqttBridge, AnswerArrivesAsALineStatusIsRetainedAndTheWillSaysOffline) {
  TempHome home;
  AddTerminalPages(home);
  Broker broker(home.Path());
  Subscriber watcher(broker.Port(), "orvelle/lab1/#");
  ASSERT_TRUE(watcher.WaitSubscribed());
  {
    ServerProcess server(home, 0, BridgeArgs(broker, "lab1"));
    ASSERT_GT(server.Port(), 0) << server.Stderr();
    ASSERT_TRUE(watcher.WaitForPayload("orvelle/lab1/status", R"("state":"online")"));
    ASSERT_EQ(OpenPort(server).rfind("OK", 0), 0u);
    SendLine(server, "*IDN?");
    ASSERT_TRUE(watcher.WaitForPayload("orvelle/lab1/lines", "ORVELLE,SIMULATOR,0,1.0"));
    EXPECT_TRUE(watcher.WaitForPayload("orvelle/lab1/events", R"("event":"open )"));
    EXPECT_TRUE(watcher.WaitForPayload("orvelle/lab1/tx", "*IDN?\r\n"));
    EXPECT_TRUE(watcher.WaitForPayload("orvelle/lab1/log", "Command POST /term/send.ovs"));
    // The whole answer is one line without its line end.
    const auto lines = watcher.Payloads("orvelle/lab1/lines");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "ORVELLE,SIMULATOR,0,1.0"), lines.end());
    // Which page drove the port, and when: its start, its end, and an abort.
    EXPECT_TRUE(watcher.WaitForPayload("orvelle/lab1/events", "script start /term/send.ovs"));
    EXPECT_TRUE(watcher.WaitForPayload("orvelle/lab1/events", "script end /term/send.ovs"));
    home.Page("spin.ovs", "<%\nfor (i, 1, 2000000000, 1)\nnext\n%>\n");
    std::jthread spin([&] { Curl({server.Url("/spin.ovs")}); });
    ASSERT_TRUE(watcher.WaitForPayload("orvelle/lab1/events", "script start /spin.ovs"));
    EXPECT_NE(Curl({server.Url("/abort.ovs")}).find("Script aborted"), std::string::npos);
    EXPECT_TRUE(watcher.WaitForPayload("orvelle/lab1/events", "script abort /spin.ovs"));

    // One who subscribes later learns at once that the gateway is up, with its port.
    Subscriber late(broker.Port(), "orvelle/lab1/status");
    ASSERT_TRUE(late.WaitForPayload("orvelle/lab1/status", R"("open":true)"));
    const Received first = late.Messages().front();
    EXPECT_TRUE(first.retained);
    EXPECT_NE(first.payload.find(R"("settings":"115200 8 None 1 None")"), std::string::npos)
        << first.payload;

    // Killed without a word: the broker says it for the gateway.
    const pid_t pid = server.Pid();
    ::kill(pid, SIGKILL);
    ASSERT_TRUE(server.Terminate(e2e::kProcessLimit).has_value());
  }
  ASSERT_TRUE(
      watcher.WaitForPayload("orvelle/lab1/status", R"({"state":"offline","name":"lab1"})"));
  Subscriber after(broker.Port(), "orvelle/lab1/status");
  ASSERT_TRUE(after.WaitForPayload("orvelle/lab1/status", "offline")) << "the will is retained";
}

TEST(MqttBridge, SendReachesTheDeviceOnlyWithTheOptionAndAClosedPortAnswersOnEvents) {
  TempHome home;
  AddTerminalPages(home);
  Broker broker(home.Path());
  Subscriber watcher(broker.Port(), "orvelle/#");
  ASSERT_TRUE(watcher.WaitSubscribed());
  {
    ServerProcess server(home, 0, BridgeArgs(broker, "refuses"));
    ASSERT_GT(server.Port(), 0) << server.Stderr();
    ASSERT_TRUE(watcher.WaitForPayload("orvelle/refuses/status", "online"));
    ASSERT_EQ(OpenPort(server).rfind("OK", 0), 0u);
    watcher.Publish("orvelle/refuses/send", "PING\r\n");
    // A reply the page asked for afterwards has come back; the PING has not gone out.
    SendLine(server, "*IDN?");
    ASSERT_TRUE(watcher.WaitForPayload("orvelle/refuses/lines", "ORVELLE,SIMULATOR"));
    for (const std::string& tx : watcher.Payloads("orvelle/refuses/tx")) {
      EXPECT_EQ(tx.find("PING"), std::string::npos) << "sent without --mqtt-allow-send";
    }
  }
  ServerProcess server(home, 0, BridgeArgs(broker, "sends", {"--mqtt-allow-send"}));
  ASSERT_GT(server.Port(), 0) << server.Stderr();
  ASSERT_TRUE(watcher.WaitForPayload("orvelle/sends/status", "online"));
  // Subscribed by the time its own log says it is connected and the status is out; a message
  // sent before the port opens is answered on events.
  watcher.Publish("orvelle/sends/send", "PING\r\n");
  ASSERT_TRUE(watcher.WaitForPayload("orvelle/sends/events", "error: send: the port is not open"));
  ASSERT_EQ(OpenPort(server).rfind("OK", 0), 0u);
  watcher.Publish("orvelle/sends/send", "PING\r\n");
  ASSERT_TRUE(watcher.WaitForPayload("orvelle/sends/lines", "PONG"));
  EXPECT_TRUE(watcher.WaitForPayload("orvelle/sends/tx", "PING\r\n"));

  // A script's exchange is not split: a message that comes while it runs goes after it.
  home.Page("hold.ovs",
            "<%\nsend (\"HOLD\" & chr(13) & chr(10))\nt0 = getticks()\nrepeat\n"
            "t = getticks()\nel = t - t0\nuntil (el>>1500)\n"
            "send (\"DONE\" & chr(13) & chr(10))\necho (\"OK\")\n%>\n");
  std::jthread script([&] { Curl({server.Url("/hold.ovs")}); });
  ASSERT_TRUE(watcher.WaitForPayload("orvelle/sends/tx", "HOLD"));
  watcher.Publish("orvelle/sends/send", "ECHO-ME\r\n");
  ASSERT_TRUE(watcher.WaitForPayload("orvelle/sends/tx", "ECHO-ME"));
  std::string sent;
  for (const std::string& tx : watcher.Payloads("orvelle/sends/tx")) sent += tx;
  EXPECT_LT(sent.find("HOLD"), sent.find("DONE"));
  EXPECT_LT(sent.find("DONE"), sent.find("ECHO-ME")) << sent;

  watcher.Publish("orvelle/sends/send", std::string(5000, 'x'));
  EXPECT_TRUE(watcher.WaitForPayload("orvelle/sends/events", "more than 4096 bytes"));
}

// The real outage: the broker gone for 10 s while the port opens and closes; every event comes
// after the reconnect, in order, and pages were served throughout.
TEST(MqttBridge, BrokerAwayTenSecondsLosesNoEvent) {
  TempHome home;
  AddTerminalPages(home);
  Broker broker(home.Path());
  ServerProcess server(home, 0, BridgeArgs(broker, "away"));
  ASSERT_GT(server.Port(), 0) << server.Stderr();
  {
    Subscriber before(broker.Port(), "orvelle/away/status");
    ASSERT_TRUE(before.WaitForPayload("orvelle/away/status", "online"));
  }
  broker.Stop();
  const auto stopped = std::chrono::steady_clock::now();
  constexpr int kRounds = 5;
  for (int i = 0; i < kRounds; ++i) {
    ASSERT_EQ(OpenPort(server).rfind("OK", 0), 0u) << "pages are served with the broker away";
    SendLine(server, "*IDN?");
    // The answer is in before the port closes ("SIMULATOR" in hex, as the poll page gives it).
    std::string received;
    ASSERT_TRUE(WaitFor(
        [&] {
          // "OK n", then the bytes as spaced hex pairs.
          const std::string reply = Curl({server.Url("/term/poll.ovs")});
          const auto hex = reply.find('\n');
          if (hex == std::string::npos) return false;
          for (char c : reply.substr(hex + 1)) {
            if (std::isxdigit(static_cast<unsigned char>(c))) received.push_back(c);
          }
          return received.find("53494D554C41544F52") != std::string::npos;
        },
        e2e::kProcessLimit));
    ASSERT_EQ(Curl({server.Url("/term/close.ovs")}).rfind("OK", 0), 0u);
  }
  ASSERT_TRUE(server.WaitForLog("MQTT: lost the broker"));
  std::this_thread::sleep_until(stopped + 10s);
  ASSERT_TRUE(broker.Start());
  // With the backoff at 1, 2, 4, 8 s the bridge is back only after this subscriber is in.
  Subscriber after(broker.Port(), "orvelle/away/#");
  ASSERT_TRUE(after.WaitSubscribed());
  ASSERT_TRUE(after.WaitForPayload("orvelle/away/status", "online"));
  // The port's own events, apart from the script runs that drove it (each run that started
  // also ended, none lost either).
  std::vector<std::string> events;
  int starts = 0, ends = 0;
  const auto gather = [&] {
    events.clear();
    starts = ends = 0;
    for (std::string& event : after.Payloads("orvelle/away/events")) {
      starts += event.find(R"("event":"script start )") != std::string::npos;
      ends += event.find(R"("event":"script end )") != std::string::npos;
      if (event.find(R"("event":"script )") == std::string::npos) events.push_back(event);
    }
    return events.size() >= 2 * kRounds && ends >= 4 * kRounds && starts == ends;
  };
  ASSERT_TRUE(WaitFor(gather, e2e::kProcessLimit)) << starts << " " << ends;
  ASSERT_EQ(events.size(), 2u * kRounds);
  for (int i = 0; i < kRounds; ++i) {
    EXPECT_NE(events[2 * i].find(R"("event":"open )"), std::string::npos) << events[2 * i];
    EXPECT_NE(events[2 * i + 1].find(R"("event":"close")"), std::string::npos) << events[2 * i + 1];
  }
  const auto answers = after.Payloads("orvelle/away/lines");
  EXPECT_EQ(std::count(answers.begin(), answers.end(), "ORVELLE,SIMULATOR,0,1.0"), kRounds);
  EXPECT_EQ(server.Terminate(e2e::kProcessLimit), 0);
}

// A broker with a certificate of its own making: the bridge trusts it only through --mqtt-ca.
TEST(MqttBridge, MqttsReachesAPrivateBrokerOnlyThroughItsCa) {
  TempHome home;
  const fs::path certs = home.Path() / "certs";
  const pid_t maker = e2e::Spawn({ORVELLE_BINARY, "--make-cert", certs.string()},
                                 home.Path() / "make.out", home.Path() / "make.err");
  ASSERT_EQ(e2e::WaitExit(maker, e2e::kProcessLimit), 0);
  Broker broker(home.Path(), certs / "cert.pem", certs / "key.pem");
  Subscriber watcher(broker.Port(), "orvelle/+/status");
  ASSERT_TRUE(watcher.WaitSubscribed());
  {
    ServerProcess untrusted(home, 0, {"--mqtt", broker.TlsUrl(), "--mqtt-name", "untrusted"});
    ASSERT_GT(untrusted.Port(), 0) << untrusted.Stderr();
    EXPECT_TRUE(untrusted.WaitForLog("MQTT: cannot reach the broker"));
  }
  ServerProcess trusted(home, 0,
                        {"--mqtt", broker.TlsUrl(), "--mqtt-ca", (certs / "cert.pem").string(),
                         "--mqtt-name", "trusted"});
  ASSERT_GT(trusted.Port(), 0) << trusted.Stderr();
  EXPECT_TRUE(watcher.WaitForPayload("orvelle/trusted/status", R"("state":"online")"));
  EXPECT_TRUE(watcher.Payloads("orvelle/untrusted/status").empty());
}

TEST(MqttBridge, ABrokerThatNeverAnswersHoldsUpNeitherStartNorStop) {
  TempHome home;
  // Takes TCP connections into its backlog and never reads a byte.
  const int silent = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(silent, 8), 0);
  socklen_t size = sizeof address;
  ::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &size);
  const std::string url = "mqtt://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  {
    ServerProcess server(home, 0, {"--mqtt", url, "--mqtt-name", "silent"});
    ASSERT_GT(server.Port(), 0) << server.Stderr();
    EXPECT_NE(Curl({server.Url("/")}), "") << "pages are served";
    EXPECT_EQ(server.Terminate(e2e::kProcessLimit), 0);
  }
  ::close(silent);
}

TEST(MqttBridge, BadSettingsStopTheStartWithOneLineAndExitCodeTwo) {
  TempHome home;
  const std::vector<std::vector<std::string>> cases{
      {"--mqtt", "tcp://127.0.0.1"},
      {"--mqtt", "mqtt://127.0.0.1:99999"},
      {"--mqtt", "mqtt://u@127.0.0.1", "--mqtt-password-file", (home.Path() / "none").string()},
      {"--mqtt", "mqtt://127.0.0.1", "--mqtt-name", "a/b"},
      {"--mqtt", "mqtt://127.0.0.1", "--mqtt-name", "#"},
      {"--mqtt-name", "lab1"},
  };
  for (const auto& extra : cases) {
    SCOPED_TRACE(extra.back());
    ServerProcess server(home, 0, extra);
    ASSERT_EQ(server.ExitCode(), 2);
    const std::string err = server.Stderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(err.rfind("orvelle: ", 0), 0u) << err;
  }
}

}  // namespace
}  // namespace orvelle::mqtt_test
