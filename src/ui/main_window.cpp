// The main window's widgets, the program start after creation, and the menu, tray and close
// handlers, each a call into the core plus what the view must show of it.
#include "main_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QCursor>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QHelpEvent>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolTip>
#include <QUrl>

#include "about_box.h"
#include "app_icon.h"
#include "message_box.h"
#include "settings_dialog.h"

namespace orvelle::ui {
namespace {

// The log view's size, the window's client area below the menu as it always was.
constexpr int kClientWidth = 548;
constexpr int kClientHeight = 257;
// Dialogs open this far right of and below the main window's top-left corner.
constexpr int kDialogOffset = 20;

}  // namespace

MainWindow::MainWindow(app::MainLoop& loop, app::ServerOptions options)
    : lbLog(new LogView(this)), feed_(std::make_unique<LogFeed>(loop, *lbLog)) {
  setObjectName("fmHTTPServerMain");
  setWindowTitle("Orvelle Server");
  setWindowIcon(AppIcon());
  lbLog->setFixedSize(kClientWidth, kClientHeight);
  setCentralWidget(lbLog);
  layout()->setSizeConstraint(QLayout::SetFixedSize);
  options.console = feed_->Sink();
  core_ = std::make_unique<app::ServerMain>(loop, std::move(options));
  BuildMenus();
  BuildStatusBar();
  BuildTray();
  AboutBox = new TAboutBox(this);
  FrmSettings = new TFrmSettings(*core_, this);
}

MainWindow::~MainWindow() {
  // Lines the core logs while it stops are for a view that is going away.
  feed_.reset();
  core_.reset();
}

void MainWindow::BuildMenus() {
  acActivate = new QAction("&Activate", this);
  acActivate->setObjectName("acActivate");
  acActivate->setCheckable(true);
  // The action stays in the core's state; a trigger must not toggle it by itself.
  connect(acActivate, &QAction::triggered, this, &MainWindow::acActivateExecute);
  QMenuBar* bar = menuBar();
  Activate1 = bar->addAction("Start");
  Activate1->setObjectName("Activate1");
  connect(Activate1, &QAction::triggered, acActivate, &QAction::trigger);
  Settings1 = bar->addAction("Settings");
  Settings1->setObjectName("Settings1");
  connect(Settings1, &QAction::triggered, this, &MainWindow::Settings1Click);
  About1 = bar->addAction("About");
  About1->setObjectName("About1");
  connect(About1, &QAction::triggered, this, &MainWindow::About1Click);
  // A menu bar shows no tooltips of its own: the greyed "Settings" must say why it is greyed.
  bar->installEventFilter(this);
  Startbrowser1 = bar->addAction("Start browser");
  Startbrowser1->setObjectName("Startbrowser1");
  connect(Startbrowser1, &QAction::triggered, this, &MainWindow::Startbrowser1Click);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == menuBar() && event->type() == QEvent::ToolTip) {
    const auto* help = static_cast<QHelpEvent*>(event);
    const QAction* action = menuBar()->actionAt(help->pos());
    if (action != nullptr && action->toolTip() != action->text().remove('&')) {
      QToolTip::showText(help->globalPos(), action->toolTip(), menuBar());
    } else {
      QToolTip::hideText();
    }
    return true;
  }
  return QMainWindow::eventFilter(watched, event);
}

void MainWindow::BuildStatusBar() {
  Status = new QLabel(this);
  Status->setObjectName("Status");
  Status->setTextFormat(Qt::RichText);
  Status->setTextInteractionFlags(Qt::TextBrowserInteraction);
  connect(Status, &QLabel::linkActivated, this,
          [](const QString& url) { QDesktopServices::openUrl(QUrl(url)); });
  statusBar()->addWidget(Status, 1);
  statusBar()->setSizeGripEnabled(false);
  ShowCaption();
}

void MainWindow::BuildTray() {
  PopupMenu1 = new QMenu(this);
  PopupMenu1->setObjectName("PopupMenu1");
  Show1 = PopupMenu1->addAction("Show");
  Show1->setObjectName("Show1");
  connect(Show1, &QAction::triggered, this, &MainWindow::Show1Click);
  TrayIcon1 = new QSystemTrayIcon(AppIcon(), this);
  TrayIcon1->setObjectName("TrayIcon1");
  TrayIcon1->setToolTip("Orvelle");
  TrayIcon1->setContextMenu(PopupMenu1);
  // A left click opens the same menu as a right click.
  connect(TrayIcon1, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason why) {
            if (why == QSystemTrayIcon::Trigger) PopupMenu1->popup(QCursor::pos());
          });
  if (QSystemTrayIcon::isSystemTrayAvailable()) TrayIcon1->show();
}

void MainWindow::Start() {
  if (core_->GetSetting("AutoActivate") == "yes") acActivateExecute();
  const bool minimize = core_->GetSetting("AutoMinimize") == "yes";
  adjustSize();
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - frameGeometry().center() + pos());
  }
  if (!minimize) {
    show();
  } else if (!HidesToTray()) {
    showMinimized();
  }
  // Minimised into the tray the window stays hidden until "Show".
  const std::string message = core_->ReloadSettings();
  if (!message.empty()) ShowMessage(this, message);
}

void MainWindow::acActivateExecute() {
  core_->StartOrStop();
  ShowCaption();
}

void MainWindow::ShowCaption() {
  const bool running = core_->Active();
  Activate1->setText(running ? "Stop" : "Start");
  acActivate->setChecked(running);
  // The grid edits the live configuration, which request threads read while the server runs.
  Settings1->setEnabled(!running);
  const QString why =
      running ? "Stop the server to change the settings." : "Edit the settings in config.ini.";
  Settings1->setToolTip(why);
  Settings1->setStatusTip(why);
  const QString url = QString::fromStdString(core_->LocalUrl()).toHtmlEscaped();
  Status->setText(running ? QString("Running \u2014 <a href=\"%1\">%1</a>").arg(url)
                          : QString("Stopped"));
}

void MainWindow::Startbrowser1Click() {
  if (!core_->Active()) {
    ShowMessage(this, QString("Please start server first !"));
    return;
  }
  // The port as bound, which is the configured one unless that was 0 (any free port).
  QDesktopServices::openUrl(QUrl(QString("http://127.0.0.1:%1").arg(core_->ListeningPort())));
}

void MainWindow::Settings1Click() {
  if (core_->Active()) return;  // greyed out then; a shortcut or the tray must not get past it
  FrmSettings->move(DialogPosition());
  FrmSettings->ShowModal();
}

void MainWindow::About1Click() {
  AboutBox->ShowHelpUrl(core_->Active() ? QString::fromStdString(core_->LocalUrl()) : QString());
  AboutBox->move(DialogPosition());
  AboutBox->exec();
}

void MainWindow::Show1Click() {
  showNormal();
  raise();
  activateWindow();
}

QPoint MainWindow::DialogPosition() const {
  return pos() + QPoint(kDialogOffset, kDialogOffset);
}

bool MainWindow::HidesToTray() const {
  return QSystemTrayIcon::isSystemTrayAvailable();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  core_->Close();
  ShowCaption();
  TrayIcon1->hide();
  event->accept();
}

void MainWindow::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  // Hidden from inside the state change the window would come back; hide once it is done.
  if (event->type() == QEvent::WindowStateChange && isMinimized() && HidesToTray()) {
    QTimer::singleShot(0, this, &QWidget::hide);
  }
}

}  // namespace orvelle::ui
