// Static files: index.html for folders, the 404 page, HEAD through the core's own MIME
// table, and the file sent with its log line; each file is opened and looked at once.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "base/ascii_text.h"
#include "base/c_string.h"
#include "base/unique_fd.h"
#include "dispatcher_pages.h"
#include "http/exceptions.h"
#include "request_dispatcher.h"
#include "request_paths.h"

namespace orvelle::webfront {
namespace {

namespace fs = std::filesystem;

// A file a static request names, opened once: the checks, the size and the bytes sent all come
// from this one look at the path.
struct OpenedFile {
  base::UniqueFd fd;
  struct stat info {};
  bool folder = false;  // a folder, whether or not it could be opened
};

// Invalid `fd` and no folder: nothing is there. A file that is there but cannot be opened throws
// EFOpenError, as its sending would.
OpenedFile OpenServed(const fs::path& path) {
  OpenedFile opened;
  // A NUL would make the open name a shorter path than the rules saw: no such file.
  if (!base::FitsCString(path.native())) return opened;
  // O_NONBLOCK: a FIFO must not hang the thread; it is refused by SendOpenFile as not a file.
  opened.fd = base::UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (opened.fd.Valid()) {
    if (::fstat(opened.fd.Get(), &opened.info) != 0) throw http::EFOpenError(path.string(), errno);
    opened.folder = S_ISDIR(opened.info.st_mode);
    if (opened.folder) opened.fd.Reset();
    return opened;
  }
  const int error = errno;
  // Not opened: only a look tells a missing file from one that may not be read, or from a
  // folder that may not be listed but may hold an index.html.
  if (::stat(path.c_str(), &opened.info) != 0) return opened;
  opened.folder = S_ISDIR(opened.info.st_mode);
  if (!opened.folder) throw http::EFOpenError(path.string(), error);
  return opened;
}

}  // namespace

void TRequestDispatcher::ServeStatic(http::TPeerThread& thread,
                                     const http::THTTPRequestInfo& request,
                                     http::THTTPResponseInfo& response, fs::path path,
                                     const Peer& peer) {
  OpenedFile file = OpenServed(path);
  if (file.folder) {
    path /= "index.html";
    file = OpenServed(path);
  }
  if (!file.fd.Valid()) {
    response.StatusCode(404);
    response.ContentText = FileNotFoundPage(response.StatusText);
    return;
  }
  response.ContentType = setup_.mime_table.FileMimeType(path.string());
  if (base::EqualsIgnoreCase(request.Command, "HEAD")) {
    response.StatusCode(200);
    response.ContentLength = file.info.st_size;
    return;
  }
  const std::int64_t sent =
      setup_.server.SendOpenFile(thread, response, file.fd.Get(), file.info, path.string());
  setup_.context.AddLog("Serving file " + path.string() + " (" +
                        std::to_string(response.ContentLength) + " bytes / " +
                        std::to_string(sent) + " bytes sent) to " + peer.ip + ":" +
                        std::to_string(peer.port));
}

}  // namespace orvelle::webfront
