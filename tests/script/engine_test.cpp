// The engine on small scripts, in both evaluation modes: run loop, expressions, conditions,
// blocks, procedures, the error protocol, abort, and inputs built to break an interpreter.
#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <filesystem>
#include <stop_token>
#include <thread>

#include "fake_host.h"
#include "run_lines.h"
#include "script/script_run.h"

namespace orvelle::script {
namespace {

using test_support::FakeHost;
using Lines = std::vector<std::string>;

struct RunResult {
  Lines output;
  std::string error;  // the message the run ended with, if any
};

constexpr std::string_view kErrorLine = "Script engine error: ";

// The output of a run on the server's path, with its error line (if any) taken apart.
RunResult Outcome(const Lines& output) {
  RunResult result{output, {}};
  if (!output.empty() && output.back().starts_with(kErrorLine)) {
    result.error = output.back().substr(kErrorLine.size());
    result.output.pop_back();
  }
  return result;
}

RunResult RunLines(const Lines& lines, ScriptRun::Mode mode, FakeHost& host) {
  test_support::LinesRun run(host, lines, mode);
  run.Finish(host.output);
  return Outcome(host.output);
}

class EngineModes : public ::testing::TestWithParam<ScriptRun::Mode> {
 protected:
  RunResult Run(const Lines& lines) {
    FakeHost host;
    return RunLines(lines, GetParam(), host);
  }
};

INSTANTIATE_TEST_SUITE_P(BothModes, EngineModes,
                         ::testing::Values(ScriptRun::Mode::kFast, ScriptRun::Mode::kPlain));

struct ScriptCase {
  const char* name;
  Lines lines;
  Lines output;
  const char* error = "";
};

const ScriptCase kCases[] = {
    {"left to right",
     {"echo (1+2*3)", "echo (2*-3)", "echo (-5)", "echo (+5)"},
     {"9", "-3", "-5", "5"}},
    {"literals normalised",
     {"echo (007)", "echo (1e3)", "echo (\"a\" & 1.50)", "echo (\"1.50\")"},
     {"7", "1000", "a1.5", "1.50"}},
    {"division by zero keeps first value",
     {"x = 4", "x = 1/0", "echo (x)", "echo (1/0)"},
     {"4", "1"}},
    {"percent ops", {"echo (7 % 2)", "echo (1 + 7 % 2)"}, {"", "8"}},
    {"empty operand is never a variable",
     {"s = \"a,b\"", "split (s, \",\")", "x = -5", "echo (x)"},
     {"-5"}},
    {"groups read as names", {"a = 5", "echo ((\"a\"))", "echo ((2+3)*2)"}, {"5", "10"}},
    {"literal parens fail", {"x = \"f(x)\"", "echo (x)", "y = \"(a\"", "echo (y)"}, {"", "(a"}},
    {"case-insensitive names", {"A = 5", "echo (a)", "ECHO (a)", "echo(a)"}, {"5"}},
    {"empty deletes", {"x = 1", "x = \"\"", "echo (x)"}, {""}},
    {"end stops the run", {"echo (1)", "end", "echo (2)"}, {"1"}},
    {"top-level exit", {"echo (1)", "exit", "echo (2)"}, {"1"}},
    {"conditions",
     {"a = 1", "b = \"1.0\"", "if (a==1)", "echo (\"t1\")", "endif", "if (b==1)", "echo (\"t2\")",
      "endif", "if (b+0==1)", "echo (\"t3\")", "endif", "if (a==1 && b==2)", "echo (\"t4\")",
      "endif"},
     {"t1", "t3", "t4"}},
    {"character sums",
     {"if (\"ab\">>\"b\")", "echo (1)", "endif", "if (\"10\">>\"9\")", "echo (2)", "endif"},
     {"1", "2"}},
    {"nested sub-condition",
     {"a = 2", "b = 2", "c = 3", "if (((a==1)||(b==2))&&(c==3))", "echo (\"yes\")", "endif"},
     {"yes"}},
    {"mixed connectors use the first",
     {"a = 1", "b = 0", "c = 3", "if ((a==1)&&(b==2)||(c==3))", "echo (1)", "else", "echo (0)",
      "endif"},
     {"0"}},
    {"elseif chain",
     {"x = 3", "if (x==1)", "echo (1)", "elseif (x==2)", "echo (2)", "elseif (x==3)", "echo (3)",
      "else", "echo (4)", "endif", "echo (\"after\")"},
     {"3", "after"}},
    {"else with nested if",
     {"x = 2", "if (x==1)", "echo (1)", "else", "if (x==2)", "echo (22)", "endif", "echo (\"e\")",
      "endif"},
     {"22", "e"}},
    {"for passes",
     {"for (i, 1, 10, 3)", "echo (i)", "next", "for (j, 3, 1, -1)", "echo (j)", "next"},
     {"1", "4", "7", "10", "3", "2", "1"}},
    {"for three args runs body once", {"for (i, 1, 3)", "echo (\"b\")", "next"}, {"b"}},
    {"for step zero", {"echo (1)", "for (i, 1, 3, 0)", "next"}, {"1"}, "Division by zero"},
    {"for bad bound", {"for (i, 1, x, 1)", "next"}, {}, "Invalid variant type conversion"},
    {"break ends loop",
     {"for (i, 1, 5, 1)", "echo (i)", "if (i==2)", "break", "endif", "next", "echo (\"done\")"},
     {"1", "2", "done"}},
    {"while", {"n = 0", "while (n<<3)", "n = n + 1", "echo (n)", "wend"}, {"1", "2", "3"}},
    {"while false skips nested",
     {"n = 5", "while (n<<0)", "while (1==1)", "wend", "echo (1)", "wend", "echo (2)"},
     {"2"}},
    {"while condition failing later ends",
     {"n = 2", "while (10/n>>1)", "n = 0", "echo (\"p\")", "wend", "echo (\"out\")"},
     {"p", "out"}},
    {"repeat", {"n = 0", "repeat", "n = n + 1", "until (n==3)", "echo (n)"}, {"3"}},
    {"procedures",
     {"show", "SHOW", "procedure show", "echo (\"x\")", "procend", "echo (\"end\")"},
     {"x", "x", "end"}},
    {"exit in procedure",
     {"p", "echo (\"after\")", "procedure p", "echo (1)", "exit", "echo (2)", "procend"},
     {"1", "after"}},
    {"recursion overflows",
     {"procedure r", "r", "procend", "echo (1)", "r", "echo (2)"},
     {"1"},
     "Stack overflow"},
    {"missing endif is a block error",
     {"if (1==1)", "echo (1)"},
     {"\r\nError: unterminated block (if)"}},
    {"appends grow the text where it stands, the same in both modes",
     {"s = \"a\"", "n = 5", "for (i, 1, 3, 1)", "s = s & i & \"-\"", "next", "t = t & \"x\"",
      "s = s & s", "n = n & 0", "echo (s & \"|\" & t & \"|\" & (n + 1))"},
     {"a1-2-3-a1-2-3-|x|51"}},
    {"echo resets error", {"x = asc (\"\")", "echo (error)", "echo (error)"}, {"1", "0"}},
    {"nosuch function", {"echo (nosuchfunction(1))", "echo (len(1, 2))"}, {"", ""}},
    {"text with quote from built-in: whole, kept; pasted, fails",
     {"q = \"old\"", "q = chr (34)", "echo (q)", "x = \"a\" & chr (34) & \"b\"", "echo (len (x))"},
     {"\"", "0"}},
};

TEST_P(EngineModes, ScriptCases) {
  for (const ScriptCase& c : kCases) {
    RunResult result = Run(c.lines);
    EXPECT_EQ(result.output, c.output) << c.name;
    EXPECT_EQ(result.error, c.error) << c.name;
  }
}

// One compiled program, shared by every run, must give each run its outcome however often it
// runs and whatever ran before: another run of it, or a run that ended on an error or overflow.
TEST(SharedProgramTest, EveryRunOfOneProgramGivesTheCaseItsOutcome) {
  for (const ScriptCase& c : kCases) {
    const std::shared_ptr<const Program> program = Program::Compile(c.lines);
    for (int repeat = 0; repeat < 3; ++repeat) {
      FakeHost host;
      ScriptRun engine(host, program);
      RunPageProgram(engine, host.output);
      const RunResult result = Outcome(host.output);
      EXPECT_EQ(result.output, c.output) << c.name << ", run " << repeat;
      EXPECT_EQ(result.error, c.error) << c.name << ", run " << repeat;
    }
  }
}

// Runs on several threads share one program at once: everything a run changes is its own, so each
// gives the output of a run alone (and the sanitizer builds see no race).
TEST(SharedProgramTest, RunsOnManyThreadsAtOnceGiveTheOutputOfOne) {
  const Lines lines = {"s = \"\"",
                       "for (i, 1, n, 1)",
                       "s = s & mid (\"abcdef\", i, 2) & (i*2) & \",\"",
                       "if ((len(s)>>3) && (i<<n))",
                       "t = t + len (s)",
                       "endif",
                       "next",
                       "echo (s & \"|\" & t & \"|\" & ucase(s))"};
  const std::shared_ptr<const Program> program = Program::Compile(lines);
  auto run = [&program] {
    FakeHost host;
    ScriptRun engine(host, program);
    engine.SetVar("n", "40");
    engine.Run();
    return host.output;
  };
  const Lines alone = run();
  ASSERT_EQ(alone.size(), 1u);
  constexpr int kThreads = 4;
  constexpr int kRunsEach = 50;
  std::vector<Lines> seen(kThreads);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kRunsEach && seen[t].empty(); ++i) {
          if (Lines out = run(); out != alone) seen[t] = out;
        }
      });
    }
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_TRUE(seen[t].empty()) << "thread " << t;
}

