// What a window test needs for one test function: a home folder, the main loop with its Qt
// driver, and the main window made on demand; torn down window first, home last.
#pragma once

#include <memory>
#include <optional>

#include "app/main_loop.h"
#include "app/server_main.h"
#include "ui/loop_driver.h"
#include "ui/main_window.h"
#include "ui_test_support.h"

namespace orvelle::ui::testing {

struct WindowRig {
  TempHome home;
  app::MainLoop loop;
  LoopDriver driver{loop};
  std::unique_ptr<MainWindow> window;  // last, so it goes before what it uses

  // The main window on this home, serving on 127.0.0.1 only; `port` as --port gives it.
  MainWindow& Make(std::optional<int> port = std::nullopt) {
    app::ServerOptions options;
    options.home = home.Path();
    options.port = port;
    options.listen_ip = "127.0.0.1";
    window = std::make_unique<MainWindow>(loop, options);
    return *window;
  }
};

}  // namespace orvelle::ui::testing
