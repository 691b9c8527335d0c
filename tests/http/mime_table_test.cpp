// TMimeTable over a MIME list in a temporary folder: lookups, fallbacks, rescans.
#include "http/mime_table.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "temp_dir.h"

namespace orvelle::http {
namespace {

using orvelle::http::testing::TempDir;

constexpr const char* kList =
    "# comment text/fake fake\n"
    "text/html\t\thtml htm\n"
    "application/x-orv  orv\n"
    "application/no-extension\n"
    "text/x-first dup\n"
    "text/x-second DUP\n";

TEST(MimeTableTest, LookupsByExtension) {
  TempDir dir;
  TMimeTable table(dir.Write("mime.types", kList));
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/web/a.HTM", "text/html"},
      {"C:\\web\\a.htm", "text/html"},
      {"page.Orv", "application/x-orv"},
      {"/web/style.css", "text/css"},  // built-in table
      {"/web/readme", "application/octet-stream"},
      {"/web.d/file", "application/octet-stream"},
      {"C:\\web.d\\file", "application/octet-stream"},
      {"c:x.y:z", "application/octet-stream"},
      {"/web/x.fake", "application/octet-stream"},  // commented out
      {"/web/x.unknown", "application/octet-stream"},
      {"x.dup", "text/x-second"},  // a later line holds
  };
  for (const auto& [name, type] : cases) EXPECT_EQ(table.FileMimeType(name), type) << name;
}

TEST(MimeTableTest, MissingListLeavesTheBuiltInTable) {
  TempDir dir;
  TMimeTable table((dir.Path() / "absent").string());
  EXPECT_EQ(table.FileMimeType("a.html"), "text/html");
  EXPECT_EQ(table.FileMimeType("a.png"), "image/png");
  EXPECT_EQ(table.FileMimeType("a.orv"), "application/octet-stream");
}

TEST(MimeTableTest, MissRescansAChangedListAndRefillNeverRemoves) {
  TempDir dir;
  const std::string path = dir.Write("mime.types", kList);
  TMimeTable table(path);
  EXPECT_EQ(table.FileMimeType("a.new"), "application/octet-stream");
  dir.Write("mime.types", std::string(kList) + "application/x-new new\n");
  EXPECT_EQ(table.FileMimeType("a.new"), "application/x-new");
  dir.Write("mime.types", "text/plain txt\n");
  table.FillFromRegistry();
  EXPECT_EQ(table.FileMimeType("a.new"), "application/x-new");
  EXPECT_EQ(table.FileMimeType("a.orv"), "application/x-orv");
}

TEST(MimeTableTest, ConcurrentLookupsWhileTheListChanges) {
  TempDir dir;
  const std::string path = dir.Write("mime.types", kList);
  TMimeTable table(path);
  std::vector<std::jthread> readers;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&table, &wrong, t] {
      for (int i = 0; i < 200; ++i) {
        if (table.FileMimeType("x.htm") != "text/html") ++wrong;
        table.FileMimeType("miss" + std::to_string(t * 1000 + i) + ".zz");
      }
    });
  }
  for (int i = 0; i < 20; ++i)
    dir.Write("mime.types", std::string(kList) + "a/b ext" + std::to_string(i) + "\n");
  readers.clear();
  EXPECT_EQ(wrong, 0);
}

TEST(MimeTableTest, ExtensionOf) {
  EXPECT_EQ(TMimeTable::ExtensionOf("a.b.c"), ".c");
  EXPECT_EQ(TMimeTable::ExtensionOf("a."), ".");
  EXPECT_EQ(TMimeTable::ExtensionOf("/x.y/z"), "");
  EXPECT_EQ(TMimeTable::ExtensionOf("none"), "");
}

}  // namespace
}  // namespace orvelle::http
