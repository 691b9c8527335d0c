// Reading /etc/mime.types, the built-in fallback, and the lookup with rescan on a miss.
#include "http/mime_table.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <sstream>
#include <utility>

#include "base/ascii_text.h"

namespace orvelle::http {
namespace {

// Served even where the system has no MIME list.
constexpr std::pair<const char*, const char*> kBuiltInTypes[] = {
    {".htm", "text/html"},         {".html", "text/html"},        {".css", "text/css"},
    {".js", "text/javascript"},    {".json", "application/json"}, {".txt", "text/plain"},
    {".xml", "application/xml"},   {".png", "image/png"},         {".jpg", "image/jpeg"},
    {".jpeg", "image/jpeg"},       {".gif", "image/gif"},         {".svg", "image/svg+xml"},
    {".ico", "image/x-icon"},      {".pdf", "application/pdf"},   {".zip", "application/zip"},
    {".wasm", "application/wasm"}, {".woff", "font/woff"},        {".woff2", "font/woff2"},
};

// A system list is some 40 kB of words; what a larger one holds past this is left unread.
constexpr std::size_t kMaxListText = 4 << 20;

constexpr const char* kDefaultType = "application/octet-stream";

}  // namespace

bool TMimeTable::TFileStamp::operator==(const TFileStamp& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
}

TMimeTable::TMimeTable(std::string mime_types_path) : path_(std::move(mime_types_path)) {}

std::string TMimeTable::ExtensionOf(std::string_view file_name) {
  const auto dot = file_name.rfind('.');
  if (dot == std::string_view::npos) return {};
  if (file_name.find_first_of("\\:/", dot) != std::string_view::npos) return {};
  return std::string(file_name.substr(dot));
}

void TMimeTable::FillFromRegistry() {
  std::unique_lock lock(mutex_);
  FillLocked();
}

void TMimeTable::FillOnce() {
  std::unique_lock lock(mutex_);
  if (!filled_) FillLocked();
}

std::string_view TMimeTable::ExtensionAt(const TEntry& entry) const {
  return std::string_view(text_).substr(entry.extension_at, entry.extension_size);
}

void TMimeTable::FillLocked() {
  filled_ = true;
  struct stat info {};
  if (::stat(path_.c_str(), &info) == 0) {
    stamp_ = {info.st_dev, info.st_ino, info.st_size, info.st_mtim};
  } else {
    stamp_ = {};
  }
  std::string text;
  std::vector<TEntry> entries;
  const auto keep = [&text](std::string_view word) {
    text.append(word);
    return static_cast<std::uint32_t>(text.size() - word.size());
  };
  // What was read before comes first, so the list's own lines replace it.
  for (const TEntry& entry : entries_) {
    const std::uint32_t type_at =
        keep(std::string_view(text_).substr(entry.type_at, entry.type_size));
    entries.push_back({keep(ExtensionAt(entry)), type_at, entry.extension_size, entry.type_size});
  }
  std::ifstream file(path_);
  std::string line;
  while (std::getline(file, line)) {
    if (line.empty() || line.front() == '#') continue;
    std::istringstream words(line);
    std::string type, extension;
    if (!(words >> type) || type.size() > UINT16_MAX) continue;
    std::uint32_t type_at = 0;
    bool type_kept = false;
    while (words >> extension && text.size() < kMaxListText) {
      if (extension.size() >= UINT16_MAX) continue;
      if (!type_kept) {
        type_at = keep(type);
        type_kept = true;
      }
      const std::uint32_t extension_at = keep("." + base::AsciiLower(extension));
      entries.push_back({extension_at, type_at, static_cast<std::uint16_t>(extension.size() + 1),
                         static_cast<std::uint16_t>(type.size())});
    }
  }
  const auto extension_of = [&text](const TEntry& e) {
    return std::string_view(text).substr(e.extension_at, e.extension_size);
  };
  std::stable_sort(entries.begin(), entries.end(), [&](const TEntry& a, const TEntry& b) {
    return extension_of(a) < extension_of(b);
  });
  // Of the entries for one extension the last read holds, as a later line always has.
  std::vector<TEntry> unique;
  unique.reserve(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i + 1 < entries.size() && extension_of(entries[i]) == extension_of(entries[i + 1]))
      continue;
    unique.push_back(entries[i]);
  }
  text.shrink_to_fit();
  text_ = std::move(text);
  entries_ = std::move(unique);
}

void TMimeTable::RescanIfChanged() {
  struct stat info {};
  TFileStamp now;
  if (::stat(path_.c_str(), &info) == 0)
    now = {info.st_dev, info.st_ino, info.st_size, info.st_mtim};
  std::unique_lock lock(mutex_);
  if (!(now == stamp_)) FillLocked();
}

std::string TMimeTable::Find(std::string_view key) const {
  const auto it = std::lower_bound(
      entries_.begin(), entries_.end(), key,
      [this](const TEntry& entry, std::string_view k) { return ExtensionAt(entry) < k; });
  if (it == entries_.end() || ExtensionAt(*it) != key) return {};
  return std::string(std::string_view(text_).substr(it->type_at, it->type_size));
}

std::string TMimeTable::FileMimeType(std::string_view file_name) {
  const std::string key = base::AsciiLower(ExtensionOf(file_name));
  {
    std::shared_lock lock(mutex_);
    if (!filled_) {
      lock.unlock();
      FillOnce();
      lock.lock();
    }
    if (std::string type = Find(key); !type.empty()) return type;
  }
  RescanIfChanged();
  {
    std::shared_lock lock(mutex_);
    if (std::string type = Find(key); !type.empty()) return type;
  }
  for (const auto& [extension, type] : kBuiltInTypes) {
    if (key == extension) return type;
  }
  return kDefaultType;
}

}  // namespace orvelle::http
