// libFuzzer target: a page's way from bytes to checked lines. Translation with its line map must
// agree with the whole-page translation, every line must compile as expression and condition,
// and the checker must place every finding on a line of the file.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "script/check/page_check.h"
#include "script/check/page_source.h"
#include "script/compiled_condition.h"
#include "script/compiled_expression.h"
#include "script/text_scan.h"

namespace {

using namespace orvelle::script;

std::size_t FileLines(std::string_view bytes) {
  bytes = bytes.substr(0, bytes.find('\0'));
  return 1 + static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n')) +
         static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\r'));
}

void CheckMap(std::string_view bytes) {
  const check::PageSource source = check::LoadPageSource(bytes);
  const std::vector<std::string> whole = check::TranslatedLines(bytes);
  if (whole.size() != source.lines.size()) std::abort();
  const std::size_t limit = FileLines(bytes);
  std::size_t last = 1;
  for (std::size_t i = 0; i < whole.size(); ++i) {
    const check::SourceLine& line = source.lines[i];
    if (line.text != whole[i] || line.file_line < last || line.file_line > limit) std::abort();
    last = line.file_line;
  }
}

void CompileLines(std::string_view bytes) {
  NameTable names;
  CompileContext context{names};
  for (const check::SourceLine& line : check::LoadPageSource(bytes).lines) {
    const std::string_view t = Trim(line.text);
    for (bool tree : {true, false}) {
      CompiledExpr::Compile(t, context, tree);
      CompiledCondition::Compile(t, context, tree);
    }
    SplitCall(StripBlanks(t));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  CheckMap(bytes);
  CompileLines(bytes);
  const std::size_t limit = FileLines(bytes);
  for (const check::Finding& finding : check::CheckPage(bytes)) {
    if (finding.line < 1 || finding.line > limit || finding.message.empty()) std::abort();
  }
  return 0;
}
