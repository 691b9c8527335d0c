// What the window tells a newcomer through a start and a stop on a real port: the status bar
// with its clickable address, "Settings" greyed with a reason while running, the password kept
// off the screen until asked for, the key column wide enough for every name, and the about box's
// link to the pages this server serves.
#include <QAction>
#include <QCheckBox>
#include <QDesktopServices>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QTest>
#include <QToolTip>
#include <QUrl>
#include <memory>

#include "ui/main_window.h"
#include "ui/settings_dialog.h"
#include "ui_test_support.h"
#include "window_rig.h"

namespace orvelle::ui {

using testing::ConfigText;
using testing::ModalCloser;
using testing::WaitUntil;
using testing::WindowRig;

namespace {

constexpr const char* kLongestKey = "Show errors on page";

// Records the addresses handed to the desktop's browser.
class UrlRecorder : public QObject {
  Q_OBJECT

 public:
  UrlRecorder() { QDesktopServices::setUrlHandler("http", this, "Open"); }
  ~UrlRecorder() override { QDesktopServices::unsetUrlHandler("http"); }
  QList<QUrl> urls;

 public slots:
  void Open(const QUrl& url) { urls << url; }
};

QAction* Menu(MainWindow& window, const char* name) {
  return window.menuBar()->findChild<QAction*>(name);
}

int PasswordRow(ValueListEditor& grid) {
  for (int row = 0; row < grid.rowCount(); ++row) {
    if (grid.item(row, 0)->text() == "Auth password") return row;
  }
  return -1;
}

}  // namespace

class WindowStateTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { QApplication::setApplicationName("orvelle"); }

  void statusSettingsAndPasswordThroughAStartAndStop() {
    WindowRig rig;
    rig.home.Config(ConfigText());
    MainWindow& window = rig.Make();
    window.Start();
    auto* status = window.findChild<QLabel*>("Status");
    QVERIFY(status != nullptr);
    QCOMPARE(status->text(), QString("Stopped"));
    QVERIFY(Menu(window, "Settings1")->isEnabled());

    // Stopped: the settings open, the password masked until "Show password".
    QStringList shown;
    {
      ModalCloser closer([&](QDialog& dialog) {
        auto& grid = *dialog.findChild<ValueListEditor*>("VLE");
        const int row = PasswordRow(grid);
        shown << grid.ShownText(row);
        grid.setCurrentCell(row, 1);
        grid.editItem(grid.item(row, 1));
        auto* editor = qobject_cast<QLineEdit*>(grid.indexWidget(grid.model()->index(row, 1)));
        shown << (editor && editor->echoMode() == QLineEdit::Password ? "editor masked" : "clear");
        grid.CommitOpenEdit();
        dialog.findChild<QCheckBox*>("ShowPassword")->setChecked(true);
        shown << grid.ShownText(row);
        const int longest = grid.fontMetrics().horizontalAdvance(kLongestKey);
        shown << (grid.columnWidth(0) > longest ? "key fits" : "key cut");
      });
      Menu(window, "Settings1")->trigger();
      QCOMPARE(closer.Names(), QStringList{"FrmSettings"});
    }
    QCOMPARE(shown, (QStringList{QString(8, QChar(0x2022)), "editor masked", "kelp", "key fits"}));
    QCOMPARE(window.Core().GetSetting("Auth password"), std::string("kelp"));

    // Running: the status bar names the address and opens it; Settings is greyed with a reason.
    Menu(window, "Activate1")->trigger();
    QVERIFY2(window.Core().Active(), qPrintable(window.Log().toPlainText()));
    const QString url = QString("http://127.0.0.1:%1/").arg(window.Core().ListeningPort());
    QVERIFY2(status->text().startsWith("Running"), qPrintable(status->text()));
    QVERIFY2(status->text().contains(QString("href=\"%1\"").arg(url)), qPrintable(status->text()));
    QVERIFY(!Menu(window, "Settings1")->isEnabled());
    QVERIFY(Menu(window, "Settings1")->toolTip().contains("Stop the server"));
    QMenuBar* bar = window.menuBar();
    const QPoint over = bar->actionGeometry(Menu(window, "Settings1")).center();
    QHelpEvent hover(QEvent::ToolTip, over, bar->mapToGlobal(over));
    QApplication::sendEvent(bar, &hover);
    QVERIFY(WaitUntil([] { return QToolTip::text().contains("Stop the server"); }));
    UrlRecorder browser;
    emit status->linkActivated(url);
    QCOMPARE(browser.urls, QList<QUrl>{QUrl(url)});
    QString help;
    ModalCloser about(
        [&](QDialog& dialog) { help = dialog.findChild<QLabel*>("HomePage")->text(); });
    Menu(window, "About1")->trigger();
    QVERIFY2(help.contains(QString("href=\"%1\"").arg(url)), qPrintable(help));

    Menu(window, "Activate1")->trigger();
    QCOMPARE(status->text(), QString("Stopped"));
    QVERIFY(Menu(window, "Settings1")->isEnabled());
    QVERIFY(!Menu(window, "Settings1")->toolTip().contains("Stop the server"));
  }
};

}  // namespace orvelle::ui

QTEST_MAIN(orvelle::ui::WindowStateTest)
#include "window_state_test.moc"
