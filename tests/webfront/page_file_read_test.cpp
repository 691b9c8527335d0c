// Tests of whole-file reads: any line break survives, and unreadable files are named.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "base/file_io.h"
#include "script/page/page_text.h"

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

TEST(ReadFileBytesTest, ReadsBytesWithAnyLineBreak) {
  TempDir dir;
  fs::path page = dir.path() / "page.ovs";
  std::ofstream(page, std::ios::binary) << "one\r\ntwo\nthr\xe9\xff\rlast";
  EXPECT_EQ(script::SplitLines(base::ReadFileBytes(page)),
            (Lines{"one", "two", "thr\xe9\xff", "last"}));
}

TEST(ReadFileBytesTest, UnreadableFilesThrowNamingThePath) {
  TempDir dir;
  const std::vector<fs::path> bad = {dir.path() / "missing.ovs", dir.path()};
  for (const auto& path : bad) {
    try {
      base::ReadFileBytes(path);
      ADD_FAILURE() << "no exception for " << path;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(path.string()), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace orvelle::webfront
