// Renaming a log file and its older copies one number up.
#include "app/log_rotation.h"

#include <cerrno>
#include <cstdio>
#include <string>

namespace orvelle::app {

std::filesystem::path NumberedLogFile(const std::filesystem::path& file, int number) {
  return std::filesystem::path(file.string() + "." + std::to_string(number));
}

int RotateLogFiles(const std::filesystem::path& file, int kept) {
  for (int number = kept - 1; number >= 1; --number) {
    std::rename(NumberedLogFile(file, number).c_str(), NumberedLogFile(file, number + 1).c_str());
  }
  if (std::rename(file.c_str(), NumberedLogFile(file, 1).c_str()) != 0 && errno != ENOENT) {
    return errno;
  }
  return 0;
}

}  // namespace orvelle::app
