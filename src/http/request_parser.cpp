// The request state machine: lines up to the empty line, then a counted or open-ended body.
#include "http/request_parser.h"

#include <algorithm>
#include <limits>

#include "base/ascii_text.h"

namespace orvelle::http {
namespace {

// Up-front body allocation; larger bodies grow as their bytes arrive.
constexpr std::int64_t kBodyReserve = 1024 * 1024;

bool IsBlankLine(std::string_view line) {
  return std::all_of(line.begin(), line.end(), [](char c) { return c == ' '; });
}

bool IsControlByte(unsigned char byte) {
  return byte < 0x20 || byte == 0x7F;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  const char lower = static_cast<char>(c | 0x20);
  if (lower >= 'a' && lower <= 'f') return lower - 'a' + 10;
  return -1;
}

// Bodies are read by length only: a request that frames its body any other way would be read
// differently here than by a proxy in front, so it is refused.
bool HasTransferEncoding(const THeaderList& headers) {
  return std::any_of(headers.Lines().begin(), headers.Lines().end(), [](const std::string& line) {
    std::string_view name = THeaderList::NameOf(line);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    return base::EqualsIgnoreCase(name, "Transfer-Encoding");
  });
}

}  // namespace

bool IsCleanTarget(std::string_view target) {
  for (char c : target) {
    if (IsControlByte(static_cast<unsigned char>(c))) return false;
  }
  const std::string_view path = target.substr(0, target.find('?'));
  for (std::size_t i = 0; i + 2 < path.size(); ++i) {
    if (path[i] != '%') continue;
    const int high = HexDigit(path[i + 1]);
    const int low = HexDigit(path[i + 2]);
    if (high >= 0 && low >= 0 && IsControlByte(static_cast<unsigned char>(high * 16 + low))) {
      return false;
    }
  }
  return true;
}

std::optional<TRequestLine> ParseRequestLine(std::string_view line) {
  const auto last_blank = line.rfind(' ');
  if (last_blank == std::string_view::npos) return std::nullopt;
  TRequestLine result;
  result.Version = std::string(line.substr(last_blank + 1));
  const std::string_view head = line.substr(0, last_blank);
  const auto first_blank = head.find(' ');
  result.Method = base::AsciiUpper(head.substr(0, first_blank));
  if (first_blank != std::string_view::npos)
    result.Target = std::string(head.substr(first_blank + 1));
  return result;
}

std::int64_t ContentLengthOf(const THeaderList& headers) {
  const std::string value = headers.Value("Content-Length");
  std::string_view v = value;
  while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
  if (v.empty() || !std::all_of(v.begin(), v.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return -1;
  }
  std::int64_t n = 0;
  for (char c : v) {
    if (n > (std::numeric_limits<std::int64_t>::max() - (c - '0')) / 10) {
      return std::numeric_limits<std::int64_t>::max();
    }
    n = n * 10 + (c - '0');
  }
  return n;
}

TRequestParser::TRequestParser(TRequestLimits limits, bool standard_methods)
    : limits_(limits), standard_methods_(standard_methods) {}

TParseStatus TRequestParser::Feed(std::string_view bytes) {
  if (stage_ == Stage::kDone) return status_;
  if (stage_ == Stage::kBody || stage_ == Stage::kBodyUntilClose) {
    FeedBody(bytes);
    return status_;
  }
  pending_.append(bytes);
  ConsumeLines();
  return status_;
}

TParseStatus TRequestParser::FinishInput() {
  if (stage_ == Stage::kBodyUntilClose) {
    Finish(TParseStatus::kComplete);
  } else if (stage_ != Stage::kDone) {
    Finish(TParseStatus::kClosedEarly);
  }
  return status_;
}

void TRequestParser::ConsumeLines() {
  std::size_t start = 0;
  while (stage_ == Stage::kRequestLine || stage_ == Stage::kHeaders) {
    const auto lf = pending_.find('\n', std::max(start, scanned_));
    if (lf == std::string::npos) {
      // One byte of slack for a CR whose LF has not arrived yet.
      if (pending_.size() - start > limits_.MaxLineLength + 1) Finish(TParseStatus::kBadRequest);
      scanned_ = pending_.size();
      break;
    }
    std::string_view line(pending_.data() + start, lf - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    start = lf + 1;
    if (line.size() > limits_.MaxLineLength) {
      Finish(TParseStatus::kBadRequest);
    } else {
      OnLine(line);
    }
  }
  if (stage_ == Stage::kBody || stage_ == Stage::kBodyUntilClose) {
    FeedBody(std::string_view(pending_).substr(start));
    start = pending_.size();
  }
  if (stage_ == Stage::kDone) {
    pending_.clear();
    scanned_ = 0;
    return;
  }
  pending_.erase(0, start);
  scanned_ = scanned_ > start ? scanned_ - start : 0;
}

void TRequestParser::OnLine(std::string_view line) {
  if (stage_ == Stage::kRequestLine) {
    OnRequestLine(line);
  } else {
    OnHeaderLine(line);
  }
}

void TRequestParser::OnRequestLine(std::string_view line) {
  auto parsed = ParseRequestLine(line);
  if (!parsed) return Finish(TParseStatus::kMalformedCommand);
  request_.Line = std::move(*parsed);
  const std::string& m = request_.Line.Method;
  if (!standard_methods_ || (m != "GET" && m != "POST" && m != "HEAD")) {
    return Finish(TParseStatus::kOtherMethod);
  }
  // The path must reach the script rule and the file system as one and the same string.
  if (!IsCleanTarget(request_.Line.Target)) return Finish(TParseStatus::kBadRequest);
  stage_ = Stage::kHeaders;
}

void TRequestParser::OnHeaderLine(std::string_view line) {
  request_.Headers.Add(std::string(line));
  if (IsBlankLine(line)) return StartBody();
  if (++header_lines_ > limits_.MaxHeaderLines) Finish(TParseStatus::kBadRequest);
}

void TRequestParser::StartBody() {
  if (HasTransferEncoding(request_.Headers)) return Finish(TParseStatus::kBadRequest);
  const std::int64_t length = ContentLengthOf(request_.Headers);
  if (length > limits_.MaxBodySize) return Finish(TParseStatus::kTooLarge);
  if (length > 0) {
    body_left_ = length;
    // Reserve only what a small body needs: a client may announce much and send nothing.
    request_.Body.reserve(static_cast<std::size_t>(std::min<std::int64_t>(length, kBodyReserve)));
    stage_ = Stage::kBody;
  } else if (length < 0 && request_.Line.Method == "POST") {
    stage_ = Stage::kBodyUntilClose;
  } else {
    Finish(TParseStatus::kComplete);
  }
}

void TRequestParser::FeedBody(std::string_view bytes) {
  if (stage_ == Stage::kBodyUntilClose) {
    if (static_cast<std::int64_t>(request_.Body.size() + bytes.size()) > limits_.MaxBodySize) {
      return Finish(TParseStatus::kTooLarge);
    }
    request_.Body.append(bytes);
    return;
  }
  const auto take = std::min<std::int64_t>(body_left_, static_cast<std::int64_t>(bytes.size()));
  request_.Body.append(bytes.substr(0, static_cast<std::size_t>(take)));
  body_left_ -= take;
  if (body_left_ == 0) Finish(TParseStatus::kComplete);
}

void TRequestParser::Finish(TParseStatus status) {
  stage_ = Stage::kDone;
  status_ = status;
}

}  // namespace orvelle::http