// A stop requested before the run runs no line; the bound on executed lines ends an endless
// loop where it is reached.
TEST_P(EngineModes, StopTokenAndLineBoundEndTheRun) {
  const Lines endless = {"echo (\"before\")", "while (1==1)", "n = n + 1", "wend", "echo (n)"};
  const std::shared_ptr<const Program> program = Program::Compile(endless, GetParam());
  std::stop_source stop;
  stop.request_stop();
  FakeHost stopped_host;
  ScriptRun stopped(stopped_host, program, RunLimits{stop.get_token()});
  stopped.Run();
  EXPECT_TRUE(stopped_host.output.empty());
  EXPECT_FALSE(stopped.LineLimitReached());
  FakeHost bounded_host;
  ScriptRun bounded(bounded_host, program, RunLimits{{}, 1000});
  bounded.Run();
  EXPECT_EQ(bounded_host.output, Lines{"before"});
  EXPECT_TRUE(bounded.LineLimitReached());
  // Each pass runs the loop body's one line; the while line itself counts once.
  EXPECT_EQ(bounded.GetVar("n"), "998");
}

// readfile, writefile and deletefile reach the files only through the host.
TEST_P(EngineModes, FileStatementsGoThroughTheHost) {
  char folder[] = "/tmp/orvelle-engine-files-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string path = std::string(folder) + "/f.txt";
  FakeHost host;
  const Lines lines = {"p = \"" + path + "\"", "writefile (p, \"abc\")", "echo (readfile(p))",
                       "deletefile (p)",       "echo (error)",           "x = readfile(p)",
                       "echo (error)"};
  EXPECT_EQ(RunLines(lines, GetParam(), host).output, (Lines{"abc", "0", "1"}));
  EXPECT_EQ(host.files.paths, Lines(4, path));
  std::filesystem::remove_all(folder);
}

