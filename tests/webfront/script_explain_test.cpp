// The log of script failures: one line per page and line a minute, in the log's own words.
#include "webfront/script_explain.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvelle::webfront {
namespace {

TEST(ExplainLogTest, OneLinePerPageAndLineAMinute) {
  std::vector<std::string> logged;
  ExplainLog log([&logged](std::string_view line) { logged.emplace_back(line); });
  const auto start = ExplainLog::Clock::time_point{} + std::chrono::hours(1);
  struct Told {
    const char* page;
    std::size_t line;
    int seconds;  // after start
  };
  const Told told[] = {{"/a.ovs", 3, 0},  {"/a.ovs", 3, 30}, {"/a.ovs", 4, 30},
                       {"/b.ovs", 3, 30}, {"/a.ovs", 3, 59}, {"/a.ovs", 3, 60}};
  for (const Told& t : told) {
    log.Tell(t.page, t.line, "division by zero", start + std::chrono::seconds(t.seconds));
  }
  EXPECT_EQ(logged, (std::vector<std::string>{
                        "Script /a.ovs:3: division by zero", "Script /a.ovs:4: division by zero",
                        "Script /b.ovs:3: division by zero", "Script /a.ovs:3: division by zero"}));
}

}  // namespace
}  // namespace orvelle::webfront
