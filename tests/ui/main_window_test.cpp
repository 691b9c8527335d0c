// The main window over a real core on 127.0.0.1: greeting and layout, start and stop through
// the menu on a real port, request log lines in the view, the message boxes, "Start browser",
// the settings and about dialogs, the tray menu, the start-up switches and config reloads, and
// closing while a script runs.
#include "ui/main_window.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <QAction>
#include <QDesktopServices>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTest>
#include <QUrl>
#include <memory>
#include <thread>

#include "http/test_client.h"
#include "ui/about_box.h"
#include "ui/settings_dialog.h"
#include "ui_test_support.h"
#include "window_rig.h"

namespace orvelle::ui {

using http::testing::Exchange;
using http::testing::SplitResponse;
using testing::ConfigText;
using testing::ModalCloser;
using testing::ReadFile;
using testing::WaitUntil;
using testing::WindowRig;

namespace {

// Writes a line, then counts until aborted.
constexpr const char* kLongPage =
    "<%\necho (\"started\")\nfor (i, 1, 2000000000, 1)\nnext\necho (\"finished\")\n%>\n";
constexpr const char* kLoadError = "Error loading configuration. Please check configuration.";

// Records the addresses handed to the desktop's browser.
class UrlRecorder : public QObject {
  Q_OBJECT

 public:
  explicit UrlRecorder(const QString& scheme) : scheme_(scheme) {
    QDesktopServices::setUrlHandler(scheme_, this, "Open");
  }
  ~UrlRecorder() override { QDesktopServices::unsetUrlHandler(scheme_); }
  QList<QUrl> urls;

 public slots:
  void Open(const QUrl& url) { urls << url; }

 private:
  QString scheme_;
};

// A socket listening on 127.0.0.1, holding its port.
base::UniqueFd ListeningSocket(int& port) {
  base::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  ::listen(fd.Get(), 4);
  socklen_t length = sizeof address;
  ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(address.sin_port);
  return fd;
}

bool ViewHasLineWith(MainWindow& window, const QString& text) {
  return window.Log().toPlainText().contains(text);
}

QStringList MenuTexts(QMainWindow& window) {
  QStringList texts;
  for (QAction* action : window.menuBar()->actions()) texts << action->text();
  return texts;
}

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { QApplication::setApplicationName("orvelle"); }

  void init() {
    rig_ = std::make_unique<WindowRig>();
    rig_->home.Config(ConfigText());
    rig_->home.Page("a.txt", "static");
    rig_->home.Page("long.ovs", kLongPage);
  }

  void cleanup() { rig_.reset(); }

  void showsGreetingMenusAndFixedSize() {
    MainWindow& window = Make();
    window.Start();
    QCOMPARE(window.windowTitle(), QString("Orvelle Server"));
    QVERIFY(WaitUntil([&] { return window.Log().LineCount() >= 3; }));
    const QStringList lines = window.Log().toPlainText().split('\n');
    QCOMPARE(lines.value(0),
             QString("To get help please start the server then click \"Start browser\" button."));
    QCOMPARE(lines.value(1), QString("The help files contain examples written with scripts."));
    QCOMPARE(lines.value(2), QString("You can try an web RS232 terminal written with scripts."));
    QCOMPARE(MenuTexts(window), (QStringList{"Start", "Settings", "About", "Start browser"}));
    QVERIFY(window.Log().isReadOnly());
    QCOMPARE(window.Log().size(), QSize(548, 257));
    QCOMPARE(window.minimumSize(), window.maximumSize());
    QVERIFY(window.isVisible());
  }

  void startAndStopThroughTheMenuServeOnARealPort() {
    MainWindow& window = Make();
    window.Start();
    Menu(window, "Activate1")->trigger();
    QVERIFY(window.Core().Active());
    QCOMPARE(Menu(window, "Activate1")->text(), QString("Stop"));
    QVERIFY(window.findChild<QAction*>("acActivate")->isChecked());
    const int port = window.Core().ListeningPort();
    QVERIFY(port > 0);
    const auto response =
        SplitResponse(Exchange(port, "GET /a.txt HTTP/1.1\r\nHost: localhost\r\n\r\n").bytes);
    QCOMPARE(QString::fromStdString(response.status_line), QString("HTTP/1.1 200 OK"));
    QCOMPARE(QString::fromStdString(response.body), QString("static"));
    // The request thread's log line reaches the view through the main loop.
    QVERIFY(WaitUntil(
        [&] { return ViewHasLineWith(window, "Command GET /a.txt received from 127.0.0.1:"); }));
    QVERIFY(ViewHasLineWith(window,
                            QString("Listening for HTTP connections on 127.0.0.1:%1.").arg(port)));

    Menu(window, "Activate1")->trigger();
    QVERIFY(!window.Core().Active());
    QCOMPARE(Menu(window, "Activate1")->text(), QString("Start"));
    QVERIFY(!window.findChild<QAction*>("acActivate")->isChecked());
    QVERIFY(!http::testing::Connect(port).Valid());
    QVERIFY(WaitUntil([&] { return ViewHasLineWith(window, "Stop listening, com port closed."); }));
  }

