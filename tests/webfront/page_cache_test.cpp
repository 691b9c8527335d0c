// Tests of page preparation and of keeping prepared pages while their files are unchanged.
#include "webfront/page_cache.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include "http/temp_dir.h"

namespace orvelle::webfront {
namespace {

using ::testing::HasSubstr;
using http::testing::TempDir;
using Lines = std::vector<std::string>;

TEST(PreparePageTest, TranslatesHtmlAndScriptAndChecksBlocks) {
  const PreparedPage page = PreparePage("<b>\r\n<%\nx = 1\n%>\n");
  EXPECT_TRUE(page.block_error.empty()) << page.block_error;
  EXPECT_THAT(page.lines, ::testing::Contains("x = 1"));
  const PreparedPage unmatched = PreparePage("<%\nif (1==1)\n%>\n");
  EXPECT_FALSE(unmatched.block_error.empty());
}

// With no settling time every read page is kept, so identity matching is what decides.
TEST(PageCacheTest, UnchangedFileIsKeptAndAChangedOneReadAgain) {
  TempDir dir;
  PageCache cache(std::chrono::seconds(0));
  const std::string path = dir.Write("p.ovs", "<%\necho (\"one\")\n%>\n");
  const auto first = cache.Get(path);
  EXPECT_EQ(cache.Get(path), first) << "an unchanged page was prepared again";
  EXPECT_EQ(cache.Count(), 1u);

  // Replaced by another file of the same size (a new inode), and then grown in place.
  const std::string other = dir.Write("q.ovs", "<%\necho (\"two\")\n%>\n");
  std::filesystem::rename(other, path);
  const auto replaced = cache.Get(path);
  EXPECT_THAT(replaced->lines, ::testing::Contains("echo (\"two\")"));
  dir.Write("p.ovs", "<%\necho (\"three!\")\n%>\n");
  EXPECT_THAT(cache.Get(path)->lines, ::testing::Contains("echo (\"three!\")"));
}

TEST(PageCacheTest, RemovedFileFailsInsteadOfServingTheKeptPage) {
  TempDir dir;
  PageCache cache(std::chrono::seconds(0));
  const std::string path = dir.Write("p.ovs", "x");
  cache.Get(path);
  std::filesystem::remove(path);
  try {
    cache.Get(path);
    FAIL() << "a removed page was served";
  } catch (const std::runtime_error& error) {
    EXPECT_THAT(error.what(), HasSubstr(path));
  }
}

// A file changed moments ago may change again within the same clock tick without its times
// moving, so it is not kept until it has settled.
TEST(PageCacheTest, RecentlyWrittenFileIsNotKept) {
  TempDir dir;
  PageCache cache;
  const std::string path = dir.Write("p.ovs", "<%\necho (\"a\")\n%>\n");
  cache.Get(path);
  EXPECT_EQ(cache.Count(), 0u);
  dir.Write("p.ovs", "<%\necho (\"b\")\n%>\n");
  EXPECT_THAT(cache.Get(path)->lines, ::testing::Contains("echo (\"b\")"));
}

}  // namespace
}  // namespace orvelle::webfront
