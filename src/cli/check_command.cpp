// The check command: expands folders into their pages, reads each page whole, checks it, prints
// "file:line: finding", and says so when everything is clean.
#include "check_command.h"

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <system_error>

#include "base/file_io.h"
#include "script/check/page_check.h"

namespace orvelle::cli {
namespace {

namespace fs = std::filesystem;

// Pages taken from one folder; a bound so a mistaken `check /` ends.
constexpr std::size_t kMaxPagesPerFolder = 100000;

// A folder stands for every .ovs file below it, in sorted order; anything else for itself.
std::vector<std::string> ExpandPages(const std::vector<std::string>& args) {
  std::vector<std::string> pages;
  for (const std::string& arg : args) {
    std::error_code error;
    if (!fs::is_directory(arg, error)) {
      pages.push_back(arg);
      continue;
    }
    std::vector<std::string> found;
    for (fs::recursive_directory_iterator
             it(arg, fs::directory_options::skip_permission_denied, error),
         end;
         !error && it != end && found.size() < kMaxPagesPerFolder; it.increment(error)) {
      if (it->path().extension() == ".ovs" && it->is_regular_file(error)) {
        found.push_back(it->path().string());
      }
    }
    std::sort(found.begin(), found.end());
    pages.insert(pages.end(), found.begin(), found.end());
  }
  return pages;
}

}  // namespace

int RunCheck(const std::vector<std::string>& args) {
  const std::vector<std::string> pages = ExpandPages(args);
  bool found = false;
  for (const std::string& page : pages) {
    std::string bytes;
    try {
      bytes = base::ReadFileBytes(page);
    } catch (const std::exception& error) {
      std::cerr << "orvelle: " << error.what() << "\n";
      return 2;
    }
    for (const script::check::Finding& finding : script::check::CheckPage(bytes)) {
      std::cout << page << ":" << finding.line << ": " << finding.message << "\n";
      found = true;
    }
  }
  if (!found) {
    std::cout << pages.size() << (pages.size() == 1 ? " page" : " pages") << ", no findings\n";
  }
  std::cout.flush();
  return found ? 1 : 0;
}

}  // namespace orvelle::cli
