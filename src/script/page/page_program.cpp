// From page bytes to a program in one step.
#include "script/page/page_program.h"

#include "script/script_run.h"
#include "script/page/page_translation.h"

namespace orvelle::script {

std::shared_ptr<const Program> CompilePage(std::string_view page_bytes, EvalMode mode) {
  return Program::Compile(TranslatePageLines(page_bytes), mode);
}

void RunPageProgram(ScriptRun& run, std::vector<std::string>& output) {
  try {
    if (!run.GetProgram().BlockError().empty()) {
      output.push_back(run.GetProgram().BlockError());
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
