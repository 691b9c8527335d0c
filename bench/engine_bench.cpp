// Google Benchmark of the script engine on the reference workloads' inner loops, in both
// evaluation modes (reports nanoseconds per loop pass; the program is compiled once, outside the
// timing), and of a page's compile and run apart.
#include <benchmark/benchmark.h>

#include <ctime>
#include <string>
#include <vector>

#include "base/file_io.h"
#include "script/file_ops.h"
#include "script/page/page_program.h"
#include "script/script_run.h"
#include "webfront/page_runner.h"

namespace {

using orvelle::script::Program;
using orvelle::script::ScriptRun;

class BenchHost final : public orvelle::script::ScriptHost {
 public:
  void AppendOutput(std::string line) override {
    if (output) {
      output->push_back(std::move(line));
    } else {
      last = std::move(line);
    }
  }
  std::vector<std::string>* output = nullptr;
  std::string GetSetting(std::string_view) override { return {}; }
  std::vector<std::string>& SplitParts() override { return parts; }
  std::uint32_t Random(std::uint32_t) override { return 0; }
  std::tm LocalTime() override { return {}; }
  std::int64_t CounterTicks() override { return 0; }
  std::int64_t CounterFrequency() override { return 1'000'000'000; }
  orvelle::script::SerialAccess& Serial() override { return serial; }
  orvelle::script::FileAccess& Files() override { return files; }
  void PumpMessages() override {}

  std::string last;
  std::vector<std::string> parts;
  orvelle::script::NoSerialPort serial;
  orvelle::script::LocalFiles files;
};

const std::vector<std::string> kLoop = {
    "s = 0", "for (i, 1, n, 1)", "s = s + i", "if (s>>1000000000)", "s = s - 1000000000", "endif",
    "next",  "echo (s)"};
const std::vector<std::string> kStr = {
    "s = \"\"",    "t = 0",           "for (i, 1, n, 1)", "s = s & \"xy\"", "u = mid (s, 2, 3)",
    "k = len (s)", "t = t + len (u)", "if (k>>40)",       "s = \"\"",       "endif",
    "next",        "echo (t)"};
const std::vector<std::string> kCall = {"procedure bump",   "c = c + 1", "procend", "c = 0",
                                        "for (i, 1, n, 1)", "bump",      "next",    "echo (c)"};

void RunWorkload(benchmark::State& state, const std::vector<std::string>& lines,
                 ScriptRun::Mode mode) {
  const std::int64_t passes = state.range(0);
  BenchHost host;
  const std::shared_ptr<const Program> program = Program::Compile(lines, mode);
  for (auto _ : state) {
    ScriptRun engine(host, program);
    engine.SetVar("n", std::to_string(passes));
    engine.Run();
    benchmark::DoNotOptimize(host.last);
  }
  state.SetItemsProcessed(state.iterations() * passes);
  state.counters["ns_per_pass"] =
      benchmark::Counter(static_cast<double>(state.iterations() * passes),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Compiling a workload: lines classified, block partners found, expressions and conditions
// compiled; nothing runs. BM_Loop, BM_Str and BM_Call time the runs of a program compiled once.
void CompileWorkload(benchmark::State& state, const std::vector<std::string>& lines) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(Program::Compile(lines, ScriptRun::Mode::kFast));
  }
}

void BM_LoopCompile(benchmark::State& s) {
  CompileWorkload(s, kLoop);
}
void BM_StrCompile(benchmark::State& s) {
  CompileWorkload(s, kStr);
}
void BM_CallCompile(benchmark::State& s) {
  CompileWorkload(s, kCall);
}

void BM_Loop(benchmark::State& s) {
  RunWorkload(s, kLoop, ScriptRun::Mode::kFast);
}
void BM_Str(benchmark::State& s) {
  RunWorkload(s, kStr, ScriptRun::Mode::kFast);
}
void BM_Call(benchmark::State& s) {
  RunWorkload(s, kCall, ScriptRun::Mode::kFast);
}
void BM_LoopPlain(benchmark::State& s) {
  RunWorkload(s, kLoop, ScriptRun::Mode::kPlain);
}
void BM_StrPlain(benchmark::State& s) {
  RunWorkload(s, kStr, ScriptRun::Mode::kPlain);
}
void BM_CallPlain(benchmark::State& s) {
  RunWorkload(s, kCall, ScriptRun::Mode::kPlain);
}

// One request's worth of work for the page workload: load, translate, check, run, join.
void BM_Page(benchmark::State& state) {
  BenchHost host;
  std::vector<std::string> output;
  host.output = &output;
  orvelle::webfront::PageRequest request{ORVELLE_WORKLOADS "/page.ovs", {}, "127.0.0.1", 1};
  for (auto _ : state) {
    std::string body = orvelle::webfront::RunPage(request, host, output);
    benchmark::DoNotOptimize(body);
  }
}

// The page's bytes compiled into a program, without reading or running it.
void BM_PageCompile(benchmark::State& state) {
  const std::string bytes = orvelle::base::ReadFileBytes(ORVELLE_WORKLOADS "/page.ovs");
  for (auto _ : state) {
    std::shared_ptr<const Program> program = orvelle::script::CompilePage(bytes);
    benchmark::DoNotOptimize(program);
  }
}

// One run of the compiled page: a fresh engine seeded as a request seeds it.
void BM_PageRun(benchmark::State& state) {
  BenchHost host;
  std::vector<std::string> output;
  host.output = &output;
  const std::shared_ptr<const Program> program =
      orvelle::script::CompilePage(orvelle::base::ReadFileBytes(ORVELLE_WORKLOADS "/page.ovs"));
  const orvelle::webfront::PageRequest request{"", {}, "127.0.0.1", 1};
  for (auto _ : state) {
    output.clear();
    ScriptRun engine(host, program);
    orvelle::webfront::SeedVariables(engine, request);
    engine.Run();
    benchmark::DoNotOptimize(output);
  }
}

// The same page served as the server serves it: read and compiled once, kept while unchanged.
void BM_PageCached(benchmark::State& state) {
  BenchHost host;
  std::vector<std::string> output;
  host.output = &output;
  orvelle::webfront::PageCache cache;
  orvelle::webfront::PageRequest request{ORVELLE_WORKLOADS "/page.ovs", {}, "127.0.0.1", 1};
  for (auto _ : state) {
    std::string body = orvelle::webfront::RunPage(request, host, output, {},
                                                  orvelle::script::EvalMode::kFast, &cache);
    benchmark::DoNotOptimize(body);
  }
}

}  // namespace

BENCHMARK(BM_Page)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PageCached)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PageCompile)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PageRun)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Loop)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Str)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Call)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LoopCompile)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StrCompile)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CallCompile)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LoopPlain)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StrPlain)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CallPlain)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
