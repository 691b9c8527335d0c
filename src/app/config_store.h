// The one live copy of the program's configuration: ordered key=value lines, looked up by key at
// the moment of use, loaded from and saved to the configuration file.
#pragma once

#include <filesystem>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

namespace orvelle::app {

class ConfigStore {
 public:
  // Shown by the caller whenever the configuration file cannot be loaded.
  static constexpr std::string_view kLoadErrorMessage =
      "Error loading configuration. Please check configuration.";

  enum class StartOutcome {
    kLoaded,           // the file was read
    kCreatedDefaults,  // no file: defaults filled and written
    kDefaultsOnly,  // defaults filled in memory; the file exists unreadable or could not be written
  };

  // Value of the first line whose key (text before the first "=", untrimmed) equals `key`
  // ignoring ASCII case; empty when absent. Lines without "=" never match.
  std::string GetSetting(std::string_view key) const;

  // Replaces the lines by the file's lines. False when the file is missing or unreadable; the
  // lines are then unchanged.
  bool Load(const std::filesystem::path& path);

  // Appends the ten default entries in their fixed order.
  void DefaultFill();
  // The keys of the ten default entries, in the same order.
  static std::vector<std::string_view> DefinedKeys();

  // Writes every line followed by CR LF. The file is replaced in one step (temporary file in the
  // same folder, then rename), so a crash leaves either the old or the new file.
  bool Save(const std::filesystem::path& path) const;

  // Start-up rule: load; failing that, default fill, write the defaults when no file exists, and
  // set `message` to kLoadErrorMessage (cleared on success).
  StartOutcome LoadOrCreate(const std::filesystem::path& path, std::string& message);

  std::vector<std::string> Lines() const;

  // Throws std::invalid_argument when a line holds CR, LF or NUL, which a save would turn into
  // extra lines.
  void SetLines(std::vector<std::string> lines);

  // Replaces the value of the first line matching `key`, or appends key=value. Throws
  // std::invalid_argument when the key holds "=" or either text holds CR, LF or NUL.
  void SetValue(std::string_view key, std::string_view value);

 private:
  mutable std::shared_mutex mutex_;  // readers on request threads, writers on the main thread
  std::vector<std::string> lines_;
};

}  // namespace orvelle::app
