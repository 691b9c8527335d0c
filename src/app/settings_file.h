// The settings file read before the server exists, for the option keys: the command line's
// options that were left out take their values from it.
#pragma once

#include <CLI/CLI.hpp>
#include <filesystem>
#include <string_view>

#include "app/config_keys.h"

namespace orvelle::app {

// Reads `file` and gives its option keys to `app`'s options that the command line left out.
// Returns 0, or an exit code after one line on stderr starting with `program`: 1 when a
// `required` file cannot be read (a missing optional one gives no keys), 2 when a value is
// refused.
// `needs` are those DeferOptionNeeds took off before parsing.
int ApplySettingsFile(CLI::App& app, const OptionNeeds& needs, const std::filesystem::path& file,
                      bool required, std::string_view program);

}  // namespace orvelle::app
