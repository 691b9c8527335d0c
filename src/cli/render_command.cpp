// The render command: the same seeded variables, translation, block check and error lines as a
// script request, with the body on stdout and nothing else.
#include "render_command.h"

#include <unistd.h>

#include <chrono>
#include <iostream>

#include "app/config_store.h"
#include "app/program_host.h"
#include "base/file_io.h"
#include "script/check/page_source.h"
#include "script/explain.h"
#include "script/host.h"
#include "script/page/page_program.h"
#include "webfront/page_runner.h"

namespace orvelle::cli {

namespace {

bool IsRegularFile(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(path, error);
}

// Script lines told by number, mapped back to the lines of the page file they came from.
class PageLines {
 public:
  explicit PageLines(const std::string& file) {
    try {
      source_ = script::check::LoadPageSource(base::ReadFileBytes(file));
    } catch (const std::exception&) {
      // Running the page reports a file that cannot be read.
    }
  }
  std::size_t FileLine(std::size_t script_line) const {
    if (script_line == 0 || script_line > source_.lines.size()) {
      return source_.lines.empty() ? 1 : source_.lines.back().file_line;
    }
    return source_.lines[script_line - 1].file_line;
  }
  const std::string& BlockError() const { return source_.block_error; }

 private:
  script::check::PageSource source_;
};

class StderrExplainer : public script::Explainer {
 public:
  StderrExplainer(const std::string& file, const PageLines& lines) : file_(file), lines_(lines) {}
  void Explain(int line, std::string_view reason) override {
    std::cerr << file_ << ":" << lines_.FileLine(static_cast<std::size_t>(line)) << ": " << reason
              << "\n";
  }

 private:
  const std::string& file_;
  const PageLines& lines_;
};

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
  const PageLines lines(options.file);
  StderrExplainer explainer(options.file, lines);
  std::string body;
  try {
    body = webfront::RunPage(request, host, host.Output(), {}, mode, nullptr,
                             options.explain ? &explainer : nullptr);
  } catch (const std::exception& error) {
    // The server answers these with status 500 and the message as the body.
    base::WriteAll(STDOUT_FILENO, error.what());
    std::cerr << "orvelle: " << error.what() << "\n";
    return 1;
  }
  if (!base::WriteAll(STDOUT_FILENO, body)) return 1;
  // A page whose blocks do not pair up runs nothing: that is a failure of the page.
  if (lines.BlockError().empty()) return 0;
  if (!options.explain) {  // an explaining run has told it already
    const script::BlockErrorPlace place = script::PlaceOfBlockError(lines.BlockError());
    explainer.Explain(place.line, place.text);
  }
  return 1;
}

}  // namespace orvelle::cli
