// The programs' JSON API against the real server and its demo device: one table of calls in order
// (status, open, send and query with each line end, a timed-out query, busy answers while a page
// and while another query hold the slot, refusals by the sign-in, session and cross-site rules,
// bad bodies), twenty clients querying at once, and the page's query built-in in a golden case.
// Every response is checked against docs/openapi.json by an independent schema validator.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "api_client.h"
#include "base/ascii_text.h"

namespace orvelle::e2e {
namespace {

using Json = nlohmann::json;

constexpr const char* kCredentials = "Authorization: Basic bGFiOnNlY3JldA==";  // lab:secret
// A page that holds the slot in a query that nothing answers, until it is aborted.
constexpr const char* kHoldPage = "<% r = query (\"\", \"never\", 20000) %>";

// Waits until the status names `holder` as the slot's holder, or it is free (empty `holder`).
bool WaitForHolder(ApiClient& client, const std::string& holder) {
  const auto deadline = std::chrono::steady_clock::now() + kProcessLimit;
  while (std::chrono::steady_clock::now() < deadline) {
    const ApiResponse status = client.Get("/.orvelle/status");
    const Json& script = status.json["script"];
    if (holder.empty()
            ? script.is_null()
            : script.is_object() && script["page"].get<std::string>().ends_with(holder)) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

struct Row {
  const char* what;
  ApiRequest request;
  int status;
  std::string error = "";  // the expected error code, when one
  // Further checks of a 200's JSON.
  std::function<void(const Json&)> check = nullptr;
};

Json::string_t Reply(const Json& json) {
  return json.value("reply", "");
}

TEST(ProgramApiTest, EndpointsInOrderAgainstTheDemoDevice) {
  TempHome home;
  home.Config(
      "Auth require=yes\r\nAuth user=lab\r\nAuth password=secret\r\nUse session=yes\r\n"
      "Session expire=10\r\n");
  home.Page("hold.ovs", kHoldPage);
  ServerProcess server(home, 0, {"--demo"});
  ASSERT_GT(server.Port(), 0) << server.Stdout();
  const std::string device = server.DemoDevicePath();
  ApiClient client(server.Port());
  client.headers = {kCredentials};
  const ApiResponse first = client.Get("/.orvelle/status");
  ASSERT_EQ(first.status, 200) << first.body;
  ASSERT_NE(first.set_cookie, "<none>");
  client.headers.push_back("Cookie: " + first.set_cookie.substr(0, first.set_cookie.find(';')));

  const std::string big(64 * 1024 + 1, ' ');
  const Row rows[] = {
      {"status before open",
       {"GET", "/.orvelle/status"},
       200,
       "",
       [](const Json& j) {
         EXPECT_FALSE(j["port"]["open"].get<bool>());
         EXPECT_TRUE(j["port"]["settings"].is_null());
         EXPECT_TRUE(j["script"].is_null());
       }},
      {"query on a closed port",
       {"POST", "/.orvelle/query", R"({"text":"*IDN?","end":"crlf"})"},
       409,
       "port-closed"},
      {"open of a device that is not there",
       {"POST", "/.orvelle/open", R"({"port":"/dev/orvelle-absent"})"},
       502,
       "open-failed",
       [&](const Json& j) {
         // The reason is the log line's.
         const std::string message = j.value("message", "");
         const std::string prefix = "Cannot open /dev/orvelle-absent: ";
         ASSERT_TRUE(message.starts_with(prefix)) << message;
         EXPECT_TRUE(server.WaitForLog("Serial port error: cannot open /dev/orvelle-absent: " +
                                       message.substr(prefix.size())));
       }},
      {"open the demo device by default",
       {"POST", "/.orvelle/open", R"({"baud":115200})"},
       200,
       "",
       [&](const Json& j) {
         EXPECT_TRUE(j["open"].get<bool>());
         EXPECT_EQ(j["device"], device);
         EXPECT_EQ(j["settings"]["baud"], 115200);
       }},
      {"status after open",
       {"GET", "/.orvelle/status"},
       200,
       "",
       [&](const Json& j) {
         EXPECT_TRUE(j["port"]["open"].get<bool>());
         EXPECT_EQ(j["port"]["name"], base::AsciiUpper(device));
         EXPECT_EQ(j["port"]["settings"]["parity"], "none");
       }},
      {"send with CR",
       {"POST", "/.orvelle/send", R"({"text":"PING","end":"cr"})"},
       200,
       "",
       [](const Json& j) { EXPECT_EQ(j["sent"], 5); }},
      {"the reply to the send, without a flush",
       {"POST", "/.orvelle/query", R"({"flush":false,"timeout_ms":5000})"},
       200,
       "",
       [](const Json& j) {
         EXPECT_EQ(Reply(j), "PONG\r\n");
         EXPECT_EQ(j["sent"], 0);
       }},
      {"query, no line end",
       {"POST", "/.orvelle/query", R"({"text":"*IDN?\r"})"},
       200,
       "",
       [](const Json& j) {
         EXPECT_EQ(Reply(j), "ORVELLE,SIMULATOR,0,1.0\r\n");
         EXPECT_TRUE(j["complete"].get<bool>());
       }},
      {"query, CR",
       {"POST", "/.orvelle/query", R"({"text":"PING","end":"cr"})"},
       200,
       "",
       [](const Json& j) { EXPECT_EQ(Reply(j), "PONG\r\n"); }},
      {"query, LF",
       {"POST", "/.orvelle/query", R"({"text":"PING","end":"lf"})"},
       200,
       "",
       [](const Json& j) { EXPECT_EQ(Reply(j), "PONG\r\n"); }},
      {"query, CR LF",
       {"POST", "/.orvelle/query", R"({"text":"*IDN?","end":"crlf"})"},
       200,
       "",
       [](const Json& j) {
         EXPECT_EQ(j["hex"],
                   "4F 52 56 45 4C 4C 45 2C 53 49 4D 55 4C 41 54 4F 52 2C 30 2C 31 2E 30 0D 0A");
         EXPECT_EQ(j["sent"], 7);
       }},
      {"query in hex, until CR LF in hex",
       {"POST", "/.orvelle/query", R"({"hex":"50 49 4e 47","end":"lf","until_hex":"0D0A"})"},
       200,
       "",
       [](const Json& j) { EXPECT_EQ(Reply(j), "PONG\r\n"); }},
      {"query ends at max_bytes",
       {"POST", "/.orvelle/query", R"({"text":"abcdef","end":"cr","until":"","max_bytes":3})"},
       200,
       "",
       [](const Json& j) {
         EXPECT_EQ(Reply(j), "abc");
         EXPECT_TRUE(j["complete"].get<bool>());
       }},
      {"the rest stays for the next call",
       {"POST", "/.orvelle/query", R"({"flush":false,"timeout_ms":5000})"},
       200,
       "",
       [](const Json& j) { EXPECT_EQ(Reply(j), "def\r\n"); }},
      {"query times out with a partial reply",
       {"POST", "/.orvelle/query",
        R"({"text":"late","end":"cr","until":"never","timeout_ms":300})"},
       200,
       "",
       [](const Json& j) {
         EXPECT_EQ(Reply(j), "late\r\n");
         EXPECT_FALSE(j["complete"].get<bool>());
         EXPECT_GE(j["elapsed_ms"].get<double>(), 300);
       }},
      {"a look without waiting",
       {"POST", "/.orvelle/query", R"({"flush":false,"until":"\n","timeout_ms":0})"},
       200,
       "",
       [](const Json& j) { EXPECT_EQ(Reply(j), ""); }},
      {"bad JSON", {"POST", "/.orvelle/query", "{\"text\":"}, 400, "bad-json"},
      {"wrong type", {"POST", "/.orvelle/query", R"({"text":5})"}, 400, "bad-argument"},
      {"out of range", {"POST", "/.orvelle/query", R"({"timeout_ms":60001})"}, 400, "bad-argument"},
      {"unknown field", {"POST", "/.orvelle/send", R"({"txt":"x"})"}, 400, "unknown-field"},
      {"text and hex",
       {"POST", "/.orvelle/send", R"({"text":"x","hex":"41"})"},
       400,
       "bad-argument"},
      {"bad hex", {"POST", "/.orvelle/send", R"({"hex":"4"})"}, 400, "bad-argument"},
      {"unknown baud rate", {"POST", "/.orvelle/open", R"({"baud":1234})"}, 400, "bad-argument"},
      {"oversize body", {"POST", "/.orvelle/send", big}, 413, "too-large"},
      {"not JSON",
       {"POST", "/.orvelle/send", "text=x", "application/x-www-form-urlencoded"},
       415,
       "unsupported-media-type"},
      {"no length",
       {"POST", "/.orvelle/send", R"({"text":"x"})", "application/json", {}, false},
       411,
       "length-required"},
      {"GET of a call", {"GET", "/.orvelle/query"}, 405, "method-not-allowed"},
      {"POST of the status", {"POST", "/.orvelle/status", "{}"}, 405, "method-not-allowed"},
      {"cross-site",
       {"POST",
        "/.orvelle/query",
        R"({"text":"PING"})",
        "application/json",
        {"Sec-Fetch-Site: cross-site"}},
       403},
      {"another site's Origin",
       {"POST",
        "/.orvelle/send",
        R"({"text":"PING"})",
        "application/json",
        {"Origin: http://evil.example"}},
       403},
      {"document",
       {"GET", "/.orvelle/openapi.json"},
       200,
       "",
       [](const Json& j) { EXPECT_EQ(j["openapi"], "3.1.0"); }},
  };
  for (const Row& row : rows) {
    const ApiResponse response = client.Call(row.request);
    EXPECT_EQ(response.status, row.status) << row.what << "\n" << response.body;
    EXPECT_EQ(response.Error(), row.error) << row.what << "\n" << response.body;
    if (row.status == 405) {
      EXPECT_NE(response.allow, "<none>") << row.what;
    }
    if (row.check && response.json.is_object()) row.check(response.json);
  }
  EXPECT_EQ(client.Get("/.orvelle/openapi.json").body,
            ReadText(fs::path(ORVELLE_SOURCE_DIR) / "docs" / "openapi.json"));

  // Refused by the sign-in and the session rule before the API sees the call.
  ApiClient stranger(server.Port());
  EXPECT_EQ(stranger.Post("/.orvelle/send", R"({"text":"x"})").status, 401);
  stranger.headers = {kCredentials, "Cookie: Orvelle=1"};
  const ApiResponse other_session = stranger.Post("/.orvelle/send", R"({"text":"x"})");
  EXPECT_NE(other_session.body.find("Only one session allowed"), std::string::npos);

  // A page holds the slot: busy at once, or served once the page is aborted when the call waits.
  std::thread page([&] { client.Get("/hold.ovs"); });
  ASSERT_TRUE(WaitForHolder(client, "hold.ovs"));
  const ApiResponse busy = client.Post("/.orvelle/query", R"({"text":"PING","end":"cr"})");
  EXPECT_EQ(busy.status, 409);
  EXPECT_EQ(busy.Error(), "busy");
  EXPECT_EQ(busy.retry_after, "1");
  client.Get("/abort.ovs");
  const ApiResponse waited =
      client.Post("/.orvelle/query", R"({"text":"PING","end":"cr","wait_ms":10000})");
  EXPECT_EQ(Reply(waited.json), "PONG\r\n") << waited.body;
  page.join();

  // Another query holds the slot.
  std::thread slow(
      [&] { client.Post("/.orvelle/query", R"({"until":"never","timeout_ms":1500})"); });
  ASSERT_TRUE(WaitForHolder(client, "/.orvelle/query"));
  EXPECT_EQ(client.Post("/.orvelle/send", R"({"text":"PING"})").Error(), "busy");
  slow.join();

  const ApiResponse closed = client.Post("/.orvelle/close", "{}");
  EXPECT_EQ(closed.status, 200);
  EXPECT_FALSE(closed.json["open"].get<bool>());
  EXPECT_EQ(client.Post("/.orvelle/send", R"({"text":"x"})").Error(), "port-closed");

  std::string check_output;
  EXPECT_TRUE(DocumentCheckPasses(client, home, check_output)) << check_output;
  std::string stranger_output;
  EXPECT_TRUE(DocumentCheckPasses(stranger, home, stranger_output)) << stranger_output;
}

// Twenty programs ask at once; the slot orders them, and each gets its own answer whole.
TEST(ProgramApiTest, TwentyClientsQueryingAtOnceGetTheirOwnAnswers) {
  constexpr int kClients = 20;
  TempHome home;
  ServerProcess server(home, 0, {"--demo"});
  ASSERT_GT(server.Port(), 0) << server.Stdout();
  ApiClient client(server.Port());
  ASSERT_EQ(client.Post("/.orvelle/open", "{}").status, 200);
  std::vector<ApiResponse> answers(kClients);
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      answers[i] = client.Post("/.orvelle/query", R"({"text":"client-)" + std::to_string(i) +
                                                      R"(","end":"cr","wait_ms":30000})");
    });
  }
  for (auto& thread : threads) thread.join();
  for (int i = 0; i < kClients; ++i) {
    EXPECT_EQ(answers[i].status, 200) << i << answers[i].body;
    EXPECT_EQ(Reply(answers[i].json), "client-" + std::to_string(i) + "\r\n") << i;
  }
  const ApiResponse status = client.Get("/.orvelle/status");
  EXPECT_GE(status.json["sent_bytes"].get<std::uint64_t>(), 20u * 9u);
  // Each line comes back with CR LF for its CR.
  EXPECT_EQ(status.json["received_bytes"].get<std::uint64_t>(),
            status.json["sent_bytes"].get<std::uint64_t>() + kClients);
  std::string check_output;
  EXPECT_TRUE(DocumentCheckPasses(client, home, check_output)) << check_output;
}

// The page built-in against the demo device, compared byte for byte with its expected body.
TEST(ProgramApiTest, PageQueryGoldenCase) {
  TempHome home;
  const fs::path cases = fs::path(ORVELLE_TEST_DATA) / "cases";
  home.Page("query_demo.ovs", ReadText(cases / "query_demo.ovs"));
  ServerProcess server(home, 0, {"--demo"});
  ASSERT_GT(server.Port(), 0) << server.Stdout();
  EXPECT_EQ(Curl({server.Url("/query_demo.ovs")}), ReadText(cases / "query_demo.expected"));
}

}  // namespace
}  // namespace orvelle::e2e
