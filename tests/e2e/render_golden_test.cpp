// End-to-end tests over the real orvelle binary: every page under tests/script/cases is rendered
// (with and without --plain) and compared byte for byte with its .expected file; the command line
// contract of `orvelle` and the "Show errors on page" switch read from --home are checked too.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr auto kRunLimit = std::chrono::seconds(60);

const fs::path kCasesRoot = fs::path(ORVELLE_SOURCE_DIR) / "tests" / "script" / "cases";

struct RunResult {
  std::string out;
  std::string err;
  int exit_code = -1;  // -1 when the process did not exit normally
  bool timed_out = false;
};

// Runs the binary with the given arguments in `cwd`, collecting stdout and stderr completely.
// A run that takes longer than kRunLimit is killed and reported as timed out.
RunResult RunOrvelle(const std::vector<std::string>& args, const fs::path& cwd) {
  RunResult result;
  int out_pipe[2];
  int err_pipe[2];
  if (pipe(out_pipe) != 0) return result;
  if (pipe(err_pipe) != 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    return result;
  }
  std::vector<std::string> argv_text{ORVELLE_BINARY};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = fork();
  if (pid == 0) {
    int null_in = open("/dev/null", O_RDONLY);
    if (null_in >= 0) dup2(null_in, STDIN_FILENO);
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    close(out_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[0]);
    close(err_pipe[1]);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (pid < 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    return result;
  }

  const auto deadline = std::chrono::steady_clock::now() + kRunLimit;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_count = 2;
  char buffer[65536];
  while (open_count > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timed_out = true;
      break;
    }
    int ready = poll(fds, 2, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  for (auto& f : fds) {
    if (f.fd >= 0) close(f.fd);
  }
  if (result.timed_out) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!result.timed_out && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

// A fresh empty folder that serves as home and working directory of one run.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "orvelle-e2e-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::string ReadBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const fs::path& file, const std::string& bytes) {
  std::ofstream out(file, std::ios::binary);
  out << bytes;
}

// Shows control characters so that a missing CR is visible: "\r" as \\r, a line feed as \\n
// followed by a real line break.
std::string Visible(const std::string& text) {
  std::string shown;
  for (unsigned char c : text) {
    if (c == '\r') {
      shown += "\\r";
    } else if (c == '\n') {
      shown += "\\n\n";
    } else if (c == '\t') {
      shown += "\\t";
    } else if (c < 32 || c >= 127) {
      static const char* kHex = "0123456789ABCDEF";
      shown += "\\x";
      shown += kHex[c >> 4];
      shown += kHex[c & 15];
    } else {
      shown += static_cast<char>(c);
    }
  }
  return shown;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string current;
  for (char c : text) {
    current += c;
    if (c == '\n') {
      lines.push_back(current);
      current.clear();
    }
  }
  if (!current.empty()) lines.push_back(current);
  return lines;
}

// A line-by-line comparison naming the first output line that differs.
std::string Diff(const std::string& expected, const std::string& actual) {
  auto want = SplitLines(expected);
  auto got = SplitLines(actual);
  std::ostringstream report;
  size_t common = std::min(want.size(), got.size());
  size_t first = common;
  for (size_t i = 0; i < common; ++i) {
    if (want[i] != got[i]) {
      first = i;
      break;
    }
  }
  report << "first difference at output line " << first + 1 << " (expected " << want.size()
         << " lines, got " << got.size() << ")\n";
  for (size_t i = 0; i < std::max(want.size(), got.size()); ++i) {
    std::string w = i < want.size() ? Visible(want[i]) : "<none>\n";
    std::string g = i < got.size() ? Visible(got[i]) : "<none>\n";
    if (w.empty() || w.back() != '\n') w += "\n";
    if (g.empty() || g.back() != '\n') g += "\n";
    if (w == g) {
      report << "    " << w;
    } else {
      report << "  - " << w << "  + " << g;
    }
  }
  return report.str();
}

// ----------------------------------------------------------------------------- golden cases

struct GoldenCase {
  std::string name;  // area and file name, for messages and test names
  fs::path page;
  fs::path expected;
  fs::path params;
};

std::vector<GoldenCase> DiscoverCases() {
  std::vector<GoldenCase> cases;
  std::error_code error;
  if (!fs::is_directory(kCasesRoot, error)) return cases;
  for (auto it = fs::recursive_directory_iterator(kCasesRoot, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (it->is_directory() && it->path().filename() == "known_failures") {
      it.disable_recursion_pending();
      continue;
    }
    if (!it->is_regular_file() || it->path().extension() != ".ovs") continue;
    fs::path page = it->path();
    fs::path base = page;
    base.replace_extension();
    GoldenCase c;
    c.name = fs::relative(base, kCasesRoot).generic_string();
    c.page = page;
    c.expected = fs::path(base.string() + ".expected");
    c.params = fs::path(base.string() + ".params");
    cases.push_back(c);
  }
  std::sort(cases.begin(), cases.end(),
            [](const GoldenCase& a, const GoldenCase& b) { return a.name < b.name; });
  return cases;
}

std::vector<std::string> ReadParams(const fs::path& file) {
  std::vector<std::string> params;
  std::ifstream in(file, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) params.push_back(line);
  }
  return params;
}

void PrintTo(const GoldenCase& c, std::ostream* os) {
  *os << c.name;
}

class RenderGolden : public ::testing::TestWithParam<std::tuple<GoldenCase, bool>> {};

TEST_P(RenderGolden, BodyMatchesExpectedBytes) {
  const auto& [golden, plain] = GetParam();
  ASSERT_TRUE(fs::is_regular_file(golden.expected)) << "missing " << golden.expected;
  const std::string expected = ReadBytes(golden.expected);

  TempDir home;
  ASSERT_FALSE(home.path().empty());
  std::vector<std::string> args{"render", golden.page.string()};
  if (fs::exists(golden.params)) {
    for (auto& p : ReadParams(golden.params)) args.push_back(p);
  }
  args.push_back("--home");
  args.push_back(home.path().string());
  if (plain) args.push_back("--plain");

  RunResult run = RunOrvelle(args, home.path());
  ASSERT_FALSE(run.timed_out) << golden.name << ": no answer within 60 s; output so far:\n"
                              << Visible(run.out);
  // A page whose blocks do not pair up answers with the block check's message and exits 1.
  const bool block_error = expected.starts_with("Error: unexpected ") ||
                           expected.find("Error: unterminated block (") != std::string::npos;
  EXPECT_EQ(run.exit_code, block_error ? 1 : 0) << golden.name << ", stderr: " << run.err;
  EXPECT_TRUE(run.out == expected)
      << golden.name << (plain ? " (--plain)" : "") << ": " << Diff(expected, run.out);
}

std::string CaseTestName(const ::testing::TestParamInfo<RenderGolden::ParamType>& info) {
  std::string name;
  for (char c : std::get<0>(info.param).name) {
    name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  }
  return name + (std::get<1>(info.param) ? "_plain" : "_fast");
}

INSTANTIATE_TEST_SUITE_P(Cases, RenderGolden,
                         ::testing::Combine(::testing::ValuesIn(DiscoverCases()),
                                            ::testing::Bool()),
                         CaseTestName);

// Every page has its expected body and every expected body its page, in every area folder.
TEST(RenderGoldenFiles, EveryPageHasItsExpectedBodyAndBack) {
  auto cases = DiscoverCases();
  ASSERT_FALSE(cases.empty()) << "no case pages under " << kCasesRoot;
  for (const auto& c : cases) EXPECT_TRUE(fs::is_regular_file(c.expected)) << c.name;

  std::error_code error;
  size_t expected_files = 0;
  for (auto it = fs::recursive_directory_iterator(kCasesRoot, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    const auto ext = it->path().extension();
    if (!it->is_regular_file() || (ext != ".expected" && ext != ".params")) continue;
    fs::path page = it->path();
    page.replace_extension(".ovs");
    EXPECT_TRUE(fs::is_regular_file(page)) << it->path() << " has no page";
    if (ext == ".expected") ++expected_files;
  }
  EXPECT_GE(expected_files, cases.size());
}

// ----------------------------------------------------------------------------- command line

TEST(CommandLine, HelpExitsZeroAndNamesRender) {
  TempDir dir;
  RunResult run = RunOrvelle({"--help"}, dir.path());
  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_NE(run.out.find("render"), std::string::npos) << run.out;
}

TEST(CommandLine, VersionExitsZero) {
  TempDir dir;
  RunResult run = RunOrvelle({"--version"}, dir.path());
  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_NE(run.out.find_first_of("0123456789"), std::string::npos) << run.out;
}

TEST(CommandLine, BadOptionExitsTwoWithOneLineOnStderr) {
  TempDir dir;
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--no-such-option"}, {"render", "page.ovs", "--no-such-option"}, {"render"}}) {
    RunResult run = RunOrvelle(args, dir.path());
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_code, 2) << args.back();
    ASSERT_FALSE(run.err.empty()) << args.back();
    EXPECT_EQ(run.err.back(), '\n') << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
  }
}

TEST(CommandLine, MissingPageIsReportedOnStderrOnly) {
  TempDir dir;
  RunResult run = RunOrvelle(
      {"render", (dir.path() / "missing.ovs").string(), "--home", dir.path().string()}, dir.path());
  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("script not found"), std::string::npos) << run.err;
}

