// Where a request path leads: the file under the web folder, whether it stays inside it, and
// whether it names a script page or the abort request.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace orvelle::webfront {

// The web folder followed by the request path, made absolute with "." and ".." resolved. The
// path is taken as it arrives, not percent-decoded; a backslash is an ordinary file-name byte.
std::filesystem::path MapDocument(const std::filesystem::path& web_folder,
                                  std::string_view document);

// True when `path` is the web folder or lies below it. Byte-exact: file names are case-sensitive
// here, so "/srv/Web/x" is not inside "/srv/web".
bool IsInsideFolder(const std::filesystem::path& path, const std::filesystem::path& web_folder);

// Anything there that is not a folder, as a request sees it; `info` keeps what the look found
// for a caller that needs the file's identity too.
bool IsExistingFile(const std::filesystem::path& path, struct stat& info);

// The part of a mapped path below the web folder, beginning with "/" ("/" for the folder
// itself). The path must lie inside the folder (IsInsideFolder).
std::string PathBelowFolder(const std::filesystem::path& path,
                            const std::filesystem::path& web_folder);

// ".ovs" anywhere in the path, ASCII letters in any case. Given the path below the web folder
// with "." and ".." resolved, so the rule and the file served always agree.
bool IsScriptRequest(std::string_view path_below_web);

// "abort.ovs" anywhere in the path below the web folder, ASCII letters in any case.
bool IsAbortRequest(std::string_view path_below_web);

}  // namespace orvelle::webfront
