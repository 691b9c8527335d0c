// The page-level checks: regions switched off, procedure headers, echoes inside HTML tags and
// the block check, around the line rules.
#include "script/check/page_check.h"

#include <algorithm>
#include <charconv>

#include "script/check/line_rules.h"
#include "script/check/page_source.h"
#include "script/keywords.h"
#include "script/text_scan.h"

namespace orvelle::script::check {
namespace {

constexpr std::string_view kUnexpected = "Error: unexpected ";
constexpr std::string_view kOnLine = " on line ";
constexpr std::string_view kUnterminated = "Error: unterminated block (";

// The line that closes a block, as an author writes it.
std::string CloserOf(std::string_view block) {
  for (const Keyword& word : Keywords()) {
    if (word.opens || word.block != block) continue;
    return word.form == KeywordForm::kBare ? std::string(word.lead)
                                           : std::string(word.lead) + "...)";
  }
  return "its closing line";
}

// Headers as calls find them: the untrimmed line, lower-cased; the first of a name wins.
ProcedureNames CollectProcedures(const PageSource& source, std::vector<Finding>& out) {
  ProcedureNames names;
  for (const SourceLine& line : source.lines) {
    const std::string_view prefix = Lead(LineKind::kDefinition);
    if (!line.from_code || !line.text.starts_with(prefix)) continue;
    std::string name = LowerAscii(std::string_view(line.text).substr(prefix.size()));
    if (std::find(names.begin(), names.end(), name) != names.end()) {
      out.push_back({line.file_line,
                     "a procedure of this name is defined earlier and calls run "
                     "that one; give this one another name"});
    }
    names.push_back(std::move(name));
  }
  return names;
}

// The page-file line of translated line `n` (1-based), or of the last line for 0.
std::size_t FileLineOf(const PageSource& source, std::size_t n) {
  if (source.lines.empty()) return 1;
  if (n == 0 || n > source.lines.size()) return source.lines.back().file_line;
  return source.lines[n - 1].file_line;
}

// The innermost block the check found open, empty when none.
std::string OpenBlock(const std::string& error) {
  const std::size_t open = error.find(kUnterminated);
  if (open == std::string::npos) return {};
  const std::size_t name_at = open + kUnterminated.size();
  return error.substr(name_at, error.find(')', name_at) - name_at);
}

void ReportBlocks(const PageSource& source, std::vector<Finding>& out) {
  const std::string& error = source.block_error;
  const std::string open = OpenBlock(error);
  if (!error.starts_with(kUnexpected)) {
    if (open.empty()) return;
    out.push_back({FileLineOf(source, 0), "the page ends with a " + open +
                                              " block still open, "
                                              "so it does not run; close it with " +
                                              std::string(CloserOf(open))});
    return;
  }
  const std::size_t on = error.find(kOnLine);
  const std::string keyword = error.substr(kUnexpected.size(), on - kUnexpected.size());
  std::size_t stop = 0;
  std::from_chars(error.data() + on + kOnLine.size(), error.data() + error.size(), stop);
  std::string message = "`" + keyword +
                        "` closes no open block of its kind, so the page does "
                        "not run (\"" +
                        error.substr(0, error.find('\r')) + "\")";
  if (!open.empty()) {
    message += "; the " + open + " block open here closes with " + std::string(CloserOf(open));
  }
  out.push_back({FileLineOf(source, stop), message});
}

void CheckLines(const PageSource& source, const ProcedureNames& procedures,
                std::vector<Finding>& out) {
  bool off = false;
  for (const SourceLine& line : source.lines) {
    if (!line.from_code) continue;
    const std::string_view t = Trim(line.text);
    if (t == kCheckOff || t == kCheckOn) {
      off = t == kCheckOff;
      continue;
    }
    if (off) continue;
    for (std::string& message : CheckLine(line.text, procedures)) {
      out.push_back({line.file_line, std::move(message)});
    }
    if (line.inside_tag && LineHas(t, LineKind::kEcho)) {
      out.push_back({line.file_line,
                     "every echo ends with a line break, which lands inside this "
                     "HTML tag; write the whole tag with one echo, quotes from q"});
    }
  }
}

}  // namespace

std::vector<Finding> CheckPage(std::string_view bytes) {
  const PageSource source = LoadPageSource(bytes);
  std::vector<Finding> out;
  const ProcedureNames procedures = CollectProcedures(source, out);
  CheckLines(source, procedures, out);
  ReportBlocks(source, out);
  std::stable_sort(out.begin(), out.end(),
                   [](const Finding& a, const Finding& b) { return a.line < b.line; });
  return out;
}

}  // namespace orvelle::script::check
