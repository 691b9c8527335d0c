// TMimeTable: file extension to content type, from the system's MIME list and a built-in table.
// The list is read at the first lookup, not at start, and kept packed (one text, a sorted index):
// it names some 1,500 extensions, which a map of strings held in about 370 kB of an idle server.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

namespace orvelle::http {

inline constexpr const char* kSystemMimeTypes = "/etc/mime.types";

class TMimeTable {
 public:
  // A table over `mime_types_path` (lines "type ext ext ..."), read when first asked.
  explicit TMimeTable(std::string mime_types_path = kSystemMimeTypes);

  // A content type for the file name; never empty. Safe to call from many threads.
  std::string FileMimeType(std::string_view file_name);
  // (Re)reads the MIME list file. Entries are added or replaced, never removed.
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

  // One extension and its type, as places in text_.
  struct TEntry {
    std::uint32_t extension_at = 0;
    std::uint32_t type_at = 0;
    std::uint16_t extension_size = 0;
    std::uint16_t type_size = 0;
  };

  void FillLocked();
  void FillOnce();
  void RescanIfChanged();
  std::string_view ExtensionAt(const TEntry& entry) const;
  std::string Find(std::string_view key) const;

  std::string path_;
  mutable std::shared_mutex mutex_;
  bool filled_ = false;
  std::string text_;             // the extensions (lower-cased, with their ".") and types
  std::vector<TEntry> entries_;  // sorted by extension, one entry each
  TFileStamp stamp_;  // of the list file as last read; a miss rereads only when it changed
};

}  // namespace orvelle::http
