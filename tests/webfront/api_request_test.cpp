// The API's request reading: one table of bodies and what each becomes or why it is refused, hex
// in and out checked on random bytes, and the script slot's waiting claim.
#include "webfront/api_request.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "webfront/script_slot.h"

namespace orvelle::webfront {
namespace {

TEST(ApiRequestTest, BodiesBecomeCallsOrTheirRefusal) {
  const struct {
    std::string body;
    std::string error;  // empty: accepted
  } cases[] = {
      {"", ""},
      {"{}", ""},
      {R"({"text":"*IDN?","end":"crlf","until_hex":"0A","max_bytes":10,"flush":false})", ""},
      {"[]", "bad-argument"},
      {"{", "bad-json"},
      {R"({"text":"a","hex":"41"})", "bad-argument"},
      {R"({"until":"a","until_hex":"41"})", "bad-argument"},
      {R"({"end":"crlf2"})", "bad-argument"},
      {R"({"timeout_ms":-1})", "bad-argument"},
      {R"({"timeout_ms":1.5})", "bad-argument"},
      {R"({"max_bytes":1048577})", "bad-argument"},
      {R"({"flush":"yes"})", "bad-argument"},
      {R"({"wait_ms":60001})", "bad-argument"},
      {R"({"Text":"a"})", "unknown-field"},
  };
  for (const auto& c : cases) {
    const Parsed<QueryCall> parsed = ParseQueryCall(c.body);
    const ApiError* error = std::get_if<ApiError>(&parsed);
    EXPECT_EQ(error ? error->code : "", c.error) << c.body;
    if (error) {
      EXPECT_EQ(error->status, 400) << c.body;
    }
  }
  const QueryCall defaults = std::get<QueryCall>(ParseQueryCall("{}"));
  EXPECT_EQ(defaults.query.until.size(), 1u);
  EXPECT_EQ(defaults.query.until.front(), '\n');
  EXPECT_EQ(defaults.query.timeout, std::chrono::milliseconds(2000));
  EXPECT_TRUE(defaults.query.flush);
  const QueryCall full = std::get<QueryCall>(ParseQueryCall(cases[2].body));
  EXPECT_EQ(full.query.send, "*IDN?\r\n");
  EXPECT_EQ(full.query.until, "\n");
  EXPECT_EQ(full.query.max_bytes, 10u);
  EXPECT_FALSE(full.query.flush);
  const OpenCall open = std::get<OpenCall>(ParseOpenCall(R"({"parity":"EVEN","stop":1.5})"));
  EXPECT_EQ(open.settings.parity, "even");
  EXPECT_EQ(open.settings.stop_bits, "1.5");
  EXPECT_EQ(open.settings.baud_rate, "9600");
  EXPECT_FALSE(open.port.has_value());
  EXPECT_TRUE(std::holds_alternative<ApiError>(ParseSendCall("{}"))) << "send needs bytes";
}

TEST(ApiRequestTest, HexOfRandomBytesReadsBackTheSame) {
  std::mt19937 random(27);
  for (int round = 0; round < 200; ++round) {
    std::string bytes(random() % 40, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    const std::string hex = HexBytes(bytes);
    EXPECT_EQ(ParseHexBytes(hex), bytes) << hex;
    std::string packed;
    for (char c : hex) {
      if (c != ' ') packed += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    EXPECT_EQ(ParseHexBytes(packed), bytes) << packed;
  }
  EXPECT_FALSE(ParseHexBytes("4"));
  EXPECT_FALSE(ParseHexBytes("4G"));
}

TEST(ApiRequestTest, AWaitingClaimGetsTheSlotWhenItIsFreedOrGivesUpOnStop) {
  ScriptSlot slot;
  std::string holder;
  std::optional<ScriptSlot::Claim> page = slot.TryClaim("/page.ovs", holder);
  ASSERT_TRUE(page);
  // A stop (the server's) ends the wait at once, however long the call would wait.
  std::stop_source stop;
  stop.request_stop();
  EXPECT_FALSE(
      slot.ClaimWithin("/.orvelle/query", holder, std::chrono::minutes(1), stop.get_token()));
  EXPECT_EQ(holder, "/page.ovs");
  std::thread releaser([&] { page.reset(); });
  EXPECT_TRUE(slot.ClaimWithin("/.orvelle/query", holder, std::chrono::minutes(1), {}));
  releaser.join();
}

}  // namespace
}  // namespace orvelle::webfront
