// Whole-file reads and complete writes through a real file and a named pipe, with the write
// cut short by a signal the way a busy reader makes it happen.
#include "base/file_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>

#include "base/unique_fd.h"

namespace orvelle::base {
namespace {

constexpr int kMaxLooks = 10000;  // 10 s at 1 ms: a bound, never what decides the result
constexpr std::size_t kPayloadSize = 300 * 1024;  // several times a pipe's buffer

void Interrupt(int) {}

std::string Payload() {
  std::string text;
  for (int i = 0; text.size() < kPayloadSize; ++i) text += std::to_string(i) + ",";
  return text;
}

// Waits, bounded, until the writer fills the pipe and so sits inside its write call.
bool WaitUntilFull(int probe) {
  const int capacity = ::fcntl(probe, F_GETPIPE_SZ);
  int queued = 0;
  for (int i = 0; i < kMaxLooks && queued < capacity; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (::ioctl(probe, FIONREAD, &queued) != 0) return false;
  }
  return capacity > 0 && queued == capacity;
}

TEST(FileIoTest, ShortWritesCarryOnAndPipesAreReadToTheEnd) {
  const std::string payload = Payload();
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("orvelle-base-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const std::filesystem::path fifo = folder / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Without SA_RESTART a signal ends a blocked write early with the count copied so far.
  struct sigaction interrupt {
  }, before{};
  interrupt.sa_handler = Interrupt;
  ASSERT_EQ(::sigaction(SIGUSR1, &interrupt, &before), 0);
  UniqueFd probe(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  std::jthread writer([&] {
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);  // a reader that gives up shows as a failed write
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
    UniqueFd out(::open(fifo.c_str(), O_WRONLY | O_CLOEXEC));
    EXPECT_TRUE(WriteAll(out.Get(), payload));
    EXPECT_TRUE(out.Close());
  });
  ASSERT_TRUE(WaitUntilFull(probe.Get()));
  ASSERT_EQ(::pthread_kill(writer.native_handle(), SIGUSR1), 0);
  const std::string read = ReadFileBytes(fifo);  // no size to go by: read to the end
  EXPECT_EQ(read.size(), payload.size());
  EXPECT_TRUE(read == payload);
  probe.Reset();  // the last reader gone: a writer still waiting fails instead of hanging
  writer.join();
  ::sigaction(SIGUSR1, &before, nullptr);

  const std::filesystem::path file = folder / "file";
  {
    UniqueFd out(::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_TRUE(WriteAll(out.Get(), payload));
  }
  struct stat info {};
  EXPECT_TRUE(ReadFileBytes(file, &info) == payload);
  EXPECT_EQ(static_cast<std::size_t>(info.st_size), payload.size());
  EXPECT_THROW(ReadFileBytes(folder / "missing"), std::runtime_error);
  EXPECT_FALSE(UniqueFd().Close());
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace orvelle::base
