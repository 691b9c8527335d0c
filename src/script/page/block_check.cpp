// Block-structure check: a stack of open block names walked over the translated lines.
#include "script/page/block_check.h"

#include <string_view>
#include <utility>

#include "base/ascii_text.h"
#include "script/keywords.h"

namespace orvelle::script {
namespace {

// The block check reads a closing "until (" anywhere in the line; other words by their form.
bool Matches(std::string_view line, const Keyword& word) {
  if (word.kind == LineKind::kUntil) return line.find(word.lead) != std::string_view::npos;
  return LineHas(line, word);
}

// The first opener that matches ends the work on a line.
const Keyword* FindOpener(std::string_view line) {
  for (const Keyword& word : Keywords()) {
    if (word.opens && Matches(line, word)) return &word;
  }
  return nullptr;
}

class BlockWalk {
 public:
  // Handles one line; returns false when the walk must stop at an error.
  bool Step(std::string_view line, std::size_t line_number) {
    line = base::TrimBlanksAndControls(line);
    if (const Keyword* opened = FindOpener(line)) {
      stack_.push_back(opened->block);
      return true;
    }
    for (const Keyword& word : Keywords()) {
      if (word.opens || word.block.empty()) continue;
      if (Matches(line, word) && !Close(word, line_number)) return false;
    }
    return true;
  }

  std::string Finish() {
    if (!stack_.empty()) {
      error_ += "\r\nError: unterminated block (";
      error_ += stack_.back();
      error_ += ")";
    }
    return std::move(error_);
  }

 private:
  bool Close(const Keyword& word, std::size_t line_number) {
    if (stack_.empty() || stack_.back() != word.block) {
      error_ =
          "Error: unexpected " + std::string(word.word) + " on line " + std::to_string(line_number);
      return false;
    }
    stack_.pop_back();
    return true;
  }

  std::vector<std::string_view> stack_;  // open blocks, innermost last
  std::string error_;
};

}  // namespace

std::string CheckBlocks(const std::vector<std::string>& lines) {
  BlockWalk walk;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (!walk.Step(lines[i], i + 1)) break;
  }
  return walk.Finish();
}

}  // namespace orvelle::script
