// From page bytes to a program in one step.
#include "script/page/page_program.h"

#include "script/Uscripteng.h"
#include "script/page/page_translation.h"

namespace orvelle::script {

std::shared_ptr<const Program> CompilePage(std::string_view page_bytes, EvalMode mode) {
  return Program::Compile(TranslatePageLines(page_bytes), mode);
}

void SeedPageNames(TExecute& engine) {
  engine.SetVar("q", "\"");
  engine.SetVar("pc", ")");
  engine.SetVar("po", "(");
}

}  // namespace orvelle::script
