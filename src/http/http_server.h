// THTTPServer: the HTTP request cycle on top of TTCPServer, and SendFile.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <string>

#include "http/body_budget.h"
#include "http/mime_table.h"
#include "http/request_info.h"
#include "http/response_info.h"
#include "http/tcp_server.h"

namespace orvelle::http {

class THTTPServer : public TTCPServer {
 public:
  using TCommandGetEvent = std::function<void(TPeerThread& AThread, THTTPRequestInfo& RequestInfo,
                                              THTTPResponseInfo& ResponseInfo)>;
  using TCommandOtherEvent =
      std::function<void(TPeerThread& Thread, const std::string& asCommand,
                         const std::string& asData, const std::string& asVersion)>;

  explicit THTTPServer(TServerLimits limits = {}, std::string mime_types_path = kSystemMimeTypes);
  ~THTTPServer() override;

  bool ParseParams = true;
  // Every request that comes in on a plain binding is answered with a permanent redirect to
  // the same path on the first TLS binding, and every answer over TLS tells the browser to use
  // nothing else (Strict-Transport-Security) and sets its cookies Secure. Set before activation.
  bool RedirectToHttps = false;
  // Every response ends its header with the browser guards (see THTTPResponseInfo::Guarded).
  bool GuardHeaders = false;

  // Assign before activation.
  TCommandGetEvent OnCommandGet;
  TCommandOtherEvent OnCommandOther;

  // Memory the request bodies being read now have been granted, all connections together.
  std::size_t BodyBytesHeld() const { return bodies_.Held(); }

  // Sends the header and the whole file as the response; returns the bytes of the file sent.
  // Throws EFOpenError before sending anything when the file cannot be opened.
  std::int64_t SendFile(TPeerThread& AThread, THTTPResponseInfo& ResponseInfo,
                        const std::string& file_name);
  // The same for a file the caller has opened already and looked at with fstat (`info`), so a
  // file served is looked up once; `file_name` gives the type when none is set, and names the
  // file in EFOpenError, thrown before anything is sent when it is not a regular file.
  std::int64_t SendOpenFile(TPeerThread& AThread, THTTPResponseInfo& ResponseInfo, int file,
                            const struct stat& info, const std::string& file_name);

 protected:
  void DoExecute(TPeerThread& thread) override;
  void RejectConnection(TSocketHandle& socket) override;

 private:
  TParsedRequest ReadRequest(TPeerThread& thread, TParseStatus& status, TBodyShare& share);
  bool ReadBody(TTCPConnection& connection, TRequestParser& parser, TBodyShare& share);
  static void FeedParser(TTCPConnection& connection, TRequestParser& parser);
  void Answer(TPeerThread& thread, TParsedRequest request);
  void Prepare(TTCPConnection& connection, THTTPResponseInfo& response) const;
  void AnswerStatus(TTCPConnection& connection, int status_code);
  void AnswerRedirect(TTCPConnection& connection, const TParsedRequest& request);
  int HttpsPort();

  TMimeTable mime_table_;
  TBodyBudget bodies_;  // request bodies being read, all connections together
};

}  // namespace orvelle::http
