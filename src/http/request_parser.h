// TRequestParser: a state machine fed raw bytes that assembles one request's line, headers, body.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "http/header_list.h"

namespace orvelle::http {

// Long enough for any real request target or header, short enough that a client cannot grow
// the line buffer without bound.
inline constexpr std::size_t kMaxLineLength = 16 * 1024;
// Browsers send a few dozen; more is an attack on memory or CPU.
inline constexpr std::size_t kMaxHeaderLines = 200;
// Bodies are kept in memory as ParamText, so they must have a ceiling; form posts and uploads to
// a page are far smaller, and a thousand connections at this size still fit in memory.
inline constexpr std::int64_t kMaxBodySize = 1024 * 1024;

struct TRequestLimits {
  std::size_t MaxLineLength = kMaxLineLength;
  std::size_t MaxHeaderLines = kMaxHeaderLines;
  std::int64_t MaxBodySize = kMaxBodySize;
};

struct TRequestLine {
  std::string Method;  // upper-cased
  std::string Target;
  std::string Version;
};

// Splits a request line at its last blank (version) and the first blank before it (method,
// target). Returns nothing when the line has no blank at all.
std::optional<TRequestLine> ParseRequestLine(std::string_view line);

// False when the request target holds a control byte (0x00-0x1F, 0x7F), raw anywhere or
// percent-encoded in its path: such a target is refused before it can name a file.
bool IsCleanTarget(std::string_view target);

// The "Content-Length" value as a number: -1 when missing or not a number, INT64_MAX when it is
// a number too large to represent.
std::int64_t ContentLengthOf(const THeaderList& headers);

struct TParsedRequest {
  TRequestLine Line;
  THeaderList Headers;  // every line as received, the terminating empty line included
  std::string Body;
};

enum class TParseStatus {
  kNeedMore,          // feed more bytes, or call FinishInput at end of input
  kComplete,          // Request() holds a whole GET, HEAD or POST request
  kOtherMethod,       // the request line named another method; headers are not read
  kMalformedCommand,  // the request line has no blank: no response is due
  kClosedEarly,       // input ended before the request was complete: no response is due
  kBadRequest,        // a line or the header count is over its limit, or a control byte in
                      // the target: answer 400
  kTooLarge,          // the body is over its limit: answer 413
  kBodyRefused,       // never the parser's: the server will not read this body now (503)
};

class TRequestParser {
 public:
  // With `standard_methods` false every method is reported as kOtherMethod.
  explicit TRequestParser(TRequestLimits limits = {}, bool standard_methods = true);

  TParseStatus Feed(std::string_view bytes);
  // The peer closed its sending side: ends a body read until close.
  TParseStatus FinishInput();
  TParseStatus Status() const { return status_; }
  // The request line and headers are behind: only the body, if any, is still to come.
  bool HeadDone() const { return stage_ != Stage::kRequestLine && stage_ != Stage::kHeaders; }
  const TParsedRequest& Request() const { return request_; }
  TParsedRequest TakeRequest() { return std::move(request_); }

 private:
  enum class Stage { kRequestLine, kHeaders, kBody, kBodyUntilClose, kDone };

  void ConsumeLines();
  void OnLine(std::string_view line);
  void OnRequestLine(std::string_view line);
  void OnHeaderLine(std::string_view line);
  void StartBody();
  void FeedBody(std::string_view bytes);
  void Finish(TParseStatus status);

  TRequestLimits limits_;
  bool standard_methods_;
  Stage stage_ = Stage::kRequestLine;
  TParseStatus status_ = TParseStatus::kNeedMore;
  std::string pending_;      // bytes of the head not yet split into lines
  std::size_t scanned_ = 0;  // pending_ holds no LF before this offset
  std::size_t header_lines_ = 0;
  std::int64_t body_left_ = 0;  // bytes still due in Stage::kBody
  TParsedRequest request_;
};

}  // namespace orvelle::http
