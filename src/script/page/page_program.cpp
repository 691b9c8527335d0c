// From page bytes to a program in one step.
#include "script/page/page_program.h"

#include <algorithm>
#include <cstdlib>

#include "script/page/page_translation.h"
#include "script/script_run.h"

namespace orvelle::script {

std::shared_ptr<const Program> CompilePage(std::string_view page_bytes, EvalMode mode) {
  return Program::Compile(TranslatePageLines(page_bytes), mode);
}

namespace {
constexpr std::string_view kOnLine = " on line ";  // how a block check's message names a line
constexpr std::string_view kErrorPrefix = "Error: ";
}  // namespace

BlockErrorPlace PlaceOfBlockError(const std::string& error) {
  BlockErrorPlace place;
  const std::size_t at = error.find(kOnLine);
  if (at != std::string::npos) place.line = std::atoi(error.c_str() + at + kOnLine.size());
  const std::size_t start = std::min(error.find_first_not_of("\r\n"), error.size());
  place.text = error.substr(start, error.find('\r', start) - start);
  if (place.text.starts_with(kErrorPrefix)) place.text.erase(0, kErrorPrefix.size());
  place.text = place.text.substr(0, place.text.find(kOnLine));
  return place;
}

void RunPageProgram(ScriptRun& run, std::vector<std::string>& output) {
  try {
    if (const std::string& error = run.GetProgram().BlockError(); !error.empty()) {
      if (Explainer* explain = run.GetExplainer()) {
        const BlockErrorPlace place = PlaceOfBlockError(error);
        // The end of the page stands for an unclosed block: its last line.
        explain->Explain(place.line > 0 ? place.line : run.GetProgram().LineCount() - 2,
                         place.text);
      }
      output.push_back(error);
    } else {
      run.Run();
    }
  } catch (const EStringListError&) {
    // A block read past the last line ends the run without a line of its own.
  } catch (const std::exception& error) {
    output.push_back(std::string("Script engine error: ") + error.what());
  }
}

void SeedPageNames(ScriptRun& engine) {
  engine.SetVar("q", "\"");
  engine.SetVar("pc", ")");
  engine.SetVar("po", "(");
}

}  // namespace orvelle::script
