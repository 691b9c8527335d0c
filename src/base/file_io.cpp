// Whole-file reads and complete writes to a file descriptor.
#include "base/file_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "base/c_string.h"
#include "base/unique_fd.h"

namespace orvelle::base {
namespace {

// Growth step for a file that turns out longer than its size said (or has none: a pipe).
constexpr std::size_t kReadChunk = 64 * 1024;

[[noreturn]] void ThrowReadError(const std::filesystem::path& path, int error) {
  throw std::runtime_error("Cannot read file " + path.string() + ": " +
                           std::generic_category().message(error));
}

}  // namespace

std::string ReadFileBytes(const std::filesystem::path& path, struct stat* info_out) {
  // A NUL would make the open name a shorter path than the caller checked.
  if (!FitsCString(path.native())) ThrowReadError(path, ENOENT);
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.Valid()) ThrowReadError(path, errno);
  // Sized from the file, so a page costs one read and no zero-filled chunk; a file that grows
  // meanwhile is still read to its end.
  struct stat info {};
  if (::fstat(file.Get(), &info) != 0) info = {};
  if (info_out) *info_out = info;
  const std::size_t expected = info.st_size > 0 ? static_cast<std::size_t>(info.st_size) : 0;
  std::string bytes;
  std::size_t used = 0;
  for (;;) {
    // One byte beyond the size, so the first read already meets the end.
    if (used == bytes.size()) bytes.resize(bytes.empty() ? expected + 1 : used + kReadChunk);
    const ssize_t got = ::read(file.Get(), bytes.data() + used, bytes.size() - used);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) ThrowReadError(path, errno);
    if (got == 0) break;
    used += static_cast<std::size_t>(got);
  }
  bytes.resize(used);
  return bytes;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace orvelle::base