TEST(CommandLine, RenderSeedsTheLoopbackPeer) {
  TempDir dir;
  WriteBytes(dir.path() / "peer.ovs", "<%= peerIP %>\n");
  RunResult run = RunOrvelle(
      {"render", (dir.path() / "peer.ovs").string(), "--home", dir.path().string()}, dir.path());
  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.out, "127.0.0.1\r\n\r\n");
}

// A failing line says why on stderr, with its line in the file, in both evaluators; the body is
// the one a run without --explain writes.
TEST(CommandLine, RenderExplainNamesTheLineAndTheReason) {
  TempDir dir;
  const fs::path page = dir.path() / "why.ovs";
  WriteBytes(page,
             "<p>a</p>\n<%\nx = foo (3)\ny = 10 / 0\nz = mid (\"abc\")\n"
             "w = 1)\necho (\"done\" & x & y & z)\n%>\n");
  const std::string why = page.string();
  RunResult quiet = RunOrvelle({"render", why, "--home", dir.path().string()}, dir.path());
  EXPECT_NE(quiet.out.find("done\r\n"), std::string::npos) << quiet.out;
  EXPECT_EQ(quiet.err, "");
  for (const char* mode : {"--explain", "--plain"}) {
    std::vector<std::string> args{"render", why, "--home", dir.path().string(), "--explain"};
    if (std::string(mode) == "--plain") args.push_back(mode);
    RunResult run = RunOrvelle(args, dir.path());
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_code, 0) << mode;
    EXPECT_EQ(run.out, quiet.out) << mode;
    EXPECT_EQ(run.err, why + ":3: unknown function foo with 1 argument\n" + why +
                           ":4: division by zero\n" + why + ":5: mid takes 3 arguments, not 1\n" +
                           why + ":6: the expression could not be worked out\n")
        << mode;
  }
}