TEST_P(EngineModes, ReportErrorWritesToPageOnlyWhenSwitchIsExactlyYes) {
  for (const char* setting : {"yes", "YES", "no"}) {
    FakeHost host;
    host.settings["Show errors on page"] = setting;
    RunResult result =
        RunLines({"x = asc (\"ab\")", "echo (error)", "echo (geterror())"}, GetParam(), host);
    Lines expected = {"1", "asc: unexpected argument."};
    if (std::string(setting) == "yes")
      expected.insert(expected.begin(), "<b>asc: unexpected argument.</b>");
    EXPECT_EQ(result.output, expected) << setting;
  }
}

// The four modem-line statements set or clear their line on an open port, never evaluate their
// arguments and never touch error; on a closed port they do nothing.
TEST_P(EngineModes, ModemLineStatementsActOnAnOpenPortOnly) {
  using Line = SerialAccess::ModemLine;
  FakeHost host;
  RunLines({"setrts (1)", "setdtr ()"}, GetParam(), host);
  EXPECT_TRUE(host.serial.lines.empty());
  host.serial.open = true;
  const Lines set = {"x = asc (\"ab\")", "setrts (asc (\"ab\"), 2)", "setdtr ()", "echo (error)"};
  EXPECT_EQ(RunLines(set, GetParam(), host).output, Lines{"1"});
  EXPECT_TRUE(host.serial.lines[Line::kRts]);
  EXPECT_TRUE(host.serial.lines[Line::kDtr]);
  // Without the blank before "(" the line is no statement and leaves RTS cleared.
  RunLines({"clearrts ()", "cleardtr (9)", "setrts(1)"}, GetParam(), host);
  EXPECT_FALSE(host.serial.lines[Line::kRts]);
  EXPECT_FALSE(host.serial.lines[Line::kDtr]);
}

