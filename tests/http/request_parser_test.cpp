// The pure request parser and field decoders, fed whole and in random chunk sizes.
#include "http/request_parser.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>

#include "http/exceptions.h"
#include "http/request_fields.h"
#include "http/request_info.h"

namespace orvelle::http {
namespace {

using ::testing::ElementsAre;

// Feeds `bytes` in pieces of random size (1..max_chunk), then signals end of input.
TParseStatus FeedInChunks(TRequestParser& parser, std::string_view bytes, std::mt19937& random,
                          std::size_t max_chunk, bool end_input) {
  std::uniform_int_distribution<std::size_t> size(1, max_chunk);
  while (!bytes.empty() && parser.Status() == TParseStatus::kNeedMore) {
    const std::size_t n = std::min(size(random), bytes.size());
    parser.Feed(bytes.substr(0, n));
    bytes.remove_prefix(n);
  }
  if (end_input) parser.FinishInput();
  return parser.Status();
}

struct ParseCase {
  std::string raw;
  bool end_input;
  TParseStatus status;
  std::string method, target, version, body;
};

TEST(RequestParserTest, OutcomesDoNotDependOnHowTheBytesAreChunked) {
  TRequestLimits limits;
  limits.MaxLineLength = 32;
  limits.MaxHeaderLines = 3;
  limits.MaxBodySize = 10;
  const std::vector<ParseCase> cases = {
      {"GET / HTTP/1.0\r\n\r\n", false, TParseStatus::kComplete, "GET", "/", "HTTP/1.0", ""},
      {"get /a b HTTP/1.1\n\n", false, TParseStatus::kComplete, "GET", "/a b", "HTTP/1.1", ""},
      {"GET HTTP/1.1\r\n\r\n", false, TParseStatus::kComplete, "GET", "", "HTTP/1.1", ""},
      {"POST /p HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcdef", false, TParseStatus::kComplete,
       "POST", "/p", "HTTP/1.1", "abc"},
      {"POST /p HTTP/1.1\r\n\r\nuntil close", true, TParseStatus::kTooLarge, "", "", "", ""},
      {"POST /p HTTP/1.1\r\n\r\nshort", true, TParseStatus::kComplete, "POST", "/p", "HTTP/1.1",
       "short"},
      {"GET /p HTTP/1.1\r\n\r\nbody?", true, TParseStatus::kComplete, "GET", "/p", "HTTP/1.1", ""},
      {"GET /p HTTP/1.1\r\nContent-Length: x\r\n\r\n", false, TParseStatus::kComplete, "GET", "/p",
       "HTTP/1.1", ""},
      {"DELETE /x HTTP/1.1\r\n", false, TParseStatus::kOtherMethod, "DELETE", "/x", "HTTP/1.1", ""},
      {"NOBLANK\r\n", false, TParseStatus::kMalformedCommand, "", "", "", ""},
      {"\r\n", false, TParseStatus::kMalformedCommand, "", "", "", ""},
      {"GET / HTTP/1.1\r\nA: 1\r\n", true, TParseStatus::kClosedEarly, "", "", "", ""},
      {"GET / HTTP/1.1\r\nA: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\n\r\n", false, TParseStatus::kBadRequest,
       "", "", "", ""},
      {"GET /" + std::string(40, 'x') + " HTTP/1.1\r\n\r\n", false, TParseStatus::kBadRequest, "",
       "", "", ""},
      {"POST / HTTP/1.1\r\nContent-Length: 11\r\n\r\n", false, TParseStatus::kTooLarge, "", "", "",
       ""},
      // A control byte in the target, raw or encoded in the path, never reaches a handler.
      {std::string("GET /a.txt\0.ovs HTTP/1.1\r\n\r\n", 28), false, TParseStatus::kBadRequest, "",
       "", "", ""},
      {"GET /a\tb HTTP/1.1\r\n\r\n", false, TParseStatus::kBadRequest, "", "", "", ""},
      {"GET /?q=\x7f HTTP/1.1\r\n\r\n", false, TParseStatus::kBadRequest, "", "", "", ""},
      {"GET /a%00.ovs HTTP/1.1\r\n\r\n", false, TParseStatus::kBadRequest, "", "", "", ""},
      {"GET /a%1f%7F HTTP/1.1\r\n\r\n", false, TParseStatus::kBadRequest, "", "", "", ""},
      {"GET /a%20%41?x=%00 HTTP/1.1\r\n\r\n", false, TParseStatus::kComplete, "GET",
       "/a%20%41?x=%00", "HTTP/1.1", ""},
  };
  std::mt19937 random(20240601);
  for (const ParseCase& c : cases) {
    for (std::size_t max_chunk :
         {c.raw.size() + 1, std::size_t{1}, std::size_t{3}, std::size_t{7}}) {
      SCOPED_TRACE(c.raw + " in chunks of up to " + std::to_string(max_chunk));
      TRequestParser parser(limits);
      ASSERT_EQ(FeedInChunks(parser, c.raw, random, max_chunk, c.end_input), c.status);
      if (c.status != TParseStatus::kComplete && c.status != TParseStatus::kOtherMethod) continue;
      EXPECT_EQ(parser.Request().Line.Method, c.method);
      EXPECT_EQ(parser.Request().Line.Target, c.target);
      EXPECT_EQ(parser.Request().Line.Version, c.version);
      EXPECT_EQ(parser.Request().Body, c.body);
    }
  }
}

TEST(RequestParserTest, HeadersKeepEveryLineWithTheTerminatorLast) {
  TRequestParser parser;
  parser.Feed("GET / HTTP/1.1\r\nHost: h\r\nX-Long: a\r\n  b\r\n   \r\nrest");
  ASSERT_EQ(parser.Status(), TParseStatus::kComplete);
  EXPECT_THAT(parser.Request().Headers.Lines(), ElementsAre("Host: h", "X-Long: a", "  b", "   "));
  EXPECT_EQ(parser.Request().Headers.Value("x-long"), "a b");
}

TEST(RequestParserTest, WithoutStandardMethodsEveryRequestIsOther) {
  TRequestParser parser({}, /*standard_methods=*/false);
  EXPECT_EQ(parser.Feed("GET / HTTP/1.1\r\n"), TParseStatus::kOtherMethod);
}

TEST(RequestParserTest, ContentLengthValues) {
  const std::vector<std::pair<std::string, std::int64_t>> cases = {
      {"Content-Length: 0", 0},
      {"content-length:   12  ", 12},
      {"Content-Length: -5", -1},
      {"Content-Length: 1e3", -1},
      {"Content-Length:", -1},
      {"Other: 5", -1},
      {"Content-Length: 9223372036854775807", INT64_MAX},
      {"Content-Length: 9223372036854775808", INT64_MAX},
  };
  for (const auto& [line, expected] : cases) {
    THeaderList headers;
    headers.Add(line);
    EXPECT_EQ(ContentLengthOf(headers), expected) << line;
  }
}

TEST(RequestFieldsTest, DocumentRules) {
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"*", "*", ""},
      {"", "/", ""},
      {"/", "/", ""},
      {"page.html", "/page.html", ""},
      {"/dir\\sub\\f.txt", "/dir/sub/f.txt", ""},
      {"http://host.test:8080/x/y#top", "/x/y", "host.test:8080"},
      {"http://host.test", "/", "host.test"},
      {"/a/b#frag", "/a/b", ""},
      {"/%41%2", "/%41%2", ""},
      {"dir/file", "/dir/file", ""},
  };
  for (const auto& [path, document, host] : cases) {
    SCOPED_TRACE(path);
    const TDocumentParts parts = ParseDocument(path);
    EXPECT_EQ(parts.Document, document);
    EXPECT_EQ(parts.Host, host);
  }
}

