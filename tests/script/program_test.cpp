// Tests of compiled programs: the block partners found in one pass agree with the scans that
// define them, line by line, on random block soups; and compiled names take fixed slots.
#include "script/program.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>

#include "script/errors.h"
#include "script/text_scan.h"
#include "script/variable_store.h"

namespace orvelle::script {
namespace {

using Lines = std::vector<std::string>;

// The scans as the language defines them, reading lines one by one from the given line on; a
// read past the last line is nullopt.
class Scans {
 public:
  explicit Scans(const Program& program) : program_(program) {}

  std::optional<IfSkip> FalseIf(int pc) const {
    int opened = 0, closed = 0;
    for (;;) {
      ++pc;
      if (pc >= program_.LineCount()) return std::nullopt;
      std::string_view line = program_.Text(pc);
      if (opened == closed && BeginsWith(line, "elseif ("))
        return IfSkip{IfSkip::Kind::kElseIf, pc};
      if (BeginsWith(line, "if (")) ++opened;
      if (line == "endif") ++closed;
      if (opened == closed && line == "else") return IfSkip{IfSkip::Kind::kElse, pc};
      if (line == "endif" && closed == opened + 1) return IfSkip{IfSkip::Kind::kEndIf, pc};
    }
  }

  int Passing(int k) const {
    for (int depth = 0;;) {
      if (++k >= program_.LineCount()) return kRunsOffEnd;
      std::string_view line = program_.Text(k);
      if (BeginsWith(line, "if (")) ++depth;
      if (line == "endif" && depth-- == 0) return k;
    }
  }

  int FalseWhile(int pc) const {
    for (int opened = 0, closed = 0;;) {
      if (++pc >= program_.LineCount()) return kRunsOffEnd;
      std::string_view line = program_.Text(pc);
      if (BeginsWith(line, "while (")) ++opened;
      if (line == "wend") ++closed;
      if (line == "wend" && closed == opened + 1) return pc;
    }
  }

  int Procend(int pc) const {
    for (int k = pc; k < program_.LineCount(); ++k) {
      if (program_.Text(k) == "procend") return k;
    }
    return -1;
  }

 private:
  const Program& program_;
};

TEST(ProgramTest, BlockPartnersAgreeWithTheScansOnRandomBlockSoups) {
  constexpr int kPrograms = 3000;
  constexpr int kMaxLines = 24;
  const Lines words = {"if (1==1)", "elseif (1==2)", "else",    "endif", "  endif ", "while (x<1)",
                       "wend",      "procedure p",   "procend", "x = 1", "next"};
  std::mt19937 random(777);
  for (int n = 0; n < kPrograms; ++n) {
    Lines lines;
    const int count = static_cast<int>(random() % kMaxLines);
    for (int i = 0; i < count; ++i) lines.push_back(words[random() % words.size()]);
    const auto program = Program::Compile(lines);
    const Scans scans(*program);
    for (int k = 0; k < program->LineCount(); ++k) {
      const LineInfo& info = program->Line(k);
      SCOPED_TRACE(::testing::PrintToString(lines) + " line " + std::to_string(k));
      // Each partner is read only on the lines that use it.
      const bool is_elseif = BeginsWith(info.text, "elseif (");
      if (is_elseif || BeginsWith(info.text, "if (")) {
        std::optional<IfSkip> skip = scans.FalseIf(k);
        EXPECT_EQ(info.if_skip.position, skip ? skip->position : kRunsOffEnd);
        if (skip) {
          EXPECT_EQ(info.if_skip.kind, skip->kind);
        }
      }
      if (is_elseif || info.text == "else") {
        EXPECT_EQ(info.pass_end, scans.Passing(k));
      }
      if (BeginsWith(info.text, "while (")) {
        EXPECT_EQ(info.wend, scans.FalseWhile(k));
      }
      EXPECT_EQ(info.procend, scans.Procend(k));
    }
  }
}

// Names the program uses take the slots of their index; a run's store lays them out so, and
// names met only at run time come after them.
TEST(ProgramTest, CompiledNamesTakeFixedSlots) {
  const auto program = Program::Compile({"Total = a + B", "for (i, 1, 2, 1)", "next"});
  const NameTable& names = program->Names();
  for (const char* name : {"error", "total", "A", "b", "I"}) {
    EXPECT_NE(names.Find(name), kNoSlot) << name;
  }
  VariableStore store(&names);
  EXPECT_EQ(store.Resolve("TOTAL"), &store.At(names.Find("total")));
  EXPECT_EQ(store.Resolve("fresh"), &store.At(names.Size()));
  EXPECT_EQ(store.Find("Fresh"), &store.At(names.Size()));
}

// Closing, blank and keyword lines take no names: the table holds only what pages read or write.
TEST(ProgramTest, OnlyVariablesTakeNames) {
  const auto program =
      Program::Compile({"if (a == 1)", "elseif (b == 2)", "else", "endif", "", "repeat",
                        "until (1 = 1)", "while (c == 1)", "wend", "=1", "delay (1)", "end"});
  std::vector<std::string> names;
  for (std::uint32_t i = 0; i < program->Names().Size(); ++i) {
    names.push_back(program->Names().Name(i));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"error", "a", "b", "c"}));
}

}  // namespace
}  // namespace orvelle::script