TEST_P(EngineModes, SetVarWithBracketsChecksTheIndicesAndKeepsNothing) {
  FakeHost host;
  test_support::LinesRun run(host, {}, GetParam());
  ScriptRun& engine = run.run;
  engine.SetVar("i", "2");
  const std::size_t variables = engine.Variables().Entries().size();
  engine.SetVar("a[1, i]", "x");
  EXPECT_EQ(engine.GetVar("a[1, i]"), "");
  EXPECT_EQ(engine.Variables().Entries().size(), variables);
  EXPECT_THROW(engine.SetVar("a[z]", "x"), EScriptError);
  try {
    engine.SetVar("a[1.5]", "x");
  } catch (const EScriptError& error) {
    EXPECT_STREQ(error.what(), "'1.5' is not a valid integer value");
  }
  // A parameter's name is request text: a call in its index is never made.
  auto message_of = [&](std::string_view name) -> std::string {
    try {
      engine.SetVar(name, "x");
    } catch (const EScriptError& error) {
      return error.what();
    }
    return "no error";
  };
  EXPECT_EQ(message_of("a[random(5)]"), "'random(5)' is not a valid integer value");
  EXPECT_EQ(message_of("a[1, (2)]"), "'(2)' is not a valid integer value");
  EXPECT_TRUE(host.random_bounds.empty());
}

TEST_P(EngineModes, AbortFromAnotherThreadEndsAnEndlessLoop) {
  FakeHost host;
  test_support::LinesRun run(
      host, {"echo (\"before\")", "while (1==1)", "n = n + 1", "wend", "echo (\"after\")"},
      GetParam());
  std::thread aborter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    run.run.Abort();
  });
  run.Finish(host.output);
  aborter.join();
  EXPECT_EQ(host.output, Lines{"before"});
}

// The output of lines run on the server's path in fast mode.
Lines RunFast(const Lines& lines) {
  FakeHost host;
  test_support::LinesRun run(host, lines);
  run.Finish(host.output);
  return host.output;
}

// Inputs that would crash or stall a naive interpreter end quietly.
TEST(EnginePathologicalTest, DeepParenthesesLongLinesManyLinesEmptyLoops) {
  const std::string nested = std::string(100000, '(') + "1" + std::string(100000, ')');
  std::string long_sum = "x = 0";
  while (long_sum.size() < 10'000'000) long_sum += "+1";
  Lines lines = {"y = " + nested, long_sum, "for (i, 1, 200000, 1)", "next"};
  for (int i = 0; i < 100000; ++i) lines.push_back("z = z + 1");
  lines.push_back("echo (y & \",\" & x & \",\" & z & \",\" & i)");
  // An empty body never sets i.
  EXPECT_EQ(RunFast(lines), Lines{"1,4999998,100000,"});
}

TEST(EnginePathologicalTest, DeeplyNestedBlocksOverflowCleanly) {
  Lines lines;
  for (int i = 0; i < 20000; ++i) lines.push_back("if (1==1)");
  for (int i = 0; i < 20000; ++i) lines.push_back("endif");
  EXPECT_EQ(RunFast(lines), Lines{"Script engine error: Stack overflow"});
}

TEST(EnginePathologicalTest, LongElseifChainOverflowsCleanly) {
  Lines lines = {"if (1==2)"};
  for (int i = 0; i < 50000; ++i) lines.push_back("elseif (1==2)");
  lines.push_back("endif");
  EXPECT_EQ(RunFast(lines), Lines{"Script engine error: Stack overflow"});
}

// The nesting limit is a count of the run's frames, so a caller with a small stack gets the
// same depth as any other: each level of the recursion adds one, the run ends at the limit.
TEST(EnginePathologicalTest, DeepRecursionFromAThreadWithASmallStack) {
  constexpr std::size_t kSmallStack = 256 * 1024;
  struct Job {
    Lines output;
  } job;
  auto body = [](void* arg) -> void* {
    static_cast<Job*>(arg)->output =
        RunFast({"procedure r", "n = n + 1", "r", "procend", "r", "echo (n)"});
    return nullptr;
  };
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kSmallStack);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attr, body, &job), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  EXPECT_EQ(job.output, Lines{"Script engine error: Stack overflow"});
}

}  // namespace
}  // namespace orvelle::script
