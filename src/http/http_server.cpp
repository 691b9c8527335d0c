// One request per connection: read, hand to the handler, write the response, close.
#include "http/http_server.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/ascii_text.h"
#include "base/c_string.h"
#include "http/exceptions.h"
#include "http/https_redirect.h"
#include "http/status_text.h"

namespace orvelle::http {
namespace {

// Files up to this size are sent from memory behind their header rather than by sendfile.
constexpr std::size_t kSmallFile = 16384;

// A handler failed before anything was sent: the message becomes a 500 body. Sent as plain
// text, since the message may carry request data that must not be read as HTML.
void TurnIntoServerError(THTTPResponseInfo& response, const std::string& message) {
  if (response.HeaderSent) return;  // appending now would corrupt a body already announced
  response.StatusCode(500);
  response.Realm.clear();
  response.ContentType = "text/plain";
  response.ContentLength = -1;
  response.ContentStream.reset();
  response.ContentText = message;
}

// The server closes every connection after one response; saying so keeps HTTP/1.1 clients from
// sending a second request on a socket that is about to close. Set before the handler runs, so
// it is in place however the header gets sent (SendFile, or the handler's own SendHeader).
void AnnounceClose(THTTPResponseInfo& response) {
  response.Headers.SetValue("Connection", "close");
}

// A browser told once over TLS that this host speaks only TLS never tries the plain port again
// for a year, so no one on the way can keep it on plain HTTP.
constexpr std::string_view kStrictTransport = "max-age=31536000";

// The moment the body bytes received so far fall below the minimum rate: the next ones must
// come before it.
TTCPConnection::TClock::time_point BodyDeadline(TTCPConnection::TClock::time_point start,
                                                const TConnectionTimeouts& timeouts,
                                                std::size_t received) {
  if (timeouts.MinBodyRate == 0) return TTCPConnection::TClock::time_point::max();
  const std::chrono::duration<double> due(static_cast<double>(received) /
                                          static_cast<double>(timeouts.MinBodyRate));
  return start + timeouts.BodyGrace +
         std::chrono::duration_cast<TTCPConnection::TClock::duration>(due);
}

}  // namespace

THTTPServer::THTTPServer(TServerLimits limits, std::string mime_types_path)
    : TTCPServer(limits),
      mime_table_(std::move(mime_types_path)),
      bodies_(limits.MaxBodiesInMemory) {
  DefaultPort = 80;
  DeferAccept = true;      // an HTTP client speaks first
  EvictUnfinished = true;  // a request's head is marked complete by ReadRequest
}

THTTPServer::~THTTPServer() {
  Shutdown();
}

void THTTPServer::DoExecute(TPeerThread& thread) {
  TTCPConnection& connection = thread.Connection();
  TParseStatus status;
  TBodyShare share(bodies_);  // held until the answer is written, as the body is
  TParsedRequest request = ReadRequest(thread, status, share);
  // One response per connection: whatever is written from here on is followed by the close.
  connection.HoldUntilClose();
  const bool understood = status == TParseStatus::kComplete || status == TParseStatus::kOtherMethod;
  if (RedirectToHttps && !connection.Secure() && understood) {
    connection.MarkRequestComplete();
    AnswerRedirect(connection, request);
    connection.Disconnect();
    return;
  }
  switch (status) {
    case TParseStatus::kComplete:
      connection.MarkRequestComplete();
      Answer(thread, std::move(request));
      break;
    case TParseStatus::kOtherMethod:
      if (OnCommandOther) {
        OnCommandOther(thread, request.Line.Method, request.Line.Target, request.Line.Version);
      }
      break;
    case TParseStatus::kBadRequest:
      AnswerStatus(connection, 400);
      break;
    case TParseStatus::kTooLarge:
      AnswerStatus(connection, 413);
      break;
    case TParseStatus::kBodyRefused:
      AnswerStatus(connection, 503);
      break;
    case TParseStatus::kMalformedCommand:
      connection.Disconnect();
      throw EHTTPErrorParsingCommand();
    case TParseStatus::kClosedEarly:
    case TParseStatus::kNeedMore:
      connection.Disconnect();
      throw EConnClosedGracefully();
  }
  connection.Disconnect();
}

// The head must be in by a fixed time after the accept, and the body must keep up a minimum
// rate; either way a client cannot hold its slot by sending little and often.
TParsedRequest THTTPServer::ReadRequest(TPeerThread& thread, TParseStatus& status,
                                        TBodyShare& share) {
  TTCPConnection& connection = thread.Connection();
  const TConnectionTimeouts& timeouts = connection.Timeouts();
  TRequestParser parser(Limits().Request, static_cast<bool>(OnCommandGet));
  connection.ReadDeadline(connection.AcceptedAt() + timeouts.Head);
  while (parser.Status() == TParseStatus::kNeedMore && !parser.HeadDone()) {
    FeedParser(connection, parser);
  }
  if (!connection.CompleteHead()) {
    // Evicted for a newcomer while the head came in: the socket is shut already.
    status = TParseStatus::kClosedEarly;
    return {};
  }
  if (parser.Status() == TParseStatus::kNeedMore && !ReadBody(connection, parser, share)) {
    status = TParseStatus::kBodyRefused;
    return parser.TakeRequest();
  }
  if (!connection.CompleteRequest()) {
    // Evicted for a newcomer while the body came in.
    status = TParseStatus::kClosedEarly;
    return {};
  }
  // A handler reading on (another method's conversation) is bound only by the idle time.
  connection.ReadDeadline(TTCPConnection::TClock::time_point::max());
  status = parser.Status();
  return parser.TakeRequest();
}

// False, reading nothing more, when the bodies being read already hold all the memory they may:
// the newcomer is turned away rather than anyone's memory grown. A client that waits for leave
// to send its body gets it only here, once the body is certain to be read.
bool THTTPServer::ReadBody(TTCPConnection& connection, TRequestParser& parser, TBodyShare& share) {
  const std::int64_t length = ContentLengthOf(parser.Request().Headers);
  // A body of unknown length is taken in steps, each before its bytes are kept.
  const auto due = [&] {
    if (length >= 0) return static_cast<std::size_t>(length);
    return std::min(parser.Request().Body.size() + kReceiveChunk,
                    static_cast<std::size_t>(Limits().Request.MaxBodySize));
  };
  if (!share.GrowTo(due())) return false;
  if (base::EqualsIgnoreCase(parser.Request().Headers.Value("Expect"), "100-continue")) {
    connection.Write("HTTP/1.1 100 Continue\r\n\r\n");
  }
  const TConnectionTimeouts& timeouts = connection.Timeouts();
  const auto body_start = TTCPConnection::TClock::now();
  while (parser.Status() == TParseStatus::kNeedMore) {
    connection.ReadDeadline(BodyDeadline(body_start, timeouts, parser.Request().Body.size()));
    FeedParser(connection, parser);
    if (!share.GrowTo(due())) return false;
  }
  return true;
}

void THTTPServer::FeedParser(TTCPConnection& connection, TRequestParser& parser) {
  const std::string_view chunk = connection.ReceiveChunk();
  if (chunk.empty()) {
    parser.FinishInput();
  } else {
    parser.Feed(chunk);
  }
  connection.DiscardInput();
}

void THTTPServer::Answer(TPeerThread& thread, TParsedRequest request) {
  TTCPConnection& connection = thread.Connection();
  THTTPRequestInfo request_info =
      THTTPRequestInfo::FromParsed(std::move(request), connection.Binding().PeerIP, ParseParams);
  THTTPResponseInfo response(connection);
  response.Guarded = GuardHeaders;
  Prepare(connection, response);
  try {
    OnCommandGet(thread, request_info, response);
  } catch (const std::exception& e) {
    TurnIntoServerError(response, e.what());
  } catch (...) {
    TurnIntoServerError(response, "Unknown exception.");
  }
  if (!response.HeaderSent) response.SendHeader();
  // A HEAD response announces the body's length but never carries the body.
  const bool body_due = !response.ContentText.empty() || response.ContentStream != nullptr;
  if (body_due && request_info.Command != "HEAD") response.SendBody();
}

// Set before the handler runs, so it is in place however the header gets sent.
void THTTPServer::Prepare(TTCPConnection& connection, THTTPResponseInfo& response) const {
  AnnounceClose(response);
  // Only when the plain port serves nothing: a browser that uses both ports keeps one session.
  if (connection.Secure() && RedirectToHttps) {
    response.SecureCookies = true;
    response.LateHeaders.SetValue("Strict-Transport-Security", kStrictTransport);
  }
}

void THTTPServer::AnswerStatus(TTCPConnection& connection, int status_code) {
  THTTPResponseInfo response(connection);
  response.Guarded = GuardHeaders;
  Prepare(connection, response);
  response.StatusCode(status_code);
  response.ContentType = "text/plain";
  response.ContentText = response.StatusText;
  response.SendHeader();
  response.SendBody();
}

// 308 keeps the method and body, so a form posted to the plain port is posted again over TLS.
// The body is fixed text: nothing of the request is reflected but the checked Location.
void THTTPServer::AnswerRedirect(TTCPConnection& connection, const TParsedRequest& request) {
  THTTPResponseInfo response(connection);
  response.Guarded = GuardHeaders;
  AnnounceClose(response);
  response.StatusCode(308);
  response.StatusText = "Permanent Redirect";
  response.Headers.SetValue(
      "Location", HttpsLocation(request.Headers.Value("Host"), connection.Binding().IP, HttpsPort(),
                                request.Line.Target));
  response.ContentType = "text/plain";
  response.ContentText = response.StatusText;
  response.SendHeader();
  response.SendBody();
}

// Bindings change only while the server is inactive, so workers may read them.
int THTTPServer::HttpsPort() {
  for (TSocketHandle& binding : Bindings()) {
    if (binding.Tls) return binding.Port;
  }
  return 0;
}

void THTTPServer::RejectConnection(TSocketHandle& socket) {
  // A TLS client can only be answered after a handshake, which this worker must not wait for.
  if (socket.Tls) return socket.CloseSocket();
  const std::string text = StatusText(503);
  const std::string answer =
      "HTTP/1.1 503 " + text + "\r\nConnection: close\r\n" + "Content-Type: text/plain\r\n" +
      "Content-Length: " + std::to_string(text.size()) + "\r\n" +
      std::string(GuardHeaders ? kNoSniffLine : std::string_view()) + "\r\n" + text;
  // The accepting worker must never block on a client: whatever does not fit at once is dropped.
  ::send(socket.Handle(), answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  ::shutdown(socket.Handle(), SHUT_WR);
  char scratch[4096];
  for (int i = 0; i < 16 && ::recv(socket.Handle(), scratch, sizeof scratch, MSG_DONTWAIT) > 0;
       ++i) {
  }
  socket.CloseSocket();
}

std::int64_t THTTPServer::SendFile(TPeerThread& AThread, THTTPResponseInfo& ResponseInfo,
                                   const std::string& file_name) {
  // A NUL would make the open name a shorter path than the caller checked.
  if (!base::FitsCString(file_name)) throw EFOpenError(file_name, ENOENT);
  // O_NONBLOCK: opening a FIFO must not hang the thread; it is refused below as not a file.
  base::UniqueFd file(::open(file_name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file.Valid()) throw EFOpenError(file_name, errno);
  struct stat info {};
  if (::fstat(file.Get(), &info) != 0) throw EFOpenError(file_name, errno);
  return SendOpenFile(AThread, ResponseInfo, file.Get(), info, file_name);
}

std::int64_t THTTPServer::SendOpenFile(TPeerThread& AThread, THTTPResponseInfo& ResponseInfo,
                                       int file, const struct stat& info,
                                       const std::string& file_name) {
  if (!S_ISREG(info.st_mode)) throw EFOpenError(file_name, S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
  if (ResponseInfo.ContentType.empty())
    ResponseInfo.ContentType = mime_table_.FileMimeType(file_name);
  // One open for size and content: the length announced is the length of what is sent.
  ResponseInfo.ContentLength = info.st_size;
  ResponseInfo.SendHeader();
  TTCPConnection& connection = AThread.Connection();
  if (info.st_size > 0 && info.st_size <= static_cast<off_t>(kSmallFile)) {
    // A small file is copied behind the header: one send, one segment, no splice set-up.
    std::string bytes(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t got = 0;
    while (got < bytes.size()) {
      const ssize_t n =
          ::pread(file, bytes.data() + got, bytes.size() - got, static_cast<off_t>(got));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // the file shrank since its size was taken: send what is there
      got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    connection.Write(bytes);
    return static_cast<std::int64_t>(got);
  }
  return connection.WriteFile(file, info.st_size);
}

}  // namespace orvelle::http
