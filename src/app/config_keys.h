// The configuration keys beyond the ten defined ones: each is the file form of one command-line
// option, in the same key=value list. A value given on the command line wins over the file's.
// Adding a key is one row of kOptionKeys.
#pragma once

#include <CLI/CLI.hpp>
#include <array>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvelle::app {

enum class KeyForm {
  kValue,   // the value as it stands
  kSwitch,  // "yes" sets the flag; anything else leaves it off, as every switch reads
  kList,    // blank-separated values, each given to the option as if repeated
};

struct OptionKey {
  std::string_view key;     // in the file; compared without regard to case, as every key is
  std::string_view option;  // its command-line option
  KeyForm form;
};

inline constexpr std::array kOptionKeys = {
    OptionKey{"Bind address", "--bind", KeyForm::kValue},
    OptionKey{"HTTPS port", "--https-port", KeyForm::kValue},
    OptionKey{"HTTPS certificate", "--cert", KeyForm::kValue},
    OptionKey{"HTTPS key", "--key", KeyForm::kValue},
    OptionKey{"HTTPS only", "--https-only", KeyForm::kSwitch},
    OptionKey{"Allow cross-site", "--allow-cross-site", KeyForm::kSwitch},
    OptionKey{"Traffic log", "--traffic-log", KeyForm::kValue},
    OptionKey{"MQTT broker", "--mqtt", KeyForm::kValue},
    OptionKey{"MQTT password file", "--mqtt-password-file", KeyForm::kValue},
    OptionKey{"MQTT CA file", "--mqtt-ca", KeyForm::kValue},
    OptionKey{"MQTT name", "--mqtt-name", KeyForm::kValue},
    OptionKey{"MQTT allow send", "--mqtt-allow-send", KeyForm::kSwitch},
    OptionKey{"Open port", "--open-port", KeyForm::kValue},
    OptionKey{"Open port settings", "--open-port-settings", KeyForm::kValue},
    OptionKey{"Allow host", "--allow-host", KeyForm::kList},
    OptionKey{"RFC 2217 port", "--rfc2217-port", KeyForm::kValue},
    OptionKey{"Raw TCP port", "--raw-port", KeyForm::kValue},
    OptionKey{"TCP allow", "--tcp-allow", KeyForm::kValue},
    OptionKey{"TCP takeover", "--tcp-takeover", KeyForm::kSwitch},
    OptionKey{"TCP device", "--tcp-device", KeyForm::kValue},
    OptionKey{"Explain scripts", "--explain-scripts", KeyForm::kSwitch},
};

// A value in the file that its option refuses; what() is "KEY=VALUE: reason".
class ConfigValueError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An option set (by the command line or the file) without one it needs; what() names both.
class OptionNeedsError : public ConfigValueError {
 public:
  using ConfigValueError::ConfigValueError;
};

// Pairs of an option and an option it needs (--cert needs --https-port).
using OptionNeeds = std::vector<std::pair<CLI::Option*, CLI::Option*>>;

// Takes the table's options' needs off the parser, to be called before parsing: the file may give
// a companion that the command line leaves out. ApplyOptionKeys checks them after the file.
OptionNeeds DeferOptionNeeds(CLI::App& app);

// Gives every option of `app` that the command line left out the value its key has, read with
// `lookup` (GetSetting's rule: first line wins, empty when absent; an empty value sets nothing).
// Rows whose option `app` does not have are skipped. Then checks that every option set has what
// it needs. Throws ConfigValueError.
void ApplyOptionKeys(CLI::App& app, const OptionNeeds& needs,
                     const std::function<std::string(std::string_view)>& lookup);

// Every key the server reads: the ten defined ones, then the table's.
std::vector<std::string_view> KnownKeys();

// One line for each configuration line whose key the server does not know (comment lines,
// starting with '#' or ';', and blank lines aside), naming the nearest known key.
std::vector<std::string> UnknownKeyReport(const std::vector<std::string>& lines,
                                          std::string_view file);

}  // namespace orvelle::app
