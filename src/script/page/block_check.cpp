// Block-structure check: a stack of open block names walked over the translated lines.
#include "script/page/block_check.h"

#include <array>
#include <optional>
#include <string_view>
#include <utility>

#include "base/ascii_text.h"

namespace orvelle::script {
namespace {

enum class Match { kBegins, kEquals, kContains };

struct BlockWord {
  std::string_view text;  // what the trimmed line is tested against
  Match match;
  std::string_view block;    // name of the block opened or closed
  std::string_view keyword;  // closer's name in error messages
};

// Tested in this order; the first opener that matches ends the work on a line.
constexpr std::array<BlockWord, 5> kOpeners{{
    {"for (", Match::kBegins, "for", ""},
    {"if (", Match::kBegins, "if", ""},
    {"while (", Match::kBegins, "while", ""},
    {"repeat", Match::kEquals, "repeat", ""},
    {"procedure ", Match::kBegins, "procedure", ""},
}};

constexpr std::array<BlockWord, 5> kClosers{{
    {"next", Match::kEquals, "for", "next"},
    {"endif", Match::kEquals, "if", "endif"},
    {"wend", Match::kEquals, "while", "wend"},
    {"until (", Match::kContains, "repeat", "until"},
    {"procend", Match::kEquals, "procedure", "procend"},
}};

bool Matches(std::string_view line, const BlockWord& word) {
  switch (word.match) {
    case Match::kBegins:
      return line.starts_with(word.text);
    case Match::kEquals:
      return line == word.text;
    case Match::kContains:
      return line.find(word.text) != std::string_view::npos;
  }
  return false;
}

std::optional<std::string_view> FindOpener(std::string_view line) {
  for (const auto& word : kOpeners) {
    if (Matches(line, word)) return word.block;
  }
  return std::nullopt;
}

class BlockWalk {
 public:
  // Handles one line; returns false when the walk must stop at an error.
  bool Step(std::string_view line, std::size_t line_number) {
    line = base::TrimBlanksAndControls(line);
    if (auto opened = FindOpener(line)) {
      stack_.push_back(*opened);
      return true;
    }
    for (const auto& word : kClosers) {
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
  bool Close(const BlockWord& word, std::size_t line_number) {
    if (stack_.empty() || stack_.back() != word.block) {
      error_ = "Error: unexpected " + std::string(word.keyword) + " on line " +
               std::to_string(line_number);
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
