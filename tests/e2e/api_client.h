// Test support for the programs' JSON API: one call over a raw socket (so the test controls every
// header, Content-Length included), its status, headers and parsed body, and a record of every
// response that the document check reads afterwards.
#pragma once

#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "http/test_client.h"
#include "server_process.h"

namespace orvelle::e2e {

struct ApiResponse {
  int status = 0;
  std::string content_type;
  std::string retry_after;
  std::string allow;
  std::string set_cookie;
  std::string body;
  nlohmann::json json;  // null unless the body is JSON

  std::string Error() const { return json.is_object() ? json.value("error", "") : ""; }
};

struct ApiRequest {
  std::string method = "POST";
  std::string path = {};
  std::string body = {};
  std::string content_type = "application/json";
  std::vector<std::string> headers = {};  // more header lines
  bool content_length = true;             // false: the body ends where the client stops sending
};

class ApiClient {
 public:
  explicit ApiClient(int port) : port_(port) {}

  // Sent with every call: credentials, the session cookie.
  std::vector<std::string> headers;

  ApiResponse Call(const ApiRequest& request) {
    std::string text = request.method + " " + request.path +
                       " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                       "\r\nConnection: close\r\n";
    for (const auto& line : headers) text += line + "\r\n";
    for (const auto& line : request.headers) text += line + "\r\n";
    if (!request.body.empty()) text += "Content-Type: " + request.content_type + "\r\n";
    if (request.content_length && request.method == "POST") {
      text += "Content-Length: " + std::to_string(request.body.size()) + "\r\n";
    }
    text += "\r\n" + request.body;
    const auto raw = http::testing::Exchange(port_, text, !request.content_length);
    const http::testing::Response split = http::testing::SplitResponse(raw.bytes);
    ApiResponse response;
    const auto blank = split.status_line.find(' ');
    if (blank != std::string::npos) response.status = std::atoi(split.status_line.c_str() + blank);
    response.content_type = split.Header("Content-Type");
    response.retry_after = split.Header("Retry-After");
    response.allow = split.Header("Allow");
    response.set_cookie = split.Header("Set-Cookie");
    response.body = split.body;
    if (response.content_type.starts_with("application/json")) {
      response.json = nlohmann::json::parse(response.body, nullptr, false);
    }
    Record(request, response);
    return response;
  }

  ApiResponse Post(const std::string& path, const std::string& body) {
    return Call({"POST", path, body});
  }
  ApiResponse Get(const std::string& path) { return Call({"GET", path}); }

  // Every response so far, one JSON object a line, for api_document_check.py.
  void WriteRecords(const fs::path& path) {
    std::lock_guard hold(lock_);
    std::ofstream out(path);
    for (const auto& line : records_) {
      out << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    }
  }

 private:
  void Record(const ApiRequest& request, const ApiResponse& response) {
    if (!request.path.starts_with("/.orvelle/")) return;
    nlohmann::json record{
        {"method", request.method},
        {"path", request.path},
        {"status", response.status},
        {"content_type", response.content_type},
        {"retry_after", response.retry_after == "<none>" ? "" : response.retry_after},
        {"body", response.body},
        {"request", request.body}};
    std::lock_guard hold(lock_);
    records_.push_back(std::move(record));
  }

  int port_;
  std::mutex lock_;
  std::vector<nlohmann::json> records_;
};

// Runs the document check on what the client recorded; its output, and true when it passed.
inline bool DocumentCheckPasses(ApiClient& client, const TempHome& home, std::string& output) {
  const fs::path records = home.Path() / "api-records.jsonl";
  const fs::path out = home.Path() / "check-out.txt";
  client.WriteRecords(records);
  const pid_t pid = Spawn(
      {"/usr/bin/python3", std::string(ORVELLE_SOURCE_DIR) + "/tests/e2e/api_document_check.py",
       std::string(ORVELLE_SOURCE_DIR) + "/docs/openapi.json", records.string()},
      out, out);
  const std::optional<int> code = WaitExit(pid, kProcessLimit);
  output = ReadText(out);
  // The check says how many it looked at; none would be a check that cannot fail.
  return code == 0 && output.find(" 0 responses checked") == std::string::npos;
}

}  // namespace orvelle::e2e
