// Path mapping and containment of request paths under the web folder.
#include "request_paths.h"

#include <algorithm>

#include "base/ascii_text.h"
#include "base/c_string.h"

namespace orvelle::webfront {

std::filesystem::path MapDocument(const std::filesystem::path& web_folder,
                                  std::string_view document) {
  std::string joined = web_folder.string();
  if (document.empty() || document.front() != '/') joined += '/';
  joined += document;
  return std::filesystem::path(joined).lexically_normal();
}

bool IsInsideFolder(const std::filesystem::path& path, const std::filesystem::path& web_folder) {
  std::string folder = web_folder.lexically_normal().string();
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
  std::string folder = web_folder.lexically_normal().string();
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
