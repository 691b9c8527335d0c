// Entry point of orvelle-gui: the command line, the Qt application, the main loop driven from
// Qt's, the main window's start, and a close on SIGINT or SIGTERM like a click on the close box.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <QApplication>
#include <QSocketNotifier>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>

#include "app/demo_device.h"
#include "app/home_folder.h"
#include "app/main_loop.h"
#include "app/settings_file.h"
#include "app/start_options.h"
#include "app/tls_options.h"
#include "base/unique_fd.h"
#include "loop_driver.h"
#include "main_window.h"

namespace {

// Blocks SIGINT and SIGTERM here and in every thread started later; a signalfd reports them.
orvelle::base::UniqueFd BlockShutdownSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return orvelle::base::UniqueFd{};
  return orvelle::base::UniqueFd(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App cli{
      "Orvelle's desktop front end: the server with its log window, settings and tray icon."};
  orvelle::app::UsePlainHelp(cli);
  cli.set_version_flag("--version", std::string("orvelle-gui ") + ORVELLE_VERSION);
  std::string home;
  cli.add_option("--home", home,
                 "Folder holding config.ini and web/ (default: the executable's folder, or "
                 "~/.local/share/orvelle when that cannot be written)")
      ->type_name("DIR");
  orvelle::app::StartArguments start;
  orvelle::app::AddStartOptions(cli, start);
  orvelle::app::TlsArguments tls;
  orvelle::app::AddTlsOptions(cli, tls);
  cli.allow_extras();  // Qt's own options (-platform, -style, ...) pass through to Qt
  // The file may give a companion the command line leaves out (--cert of --https-port).
  const orvelle::app::OptionNeeds needs = orvelle::app::DeferOptionNeeds(cli);
  try {
    cli.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return cli.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return cli.exit(e);
  } catch (const CLI::ParseError& e) {
    std::cerr << "orvelle-gui: " << e.what() << " (see orvelle-gui --help)\n";
    return 2;
  }
  // Qt's options take one dash; an unknown "--name" is ours, and a mistake.
  for (const std::string& extra : cli.remaining()) {
    if (extra.starts_with("--")) {
      std::cerr << "orvelle-gui: unknown option " << extra << " (see orvelle-gui --help)\n";
      return 2;
    }
  }
  const orvelle::app::HomeChoice chosen =
      home.empty() ? orvelle::app::DefaultHome(orvelle::app::ExecutableFolder())
                   : orvelle::app::HomeChoice{home, {}};
  const std::filesystem::path home_folder = chosen.home;
  if (const int code = orvelle::app::ApplySettingsFile(cli, needs, home_folder / "config.ini",
                                                       false, "orvelle-gui"))
    return code;
  orvelle::base::UniqueFd shutdown_signals = BlockShutdownSignals();

  QApplication application(argc, argv);
  QApplication::setApplicationName("orvelle");
  orvelle::app::MainLoop loop;
  orvelle::ui::LoopDriver driver(loop);
  orvelle::app::ServerOptions options;
  options.home = home_folder;
  options.home_note = chosen.note;
  options.port = orvelle::app::PortOverride(start);
  options.open_at_start = orvelle::app::OpenAtStart(start);
  options.listen_ip = start.bind;
  options.allowed_hosts = start.allowed_hosts;
  try {
    orvelle::app::ApplyTls(tls, options);
  } catch (const orvelle::http::ETlsError& error) {
    std::cerr << "orvelle-gui: " << error.what() << "\n";
    return 1;
  }
  // Before the window, so the device outlives the port that may hold it open; its hang-up
  // notices reach the log through the loop, which drops them once it has quit.
  orvelle::app::ServerMain* core = nullptr;
  std::optional<orvelle::app::DemoDevice> demo;
  if (start.demo) {
    try {
      demo.emplace([&loop, &core](const std::string& path) {
        loop.Post([&core, path] {
          if (core) core->AddLog("Demo device: the line was dropped; now on " + path);
        });
      });
    } catch (const std::runtime_error& error) {
      std::cerr << "orvelle-gui: --demo: " << error.what() << "\n";
      return 1;
    }
    options.page_variables = [&demo] { return demo->PageVariables(); };
  }
  orvelle::ui::MainWindow window(loop, options);
  core = &window.Core();
  std::unique_ptr<QSocketNotifier> on_signal;
  if (shutdown_signals.Valid()) {
    on_signal = std::make_unique<QSocketNotifier>(shutdown_signals.Get(), QSocketNotifier::Read);
    QObject::connect(on_signal.get(), &QSocketNotifier::activated, &window, [&] {
      signalfd_siginfo info{};
      while (::read(shutdown_signals.Get(), &info, sizeof info) == sizeof info) {
      }
      window.close();
      QApplication::quit();  // also when the window sat hidden in the tray
    });
  }
  window.Start();
  if (demo) core->AddLog(demo->Announcement(core->Active() ? core->LocalUrl() : ""));
  const int result = QApplication::exec();
  loop.Quit();
  return result;
}
