// `orvelle render`: runs one script page and writes the body a GET from 127.0.0.1 would get.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace orvelle::cli {

struct RenderOptions {
  std::string file;
  std::vector<std::string> params;
  std::filesystem::path home;
  bool plain = false;    // evaluate every line from its text (for comparing the two evaluators)
  bool explain = false;  // say on stderr why lines did nothing
};

// Returns the process exit code.
int RunRender(const RenderOptions& options);

}  // namespace orvelle::cli