TEST(RequestFieldsTest, ParameterDecoding) {
  EXPECT_THAT(DecodeParams(""), ElementsAre());
  EXPECT_THAT(DecodeParams("a=%00&b=%zz&&"), ElementsAre("a=", "b=", "", ""));
  EXPECT_THAT(DecodeParams("x=1&y=a+b%21"), ElementsAre("x=1", "y=a b!"));
  EXPECT_THAT(DecodeParams("%3d=%3D&%FF"), ElementsAre("===", "\xFF"));
  EXPECT_THAT(DecodeParams("t=%4&u=%"), ElementsAre("t=", "u="));
  EXPECT_THAT(DecodeParams("&"), ElementsAre("", ""));
}

TEST(RequestFieldsTest, BasicCredentials) {
  EXPECT_EQ(DecodeBase64("dXNlcjpwYXNz"), "user:pass");
  EXPECT_EQ(DecodeBase64("YQ=="), "a");
  EXPECT_EQ(DecodeBase64(" Y W I = junk"), "ab");
  const TBasicCredentials lower = ParseBasicAuthorization("basic dXNlcjpwYTpzcw==");
  EXPECT_EQ(lower.User, "user");
  EXPECT_EQ(lower.Password, "pa:ss");
  const TBasicCredentials no_colon = ParseBasicAuthorization("Basic dXNlcg==");
  EXPECT_EQ(no_colon.User, "user");
  EXPECT_EQ(no_colon.Password, "");
  EXPECT_THROW(ParseBasicAuthorization("Digest x"), EHTTPUnsupportedAuthorisationScheme);
  EXPECT_THROW(ParseBasicAuthorization("Basicx dXNlcg=="), EHTTPUnsupportedAuthorisationScheme);
}

TEST(RequestInfoTest, QueryJoinsTheBodyAndHostFallsBackToTheTarget) {
  TRequestParser parser;
  parser.Feed(
      "POST http://t.test/s.ovs?c=3 HTTP/1.1\r\nContent-Length: 7\r\nCookie: a=1\r\n"
      "Cookie: b=2\r\n\r\na=1&b=2");
  ASSERT_EQ(parser.Status(), TParseStatus::kComplete);
  const THTTPRequestInfo info =
      THTTPRequestInfo::FromParsed(parser.TakeRequest(), "10.0.0.1", true);
  EXPECT_EQ(info.ParamText, "a=1&b=2&c=3");
  EXPECT_THAT(info.Params, ElementsAre("a=1", "b=2", "c=3"));
  EXPECT_EQ(info.Host, "t.test");
  EXPECT_EQ(info.Document, "/s.ovs");
  EXPECT_EQ(info.ClientIP, "10.0.0.1");
  ASSERT_EQ(info.Cookies.Count(), 2u);
  EXPECT_EQ(info.Cookies.FindCookie(0, "A"), 0);
  EXPECT_EQ(info.Cookies.FindCookie(1, "a"), -1);

  TRequestParser unparsed;
  unparsed.Feed("GET /?x=1 HTTP/1.1\r\n\r\n");
  EXPECT_THAT(THTTPRequestInfo::FromParsed(unparsed.TakeRequest(), "", false).Params,
              ElementsAre());
}

}  // namespace
}  // namespace orvelle::http
