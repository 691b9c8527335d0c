// Whole-file reads and complete writes through a real file and a pipe.
#include "base/file_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>

#include "base/unique_fd.h"

namespace orvelle::base {
namespace {

TEST(FileIoTest, ReadsWholeFilesAndPipesAndWritesPastThePipeBuffer) {
  // Larger than a pipe's buffer, so the writer meets short writes while the reader drains.
  const std::string payload = [] {
    std::string text;
    for (int i = 0; text.size() < 300 * 1024; ++i) text += std::to_string(i) + ",";
    return text;
  }();
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("orvelle-base-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const std::filesystem::path fifo = folder / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::jthread writer([&] {
    UniqueFd out(::open(fifo.c_str(), O_WRONLY | O_CLOEXEC));
    EXPECT_TRUE(WriteAll(out.Get(), payload));
    EXPECT_TRUE(out.Close());
  });
  EXPECT_EQ(ReadFileBytes(fifo), payload);  // no size to go by: read to the end
  writer.join();

  const std::filesystem::path file = folder / "file";
  {
    UniqueFd out(::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_TRUE(WriteAll(out.Get(), payload));
  }
  struct stat info {};
  EXPECT_EQ(ReadFileBytes(file, &info), payload);
  EXPECT_EQ(static_cast<std::size_t>(info.st_size), payload.size());
  EXPECT_THROW(ReadFileBytes(folder / "missing"), std::runtime_error);
  EXPECT_FALSE(UniqueFd().Close());
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace orvelle::base
