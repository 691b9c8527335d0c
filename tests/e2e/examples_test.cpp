// The API's examples run as a user would run them, against the demo device: each asks *IDN?,
// reads the stream for two seconds and writes readings to a CSV file.
#include <gtest/gtest.h>

#include <regex>

#include "server_process.h"

namespace orvelle::e2e {
namespace {

struct ExampleRun {
  std::optional<int> code;
  std::string out;
  std::string csv;
};

ExampleRun RunExample(const TempHome& home, const std::string& name,
                      const std::vector<std::string>& args) {
  const fs::path csv = home.Path() / (name + ".csv");
  const fs::path out = home.Path() / (name + "-out.txt");
  std::vector<std::string> command = args;
  command.push_back(csv.string());
  const pid_t pid = Spawn(command, out, home.Path() / (name + "-err.txt"));
  ExampleRun run;
  run.code = WaitExit(pid, kProcessLimit);
  run.out = ReadText(out) + ReadText(home.Path() / (name + "-err.txt"));
  run.csv = ReadText(csv);
  return run;
}

TEST(ApiExamplesTest, PythonAndShellAskStreamAndLog) {
  TempHome home;
  ServerProcess server(home, 0, {"--demo"});
  ASSERT_GT(server.Port(), 0) << server.Stdout();
  const std::string url = "http://127.0.0.1:" + std::to_string(server.Port());
  const std::string examples = std::string(ORVELLE_SOURCE_DIR) + "/examples";
  const ExampleRun runs[] = {
      RunExample(home, "python",
                 {"/usr/bin/python3", examples + "/python/instrument.py", "--url", url, "--seconds",
                  "2", "--csv"}),
      RunExample(home, "shell",
                 {"/usr/bin/env", "ORVELLE_URL=" + url, "/bin/sh",
                  examples + "/shell/instrument.sh", "2"}),
  };
  const std::regex row(R"(\n[0-9T:.+Z-]+,[0-9]+)");
  for (const ExampleRun& run : runs) {
    EXPECT_EQ(run.code, 0) << run.out;
    EXPECT_NE(run.out.find("Instrument: ORVELLE,SIMULATOR,0,1.0\n"), std::string::npos) << run.out;
    EXPECT_TRUE(run.csv.starts_with("time,reading")) << run.csv;  // Python ends rows with CR LF
    EXPECT_TRUE(std::regex_search(run.csv, row)) << run.csv;
  }
}

}  // namespace
}  // namespace orvelle::e2e
