// Move-only owner of one file descriptor of the serial layer; closes it exactly once.
#pragma once

#include <unistd.h>

#include <utility>

namespace orvelle::serial {

class DeviceFd {
 public:
  DeviceFd() = default;
  explicit DeviceFd(int fd) : fd_(fd) {}
  DeviceFd(DeviceFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  DeviceFd& operator=(DeviceFd&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.fd_, -1));
    return *this;
  }
  DeviceFd(const DeviceFd&) = delete;
  DeviceFd& operator=(const DeviceFd&) = delete;
  ~DeviceFd() { Reset(); }

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace orvelle::serial
