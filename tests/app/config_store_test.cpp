// Tests of the configuration store: lookup rules, defaults, file load/save and concurrent reads.
#include "app/config_store.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace orvelle::app {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

constexpr std::string_view kDefaultFile =
    "AutoActivate=no\r\nAutoMinimize=no\r\nServer port=80\r\nUse session=no\r\n"
    "Session expire=1\r\nAuth require=no\r\nAuth user=user\r\nAuth password=kelp\r\n"
    "Log to file=no\r\nShow errors on page=no\r\n";

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "orvelle-config-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteAll(const fs::path& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

struct LookupCase {
  Lines lines;
  std::string key;
  std::string value;
};

TEST(ConfigStoreTest, GetSettingLookupRules) {
  const std::vector<LookupCase> cases = {
      {{"Server port=8080"}, "Server port", "8080"},
      {{"Server port=8080"}, "AutoActivate", ""},
      {{"Server port=8080"}, "Auth user", ""},
      {{"server PORT=81"}, "Server port", "81"},
      {{"Server port =81"}, "Server port", ""},
      {{"Server port = 80"}, "Server port ", " 80"},
      {{"Use session=yes=1"}, "Use session", "yes=1"},
      {{"Auth user=first", "AUTH USER=second"}, "auth user", "first"},
      {{"Server port", "Server port=82"}, "Server port", "82"},
      {{"Log to file"}, "Log to file", ""},
      {{"AutoActivate=Yes"}, "AutoActivate", "Yes"},
      {{"K\xe9y=v"}, "K\xe9y", "v"},
      {{"K\xe9y=v"}, "K\xc9y", ""},  // only ASCII letters fold
  };
  for (const auto& c : cases) {
    ConfigStore store;
    store.SetLines(c.lines);
    EXPECT_EQ(store.GetSetting(c.key), c.value) << c.lines.front() << " / " << c.key;
  }
}

TEST(ConfigStoreTest, DefaultFileIsByteExact) {
  TempDir dir;
  ConfigStore store;
  store.DefaultFill();
  ASSERT_TRUE(store.Save(dir.path() / "config.ini"));
  EXPECT_EQ(ReadAll(dir.path() / "config.ini"), kDefaultFile);
  EXPECT_EQ(store.GetSetting("Auth password"), "kelp");
}

TEST(ConfigStoreTest, FirstStartCreatesDefaultsThenLoads) {
  TempDir dir;
  fs::path file = dir.path() / "config.ini";
  ConfigStore first;
  std::string message = "stale";
  EXPECT_EQ(first.LoadOrCreate(file, message), ConfigStore::StartOutcome::kCreatedDefaults);
  EXPECT_EQ(message, "Error loading configuration. Please check configuration.");
  EXPECT_EQ(ReadAll(file), kDefaultFile);

  ConfigStore second;
  EXPECT_EQ(second.LoadOrCreate(file, message), ConfigStore::StartOutcome::kLoaded);
  EXPECT_EQ(message, "");
  EXPECT_EQ(second.Lines(), first.Lines());
}

TEST(ConfigStoreTest, UnreadableExistingFileIsNeverOverwritten) {
  TempDir dir;
  fs::path file = dir.path() / "config.ini";
  fs::create_symlink("config.ini", file);  // a loop: exists, but cannot be opened
  ConfigStore store;
  std::string message;
  EXPECT_EQ(store.LoadOrCreate(file, message), ConfigStore::StartOutcome::kDefaultsOnly);
  EXPECT_EQ(message, "Error loading configuration. Please check configuration.");
  EXPECT_TRUE(fs::is_symlink(file));
  EXPECT_EQ(store.GetSetting("Server port"), "80");
}

TEST(ConfigStoreTest, LoadReadsAnyLineBreakAndFailureKeepsLines) {
  TempDir dir;
  WriteAll(dir.path() / "a.ini", "a=1\rb=2\nc=3\r\nd=4");
  ConfigStore store;
  ASSERT_TRUE(store.Load(dir.path() / "a.ini"));
  EXPECT_EQ(store.Lines(), (Lines{"a=1", "b=2", "c=3", "d=4"}));
  EXPECT_FALSE(store.Load(dir.path() / "missing.ini"));
  EXPECT_FALSE(store.Load(dir.path()));
  EXPECT_EQ(store.Lines(), (Lines{"a=1", "b=2", "c=3", "d=4"}));
}

TEST(ConfigStoreTest, SaveLoadRoundTripAndCleanReplace) {
  TempDir dir;
  fs::path file = dir.path() / "config.ini";
  WriteAll(file, "old=1\r\n");
  ::chmod(file.c_str(), 0640);
  const Lines lines = {"Server port = 80", "", "Auth user=\xe9\xff", "no separator", "x=y=z", ""};
  ConfigStore store;
  store.SetLines(lines);
  ASSERT_TRUE(store.Save(file));
  ConfigStore loaded;
  ASSERT_TRUE(loaded.Load(file));
  EXPECT_EQ(loaded.Lines(), lines);
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::mask,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  std::size_t entries = 0;
  for (const auto& entry : fs::directory_iterator(dir.path())) entries += entry.exists();
  EXPECT_EQ(entries, 1u) << "temporary file left behind";
  EXPECT_FALSE(store.Save(dir.path() / "no-such-folder" / "config.ini"));
}

TEST(ConfigStoreTest, SetValueReplacesFirstMatchOrAppends) {
  ConfigStore store;
  store.SetLines({"a=1", "server PORT=81", "Server port=82"});
  store.SetValue("Server port", "8080");
  store.SetValue("New key", "v=w");
  EXPECT_EQ(store.Lines(), (Lines{"a=1", "server PORT=8080", "Server port=82", "New key=v=w"}));
}

TEST(ConfigStoreTest, TextThatWouldSplitLinesIsRejected) {
  ConfigStore store;
  store.SetLines({"a=1"});
  EXPECT_THROW(store.SetValue("a", "1\r\nAuth require=no"), std::invalid_argument);
  EXPECT_THROW(store.SetValue("a\n", "1"), std::invalid_argument);
  EXPECT_THROW(store.SetValue("a=b", "1"), std::invalid_argument);
  EXPECT_THROW(store.SetValue("a", std::string("1\0", 2)), std::invalid_argument);
  EXPECT_THROW(store.SetLines({"b=2", "c=3\rd=4"}), std::invalid_argument);
  EXPECT_EQ(store.Lines(), Lines{"a=1"});
}

TEST(ConfigStoreTest, ReadersOnFourThreadsWhileSetValueRuns) {
  constexpr int kReaders = 4;
  constexpr int kReads = 20000;
  constexpr int kWrites = 20000;
  ConfigStore store;
  store.DefaultFill();
  std::atomic<int> bad_reads{0};
  {
    std::vector<std::jthread> readers;
    for (int r = 0; r < kReaders; ++r) {
      readers.emplace_back([&] {
        for (int i = 0; i < kReads; ++i) {
          std::string port = store.GetSetting("Server port");
          if (port != "80" && port != "8080") ++bad_reads;
        }
      });
    }
    for (int i = 0; i < kWrites; ++i) store.SetValue("Server port", i % 2 ? "80" : "8080");
  }
  EXPECT_EQ(bad_reads.load(), 0);
  EXPECT_EQ(store.GetSetting("Server port"), "80");
  EXPECT_EQ(store.Lines().size(), 10u);
}

}  // namespace
}  // namespace orvelle::app
