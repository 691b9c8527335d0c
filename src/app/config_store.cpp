// Configuration store: lookup, default fill, and loading and atomically replacing the file.
#include "app/config_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "base/ascii_text.h"
#include "base/file_io.h"
#include "base/unique_fd.h"
#include "script/page/page_text.h"

namespace orvelle::app {
namespace {

namespace fs = std::filesystem;

constexpr char kKeySeparator = '=';
constexpr std::string_view kLineBreakBytes("\r\n\0", 3);  // would split a line when saved
constexpr std::string_view kTempSuffix = ".XXXXXX";       // mkstemp fills in the X's

constexpr std::array<std::string_view, 10> kDefaultLines{
    "AutoActivate=no",  "AutoMinimize=no",        "Server port=80", "Use session=no",
    "Session expire=1", "Auth require=no",        "Auth user=user", "Auth password=kelp",
    "Log to file=no",   "Show errors on page=no",
};

std::optional<std::size_t> FindLine(const std::vector<std::string>& lines, std::string_view key) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::size_t separator = lines[i].find(kKeySeparator);
    if (separator == std::string::npos) continue;
    if (base::EqualsIgnoreCase(std::string_view(lines[i]).substr(0, separator), key)) return i;
  }
  return std::nullopt;
}

void RequireSingleLine(std::string_view text) {
  if (text.find_first_of(kLineBreakBytes) != std::string_view::npos) {
    throw std::invalid_argument("configuration text must not contain CR, LF or NUL");
  }
}

// Removes the temporary file unless it was renamed into place.
class TempFile {
 public:
  explicit TempFile(std::string path) : path_(std::move(path)) {}
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    if (!committed_) ::unlink(path_.c_str());
  }
  bool RenameTo(const fs::path& target) {
    committed_ = ::rename(path_.c_str(), target.c_str()) == 0;
    return committed_;
  }

 private:
  std::string path_;
  bool committed_ = false;
};

// Saving through a symbolic link replaces the file it points to, not the link.
fs::path ResolveTarget(const fs::path& path) {
  std::error_code error;
  fs::path resolved = fs::canonical(path, error);
  return error ? path : resolved;
}

// A replaced file keeps its permissions; a new one stays private to the owner (it holds a
// password), as mkstemp creates it.
void CopyMode(const fs::path& from, int to_fd) {
  struct stat info {};
  if (::stat(from.c_str(), &info) == 0) ::fchmod(to_fd, info.st_mode & 07777);
}

void SyncFolder(const fs::path& folder) {
  base::UniqueFd dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY));
  if (dir.Get() >= 0) ::fsync(dir.Get());
}

bool IsMissing(const fs::path& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) != 0 && errno == ENOENT;
}

bool ReplaceFile(const fs::path& path, std::string_view bytes) {
  fs::path target = ResolveTarget(path);
  std::string temp_name = target.string() + std::string(kTempSuffix);
  base::UniqueFd fd(::mkstemp(temp_name.data()));
  if (fd.Get() < 0) return false;
  TempFile temp(temp_name);
  CopyMode(target, fd.Get());
  if (!base::WriteAll(fd.Get(), bytes) || ::fsync(fd.Get()) != 0 || !fd.Close()) return false;
  if (!temp.RenameTo(target)) return false;
  SyncFolder(target.parent_path());
  return true;
}

}  // namespace

std::string ConfigStore::GetSetting(std::string_view key) const {
  std::shared_lock lock(mutex_);
  auto index = FindLine(lines_, key);
  if (!index) return {};
  const std::string& line = lines_[*index];
  return line.substr(line.find(kKeySeparator) + 1);
}

bool ConfigStore::Load(const std::filesystem::path& path) {
  std::vector<std::string> lines;
  try {
    lines = script::SplitLines(base::ReadFileBytes(path));
  } catch (const std::runtime_error&) {
    return false;
  }
  std::unique_lock lock(mutex_);
  lines_ = std::move(lines);
  return true;
}

void ConfigStore::DefaultFill() {
  std::unique_lock lock(mutex_);
  lines_.insert(lines_.end(), kDefaultLines.begin(), kDefaultLines.end());
}

std::vector<std::string_view> ConfigStore::DefinedKeys() {
  std::vector<std::string_view> keys;
  for (std::string_view line : kDefaultLines)
    keys.push_back(line.substr(0, line.find(kKeySeparator)));
  return keys;
}

bool ConfigStore::Save(const std::filesystem::path& path) const {
  return ReplaceFile(path, script::JoinLines(Lines()));
}

ConfigStore::StartOutcome ConfigStore::LoadOrCreate(const std::filesystem::path& path,
                                                    std::string& message) {
  message.clear();
  if (Load(path)) return StartOutcome::kLoaded;
  DefaultFill();
  message = kLoadErrorMessage;
  // A file that exists but cannot be read is the user's configuration: never overwrite it
  // with defaults (that would silently drop settings such as the password requirement).
  return IsMissing(path) && Save(path) ? StartOutcome::kCreatedDefaults
                                       : StartOutcome::kDefaultsOnly;
}

std::vector<std::string> ConfigStore::Lines() const {
  std::shared_lock lock(mutex_);
  return lines_;
}

void ConfigStore::SetLines(std::vector<std::string> lines) {
  for (const auto& line : lines) RequireSingleLine(line);
  std::unique_lock lock(mutex_);
  lines_ = std::move(lines);
}

void ConfigStore::SetValue(std::string_view key, std::string_view value) {
  RequireSingleLine(key);
  RequireSingleLine(value);
  if (key.find(kKeySeparator) != std::string_view::npos) {
    throw std::invalid_argument("configuration key must not contain '='");
  }
  std::unique_lock lock(mutex_);
  if (auto index = FindLine(lines_, key)) {
    std::string& line = lines_[*index];
    line.replace(line.find(kKeySeparator) + 1, std::string::npos, value);
  } else {
    lines_.push_back(std::string(key) + kKeySeparator + std::string(value));
  }
}

}  // namespace orvelle::app
