// Takes the documentation's pictures: the main window after a start and one page request, and
// the settings dialog, each grabbed to a PNG in the folder given on the command line. Run it
// under a display (tools/screenshots-gui.sh uses Xvfb).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPixmap>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "app/main_loop.h"
#include "base/unique_fd.h"
#include "ui/loop_driver.h"
#include "ui/main_window.h"
#include "ui/settings_dialog.h"

namespace {

namespace fs = std::filesystem;

// Nothing here may wait longer than this for the server or the log.
constexpr int kWaitMs = 10000;

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A home with the default settings but port 8080, and one page to request.
fs::path MakeHome() {
  std::string pattern = (fs::temp_directory_path() / "orvelle-shots-XXXXXX").string();
  const fs::path home = ::mkdtemp(pattern.data());
  fs::create_directories(home / "web");
  WriteFile(home / "config.ini",
            "AutoActivate=no\r\nAutoMinimize=no\r\nServer port=8080\r\nUse session=no\r\n"
            "Session expire=1\r\nAuth require=no\r\nAuth user=user\r\nAuth password=kelp\r\n"
            "Log to file=no\r\nShow errors on page=no\r\n");
  WriteFile(home / "web" / "index.html", "<html><body>Orvelle</body></html>\n");
  return home;
}

// One GET of "/" so the log shows a request and the file sent.
bool RequestIndex(int port, orvelle::ui::MainWindow& window) {
  const int lines_before = window.Log().LineCount();
  orvelle::base::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const timeval timeout{kWaitMs / 1000, 0};
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return false;
  }
  const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  ::send(fd.Get(), request.data(), request.size(), MSG_NOSIGNAL);
  char buffer[4096];
  while (::recv(fd.Get(), buffer, sizeof buffer, 0) > 0) {
  }
  QElapsedTimer clock;
  clock.start();
  while (window.Log().LineCount() < lines_before + 2 && clock.elapsed() < kWaitMs) {
    QApplication::processEvents(QEventLoop::AllEvents, 50);
  }
  return true;
}

bool Save(QWidget& widget, const fs::path& file) {
  QApplication::processEvents();
  if (widget.grab().save(QString::fromStdString(file.string()), "PNG")) return true;
  std::cerr << "cannot write " << file << "\n";
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName("orvelle");
  if (argc != 2) {
    std::cerr << "usage: orvelle-gui-screenshots OUTPUT-FOLDER\n";
    return 2;
  }
  const fs::path out = argv[1];
  const fs::path home = MakeHome();
  bool ok = false;
  {
    orvelle::app::MainLoop loop;
    orvelle::ui::LoopDriver driver(loop);
    orvelle::app::ServerOptions options;
    options.home = home;
    options.listen_ip = "127.0.0.1";
    orvelle::ui::MainWindow window(loop, options);
    window.Start();
    window.acActivateExecute();
    if (!window.Core().Active()) {  // 8080 is taken here: any free port will do
      window.Core().Settings().SetValue("Server port", "0");
      window.acActivateExecute();
    }
    ok = window.Core().Active() && RequestIndex(window.Core().ListeningPort(), window) &&
         Save(window, out / "gui-main-window.png");
    window.acActivateExecute();  // the settings open only while stopped
    orvelle::ui::TFrmSettings& settings = window.Settings();
    settings.FormShow();
    settings.show();
    ok = Save(settings, out / "gui-settings.png") && ok;
    settings.hide();
    window.close();
    loop.Quit();
  }
  std::error_code ignored;
  fs::remove_all(home, ignored);
  return ok ? 0 : 1;
}
