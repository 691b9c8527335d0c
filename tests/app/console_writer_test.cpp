// The console writer on a real pipe: order and completeness, the last lines at close, and a
// console that stops reading, which must neither block the writers nor the close.
#include "app/console_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "base/unique_fd.h"

namespace orvelle::app {
namespace {

using base::UniqueFd;

struct Pipe {
  Pipe() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    read_end = UniqueFd(fds[0]);
    write_end = UniqueFd(fds[1]);
  }
  // Fills the pipe until it takes nothing more; the write end stays non-blocking.
  void Fill() {
    ::fcntl(write_end.Get(), F_SETFL, O_NONBLOCK);
    const std::string block(4096, '#');
    while (::write(write_end.Get(), block.data(), block.size()) > 0) {
    }
  }
  // The same, then the write end blocks again, as a process's stdout does.
  void FillBlocking() {
    Fill();
    ::fcntl(write_end.Get(), F_SETFL, 0);
  }
  // Reads what is there now, waiting at most `limit` for the first byte.
  std::string ReadSome(std::chrono::milliseconds limit = std::chrono::milliseconds(2000)) {
    std::string text;
    pollfd ready{read_end.Get(), POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(limit.count())) != 1) return text;
    char buffer[65536];
    const ssize_t n = ::read(read_end.Get(), buffer, sizeof buffer);
    if (n > 0) text.assign(buffer, static_cast<std::size_t>(n));
    return text;
  }
  // Reads until `needle` has come, for at most two seconds.
  std::string ReadUntil(const std::string& needle) {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (text.find(needle) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      text += ReadSome(std::chrono::milliseconds(50));
    }
    return text;
  }
  UniqueFd read_end;
  UniqueFd write_end;
};

