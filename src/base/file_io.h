// Whole-file reads and complete writes to a file descriptor.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace orvelle::base {

// Reads the whole file as bytes; `info`, when given, receives the status of the file read.
// Throws std::runtime_error naming the file and the cause when it is missing or cannot be read.
std::string ReadFileBytes(const std::filesystem::path& path, struct stat* info = nullptr);

// Writes every byte, carrying on after short writes and interrupted calls. False (with errno
// set by the failing call) when the descriptor takes no more; a blocking descriptor is meant.
bool WriteAll(int fd, std::string_view bytes);

}  // namespace orvelle::base
