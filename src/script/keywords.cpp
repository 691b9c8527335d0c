// The keyword table and its look-ups.
#include "keywords.h"

#include <array>

namespace orvelle::script {

namespace {

using F = KeywordForm;
using K = LineKind;

// Order matters where leads overlap: the first keyword whose form the line has decides.
constexpr std::array<Keyword, 29> kTable{{
    {K::kComment, "#", "#", F::kPrefix},
    {K::kFor, "for", "for (", F::kParen, 4, 4, false, "for", true},
    {K::kIf, "if", "if (", F::kParen, -1, -1, true, "if", true},
    {K::kWhile, "while", "while (", F::kParen, -1, -1, true, "while", true},
    {K::kRepeat, "repeat", "repeat", F::kBare, -1, -1, false, "repeat", true},
    {K::kBreak, "break", "break", F::kBare},
    {K::kExit, "exit", "exit", F::kBare},
    {K::kDefinition, "procedure", "procedure ", F::kPrefix, -1, -1, false, "procedure", true},
    {K::kEcho, "echo", "echo (", F::kParen, 1, 1},
    {K::kOpenPort, "openport", "openport (", F::kParen, 6, 6},
    {K::kSetRts, "setrts", "setrts (", F::kParen},
    {K::kClearRts, "clearrts", "clearrts (", F::kParen},
    {K::kSetDtr, "setdtr", "setdtr (", F::kParen},
    {K::kClearDtr, "cleardtr", "cleardtr (", F::kParen},
    {K::kInert, "exec", "exec (", F::kParen},
    {K::kFlush, "flush", "flush (", F::kParen, 0, 1},
    {K::kWriteFile, "writefile", "writefile (", F::kParen, 2, 2},
    {K::kDeleteFile, "deletefile", "deletefile (", F::kParen, 1, 1},
    {K::kSend, "send", "send (", F::kParen, 1, 1},
    {K::kClosePort, "closeport", "closeport (", F::kParen, 0, 0},
    {K::kElseIf, "elseif", "elseif (", F::kParen, -1, -1, true},
    {K::kElse, "else", "else", F::kBare},
    {K::kEndIf, "endif", "endif", F::kBare, -1, -1, false, "if"},
    {K::kNext, "next", "next", F::kBare, -1, -1, false, "for"},
    {K::kWend, "wend", "wend", F::kBare, -1, -1, false, "while"},
    {K::kUntil, "until", "until (", F::kParen, -1, -1, true, "repeat"},
    {K::kProcEnd, "procend", "procend", F::kBare, -1, -1, false, "procedure"},
    {K::kEnd, "end", "end", F::kBare},
    {K::kAssignment, "", "", F::kPrefix},  // stands for no keyword; never matched
}};

}  // namespace

bool RunsAsPlainLine(LineKind kind) {
  switch (kind) {
    case LineKind::kBlank:
    case LineKind::kNext:
    case LineKind::kElseIf:
    case LineKind::kElse:
    case LineKind::kEndIf:
    case LineKind::kWend:
    case LineKind::kUntil:
    case LineKind::kProcEnd:
    case LineKind::kEnd:
      return true;
    default:
      return false;
  }
}

std::span<const Keyword> Keywords() {
  return std::span<const Keyword>(kTable.data(), kTable.size() - 1);
}

const Keyword& KeywordOf(LineKind kind) {
  for (const Keyword& keyword : kTable) {
    if (keyword.kind == kind) return keyword;
  }
  return kTable.back();
}

std::string_view Lead(LineKind kind) {
  return KeywordOf(kind).lead;
}

const Keyword* FindKeywordWord(std::string_view word) {
  for (const Keyword& keyword : Keywords()) {
    if (keyword.word == word) return &keyword;
  }
  return nullptr;
}

bool LineHas(std::string_view trimmed, const Keyword& keyword) {
  return keyword.form == KeywordForm::kBare ? trimmed == keyword.lead
                                            : trimmed.starts_with(keyword.lead);
}

bool LineHas(std::string_view trimmed, LineKind kind) {
  return LineHas(trimmed, KeywordOf(kind));
}

}  // namespace orvelle::script
