// Compiling page files for a run, and keeping their programs while their files are unchanged.
#include "webfront/page_cache.h"

#include <algorithm>
#include <ctime>

#include "base/file_io.h"
#include "script/page/page_program.h"

namespace orvelle::webfront {
namespace {

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

std::shared_ptr<const script::Program> LoadPageProgram(const std::string& path,
                                                       script::EvalMode mode) {
  return script::CompilePage(base::ReadFileBytes(path), mode);
}

bool PageCache::Settled(const struct stat& info) const {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const time_t last_change = std::max(info.st_mtim.tv_sec, info.st_ctim.tv_sec);
  return now.tv_sec - last_change >= settle_.count();
}

bool PageCache::Matches(const Entry& entry, const struct stat& info) {
  return entry.device == info.st_dev && entry.inode == info.st_ino && entry.size == info.st_size &&
         SameTime(entry.modified, info.st_mtim) && SameTime(entry.changed, info.st_ctim);
}

std::shared_ptr<const script::Program> PageCache::Get(const std::string& path,
                                                      const struct stat* looked) {
  struct stat now {};
  if (looked != nullptr) now = *looked;
  if (looked != nullptr || ::stat(path.c_str(), &now) == 0) {
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(path);
    if (found != entries_.end() && Matches(found->second, now)) return found->second.page;
  }
  // The identity is taken from the file that was read, not from the look above.
  struct stat read_info {};
  const std::string bytes = base::ReadFileBytes(path, &read_info);
  std::shared_ptr<const script::Program> page = script::CompilePage(bytes);
  std::lock_guard lock(mutex_);
  if (const auto old = entries_.find(path); old != entries_.end()) {
    kept_bytes_ -= old->second.bytes;
    entries_.erase(old);
  }
  if (bytes.size() <= kMaxPageBytes && S_ISREG(read_info.st_mode) && Settled(read_info)) {
    if (entries_.size() >= kMaxPages || kept_bytes_ + bytes.size() > kMaxKeptBytes) {
      entries_.clear();
      kept_bytes_ = 0;
    }
    entries_[path] = Entry{read_info.st_dev,
                           read_info.st_ino,
                           read_info.st_size,
                           read_info.st_mtim,
                           read_info.st_ctim,
                           bytes.size(),
                           page};
    kept_bytes_ += bytes.size();
  }
  return page;
}

std::size_t PageCache::Count() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

}  // namespace orvelle::webfront
