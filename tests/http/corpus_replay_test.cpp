// Replays the fuzz target's seed corpus through the same checks the fuzzer makes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "../../fuzz/request_parser_check.h"

namespace orvelle::http {
namespace {

TEST(CorpusReplayTest, EverySeedParsesAlikeWholeAndInPieces) {
  const std::filesystem::path corpus =
      std::filesystem::path(ORVELLE_SOURCE_DIR) / "fuzz" / "corpus" / "request_parser";
  int replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    std::ifstream file(entry.path(), std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    const std::string input = bytes.str();
    // Every chunk size, not only the one the seed's first byte picks.
    for (int first = 0; first < 16; ++first) {
      std::string variant = input;
      if (!variant.empty()) variant[0] = static_cast<char>(first);
      EXPECT_TRUE(fuzzing::CheckRequestParser(variant))
          << entry.path().filename() << " with chunk size " << first + 1;
    }
    ++replayed;
  }
  EXPECT_GE(replayed, 10) << "the seed corpus is missing";
}

}  // namespace
}  // namespace orvelle::http
