// Reading a page or configuration file's bytes whole.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <string>

namespace orvelle::webfront {

// Reads the whole file as bytes; `info`, when given, receives the status of the file read.
// Throws std::runtime_error naming the file and the cause when it is missing or cannot be read.
std::string ReadFileBytes(const std::filesystem::path& path, struct stat* info = nullptr);

}  // namespace orvelle::webfront
