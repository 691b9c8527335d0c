// The server's own endpoints: which paths are in their namespace, and what each answers.
#include "webfront/own_endpoints.h"

#include <gtest/gtest.h>

#include "http/connection.h"

namespace orvelle::webfront {
namespace {

TEST(OwnEndpointsTest, PathsAndAnswers) {
  http::TTCPConnection connection(http::TSocketHandle{}, {});  // never used to send
  const OwnEndpoints endpoints{[] { return std::string("{\"ports\":[]}"); }};
  const struct {
    const char* path;
    bool own;
    int status;  // when own
  } cases[] = {
      {"/.orvelle/ports", true, 200},   {"/.orvelle/other", true, 404},
      {"/.orvelle", true, 404},         {"/.orvelle/", true, 404},
      {"/.orvelle/ports/x", true, 404}, {"/.orvelle/PORTS", true, 404},
      {"/.orvellex/ports", false, 0},   {"/x/.orvelle/ports", false, 0},
      {"/.ORVELLE/ports", false, 0},    {"/ports", false, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsOwnEndpoint(c.path), c.own) << c.path;
    if (!c.own) continue;
    http::THTTPResponseInfo response(connection);
    AnswerOwnEndpoint(c.path, endpoints, response);
    EXPECT_EQ(response.StatusCode(), c.status) << c.path;
    EXPECT_EQ(response.ContentType.starts_with("application/json"), c.status == 200) << c.path;
    EXPECT_EQ(response.ContentText == "{\"ports\":[]}", c.status == 200) << c.path;
  }
  http::THTTPResponseInfo unwired(connection);
  AnswerOwnEndpoint("/.orvelle/ports", {}, unwired);
  EXPECT_EQ(unwired.StatusCode(), 404);
}

}  // namespace
}  // namespace orvelle::webfront
