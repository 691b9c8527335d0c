// Tests of page compiling and of keeping compiled pages while their files are unchanged.
#include "webfront/page_cache.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <stdexcept>

#include "http/temp_dir.h"
#include "script/fake_host.h"
#include "webfront/page_runner.h"

namespace orvelle::webfront {
namespace {

using http::testing::TempDir;
using ::testing::HasSubstr;
using Lines = std::vector<std::string>;

TEST(LoadPageProgramTest, TranslatesHtmlAndScriptAndChecksBlocks) {
  TempDir dir;
  const auto page = LoadPageProgram(dir.Write("a.ovs", "<b>\r\n<%\nx = 1\n%>\n"));
  EXPECT_TRUE(page->BlockError().empty()) << page->BlockError();
  EXPECT_THAT(page->ScriptLines(), ::testing::Contains("x = 1"));
  const auto unmatched = LoadPageProgram(dir.Write("b.ovs", "<%\nif (1==1)\n%>\n"));
  EXPECT_FALSE(unmatched->BlockError().empty());
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
  EXPECT_THAT(replaced->ScriptLines(), ::testing::Contains("echo (\"two\")"));
  dir.Write("p.ovs", "<%\necho (\"three!\")\n%>\n");
  EXPECT_THAT(cache.Get(path)->ScriptLines(), ::testing::Contains("echo (\"three!\")"));
}

// A caller's own look at the file stands in for the cache's: the page it describes is the one
// kept, a look that differs from the kept identity reads the page again.
TEST(PageCacheTest, StatusFromTheCallerDecidesLikeTheCachesOwnLook) {
  TempDir dir;
  PageCache cache(std::chrono::seconds(0));
  const std::string path = dir.Write("p.ovs", "<%\necho (\"one\")\n%>\n");
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  const auto first = cache.Get(path, &info);
  EXPECT_EQ(cache.Get(path, &info), first);
  dir.Write("p.ovs", "<%\necho (\"two\")\n%>\n");
  struct stat stale = info;
  stale.st_size += 1;
  EXPECT_THAT(cache.Get(path, &stale)->ScriptLines(), ::testing::Contains("echo (\"two\")"));
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
  EXPECT_THAT(cache.Get(path)->ScriptLines(), ::testing::Contains("echo (\"b\")"));
}

TEST(PageCacheTest, KeptPagesStayWithinTheBound) {
  TempDir dir;
  PageCache cache(std::chrono::seconds(0));
  for (std::size_t i = 0; i < PageCache::kMaxPages + 10; ++i) {
    cache.Get(dir.Write("p" + std::to_string(i) + ".ovs", "x"));
    ASSERT_LE(cache.Count(), PageCache::kMaxPages);
  }
  // A page over the size bound is served but not kept.
  const std::size_t before = cache.Count();
  EXPECT_GT(before, 0u);
  const auto big = cache.Get(dir.Write("big.ovs", std::string(PageCache::kMaxPageBytes + 1, 'x')));
  EXPECT_FALSE(big->ScriptLines().empty());
  EXPECT_EQ(cache.Count(), before);
}

// A kept page's program is shared by every run: nothing of one run may reach the next
// (variables, the error flag, loop bounds learned from a variable), so every run must give what a
// run of a freshly compiled page gives.
TEST(PageCacheTest, KeptProgramRunsLikeAFreshOne) {
  TempDir dir;
  const std::string path = dir.Write("p.ovs",
                                     "<%\n"
                                     "echo (\"seen \" & x & \" error=\" & error)\n"
                                     "x = \"left over\"\n"
                                     "for (i, 1, n, 1)\n"
                                     "echo (i)\n"
                                     "next\n"
                                     "r = readfile (\"/no/such/file\")\n"
                                     "%>\n");
  const std::vector<std::vector<std::string>> runs = {
      {"n=2"}, {"n=3"}, {"n=3", "x=given"}, {"n=1"}, {"n=3"}};
  script::test_support::FakeHost host;
  PageCache cache(std::chrono::seconds(0));
  const auto kept_program = cache.Get(path);
  for (std::size_t i = 0; i < runs.size(); ++i) {
    SCOPED_TRACE(i);
    const PageRequest request{path, runs[i], "127.0.0.1", 1};
    // The host appends to its own list, which RunPage empties first and joins into the body.
    const std::string fresh = RunPage(request, host, host.output);
    const std::string kept =
        RunPage(request, host, host.output, {}, script::EvalMode::kFast, &cache);
    EXPECT_THAT(fresh, HasSubstr("seen "));
    EXPECT_EQ(kept, fresh);
  }
  EXPECT_EQ(cache.Get(path), kept_program) << "the kept page was compiled again";
}

}  // namespace
}  // namespace orvelle::webfront