  void failedStartKeepsStart() {
    int port = 0;
    const base::UniqueFd taken = ListeningSocket(port);
    rig_->home.Config(ConfigText(std::to_string(port)));
    MainWindow& window = Make();
    window.Start();
    Menu(window, "Activate1")->trigger();
    QVERIFY(!window.Core().Active());
    QCOMPARE(Menu(window, "Activate1")->text(), QString("Start"));
    QVERIFY(WaitUntil(
        [&] { return ViewHasLineWith(window, "Exception ECouldNotBindSocket in Activate."); }));
  }

  void startBrowserNeedsARunningServer() {
    MainWindow& window = Make();
    window.Start();
    UrlRecorder browser("http");
    {
      ModalCloser closer;
      Menu(window, "Startbrowser1")->trigger();
      QCOMPARE(closer.Names(), QStringList{"Please start server first !"});
    }
    QVERIFY(browser.urls.isEmpty());
    window.acActivateExecute();
    QVERIFY2(window.Core().Active(), qPrintable(window.Log().toPlainText()));
    {
      ModalCloser closer;
      Menu(window, "Startbrowser1")->trigger();
      QCOMPARE(closer.Names(), QStringList{});
    }
    QCOMPARE(browser.urls,
             QList<QUrl>{QUrl(QString("http://127.0.0.1:%1").arg(window.Core().ListeningPort()))});
  }

  void settingsOpenOnlyWhileStopped() {
    MainWindow& window = Make();
    window.Start();
    window.move(100, 80);
    window.acActivateExecute();
    QVERIFY2(window.Core().Active(), qPrintable(window.Log().toPlainText()));
    {
      ModalCloser closer;
      Menu(window, "Settings1")->trigger();
      QCOMPARE(closer.Names(), QStringList{});
      QVERIFY(!window.Settings().isVisible());
    }
    window.acActivateExecute();
    QVERIFY2(!window.Core().Active(), qPrintable(window.Log().toPlainText()));
    ModalCloser closer;
    Menu(window, "Settings1")->trigger();
    QCOMPARE(closer.Names(), QStringList{"FrmSettings"});
    QCOMPARE(closer.Seen()[0].position, window.pos() + QPoint(20, 20));
  }

  void aboutBoxShowsVersionAndOpensTheLink() {
    MainWindow& window = Make();
    window.Start();
    window.move(60, 50);
    QString product;
    QString help;
    ModalCloser closer([&](QDialog& dialog) {
      product = dialog.findChild<QLabel*>("ProductName")->text();
      help = dialog.findChild<QLabel*>("HomePage")->text();
    });
    Menu(window, "About1")->trigger();
    QCOMPARE(closer.Names(), QStringList{"AboutBox"});
    QCOMPARE(closer.Seen()[0].position, window.pos() + QPoint(20, 20));
    QVERIFY(product.contains("Orvelle"));
    QVERIFY(product.contains(ORVELLE_VERSION));
    // Stopped, there is no page to link to yet: the box says how to get there.
    QVERIFY(!help.contains("href"));
    QVERIFY(help.contains("Start browser"));
    auto* about = window.findChild<TAboutBox*>("AboutBox");
    QCOMPARE(about->findChild<QPushButton*>("CloseButton")->text(), QString("Close"));
  }

  void trayIconHintAndShow() {
    MainWindow& window = Make();
    window.Start();
    QCOMPARE(window.Tray().toolTip(), QString("Orvelle"));
    QMenu* menu = window.Tray().contextMenu();
    QVERIFY(menu != nullptr);
    QCOMPARE(menu->actions().size(), 1);
    QCOMPARE(menu->actions()[0]->text(), QString("Show"));
    window.showMinimized();
    QVERIFY(WaitUntil([&] { return window.isMinimized(); }));
    menu->actions()[0]->trigger();
    QVERIFY(WaitUntil([&] { return !window.isMinimized() && window.isVisible(); }));
  }

