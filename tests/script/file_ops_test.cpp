// File operations on real files in a temporary folder.
#include "script/file_ops.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace orvelle::script {
namespace {

namespace fs = std::filesystem;

constexpr const char* kReadMissing = "readfile: file does not exist.";
constexpr const char* kReadFailed = "readfile: error reading from specified file.";
constexpr const char* kCannotCreate = "writefile: cannot create file.";
constexpr const char* kCannotSave = "writefile: cannot save to file.";
constexpr const char* kDeleteMissing = "deletefile: file not found.";
constexpr const char* kCannotDelete = "deletefile: cannot delete file.";

bool IsRoot() {
  return ::geteuid() == 0;
}

class FileOpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "orvelle-file-ops-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    for (const auto& entry : fs::recursive_directory_iterator(dir_, ignored)) {
      fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(dir_, ignored);
  }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  void Put(const std::string& name, const std::string& bytes) const {
    std::ofstream(Path(name), std::ios::binary) << bytes;
  }
  std::string Get(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  std::string Read(const std::string& path, std::string& error) const {
    error.clear();
    return ReadWholeFile(path, error);
  }

  fs::path dir_;
};

// Holds an exclusive lock through a second open of the file, as another writer would.
class OtherWriter {
 public:
  explicit OtherWriter(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_CLOEXEC)) {
    locked_ = fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
  }
  ~OtherWriter() {
    if (fd_ >= 0) ::close(fd_);
  }
  OtherWriter(const OtherWriter&) = delete;
  OtherWriter& operator=(const OtherWriter&) = delete;
  bool locked() const { return locked_; }

 private:
  int fd_;
  bool locked_ = false;
};

