// The check command: reads each page whole, checks it, and prints "file:line: finding".
#include "check_command.h"

#include <iostream>
#include <stdexcept>

#include "base/file_io.h"
#include "script/check/page_check.h"

namespace orvelle::cli {

int RunCheck(const std::vector<std::string>& pages) {
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
  std::cout.flush();
  return found ? 1 : 0;
}

}  // namespace orvelle::cli
