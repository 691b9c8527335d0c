// The rule for taking the next connection straight from the listener: tries while they find
// connections, backs off after misses in a row, keeps probing, and a hit brings it back.
#include "http/direct_accept_rule.h"

#include <gtest/gtest.h>

#include <string>

namespace orvelle::http {
namespace {

// Drives the rule through `outcomes` ('h' a try found a connection, 'm' it found none) and
// returns, for each chance, whether the rule let the worker try ('T') or not ('.'). A chance
// that is not tried has no outcome; the next outcome belongs to the next try.
std::string Drive(const std::string& outcomes, std::size_t chances) {
  TDirectAcceptRule rule;
  std::string tried;
  std::size_t next = 0;
  for (std::size_t i = 0; i < chances; ++i) {
    if (!rule.ShouldTry()) {
      tried += '.';
      continue;
    }
    tried += 'T';
    rule.Note(next < outcomes.size() && outcomes[next++] == 'h');
  }
  return tried;
}

struct RuleCase {
  const char* outcomes;
  std::size_t chances;
  const char* tried;
};

class DirectAcceptRuleTest : public ::testing::TestWithParam<RuleCase> {};

TEST_P(DirectAcceptRuleTest, TriesAsExpected) {
  EXPECT_EQ(Drive(GetParam().outcomes, GetParam().chances), GetParam().tried);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, DirectAcceptRuleTest,
    ::testing::Values(
        // Under load every try finds a connection: always tried.
        RuleCase{"hhhhhhhhhhhh", 12, "TTTTTTTTTTTT"},
        // A single miss between hits changes nothing.
        RuleCase{"hmhmhmhm", 8, "TTTTTTTT"},
        // Two misses in a row: from then on one try in eight, the first chance included.
        RuleCase{"mmmmmm", 20, "TTT.......T.......T."},
        // A hit on a probe brings back a try on every chance.
        RuleCase{"mmmhhhh", 13, "TTT.......TTT"},
        // Misses then hits at once: back-off starts only after the second miss.
        RuleCase{"mhmh", 4, "TTTT"}));

}  // namespace
}  // namespace orvelle::http
