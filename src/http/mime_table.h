// TMimeTable: file extension to content type, from the system's MIME list and a built-in table.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <map>
#include <shared_mutex>
#include <string>
#include <string_view>

namespace orvelle::http {

inline constexpr const char* kSystemMimeTypes = "/etc/mime.types";

class TMimeTable {
 public:
  // Fills the table at once from `mime_types_path` (lines "type ext ext ...").
  explicit TMimeTable(std::string mime_types_path = kSystemMimeTypes);

  // A content type for the file name; never empty. Safe to call from many threads.
  std::string FileMimeType(std::string_view file_name);
  // (Re)reads both maps: the extension map from the MIME list file, the database map from the
  // built-in table. Entries are added or replaced, never removed.
  void FillFromRegistry();

  // The extension of a file name: from its last "." on, unless a path separator follows it.
  static std::string ExtensionOf(std::string_view file_name);

 private:
  struct TFileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    timespec modified{};
    bool operator==(const TFileStamp& other) const;
  };

  void FillLocked();
  void RescanIfChanged();
  std::string Find(const std::map<std::string, std::string>& map, const std::string& key) const;

  std::string path_;
  mutable std::shared_mutex mutex_;
  std::map<std::string, std::string> extensions_;  // lower-cased ".ext" -> type
  std::map<std::string, std::string> database_;    // lower-cased ".ext" -> type
  TFileStamp stamp_;  // of the list file as last read; a miss rereads only when it changed
};

}  // namespace orvelle::http
