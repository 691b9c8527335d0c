// `orvelle check` end to end: the shipped pages, given as their folder, check clean and say so;
// a quirky page gets "file:line:" lines and exit code 1, and an unreadable page exit code 2.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "server_process.h"

namespace orvelle::e2e {
namespace {

struct Checked {
  std::optional<int> exit_code;
  std::string out, err;
};

Checked Check(const TempHome& home, const std::vector<std::string>& pages) {
  std::vector<std::string> args{ORVELLE_BINARY, "check"};
  args.insert(args.end(), pages.begin(), pages.end());
  const fs::path out = home.Path() / "check-out.txt";
  const fs::path err = home.Path() / "check-err.txt";
  const pid_t pid = Spawn(args, out, err);
  Checked result{WaitExit(pid, kProcessLimit), {}, {}};
  if (!result.exit_code) {
    ::kill(pid, SIGKILL);
    WaitExit(pid, kProcessLimit);
  }
  result.out = ReadText(out);
  result.err = ReadText(err);
  return result;
}

TEST(CheckCommand, ShippedPagesCheckClean) {
  TempHome home;
  std::vector<std::string> pages;
  for (const auto& entry : fs::recursive_directory_iterator(fs::path(ORVELLE_SOURCE_DIR) / "web")) {
    if (entry.path().extension() == ".ovs") pages.push_back(entry.path().string());
  }
  ASSERT_GE(pages.size(), 10u);
  const Checked checked = Check(home, {(fs::path(ORVELLE_SOURCE_DIR) / "web").string()});
  EXPECT_EQ(checked.out, std::to_string(pages.size()) + " pages, no findings\n");
  EXPECT_EQ(checked.exit_code, 0);
}

TEST(CheckCommand, FindingsNameFileAndLineAndBadPagesExitTwo) {
  TempHome home;
  home.Page("quirky.ovs", "<p>\n</p>\n<%\necho(\"x\")\n%>\n<%\nif (len(s)==5)\nendif\n%>\n");
  home.Page("clean.ovs", "<p><%=1 + 1%></p>\n");
  const std::string quirky = (home.Web() / "quirky.ovs").string();
  const std::string clean = (home.Web() / "clean.ovs").string();
  const Checked checked = Check(home, {clean, quirky});
  EXPECT_EQ(checked.exit_code, 1);
  const std::string out = checked.out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
  EXPECT_EQ(out.rfind(quirky + ":4: `echo(` is no statement", 0), 0u) << out;
  EXPECT_NE(out.find("\n" + quirky + ":7: `len(` inside a condition"), std::string::npos) << out;

  const Checked missing = Check(home, {clean, (home.Web() / "none.ovs").string()});
  EXPECT_EQ(missing.exit_code, 2);
  EXPECT_EQ(std::count(missing.err.begin(), missing.err.end(), '\n'), 1) << missing.err;
  EXPECT_EQ(Check(home, {}).exit_code, 2);
}

}  // namespace
}  // namespace orvelle::e2e
