// Static files: index.html for folders, the 404 page, HEAD through the core's own MIME
// table, and SendFile with its log line.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "base/ascii_text.h"
#include "base/unique_fd.h"
#include "dispatcher_pages.h"
#include "http/exceptions.h"
#include "request_dispatcher.h"
#include "request_paths.h"

namespace orvelle::webfront {
namespace {

namespace fs = std::filesystem;

bool IsFolder(const fs::path& path) {
  std::error_code error;
  return fs::is_directory(path, error);
}

}  // namespace

void TRequestDispatcher::ServeStatic(http::TPeerThread& thread,
                                     const http::THTTPRequestInfo& request,
                                     http::THTTPResponseInfo& response, fs::path path,
                                     const Peer& peer) {
  if (!IsExistingFile(path) && IsFolder(path) && IsExistingFile(path / "index.html")) {
    path /= "index.html";
  }
  if (!IsExistingFile(path)) {
    response.StatusCode(404);
    response.ContentText = FileNotFoundPage(response.StatusText);
    return;
  }
  if (base::EqualsIgnoreCase(request.Command, "HEAD")) {
    AnswerHead(path, response);
    return;
  }
  response.ContentType = setup_.mime_table.FileMimeType(path.string());
  const std::int64_t sent = setup_.server.SendFile(thread, response, path.string());
  setup_.context.AddLog("Serving file " + path.string() + " (" +
                        std::to_string(response.ContentLength) + " bytes / " +
                        std::to_string(sent) + " bytes sent) to " + peer.ip + ":" +
                        std::to_string(peer.port));
}

void TRequestDispatcher::AnswerHead(const fs::path& path, http::THTTPResponseInfo& response) {
  // O_NONBLOCK: a FIFO must not hang the thread; the size comes from the open file itself.
  base::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file.Valid()) throw http::EFOpenError(path.string(), errno);
  struct stat info {};
  if (::fstat(file.Get(), &info) != 0) throw http::EFOpenError(path.string(), errno);
  response.StatusCode(200);
  response.ContentType = setup_.mime_table.FileMimeType(path.string());
  response.ContentLength = info.st_size;
}

}  // namespace orvelle::webfront
