// Path mapping and containment of request paths under the web folder.
#include "request_paths.h"

#include <algorithm>

#include "base/ascii_text.h"
#include "base/c_string.h"

namespace orvelle::webfront {

namespace {

// True when lexically_normal would give `text` back as it is: no empty, "." or ".." name
// between separators. Most request paths are like that, and resolving them costs a split into
// names and a join.
bool IsPlainPath(std::string_view text) {
  if (text.empty()) return false;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = std::min(text.find('/', start), text.size());
    const std::string_view name = text.substr(start, end - start);
    // An empty name is fine only first (the root) or last (a trailing separator).
    if (name.empty() ? (start != 0 && end != text.size()) : (name == "." || name == "..")) {
      return false;
    }
    if (end == text.size()) return true;
    start = end + 1;
  }
}

// The folder's path with "." and ".." resolved; most folders are plain already.
std::string NormalText(const std::filesystem::path& folder) {
  if (IsPlainPath(folder.native())) return folder.native();
  return folder.lexically_normal().string();
}

}  // namespace

std::filesystem::path MapDocument(const std::filesystem::path& web_folder,
                                  std::string_view document) {
  std::string joined = web_folder.string();
  if (document.empty() || document.front() != '/') joined += '/';
  joined += document;
  if (IsPlainPath(joined)) return std::filesystem::path(std::move(joined));
  return std::filesystem::path(joined).lexically_normal();
}

bool IsInsideFolder(const std::filesystem::path& path, const std::filesystem::path& web_folder) {
  std::string folder = NormalText(web_folder);
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  const std::string text = path.string();
  if (text.compare(0, folder.size(), folder) != 0) return false;
  return text.size() == folder.size() || text[folder.size()] == '/';
}

bool IsExistingFile(const std::filesystem::path& path, struct stat& info) {
  // A NUL would make stat look at a shorter path than the rules saw: no such file.
  if (!base::FitsCString(path.native())) return false;
  return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

std::string PathBelowFolder(const std::filesystem::path& path,
                            const std::filesystem::path& web_folder) {
  std::string folder = NormalText(web_folder);
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  std::string below = path.string().substr(std::min(folder.size(), path.string().size()));
  if (below.empty() || below.front() != '/') below.insert(0, "/");
  return below;
}

bool IsScriptRequest(std::string_view path_below_web) {
  return base::AsciiLower(path_below_web).find(".ovs") != std::string::npos;
}

bool IsAbortRequest(std::string_view path_below_web) {
  return base::AsciiLower(path_below_web).find("abort.ovs") != std::string::npos;
}

}  // namespace orvelle::webfront
