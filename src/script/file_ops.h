// The file work behind readfile, writefile and deletefile. Paths are used as given, relative to
// the process's current directory; each function returns the statement's own message on failure.
#pragma once

#include <string>
#include <string_view>

#include "host.h"

namespace orvelle::script {

// The exact bytes of a regular file. On failure error is set to the message and the result is
// empty; error is left alone on success.
std::string ReadWholeFile(const std::string& path, std::string& error);

// Appends text to the file, creating it when absent. Returns the message, or "" on success.
std::string AppendToFile(const std::string& path, std::string_view text);

// Deletes the file. Returns the message, or "" on success.
std::string DeleteFileAt(const std::string& path);

// The files of the machine the process runs on, paths relative to its current directory.
class LocalFiles final : public FileAccess {
 public:
  std::string ReadFile(const std::string& path, std::string& content) override {
    std::string error;
    content = ReadWholeFile(path, error);
    return error;
  }
  std::string AppendFile(const std::string& path, std::string_view text) override {
    return AppendToFile(path, text);
  }
  std::string DeleteFile(const std::string& path) override { return DeleteFileAt(path); }
};

}  // namespace orvelle::script
