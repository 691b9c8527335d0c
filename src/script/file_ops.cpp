// File operations for scripts over POSIX calls: whole-file read under a shared lock, append under
// an exclusive lock, delete.
#include "script/file_ops.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "base/c_string.h"
#include "base/file_io.h"
#include "base/unique_fd.h"

namespace orvelle::script {
namespace {

using base::UniqueFd;

constexpr std::string_view kReadMissing = "readfile: file does not exist.";
constexpr std::string_view kReadFailed = "readfile: error reading from specified file.";
constexpr std::string_view kCannotCreate = "writefile: cannot create file.";
constexpr std::string_view kCannotSave = "writefile: cannot save to file.";
constexpr std::string_view kDeleteMissing = "deletefile: file not found.";
constexpr std::string_view kCannotDelete = "deletefile: cannot delete file.";

// Bytes asked of each read(2); large enough that big files need few calls.
constexpr std::size_t kReadChunk = 64 * 1024;

// Mode of a file that writefile creates; the process umask narrows it as usual.
constexpr mode_t kNewFileMode = 0666;

// A NUL byte would cut the path short at the system call and name another file.
bool UsablePath(const std::string& path) {
  return base::FitsCString(path);
}

// Never blocks on a FIFO or a device: open does not wait for the other end, and the callers
// accept regular files only.
UniqueFd OpenFile(const std::string& path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, mode);
  } while (fd < 0 && errno == EINTR);
  return UniqueFd(fd);
}

bool IsRegular(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

bool IsFolder(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
}

bool LockFile(int fd, int operation) {
  int result;
  do {
    result = ::flock(fd, operation | LOCK_NB);
  } while (result < 0 && errno == EINTR);
  return result == 0;
}

// Reads until end of file rather than trusting st_size, which is 0 for many generated files.
bool ReadAll(int fd, std::string& out) {
  while (true) {
    std::size_t used = out.size();
    out.resize(used + kReadChunk);
    ssize_t got = ::read(fd, out.data() + used, kReadChunk);
    out.resize(used + static_cast<std::size_t>(got > 0 ? got : 0));
    if (got == 0) return true;
    if (got < 0 && errno != EINTR) return false;
  }
}

bool ExistsAsFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

// Writes to an opened file under an exclusive lock, so a concurrent writer cannot interleave.
std::string AppendOpened(UniqueFd fd, std::string_view text) {
  if (!IsRegular(fd.Get()) || !LockFile(fd.Get(), LOCK_EX)) return std::string(kCannotSave);
  if (!base::WriteAll(fd.Get(), text) || !fd.Close()) return std::string(kCannotSave);
  return {};
}

std::string Fail(std::string& error, std::string_view message) {
  error = message;
  return {};
}

}  // namespace

std::string ReadWholeFile(const std::string& path, std::string& error) {
  if (!UsablePath(path)) return Fail(error, kReadMissing);
  UniqueFd fd = OpenFile(path, O_RDONLY);
  if (!fd.Valid()) {
    bool missing = errno == ENOENT || errno == ENOTDIR;
    return Fail(error, missing ? kReadMissing : kReadFailed);
  }
  if (IsFolder(fd.Get())) return Fail(error, kReadMissing);
  // Others may read alongside, but a writer holding the exclusive lock makes the read fail.
  std::string content;
  if (!IsRegular(fd.Get()) || !LockFile(fd.Get(), LOCK_SH) || !ReadAll(fd.Get(), content)) {
    return Fail(error, kReadFailed);
  }
  return content;
}

std::string AppendToFile(const std::string& path, std::string_view text) {
  if (!UsablePath(path)) return std::string(kCannotCreate);
  if (ExistsAsFile(path)) {
    UniqueFd fd = OpenFile(path, O_WRONLY | O_APPEND);
    if (fd.Valid()) return AppendOpened(std::move(fd), text);
    if (errno != ENOENT) return std::string(kCannotSave);
  }
  // No O_TRUNC: a file that appears between the test and here keeps what it holds.
  UniqueFd fd = OpenFile(path, O_WRONLY | O_APPEND | O_CREAT, kNewFileMode);
  if (!fd.Valid()) return std::string(kCannotCreate);
  return AppendOpened(std::move(fd), text);
}

std::string DeleteFileAt(const std::string& path) {
  struct stat info {};
  // lstat: the name itself is deleted, so a link counts as a file even when it leads nowhere.
  if (!UsablePath(path) || ::lstat(path.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) {
    return std::string(kDeleteMissing);
  }
  if (::unlink(path.c_str()) == 0) return {};
  return std::string(errno == ENOENT ? kDeleteMissing : kCannotDelete);
}

}  // namespace orvelle::script