TEST_F(FileOpsTest, ReadKeepsEveryByte) {
  std::string error;
  const std::string bytes("line 1\r\nline\0 2\r\n\xff\x00", 17);
  Put("data.bin", bytes);
  EXPECT_EQ(Read(Path("data.bin"), error), bytes);
  EXPECT_EQ(error, "");

  Put("empty.txt", "");
  EXPECT_EQ(Read(Path("empty.txt"), error), "");
  EXPECT_EQ(error, "");

  std::string big(300'000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 % 251);
  Put("big.bin", big);
  EXPECT_EQ(Read(Path("big.bin"), error), big);
  EXPECT_EQ(error, "");
}

TEST_F(FileOpsTest, ReadOfAGeneratedFileIgnoresItsZeroSize) {
  if (!fs::exists("/proc/self/status")) GTEST_SKIP() << "no /proc";
  std::string error;
  std::string text = Read("/proc/self/status", error);
  EXPECT_EQ(error, "");
  EXPECT_NE(text.find("Pid:"), std::string::npos);
}

TEST_F(FileOpsTest, ReadFailuresReportTheirMessage) {
  Put("plain.txt", "x");
  fs::create_directory(Path("folder"));
  ASSERT_EQ(::mkfifo(Path("pipe").c_str(), 0600), 0);
  struct Case {
    std::string path;
    const char* message;
  };
  const Case cases[] = {
      {Path("missing.txt"), kReadMissing},
      {Path("folder"), kReadMissing},
      {Path("no-folder/file.txt"), kReadMissing},
      {Path("plain.txt/below"), kReadMissing},
      {"", kReadMissing},
      {Path("plain.txt") + std::string(1, '\0') + "tail", kReadMissing},
      {Path("pipe"), kReadFailed},  // must not wait for a writer
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_EQ(Read(c.path, error), "") << c.path;
    EXPECT_EQ(error, c.message) << c.path;
  }
}

TEST_F(FileOpsTest, ReadFailsWhileAnotherWriterHoldsTheFile) {
  Put("held.txt", "abc");
  std::string error;
  {
    OtherWriter writer(Path("held.txt"));
    ASSERT_TRUE(writer.locked());
    EXPECT_EQ(Read(Path("held.txt"), error), "");
    EXPECT_EQ(error, kReadFailed);
  }
  EXPECT_EQ(Read(Path("held.txt"), error), "abc");
  EXPECT_EQ(error, "");
}

TEST_F(FileOpsTest, ReadOfAnUnreadableFileFails) {
  if (IsRoot()) GTEST_SKIP() << "root reads any file";
  Put("secret.txt", "abc");
  fs::permissions(Path("secret.txt"), fs::perms::none);
  std::string error;
  EXPECT_EQ(Read(Path("secret.txt"), error), "");
  EXPECT_EQ(error, kReadFailed);
}

TEST_F(FileOpsTest, AppendCreatesThenExtends) {
  EXPECT_EQ(AppendToFile(Path("log.txt"), "abc"), "");
  EXPECT_EQ(AppendToFile(Path("log.txt"), "def"), "");
  EXPECT_EQ(Get("log.txt"), "abcdef");

  EXPECT_EQ(AppendToFile(Path("empty.txt"), ""), "");
  EXPECT_TRUE(fs::is_regular_file(Path("empty.txt")));
  EXPECT_EQ(fs::file_size(Path("empty.txt")), 0u);
  EXPECT_EQ(AppendToFile(Path("log.txt"), ""), "");
  EXPECT_EQ(Get("log.txt"), "abcdef");

  const std::string bytes("\r\n\0\xff", 4);
  EXPECT_EQ(AppendToFile(Path("log.txt"), bytes), "");
  EXPECT_EQ(Get("log.txt"), "abcdef" + bytes);
}

TEST_F(FileOpsTest, AppendFailuresReportTheirMessage) {
  Put("plain.txt", "keep");
  fs::create_directory(Path("folder"));
  ASSERT_EQ(::mkfifo(Path("pipe").c_str(), 0600), 0);
  struct Case {
    std::string path;
    const char* message;
  };
  const Case cases[] = {
      {Path("folder"), kCannotCreate},
      {Path("no-folder/new.txt"), kCannotCreate},
      {Path("plain.txt/below"), kCannotCreate},
      {"", kCannotCreate},
      {Path("plain.txt") + std::string(1, '\0') + "tail", kCannotCreate},
      {Path("pipe"), kCannotSave},  // must not wait for a reader
  };
  for (const Case& c : cases) EXPECT_EQ(AppendToFile(c.path, "x"), c.message) << c.path;
  EXPECT_EQ(Get("plain.txt"), "keep");
  EXPECT_TRUE(fs::is_directory(Path("folder")));
}

TEST_F(FileOpsTest, AppendFailsWhileAnotherWriterHoldsTheFile) {
  Put("held.txt", "abc");
  {
    OtherWriter writer(Path("held.txt"));
    ASSERT_TRUE(writer.locked());
    EXPECT_EQ(AppendToFile(Path("held.txt"), "def"), kCannotSave);
  }
  EXPECT_EQ(Get("held.txt"), "abc");
  EXPECT_EQ(AppendToFile(Path("held.txt"), "def"), "");
  EXPECT_EQ(Get("held.txt"), "abcdef");
}

TEST_F(FileOpsTest, AppendWithoutPermissionFails) {
  if (IsRoot()) GTEST_SKIP() << "root writes anywhere";
  Put("readonly.txt", "abc");
  fs::permissions(Path("readonly.txt"), fs::perms::owner_read);
  EXPECT_EQ(AppendToFile(Path("readonly.txt"), "def"), kCannotSave);
  fs::create_directory(Path("locked"));
  fs::permissions(Path("locked"), fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_EQ(AppendToFile(Path("locked/new.txt"), "def"), kCannotCreate);
  EXPECT_FALSE(fs::exists(Path("locked/new.txt")));
}

// Lowers the file-size limit for one test so that writes run short, as on a full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = saved_;
    lowered.rlim_cur = bytes;
    ok_ = ::setrlimit(RLIMIT_FSIZE, &lowered) == 0;
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, old_handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  bool ok() const { return ok_; }

 private:
  rlimit saved_{};
  void (*old_handler_)(int) = SIG_DFL;
  bool ok_ = false;
};

TEST_F(FileOpsTest, AShortWriteIsReportedNotHidden) {
  Put("existing.txt", "12345");
  {
    FileSizeLimit limit(10);
    ASSERT_TRUE(limit.ok());
    EXPECT_EQ(AppendToFile(Path("existing.txt"), "abcdefghij"), kCannotSave);
    EXPECT_EQ(AppendToFile(Path("new.txt"), std::string(20, 'n')), kCannotSave);
    EXPECT_EQ(AppendToFile(Path("fits.txt"), "0123456789"), "");
  }
  EXPECT_EQ(Get("existing.txt"), "12345abcde");
  EXPECT_EQ(Get("fits.txt"), "0123456789");
}

TEST_F(FileOpsTest, DeleteRemovesOnlyFiles) {
  Put("doomed.txt", "x");
  EXPECT_EQ(DeleteFileAt(Path("doomed.txt")), "");
  EXPECT_FALSE(fs::exists(Path("doomed.txt")));
  EXPECT_EQ(DeleteFileAt(Path("doomed.txt")), kDeleteMissing);

  fs::create_directory(Path("folder"));
  EXPECT_EQ(DeleteFileAt(Path("folder")), kDeleteMissing);
  EXPECT_TRUE(fs::is_directory(Path("folder")));

  Put("kept.txt", "x");
  EXPECT_EQ(DeleteFileAt(Path("kept.txt") + std::string(1, '\0') + "tail"), kDeleteMissing);
  EXPECT_EQ(DeleteFileAt(""), kDeleteMissing);
  EXPECT_EQ(DeleteFileAt(Path("no-folder/x.txt")), kDeleteMissing);
  EXPECT_TRUE(fs::exists(Path("kept.txt")));

  fs::create_symlink(Path("nowhere"), Path("dangling"));
  EXPECT_EQ(DeleteFileAt(Path("dangling")), "");
  EXPECT_FALSE(fs::is_symlink(fs::symlink_status(Path("dangling"))));
}

TEST_F(FileOpsTest, DeleteInAReadOnlyFolderFailsAndKeepsTheFile) {
  if (IsRoot()) GTEST_SKIP() << "root deletes anywhere";
  fs::create_directory(Path("locked"));
  Put("locked/file.txt", "x");
  fs::permissions(Path("locked"), fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_EQ(DeleteFileAt(Path("locked/file.txt")), kCannotDelete);
  EXPECT_TRUE(fs::exists(Path("locked/file.txt")));
}

}  // namespace
}  // namespace orvelle::script