TEST(ConsoleWriterTest, LinesKeepTheirOrderAndTheLastOnesLeaveAtClose) {
  Pipe pipe;
  {
    // A long gathering time: only the close can have written these.
    ConsoleWriter writer(pipe.write_end.Get(), {std::chrono::milliseconds(10'000), 1 << 20});
    for (int i = 0; i < 100; ++i) writer.Write("line " + std::to_string(i));
  }
  std::string expected;
  for (int i = 0; i < 100; ++i) expected += "line " + std::to_string(i) + "\n";
  EXPECT_EQ(pipe.ReadSome(), expected);
}

TEST(ConsoleWriterTest, LinesLeaveSoonWithoutAClose) {
  Pipe pipe;
  ConsoleWriter writer(pipe.write_end.Get());
  writer.Write("Listening");
  EXPECT_EQ(pipe.ReadUntil("\n"), "Listening\n");
  writer.Write("next");
  EXPECT_EQ(pipe.ReadUntil("\n"), "next\n");
}

// Lines that come while the thread gathers, writes or sleeps all leave, in order and without a
// close: each round waits for its last line, so the thread goes through every state in turn.
TEST(ConsoleWriterTest, LinesInEveryStateOfTheThreadLeaveWithoutAClose) {
  Pipe pipe;
  ConsoleWriter writer(pipe.write_end.Get(), {std::chrono::milliseconds(1), 1 << 20});
  constexpr int kRounds = 60;
  std::string got;
  std::ptrdiff_t sent_lines = 0;
  for (int round = 0; round < kRounds; ++round) {
    // Round r sends r % 4 + 1 lines from two threads at once, then the round's end.
    const int lines = round % 4 + 1;
    sent_lines += 2 * lines + 1;
    {
      std::jthread other([&] {
        for (int i = 0; i < lines; ++i) writer.Write("b" + std::to_string(round * 10 + i));
      });
      for (int i = 0; i < lines; ++i) writer.Write("a" + std::to_string(round * 10 + i));
    }
    const std::string end = "end " + std::to_string(round) + "\n";
    writer.Write("end " + std::to_string(round));
    got += pipe.ReadUntil(end);
    ASSERT_NE(got.find(end), std::string::npos) << "round " << round;
  }
  // Every line came once, and each thread's lines in the order it wrote them.
  std::size_t a_at = 0;
  std::size_t b_at = 0;
  for (int round = 0; round < kRounds; ++round) {
    for (int i = 0; i < round % 4 + 1; ++i) {
      const std::size_t a = got.find("a" + std::to_string(round * 10 + i) + "\n");
      const std::size_t b = got.find("b" + std::to_string(round * 10 + i) + "\n");
      ASSERT_NE(a, std::string::npos);
      ASSERT_NE(b, std::string::npos);
      EXPECT_GE(a, a_at);
      EXPECT_GE(b, b_at);
      a_at = a;
      b_at = b;
    }
  }
  EXPECT_EQ(std::count(got.begin(), got.end(), '\n'), sent_lines);
}

// Writers go on while nobody reads; what does not fit is dropped and counted, and the count
// comes before the lines written after the console reads again.
TEST(ConsoleWriterTest, AConsoleThatDoesNotReadHoldsUpNobody) {
  Pipe pipe;
  pipe.Fill();
  ConsoleWriter writer(pipe.write_end.Get(), {std::chrono::milliseconds(1), 100});
  for (int i = 0; i < 1000; ++i) writer.Write("0123456789");  // would block if it waited
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::string seen;
  for (int i = 0; i < 40 && seen.find("not shown") == std::string::npos; ++i) {
    seen += pipe.ReadSome(std::chrono::milliseconds(50));
  }
  writer.Write("after");
  seen += pipe.ReadUntil("after\n");
  const auto note = seen.find("log lines not shown: the console was not reading)\n");
  ASSERT_NE(note, std::string::npos);
  EXPECT_LT(note, seen.find("after\n"));
  EXPECT_EQ(seen.find("(1000 log lines"), std::string::npos) << "some lines should have fit";
}

TEST(ConsoleWriterTest, CloseGivesUpOnAConsoleThatStaysFull) {
  Pipe pipe;
  pipe.Fill();
  {
    ConsoleWriter writer(pipe.write_end.Get(), {std::chrono::milliseconds(1), 1 << 20});
    writer.Write("never read");
  }  // a close that waited for the reader would hang here
  std::string left;
  for (std::string more = pipe.ReadSome(std::chrono::milliseconds(0)); !more.empty();
       more = pipe.ReadSome(std::chrono::milliseconds(0))) {
    left += more;
  }
  EXPECT_FALSE(left.empty());
  EXPECT_EQ(left.find_first_not_of('#'), std::string::npos) << "the line left after the close";
}

// stdout is a blocking pipe nobody reads (a service whose log reader hangs): the close must end,
// not wait in a write for a reader that never comes. Bounded, so a hang fails instead of stalling.
TEST(ConsoleWriterTest, CloseEndsOnABlockingPipeThatNobodyReads) {
  Pipe pipe;
  pipe.FillBlocking();
  auto closed = std::async(std::launch::async, [&pipe] {
    ConsoleWriter writer(pipe.write_end.Get(), {std::chrono::milliseconds(1), 1 << 20});
    for (int i = 0; i < 1000; ++i) writer.Write(std::string(100, 'x'));
  });
  ASSERT_EQ(closed.wait_for(std::chrono::seconds(30)), std::future_status::ready)
      << "the writer's close waits for a reader";
  // The pipe held only what filled it: no part of a line went in after it.
  std::string left;
  for (std::string more = pipe.ReadSome(std::chrono::milliseconds(0)); !more.empty();
       more = pipe.ReadSome(std::chrono::milliseconds(0))) {
    left += more;
  }
  EXPECT_EQ(left.find_first_not_of('#'), std::string::npos);
}

// Once the blocking console reads again, the lines it missed are counted and the rest follow.
TEST(ConsoleWriterTest, ABlockingConsoleThatReadsAgainGetsTheCountAndTheLines) {
  Pipe pipe;
  pipe.FillBlocking();
  ConsoleWriter writer(pipe.write_end.Get(), {std::chrono::milliseconds(1), 100});
  for (int i = 0; i < 1000; ++i) writer.Write("0123456789");
  writer.Write("after");
  std::string seen;
  for (int i = 0; i < 200 && seen.find("not shown") == std::string::npos; ++i) {
    seen += pipe.ReadSome(std::chrono::milliseconds(50));
  }
  writer.Write("last");
  seen += pipe.ReadUntil("last\n");
  const auto note = seen.find("log lines not shown: the console was not reading)\n");
  ASSERT_NE(note, std::string::npos);
  EXPECT_LT(note, seen.find("last\n"));
}

}  // namespace
}  // namespace orvelle::app
