// Rotation of the server's log files: FILE -> FILE.1 -> FILE.2 -> FILE.3, the oldest dropped.
#pragma once

#include <cstdint>
#include <filesystem>

namespace orvelle::app {

// Big enough for days of a server's lines, small enough to open in an editor.
inline constexpr std::uint64_t kLogRotateBytes = std::uint64_t{16} << 20;
// FILE.1 (newest) .. FILE.3 are kept; the oldest goes.
inline constexpr int kKeptLogFiles = 3;

// FILE.n for n >= 1.
std::filesystem::path NumberedLogFile(const std::filesystem::path& file, int number);

// Moves FILE to FILE.1 and each older one a number up, overwriting the oldest. Returns 0, or the
// errno of moving FILE itself (a missing FILE is no failure).
int RotateLogFiles(const std::filesystem::path& file, int kept = kKeptLogFiles);

}  // namespace orvelle::app
