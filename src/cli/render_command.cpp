// The render command: the same seeded variables, translation, block check and error lines as a
// script request, with the body on stdout and nothing else.
#include "render_command.h"

#include <chrono>
#include <cstdio>
#include <iostream>

#include "app/config_store.h"
#include "app/program_host.h"
#include "script/host.h"
#include "webfront/page_runner.h"

namespace orvelle::cli {

namespace {

constexpr std::string_view kScriptNotFound = "<H1><center>Script not found</center></H1>";

bool WriteAll(std::string_view bytes) {
  return std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() &&
         std::fflush(stdout) == 0;
}

bool IsRegularFile(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(path, error);
}

}  // namespace

int RunRender(const RenderOptions& options) {
  app::ConfigStore config;
  config.Load(options.home / "config.ini");  // a missing file leaves every setting empty
  if (!IsRegularFile(options.file)) {
    WriteAll(kScriptNotFound);
    std::cerr << "orvelle: script not found: " << options.file << "\n";
    return 1;
  }
  script::NoSerialPort serial;
  auto seed =
      static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
  app::ProgramHost host(config, serial, seed);
  webfront::PageRequest request{options.file, options.params, "127.0.0.1", 0};
  auto mode = options.plain ? script::EvalMode::kPlain : script::EvalMode::kFast;
  std::string body;
  try {
    body = webfront::RunPage(request, host, host.Output(), {}, mode);
  } catch (const std::exception& error) {
    // The server answers these with status 500 and the message as the body.
    WriteAll(error.what());
    std::cerr << "orvelle: " << error.what() << "\n";
    return 1;
  }
  return WriteAll(body) ? 0 : 1;
}

}  // namespace orvelle::cli
