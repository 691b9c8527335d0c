// The render command: the same seeded variables, translation, block check and error lines as a
// script request, with the body on stdout and nothing else.
#include "render_command.h"

#include <unistd.h>

#include <chrono>
#include <iostream>

#include "app/config_store.h"
#include "app/program_host.h"
#include "base/file_io.h"
#include "script/host.h"
#include "webfront/page_runner.h"

namespace orvelle::cli {

namespace {

bool IsRegularFile(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(path, error);
}

}  // namespace

int RunRender(const RenderOptions& options) {
  app::ConfigStore config;
  config.Load(options.home / "config.ini");  // a missing file leaves every setting empty
  // The server's "Script not found" page is for browsers; here stdout stays empty, so a
  // redirect never saves an error page as if it were output.
  if (!IsRegularFile(options.file)) {
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
    base::WriteAll(STDOUT_FILENO, error.what());
    std::cerr << "orvelle: " << error.what() << "\n";
    return 1;
  }
  return base::WriteAll(STDOUT_FILENO, body) ? 0 : 1;
}

}  // namespace orvelle::cli
