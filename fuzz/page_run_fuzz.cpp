// libFuzzer target: a page compiled and run against a fake host, once with the fast evaluator and
// once from the text alone; both must write the same output. Runs are bounded in executed lines
// and in held bytes; the names of the file statements and readfile are changed before the run,
// so no run touches a file.
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "script/check/page_source.h"
#include "script/host.h"
#include "script/page/page_program.h"
#include "script/script_run.h"
#include "script/text_scan.h"

namespace {

using namespace orvelle::script;

constexpr std::uint64_t kMaxExecutedLines = 10000;  // one run's share of the fuzzer's time
constexpr std::size_t kMaxHeldBytes = 1 << 16;      // variables and output: memory stays small
// Names that reach the file system; a letter is changed so that the line calls nothing.
constexpr std::string_view kFileWords[] = {"writefile", "deletefile", "readfile"};
// Loops whose closing line follows the opener directly never pass the per-line count.
constexpr std::pair<std::string_view, std::string_view> kEmptyLoops[] = {
    {"for (", "next"}, {"while (", "wend"}, {"repeat", "until ("}};

// The file statements are renamed away; anything that still asks for a file is refused.
class NoFiles final : public FileAccess {
 public:
  std::string ReadFile(const std::string&, std::string&) override { return kRefused; }
  std::string AppendFile(const std::string&, std::string_view) override { return kRefused; }
  std::string DeleteFile(const std::string&) override { return kRefused; }

 private:
  static constexpr const char* kRefused = "no files here";
};

class BoundedHost final : public ScriptHost {
 public:
  void Attach(ScriptRun& engine) { engine_ = &engine; }
  const std::string& Output() const { return output_; }

  void AppendOutput(std::string line) override {
    output_ += line;
    output_ += "\r\n";
  }
  std::string GetSetting(std::string_view key) override {
    return key == "Show errors on page" ? "yes" : "";
  }
  std::vector<std::string>& SplitParts() override { return split_; }
  std::uint32_t Random(std::uint32_t n) override { return (++draws_ * 2654435761u) % n; }
  std::tm LocalTime() override {
    std::tm t{};
    t.tm_year = 126;
    t.tm_mday = 6;
    return t;
  }
  std::int64_t CounterTicks() override { return ticks_ += 1000; }
  std::int64_t CounterFrequency() override { return 1000000; }
  SerialAccess& Serial() override { return serial_; }
  FileAccess& Files() override { return files_; }
  // Executed lines are bounded by the run's limits; held bytes are watched here.
  void PumpMessages() override {
    if (Held() > kMaxHeldBytes) engine_->Abort();
  }

 private:
  std::size_t Held() const {
    std::size_t bytes = output_.size();
    for (const std::string& entry : engine_->Variables().Entries()) bytes += entry.size();
    return bytes;
  }

  ScriptRun* engine_ = nullptr;
  std::string output_;
  std::vector<std::string> split_;
  NoSerialPort serial_;
  NoFiles files_;
  std::uint32_t draws_ = 0;
  std::int64_t ticks_ = 0;
};

std::string WithoutFileWords(std::string_view bytes) {
  std::string text(bytes);
  for (std::string_view word : kFileWords) {
    for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at)) {
      text[at] = '_';
    }
  }
  return text;
}

bool HasEmptyLoop(const std::vector<std::string>& lines) {
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
    const std::string_view here = Trim(lines[i]), next = Trim(lines[i + 1]);
    for (const auto& [opener, closer] : kEmptyLoops) {
      if (here.starts_with(opener) && next.starts_with(closer)) return true;
    }
  }
  return false;
}

std::string Run(const std::vector<std::string>& lines, ScriptRun::Mode mode) {
  BoundedHost host;
  ScriptRun engine(host, Program::Compile(lines, mode), RunLimits{{}, kMaxExecutedLines});
  host.Attach(engine);
  SeedPageNames(engine);
  std::vector<std::string> ending;  // the server's path: a run's error adds its line
  RunPageProgram(engine, ending);
  for (std::string& line : ending) host.AppendOutput(std::move(line));
  return host.Output();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string page = WithoutFileWords({reinterpret_cast<const char*>(data), size});
  orvelle::script::check::PageSource source = orvelle::script::check::LoadPageSource(page);
  std::vector<std::string> lines;
  for (auto& line : source.lines) lines.push_back(std::move(line.text));
  if (!source.block_error.empty() || HasEmptyLoop(lines)) return 0;
  if (Run(lines, ScriptRun::Mode::kFast) != Run(lines, ScriptRun::Mode::kPlain)) std::abort();
  return 0;
}
