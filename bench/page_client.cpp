// The load generator of bench/page_vs_php.sh: CONCURRENCY clients on 127.0.0.1:PORT, each asking
// for PATH again and again on a new connection per request (HTTP/1.1, "Connection: close"),
// reading to the close and checking that the answer is a 200 carrying EXPECT. Prints the
// checked answers per second over SECONDS, then the other answers per second (Orvelle's busy
// page while another client's run holds the script slot, failures). Exit status 1 when the
// warm-up already gets a wrong answer.
//   orvelle_page_client PORT PATH CONCURRENCY SECONDS EXPECT
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

// Answers are read in pieces of this size; a page of the workload is a few KiB.
constexpr std::size_t kReadPiece = 65536;
// Requests made before the clock starts, so both servers are measured warm.
constexpr int kWarmUp = 50;

struct Totals {
  std::atomic<long> good{0};
  std::atomic<long> bad{0};
};

// One request on a new connection; true when the answer is a complete 200 with `expect` in it.
bool OneRequest(const sockaddr_in& address, const std::string& request, const std::string& expect,
                std::string& answer) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
            ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                static_cast<ssize_t>(request.size());
  answer.clear();
  char piece[kReadPiece];
  while (ok) {
    const ssize_t n = ::recv(fd, piece, sizeof piece, 0);
    if (n < 0) ok = false;
    if (n <= 0) break;
    answer.append(piece, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return ok && answer.compare(0, 12, "HTTP/1.1 200") == 0 &&
         answer.find(expect) != std::string::npos;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: orvelle_page_client PORT PATH CONCURRENCY SECONDS EXPECT\n");
    return 2;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[1])));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const std::string request =
      std::string("GET ") + argv[2] + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  const int concurrency = std::max(1, std::atoi(argv[3]));
  const auto duration = std::chrono::duration<double>(std::atof(argv[4]));
  const std::string expect = argv[5];

  std::string answer;
  for (int i = 0; i < kWarmUp; ++i) {
    if (!OneRequest(address, request, expect, answer)) {
      std::fprintf(stderr, "orvelle_page_client: bad answer: %.200s\n", answer.c_str());
      return 1;
    }
  }
  Totals totals;
  std::atomic<bool> stop{false};
  const auto start = std::chrono::steady_clock::now();
  {
    std::vector<std::jthread> clients;
    for (int i = 0; i < concurrency; ++i) {
      clients.emplace_back([&] {
        std::string mine;
        while (!stop.load(std::memory_order_relaxed)) {
          (OneRequest(address, request, expect, mine) ? totals.good : totals.bad)++;
        }
      });
    }
    std::this_thread::sleep_for(duration);
    stop = true;
  }  // joins the clients; each finishes the request it is in
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::printf("%.1f %.1f\n", static_cast<double>(totals.good) / took.count(),
              static_cast<double>(totals.bad) / took.count());
  return 0;
}
