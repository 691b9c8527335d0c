// orvelle-serial-sim: opens a pseudo-terminal pair, prints the port side's path on stdout and
// answers on it like a simple instrument (see instrument.h). Options: --delay MS (reply delay,
// default 50), --stream-interval MS (default 10), --stream (start streaming at once),
// --hangup-after MS (drop the line once, then bring up a new one and print its path).
// SIGINT or SIGTERM end it.
#include <signal.h>
#include <sys/signalfd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/unique_fd.h"
#include "simulator.h"

namespace orvelle::tools {
namespace {

bool ParseMs(const char* text, std::chrono::milliseconds& out) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 0) return false;
  out = std::chrono::milliseconds(value);
  return true;
}

bool ParseOptions(int argc, char** argv, SimulatorOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--stream") {
      options.stream = true;
    } else if (arg == "--delay" && has_value) {
      if (!ParseMs(argv[++i], options.delay)) return false;
    } else if (arg == "--stream-interval" && has_value) {
      if (!ParseMs(argv[++i], options.stream_interval)) return false;
    } else if (arg == "--hangup-after" && has_value) {
      if (!ParseMs(argv[++i], options.hangup_after)) return false;
    } else {
      return false;
    }
  }
  return true;
}

void PrintPath(const std::string& path) {
  std::printf("%s\n", path.c_str());
  std::fflush(stdout);
}

int RunTool(const SimulatorOptions& options) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  if (::sigprocmask(SIG_BLOCK, &set, nullptr) != 0) return 1;
  const base::UniqueFd signals(::signalfd(-1, &set, SFD_CLOEXEC));
  Simulator simulator(options, PrintPath);
  if (!signals.Valid() || !simulator.BringUp()) return 1;
  return simulator.Run(signals.Get());
}

}  // namespace
}  // namespace orvelle::tools

int main(int argc, char** argv) {
  orvelle::tools::SimulatorOptions options;
  if (!orvelle::tools::ParseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: orvelle-serial-sim [--delay MS] [--stream] [--stream-interval MS] "
                 "[--hangup-after MS]\n");
    return 2;
  }
  return orvelle::tools::RunTool(options);
}
