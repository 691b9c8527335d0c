// The headless server's life: signals blocked before any thread starts and read through a
// signalfd on the main loop, the configuration, activation, and the close on a signal; with
// --demo the simulated instrument runs beside the server until it stops.
#include "server_command.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <stdexcept>

#include "app/console_writer.h"
#include "app/demo_device.h"
#include "app/main_loop.h"
#include "app/server_main.h"
#include "base/unique_fd.h"

namespace orvelle::cli {
namespace {

// Blocks SIGINT and SIGTERM in this thread and every thread it starts later, and returns a
// signalfd that reports them.
base::UniqueFd BlockShutdownSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return base::UniqueFd{};
  return base::UniqueFd(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
}

// Test hook, left out of --help: ORVELLE_TEST_DEV_ROOT and ORVELLE_TEST_SYS_ROOT point the
// port list and the open diagnoses at a fake /dev and /sys tree, so end-to-end tests can show
// the server devices that this machine does not have.
serial::SystemRoots TestRoots() {
  serial::SystemRoots roots;
  if (const char* dev = std::getenv("ORVELLE_TEST_DEV_ROOT"); dev && *dev) roots.dev = dev;
  if (const char* sys = std::getenv("ORVELLE_TEST_SYS_ROOT"); sys && *sys) roots.sys = sys;
  return roots;
}

app::ServerOptions AppOptions(const ServerCommandOptions& options, app::ConsoleWriter& console) {
  app::ServerOptions result;
  result.home = options.home;
  result.home_note = options.home_note;
  result.port = options.port;
  result.listen_ip = options.listen_ip;
  result.allow_cross_site = options.allow_cross_site;
  result.max_connections = options.max_connections;
  result.traffic_log = options.traffic_log;
  result.mqtt = options.mqtt;
  result.allowed_hosts = options.allowed_hosts;
  result.config_file = options.config_file;
  result.open_at_start = options.open_at_start;
  result.tcp = options.tcp;
  result.explain_scripts = options.explain_scripts;
  if (options.session_minute.count() > 0) result.session_minute = options.session_minute;
  result.roots = TestRoots();
  result.console = [&console](const std::string& line) { console.Write(line); };
  return result;
}

}  // namespace

int RunServer(const ServerCommandOptions& options) {
  // A reader of our stdout that goes away must not kill the server.
  ::signal(SIGPIPE, SIG_IGN);
  base::UniqueFd signals = BlockShutdownSignals();
  if (!signals.Valid()) {
    std::cerr << "orvelle: cannot watch signals: " << std::strerror(errno) << "\n";
    return 1;
  }
  // Started after the signals are blocked, as every thread must be; it outlives the core,
  // so the core's last lines still reach the console.
  app::ConsoleWriter console(STDOUT_FILENO);
  app::MainLoop loop;
  app::ServerOptions app_options = AppOptions(options, console);
  try {
    app::ApplyTls(options.tls, app_options);
  } catch (const http::ETlsError& error) {
    std::cerr << "orvelle: " << error.what() << "\n";
    return 1;
  }
  // Declared before the core, so the device outlives the port that may hold it open; its
  // hang-up notices travel to the log through the loop, which drops them once it has quit.
  app::ServerMain* running = nullptr;
  std::optional<app::DemoDevice> demo;
  if (options.demo) {
    try {
      demo.emplace([&loop, &running](const std::string& path) {
        loop.Post([&running, path] {
          if (running) running->AddLog("Demo device: the line was dropped; now on " + path);
        });
      });
    } catch (const std::runtime_error& error) {
      std::cerr << "orvelle: --demo: " << error.what() << "\n";
      return 1;
    }
    // Asked at every request, so pages see the path the device has now, also after a hang-up.
    app_options.page_variables = [&demo] { return demo->PageVariables(); };
  }
  // Asked at each connect, so a client finds the demo device where it is now.
  if (!options.tcp_device.empty()) {
    app_options.tcp_device = [device = options.tcp_device] { return device; };
  } else if (demo) {
    app_options.tcp_device = [&demo] { return demo->Path(); };
  }
  app::ServerMain server(loop, std::move(app_options));
  running = &server;
  const std::string message = server.LoadSettings();
  if (!message.empty()) std::cerr << "orvelle: " << message << "\n";
  server.StartOrStop();
  if (!server.Active()) return 1;
  if (demo) server.AddLog(demo->Announcement(server.LocalUrl()));
  loop.WatchFd(signals.Get(), [&] {
    signalfd_siginfo info{};
    while (::read(signals.Get(), &info, sizeof info) == sizeof info) {
    }
    server.Close();
    loop.Quit();
  });
  loop.Run();
  return 0;
}

}  // namespace orvelle::cli
