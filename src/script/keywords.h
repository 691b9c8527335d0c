// The language's keywords, each spelled here and nowhere else: the compiler, the block check,
// the partner finder and the page checker all read this table.
#pragma once

#include <span>
#include <string_view>

namespace orvelle::script {

// What a script line is. Closing lines have kinds of their own; run out of place (a stray
// closer, or one a skipped scan passes over), they do what any line of their text would do.
enum class LineKind : unsigned char {
  kBlank,
  kComment,
  kFor,
  kNext,
  kIf,
  kElseIf,
  kElse,
  kEndIf,
  kWhile,
  kWend,
  kRepeat,
  kUntil,
  kBreak,
  kExit,
  kEnd,
  kCall,
  kDefinition,
  kProcEnd,
  kEcho,
  kOpenPort,
  kInert,
  kSetRts,  // the modem-line statements: arguments are not evaluated
  kClearRts,
  kSetDtr,
  kClearDtr,
  kFlush,
  kWriteFile,
  kDeleteFile,
  kSend,
  kClosePort,
  kAssignment
};

enum class KeywordForm {
  kBare,    // the trimmed line is the keyword alone
  kParen,   // the line begins with the keyword, one blank and "("
  kPrefix,  // the line begins with the lead ("#", "procedure ")
};

struct Keyword {
  LineKind kind;
  std::string_view word;  // the keyword itself, in messages
  std::string_view lead;  // what the trimmed line equals (bare) or begins with
  KeywordForm form;
  int min_args = -1;  // statements: accepted argument counts; -1: not counted
  int max_args = -1;
  bool condition = false;       // the rest of the line is a condition
  std::string_view block = {};  // the block this line opens or closes
  bool opens = false;
};

// Closing and blank lines: run as a line of a body, each does what its text does as an assignment
// (or calls the procedure of its name).
bool RunsAsPlainLine(LineKind kind);

// Every keyword, in the order the compiler tries them.
std::span<const Keyword> Keywords();
// The keyword of a kind; kinds without one (blank, call, assignment) are not asked for.
const Keyword& KeywordOf(LineKind kind);
std::string_view Lead(LineKind kind);
// The keyword whose word is `word` (lower case), or nullptr.
const Keyword* FindKeywordWord(std::string_view word);
// Whether the trimmed line is written in the keyword's form.
bool LineHas(std::string_view trimmed, const Keyword& keyword);
bool LineHas(std::string_view trimmed, LineKind kind);

}  // namespace orvelle::script
