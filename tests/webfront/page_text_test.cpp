// Tests of line splitting, joining and page file loading.
#include "webfront/page_text.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace orvelle::webfront {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "orvelle-page-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

struct SplitCase {
  std::string name;
  std::string text;
  Lines lines;
};

TEST(SplitLinesTest, LineBreakRules) {
  const std::vector<SplitCase> cases = {
      {"empty", "", {}},
      {"no break", "abc", {"abc"}},
      {"crlf", "a\r\nb\r\n", {"a", "b"}},
      {"lone lf", "a\nb", {"a", "b"}},
      {"lone cr", "a\rb\r", {"a", "b"}},
      {"mixed", "a\r\nb\nc\rd", {"a", "b", "c", "d"}},
      {"cr before crlf", "a\r\r\nb", {"a", "", "b"}},
      {"lf then cr is two breaks", "a\n\rb", {"a", "", "b"}},
      {"only breaks", "\r\n\n\r", {"", "", ""}},
      {"nul ends text", std::string("a\nb\0c\nd", 7), {"a", "b"}},
      {"nul at start", std::string("\0abc", 4), {}},
      {"high bytes kept", "\xe9\xff\x80\n\x01", {"\xe9\xff\x80", "\x01"}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitLines(c.text), c.lines) << c.name;
}

TEST(JoinLinesTest, EveryLineEndsWithCrLf) {
  EXPECT_EQ(JoinLines({}), "");
  EXPECT_EQ(JoinLines({""}), "\r\n");
  EXPECT_EQ(JoinLines({"a", "", "b"}), "a\r\n\r\nb\r\n");
  Lines lines = {"x", "", "y z", ""};
  EXPECT_EQ(SplitLines(JoinLines(lines)), lines);
}

TEST(LoadPageLinesTest, ReadsBytesWithAnyLineBreak) {
  TempDir dir;
  fs::path page = dir.path() / "page.ovs";
  std::ofstream(page, std::ios::binary) << "one\r\ntwo\nthr\xe9\xff\rlast";
  EXPECT_EQ(LoadPageLines(page.string()), (Lines{"one", "two", "thr\xe9\xff", "last"}));
}

TEST(LoadPageLinesTest, UnreadableFilesThrowNamingThePath) {
  TempDir dir;
  const std::vector<fs::path> bad = {dir.path() / "missing.ovs", dir.path()};
  for (const auto& path : bad) {
    try {
      LoadPageLines(path.string());
      ADD_FAILURE() << "no exception for " << path;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(path.string()), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace orvelle::webfront
