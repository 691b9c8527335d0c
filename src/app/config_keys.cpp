// The option keys given to the command-line parser, and the report of keys nobody reads.
#include "app/config_keys.h"

#include <algorithm>
#include <sstream>

#include "app/config_store.h"
#include "base/ascii_text.h"

namespace orvelle::app {
namespace {

// A key in a report line is cut here: a line of the file may be long, the log line need not be.
constexpr std::size_t kMaxReportedKey = 64;

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// Hands the value to the option exactly as the command line would have, validators included.
void GiveValue(CLI::Option& option, const OptionKey& row, const std::string& value) {
  switch (row.form) {
    case KeyForm::kSwitch:
      if (value != "yes") return;
      option.add_result("true");
      break;
    case KeyForm::kList:
      for (const std::string& word : Words(value)) option.add_result(word);
      break;
    case KeyForm::kValue:
      option.add_result(value);
      break;
  }
  try {
    option.run_callback();
  } catch (const CLI::Error& error) {
    throw ConfigValueError(std::string(row.key) + "=" + value + ": " + error.what());
  }
}

// The file name of an option: its key when the table has one, else the option itself.
std::string NameOf(const CLI::Option& option) {
  const std::string name = option.get_name();
  for (const OptionKey& row : kOptionKeys) {
    if (row.option == name) return "\"" + std::string(row.key) + "\" (" + name + ")";
  }
  return name;
}

void CheckNeeds(const OptionNeeds& needs) {
  for (const auto& [option, needed] : needs) {
    if (option->count() > 0 && needed->count() == 0) {
      throw OptionNeedsError(NameOf(*option) + " needs " + NameOf(*needed));
    }
  }
}

std::size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      const bool same = base::AsciiLower(a[i - 1]) == base::AsciiLower(b[j - 1]);
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string_view NearestKey(std::string_view key) {
  const std::vector<std::string_view> known = KnownKeys();
  return *std::min_element(known.begin(), known.end(),
                           [key](std::string_view a, std::string_view b) {
                             return EditDistance(key, a) < EditDistance(key, b);
                           });
}

bool IsKnown(std::string_view key) {
  for (std::string_view known : KnownKeys()) {
    if (base::EqualsIgnoreCase(key, known)) return true;
  }
  return false;
}

bool IsCommentOrBlank(std::string_view line) {
  const std::size_t first = line.find_first_not_of(" \t");
  return first == std::string_view::npos || line[first] == '#' || line[first] == ';';
}

}  // namespace

OptionNeeds DeferOptionNeeds(CLI::App& app) {
  OptionNeeds needs;
  for (const OptionKey& row : kOptionKeys) {
    CLI::Option* option = app.get_option_no_throw(std::string(row.option));
    if (option == nullptr) continue;
    for (CLI::Option* needed : option->get_needs()) needs.emplace_back(option, needed);
  }
  for (const auto& [option, needed] : needs) option->remove_needs(needed);
  return needs;
}

void ApplyOptionKeys(CLI::App& app, const OptionNeeds& needs,
                     const std::function<std::string(std::string_view)>& lookup) {
  for (const OptionKey& row : kOptionKeys) {
    CLI::Option* option = app.get_option_no_throw(std::string(row.option));
    if (option == nullptr || option->count() > 0) continue;  // the command line wins
    const std::string value = lookup(row.key);
    if (!value.empty()) GiveValue(*option, row, value);
  }
  CheckNeeds(needs);
}

std::vector<std::string_view> KnownKeys() {
  std::vector<std::string_view> keys = ConfigStore::DefinedKeys();
  for (const OptionKey& row : kOptionKeys) keys.push_back(row.key);
  return keys;
}

std::vector<std::string> UnknownKeyReport(const std::vector<std::string>& lines,
                                          std::string_view file) {
  std::vector<std::string> report;
  for (const std::string& line : lines) {
    if (IsCommentOrBlank(line)) continue;
    const std::string_view key = std::string_view(line).substr(0, line.find('='));
    if (IsKnown(key)) continue;
    std::string shown(key.substr(0, kMaxReportedKey));
    if (key.size() > kMaxReportedKey) shown += "...";
    report.push_back("Unknown key \"" + shown + "\" in " + std::string(file) +
                     " ignored; the nearest known key is \"" + std::string(NearestKey(key)) +
                     "\".");
  }
  return report;
}

}  // namespace orvelle::app
