// Reading /etc/mime.types, the built-in fallback, and the lookup with rescan on a miss.
#include "http/mime_table.h"

#include <sys/stat.h>

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

constexpr const char* kDefaultType = "application/octet-stream";

}  // namespace

bool TMimeTable::TFileStamp::operator==(const TFileStamp& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
}

TMimeTable::TMimeTable(std::string mime_types_path) : path_(std::move(mime_types_path)) {
  FillFromRegistry();
}

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

void TMimeTable::FillLocked() {
  struct stat info {};
  if (::stat(path_.c_str(), &info) == 0) {
    stamp_ = {info.st_dev, info.st_ino, info.st_size, info.st_mtim};
  } else {
    stamp_ = {};
  }
  std::ifstream file(path_);
  std::string line;
  while (std::getline(file, line)) {
    if (line.empty() || line.front() == '#') continue;
    std::istringstream words(line);
    std::string type, extension;
    if (!(words >> type)) continue;
    while (words >> extension) extensions_["." + base::AsciiLower(extension)] = type;
  }
  for (const auto& [extension, type] : kBuiltInTypes) database_[extension] = type;
}

void TMimeTable::RescanIfChanged() {
  struct stat info {};
  TFileStamp now;
  if (::stat(path_.c_str(), &info) == 0)
    now = {info.st_dev, info.st_ino, info.st_size, info.st_mtim};
  std::unique_lock lock(mutex_);
  if (!(now == stamp_)) FillLocked();
}

std::string TMimeTable::Find(const std::map<std::string, std::string>& map,
                             const std::string& key) const {
  const auto it = map.find(key);
  return it == map.end() ? std::string{} : it->second;
}

std::string TMimeTable::FileMimeType(std::string_view file_name) {
  const std::string key = base::AsciiLower(ExtensionOf(file_name));
  {
    std::shared_lock lock(mutex_);
    if (std::string type = Find(extensions_, key); !type.empty()) return type;
  }
  RescanIfChanged();
  std::shared_lock lock(mutex_);
  if (std::string type = Find(extensions_, key); !type.empty()) return type;
  if (std::string type = Find(database_, key); !type.empty()) return type;
  return kDefaultType;
}

}  // namespace orvelle::http
