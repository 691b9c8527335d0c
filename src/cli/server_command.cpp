// The headless server's life: signals blocked before any thread starts and read through a
// signalfd on the main loop, the configuration, activation, and the close on a signal.
#include "server_command.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "app/main_loop.h"
#include "app/server_main.h"
#include "http/unique_fd.h"

namespace orvelle::cli {
namespace {

// Blocks SIGINT and SIGTERM in this thread and every thread it starts later, and returns a
// signalfd that reports them.
http::UniqueFd BlockShutdownSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return http::UniqueFd{};
  return http::UniqueFd(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
}

void WriteConsoleLine(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

app::ServerOptions AppOptions(const ServerCommandOptions& options) {
  app::ServerOptions result;
  result.home = options.home;
  result.port = options.port;
  result.listen_ip = options.listen_ip;
  if (options.session_minute.count() > 0) result.session_minute = options.session_minute;
  result.console = WriteConsoleLine;
  return result;
}

}  // namespace

int RunServer(const ServerCommandOptions& options) {
  // A reader of our stdout that goes away must not kill the server.
  ::signal(SIGPIPE, SIG_IGN);
  http::UniqueFd signals = BlockShutdownSignals();
  if (!signals.Valid()) {
    std::cerr << "orvelle: cannot watch signals: " << std::strerror(errno) << "\n";
    return 1;
  }
  app::MainLoop loop;
  app::TfmHTTPServerMain main_window(loop, AppOptions(options));
  const std::string message = main_window.LoadSettings();
  if (!message.empty()) std::cerr << "orvelle: " << message << "\n";
  main_window.acActivateExecute();
  if (!main_window.Active()) return 1;
  loop.WatchFd(signals.Get(), [&] {
    signalfd_siginfo info{};
    while (::read(signals.Get(), &info, sizeof info) == sizeof info) {
    }
    main_window.FormCloseQuery();
    loop.Quit();
  });
  loop.Run();
  return 0;
}

}  // namespace orvelle::cli