// A page whose blocks do not pair up answers as the server does, names the line, and exits 1.
TEST(CommandLine, RenderOfABlockErrorExitsOneAndNamesTheLine) {
  TempDir dir;
  const fs::path page = dir.path() / "blocks.ovs";
  WriteBytes(page, "<%\nif (1==1)\nx = 1\nnext\n%>\n");
  RunResult run = RunOrvelle({"render", page.string(), "--home", dir.path().string()}, dir.path());
  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_TRUE(run.out.starts_with("Error: unexpected next on line 4\r\n")) << run.out;
  EXPECT_EQ(run.err, page.string() + ":4: unexpected next\n");
  RunResult explained =
      RunOrvelle({"render", page.string(), "--home", dir.path().string(), "--explain"}, dir.path());
  EXPECT_EQ(explained.exit_code, 1);
  EXPECT_EQ(explained.out, run.out);
  EXPECT_EQ(explained.err, run.err);  // told once
}

// ----------------------------------------------------------------------------- shown errors

struct ShowErrorsCase {
  const char* config;  // content of config.ini in the home folder
  bool shown;
};

void PrintTo(const ShowErrorsCase& c, std::ostream* os) {
  *os << Visible(c.config);
}

class ShowErrorsOnPage : public ::testing::TestWithParam<ShowErrorsCase> {};

// The page fails two built-ins and a port statement; with the switch on each failure adds its
// message in bold at the point where it happened, with it off only `error` changes.
TEST_P(ShowErrorsOnPage, FailuresAppearInBoldOnlyWhenSwitchedOn) {
  const auto& param = GetParam();
  TempDir home;
  WriteBytes(home.path() / "config.ini", param.config);
  const fs::path page = home.path() / "errors.ovs";
  WriteBytes(page,
             "<% x = asc (\"\") %><%= error %>\n"
             "<% openport (\"com1\", \"9600\", \"8\", \"none\", \"1\", \"none\")\n"
             "y = mid (\"abc\", \"x\", 1) %><%= geterror() %>\n");
  for (bool plain : {false, true}) {
    std::vector<std::string> args{"render", page.string(), "--home", home.path().string()};
    if (plain) args.push_back("--plain");
    RunResult run = RunOrvelle(args, home.path());
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_code, 0);
    std::string expected = param.shown ? "<b>asc: unexpected argument.</b>\r\n" : "";
    expected += "1\r\n\r\n";
    if (param.shown)
      expected += "<b>error opening port</b>\r\n<b>mid: unexpected argument.</b>\r\n";
    expected += "mid: unexpected argument.\r\n\r\n";
    EXPECT_TRUE(run.out == expected)
        << "config " << Visible(param.config) << (plain ? " --plain" : "") << ": "
        << Diff(expected, run.out);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Config, ShowErrorsOnPage,
    ::testing::Values(ShowErrorsCase{"Show errors on page=yes\n", true},
                      ShowErrorsCase{"AutoActivate=no\r\nServer port=80\r\nshow ERRORS on "
                                     "PAGE=yes\r\nLog to file=no\r\n",
                                     true},
                      ShowErrorsCase{"Show errors on page=yes\nShow errors on page=no\n", true},
                      ShowErrorsCase{"Show errors on page=no\n", false},
                      ShowErrorsCase{"Show errors on page=YES\n", false},
                      ShowErrorsCase{"Show errors on page =yes\n", false},
                      ShowErrorsCase{"Show errors on page=yes=1\n", false},
                      ShowErrorsCase{"", false}));

}  // namespace
