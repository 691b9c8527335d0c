// Text that meets C interfaces and log files: a NUL refuses, a long text is cut with its count.
#include "base/c_string.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "base/control_bytes.h"
#include "base/file_io.h"

namespace orvelle::base {
namespace {

TEST(CStringTest, ANulInAFileNameNeverOpensTheShorterName) {
  EXPECT_TRUE(FitsCString("/etc/hostname"));
  EXPECT_FALSE(FitsCString(std::string("/etc/hostname\0.ovs", 18)));
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("orvelle-cstring-" + std::to_string(::getpid()));
  std::ofstream(file) << "secret";
  EXPECT_EQ(ReadFileBytes(file), "secret");
  EXPECT_THROW(ReadFileBytes(file.string() + std::string("\0.ovs", 5)), std::runtime_error);
  std::filesystem::remove(file);
}

TEST(CStringTest, LoggedTextIsCutWithTheCountOfWhatWasLeftOut) {
  struct Case {
    std::string text;
    std::size_t limit;
    std::string logged;
  };
  const Case cases[] = {
      {"", 4, ""},
      {"abcd", 4, "abcd"},
      {"abcde", 4, "abcd...(1 more bytes)"},
      {std::string(5000, 'x'), 1024, std::string(1024, 'x') + "...(3976 more bytes)"},
  };
  for (const Case& c : cases) EXPECT_EQ(CutForLog(c.text, c.limit), c.logged) << c.text.size();
}

}  // namespace
}  // namespace orvelle::base
