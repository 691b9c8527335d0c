// MainWindow (the form TfmHTTPServerMain): the desktop face of app::ServerMain. It shows the log,
// turns menu and tray commands into the core's handlers, and owns the dialogs; the server logic
// stays in the core.
#pragma once

#include <QMainWindow>
#include <memory>

#include "app/main_loop.h"
#include "app/server_main.h"
#include "log_view.h"

class QAction;
class QLabel;
class QMenu;
class QSystemTrayIcon;

namespace orvelle::ui {

class TAboutBox;
class TFrmSettings;

class MainWindow final : public QMainWindow {
  Q_OBJECT

 public:
  // Creates the core and the dialogs; creating the settings dialog loads the configuration.
  // `loop` must outlive the window; `options.console` is replaced by the log view's feed.
  MainWindow(app::MainLoop& loop, app::ServerOptions options);
  ~MainWindow() override;

  // The rest of the program start: "AutoActivate", "AutoMinimize", showing the window and the
  // reload of config.ini that comes with it.
  void Start();

  app::ServerMain& Core() { return *core_; }
  LogView& Log() { return *lbLog; }
  TFrmSettings& Settings() { return *FrmSettings; }
  QSystemTrayIcon& Tray() { return *TrayIcon1; }

  // Menu and tray handlers.
  void acActivateExecute();
  void Startbrowser1Click();
  void Settings1Click();
  void About1Click();
  void Show1Click();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildMenus();
  void BuildStatusBar();
  void BuildTray();
  void ShowCaption();
  QPoint DialogPosition() const;
  bool HidesToTray() const;

  LogView* lbLog;                  // owned by the window
  std::unique_ptr<LogFeed> feed_;  // before the core: the core's log writes through it
  std::unique_ptr<app::ServerMain> core_;
  QAction* acActivate = nullptr;  // checked while the server runs
  QAction* Activate1 = nullptr;   // "Start" / "Stop"
  QAction* Settings1 = nullptr;
  QAction* About1 = nullptr;
  QAction* Startbrowser1 = nullptr;
  QLabel* Status = nullptr;  // running or stopped, and the pages' address as a link
  QSystemTrayIcon* TrayIcon1 = nullptr;
  QMenu* PopupMenu1 = nullptr;
  QAction* Show1 = nullptr;
  TAboutBox* AboutBox = nullptr;
  TFrmSettings* FrmSettings = nullptr;
};

}  // namespace orvelle::ui
