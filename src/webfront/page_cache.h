// PageCache keeps the compiled program of each page between requests for as long as its file
// stays the same; every run of the page shares it.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "script/program.h"

namespace orvelle::webfront {

// Reads and compiles the page at `path`. Throws like base::ReadFileBytes.
std::shared_ptr<const script::Program> LoadPageProgram(
    const std::string& path, script::EvalMode mode = script::EvalMode::kFast);

class PageCache {
 public:
  // File times come from a coarse clock: a change within the same tick as an earlier one can
  // leave them equal. A page is kept only once its file's last change is `settle` older than
  // the read, so any later change shows as a different time.
  explicit PageCache(std::chrono::seconds settle = std::chrono::seconds(2)) : settle_(settle) {}

  // Pages larger than this are compiled for each request and not kept.
  static constexpr std::size_t kMaxPageBytes = 1024 * 1024;
  // At most this many pages, and this many bytes of page files, are kept; a full cache starts
  // over. A compiled page takes about 40 times its file's bytes (lines, expression trees, the
  // texts they fall back to), so 4 MiB of files is at most about 160 MiB of programs.
  static constexpr std::size_t kMaxPages = 256;
  static constexpr std::size_t kMaxKeptBytes = 4 * 1024 * 1024;

  // The compiled page at `path`: the kept one while the file's identity, size and change times
  // are those it was read with, otherwise read anew. `looked`: the file's status taken just
  // before by the caller, used instead of a look of its own. Throws like base::ReadFileBytes.
  std::shared_ptr<const script::Program> Get(const std::string& path,
                                             const struct stat* looked = nullptr);
  std::size_t Count() const;

 private:
  struct Entry {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};
    std::size_t bytes = 0;
    std::shared_ptr<const script::Program> page;
  };
  static bool Matches(const Entry& entry, const struct stat& info);
  bool Settled(const struct stat& info) const;

  const std::chrono::seconds settle_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Entry> entries_;
  std::size_t kept_bytes_ = 0;
};

}  // namespace orvelle::webfront