  void missingConfigIsCreatedWithOneMessage() {
    std::filesystem::remove(rig_->home.ConfigFile());
    ModalCloser closer;
    MainWindow& window = Make();
    window.Start();
    QCOMPARE(closer.Names(), QStringList{kLoadError});
    QCOMPARE(QString::fromStdString(ReadFile(rig_->home.ConfigFile())),
             QString::fromStdString(ConfigText("80")));
    QVERIFY(!window.Core().Active());
  }

  void autoActivateStartsTheServer() {
    rig_->home.Config("AutoActivate=yes\r\nServer port=0\r\n");
    MainWindow& window = Make();
    window.Start();
    QVERIFY(window.Core().Active());
    QCOMPARE(Menu(window, "Activate1")->text(), QString("Stop"));
    QVERIFY(http::testing::Connect(window.Core().ListeningPort()).Valid());
  }

  void autoMinimizeWithoutATrayMinimises() {
    rig_->home.Config("AutoMinimize=yes\r\nServer port=0\r\n");
    MainWindow& window = Make();
    window.Start();
    QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
    QVERIFY(window.isMinimized());
    QVERIFY(!window.Core().Active());
  }

  void showingTheWindowReloadsTheFile() {
    MainWindow& window = Make();
    rig_->home.Config("Server port=1234\r\n");
    window.Start();
    QCOMPARE(QString::fromStdString(window.Core().GetSetting("Server port")), QString("1234"));
    QCOMPARE(QString::fromStdString(window.Core().GetSetting("Auth user")), QString());
  }

  void failedReloadAtShowKeepsTheList() {
    MainWindow& window = Make();
    std::filesystem::remove(rig_->home.ConfigFile());
    ModalCloser closer;
    window.Start();
    QCOMPARE(closer.Names(), QStringList{kLoadError});
    QCOMPARE(QString::fromStdString(window.Core().GetSetting("Auth user")), QString("user"));
    QVERIFY(!std::filesystem::exists(rig_->home.ConfigFile()));  // no default fill here
  }

  void closingDuringAScriptEndsItAndStops() {
    MainWindow& window = Make();
    window.Start();
    window.acActivateExecute();
    QVERIFY2(window.Core().Active(), qPrintable(window.Log().toPlainText()));
    const int port = window.Core().ListeningPort();
    http::testing::ReadResult long_request;
    std::jthread client([&] {
      long_request = Exchange(port, "GET /long.ovs HTTP/1.1\r\nHost: localhost\r\n\r\n");
    });
    QVERIFY(WaitUntil([&] {
      return SplitResponse(
                 Exchange(port, "GET /probe.ovs HTTP/1.1\r\nHost: localhost\r\n\r\n").bytes)
                 .body.find("Another script is running") != std::string::npos;
    }));
    // Stopping waits for the request threads, so close returns only once the script has ended.
    QVERIFY(window.close());
    QVERIFY(!window.Core().Active());
    QCOMPARE(Menu(window, "Activate1")->text(), QString("Start"));
    client.join();
    QVERIFY(long_request.eof);  // the server closed the connection; the client did not time out
    QVERIFY(long_request.bytes.find("finished") == std::string::npos);
    QVERIFY(!http::testing::Connect(port).Valid());
    // The script slot is free again.
    window.acActivateExecute();
    QVERIFY2(window.Core().Active(), qPrintable(window.Log().toPlainText()));
    const auto after = SplitResponse(Exchange(window.Core().ListeningPort(),
                                              "GET /abort.ovs HTTP/1.1\r\nHost: localhost\r\n\r\n")
                                         .bytes);
    QVERIFY(after.body.find("No script running") != std::string::npos);
  }

 private:
  MainWindow& Make() { return rig_->Make(); }

  static QAction* Menu(MainWindow& window, const char* name) {
    auto* action = window.findChild<QAction*>(name);
    if (action == nullptr) qFatal("no action %s", name);
    return action;
  }

  std::unique_ptr<WindowRig> rig_;
};

}  // namespace orvelle::ui

QTEST_MAIN(orvelle::ui::MainWindowTest)
#include "main_window_test.moc"
