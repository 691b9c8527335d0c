// Reading the settings file for the option keys, with the one-line failures of a start.
#include "app/settings_file.h"

#include <iostream>

#include "app/config_keys.h"
#include "app/config_store.h"

namespace orvelle::app {

int ApplySettingsFile(CLI::App& app, const OptionNeeds& needs, const std::filesystem::path& file,
                      bool required, std::string_view program) {
  ConfigStore settings;
  if (!settings.Load(file) && required) {
    std::cerr << program << ": cannot read the configuration file " << file.string() << "\n";
    return 1;
  }
  try {
    ApplyOptionKeys(app, needs,
                    [&settings](std::string_view key) { return settings.GetSetting(key); });
  } catch (const OptionNeedsError& error) {
    std::cerr << program << ": " << error.what() << "\n";
    return 2;
  } catch (const ConfigValueError& error) {
    std::cerr << program << ": " << file.string() << ": " << error.what() << "\n";
    return 2;
  }
  return 0;
}

}  // namespace orvelle::app
