// TFrmSettings over a real core and a real config.ini: the grid's rows in file order, pick lists
// on exactly the six switch rows, an edit in effect before "OK", "OK" writing the file, the
// reload on every show, the messages for a missing file and a failed write; "OK" without an edit
// leaving the file as it was, --port never saved, and "Cancel" putting the list back.
#include "ui/settings_dialog.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <memory>

#include "ui/main_window.h"
#include "ui_test_support.h"
#include "window_rig.h"

namespace orvelle::ui {

using testing::ConfigText;
using testing::ModalCloser;
using testing::ReadFile;
using testing::WaitUntil;
using testing::WindowRig;

namespace {

constexpr const char* kLoadError = "Error loading configuration. Please check configuration.";

QStringList Column(ValueListEditor& grid, int column) {
  QStringList texts;
  for (int row = 0; row < grid.rowCount(); ++row) texts << grid.item(row, column)->text();
  return texts;
}

int RowOf(ValueListEditor& grid, const QString& key) {
  for (int row = 0; row < grid.rowCount(); ++row) {
    if (grid.item(row, 0)->text() == key) return row;
  }
  qFatal("no row %s", qPrintable(key));
}

// Opens the value cell's editor as a user's click would, and returns it.
QWidget* OpenEditor(ValueListEditor& grid, int row) {
  grid.setCurrentCell(row, 1);
  grid.editItem(grid.item(row, 1));
  return grid.indexWidget(grid.model()->index(row, 1));
}

}  // namespace

class SettingsDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { QApplication::setApplicationName("orvelle"); }

  void init() {
    rig_ = std::make_unique<WindowRig>();
    rig_->home.Config(ConfigText());
  }

  void cleanup() { rig_.reset(); }

  void gridShowsTheFileRowsInOrder() {
    rig_->home.Config(
        "Server port=8080\nuse session=yes\r\nplain line\rAuth user=a=b\nServer port=1\n");
    TFrmSettings& dialog = Open();
    QCOMPARE(dialog.windowTitle(), QString("Settings"));
    QCOMPARE(dialog.VLE().columnCount(), 2);
    QCOMPARE(Column(dialog.VLE(), 0),
             (QStringList{"Server port", "use session", "plain line", "Auth user", "Server port"}));
    QCOMPARE(Column(dialog.VLE(), 1), (QStringList{"8080", "yes", "", "a=b", "1"}));
    QCOMPARE(dialog.findChild<QPushButton*>("BitBtn1")->text(), QString("OK"));
  }

  void pickListsOnExactlyTheSixSwitchRows() {
    rig_->home.Config(ConfigText("0", "use session=no\r\n"));
    TFrmSettings& dialog = Open();
    const QStringList switches{"Use session",  "AutoActivate", "AutoMinimize",
                               "Auth require", "Log to file",  "Show errors on page"};
    QCOMPARE(dialog.VLE().rowCount(), 11);
    int combos = 0;
    for (int row = 0; row < dialog.VLE().rowCount(); ++row) {
      const QString key = dialog.VLE().item(row, 0)->text();
      QWidget* editor = OpenEditor(dialog.VLE(), row);
      QVERIFY2(editor != nullptr, qPrintable(key));
      auto* combo = qobject_cast<QComboBox*>(editor);
      QCOMPARE(combo != nullptr, switches.contains(key));  // "use session" is no switch
      if (combo != nullptr) {
        ++combos;
        QCOMPARE(combo->count(), 2);
        QCOMPARE(combo->itemText(0), QString("yes"));
        QCOMPARE(combo->itemText(1), QString("no"));
        QCOMPARE(combo->currentText(), dialog.VLE().item(row, 1)->text());
      } else {
        QVERIFY(qobject_cast<QLineEdit*>(editor) != nullptr);
      }
      dialog.VLE().CommitOpenEdit();
      dialog.VLE().setCurrentCell(row, 0);  // closes the editor
    }
    QCOMPARE(combos, 6);
    QCOMPARE(QString::fromStdString(ReadFile(rig_->home.ConfigFile())),
             QString::fromStdString(ConfigText("0", "use session=no\r\n")));  // nothing changed
  }

  void keysAreNotEditable() {
    TFrmSettings& dialog = Open();
    QVERIFY(!(dialog.VLE().item(0, 0)->flags() & Qt::ItemIsEditable));
    QVERIFY(dialog.VLE().item(0, 1)->flags() & Qt::ItemIsEditable);
  }

  void anEditIsInEffectBeforeOkAndLostOnTheNextShow() {
    TFrmSettings& dialog = Open();
    auto* combo =
        qobject_cast<QComboBox*>(OpenEditor(dialog.VLE(), RowOf(dialog.VLE(), "Log to file")));
    QVERIFY(combo != nullptr);
    combo->setCurrentIndex(0);
    dialog.VLE().CommitOpenEdit();
    QCOMPARE(QString::fromStdString(rig_->window->Core().GetSetting("Log to file")),
             QString("yes"));
    // In effect: the next log line goes to web/log.txt.
    rig_->window->Core().AddLog("after the edit");
    QVERIFY(ReadFile(rig_->home.Web() / "log.txt").find("after the edit") != std::string::npos);
    dialog.reject();
    QVERIFY(ReadFile(rig_->home.ConfigFile()).find("Log to file=no\r\n") != std::string::npos);
    dialog.FormShow();
    QCOMPARE(dialog.VLE().item(RowOf(dialog.VLE(), "Log to file"), 1)->text(), QString("no"));
    QCOMPARE(QString::fromStdString(rig_->window->Core().GetSetting("Log to file")), QString("no"));
  }

  void okWritesTheFileWithAnOpenEdit() {
    TFrmSettings& dialog = Open();
    auto* edit =
        qobject_cast<QLineEdit*>(OpenEditor(dialog.VLE(), RowOf(dialog.VLE(), "Auth user")));
    QVERIFY(edit != nullptr);
    edit->selectAll();
    QTest::keyClicks(edit, "operator");
    // The edit is still open when "OK" is clicked; it must not be lost.
    QTest::mouseClick(dialog.findChild<QPushButton*>("BitBtn1"), Qt::LeftButton);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QVERIFY(!dialog.isVisible());
    std::string expected = ConfigText();
    expected.replace(expected.find("Auth user=user"), 14, "Auth user=operator");
    QCOMPARE(QString::fromStdString(ReadFile(rig_->home.ConfigFile())),
             QString::fromStdString(expected));
  }

  void okKeepsUneditedLinesByteForByte() {
    const std::string latin1_password = "Auth password=k\xe9lp";  // not UTF-8
    rig_->home.Config("Server port=1\r\n" + latin1_password + "\r\nplain line\r\n");
    TFrmSettings& dialog = Open();
    auto* edit = qobject_cast<QLineEdit*>(OpenEditor(dialog.VLE(), 0));
    QVERIFY(edit != nullptr);
    edit->selectAll();
    QTest::keyClicks(edit, "2");
    dialog.VLE().CommitOpenEdit();
    QCOMPARE(QString::fromStdString(rig_->window->Core().GetSetting("Server port")), QString("2"));
    QTest::mouseClick(dialog.findChild<QPushButton*>("BitBtn1"), Qt::LeftButton);
    QVERIFY(ReadFile(rig_->home.ConfigFile()) ==
            "Server port=2\r\n" + latin1_password + "\r\nplain line\r\n");
  }

  void okNeverSavesTheCommandLinePort() {
    const std::string file = "Server port=8080\nAuth user=user\n";  // LF only: bytes must stay
    rig_->home.Config(file);
    TFrmSettings& dialog = Open(0);
    QCOMPARE(dialog.VLE().item(RowOf(dialog.VLE(), "Server port"), 1)->text(), QString("0"));
    QTest::mouseClick(dialog.findChild<QPushButton*>("BitBtn1"), Qt::LeftButton);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QVERIFY(ReadFile(rig_->home.ConfigFile()) == file);

    dialog.FormShow();
    auto* edit =
        qobject_cast<QLineEdit*>(OpenEditor(dialog.VLE(), RowOf(dialog.VLE(), "Auth user")));
    QVERIFY(edit != nullptr);
    edit->selectAll();
    QTest::keyClicks(edit, "operator");
    QTest::mouseClick(dialog.findChild<QPushButton*>("BitBtn1"), Qt::LeftButton);
    QVERIFY(ReadFile(rig_->home.ConfigFile()) == "Server port=8080\r\nAuth user=operator\r\n");
    // Still in effect for this run.
    QCOMPARE(QString::fromStdString(rig_->window->Core().GetSetting("Server port")), QString("0"));
  }

  void cancelPutsTheListBackAndWritesNothing() {
    TFrmSettings& dialog = Open();
    auto* combo =
        qobject_cast<QComboBox*>(OpenEditor(dialog.VLE(), RowOf(dialog.VLE(), "Log to file")));
    QVERIFY(combo != nullptr);
    combo->setCurrentIndex(0);
    dialog.VLE().CommitOpenEdit();
    QCOMPARE(QString::fromStdString(rig_->window->Core().GetSetting("Log to file")),
             QString("yes"));
    auto* cancel = dialog.findChild<QPushButton*>("CancelButton");
    QVERIFY(cancel != nullptr);
    QCOMPARE(cancel->text(), QString("Cancel"));
    QTest::mouseClick(cancel, Qt::LeftButton);
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QVERIFY(!dialog.isVisible());
    QCOMPARE(QString::fromStdString(rig_->window->Core().GetSetting("Log to file")), QString("no"));
    QVERIFY(ReadFile(rig_->home.ConfigFile()) == ConfigText());
  }

  void eachShowReloadsTheFile() {
    TFrmSettings& dialog = Open();
    dialog.reject();
    rig_->home.Config("Server port=9\r\nAuthor=me\r\n");
    dialog.FormShow();
    QCOMPARE(Column(dialog.VLE(), 0), (QStringList{"Server port", "Author"}));
    QCOMPARE(Column(dialog.VLE(), 1), (QStringList{"9", "me"}));
  }

  void missingFileOnShowGetsDefaultsAndTheMessage() {
    TFrmSettings& dialog = Open();
    dialog.reject();
    std::filesystem::remove(rig_->home.ConfigFile());
    ModalCloser closer;
    dialog.FormShow();
    QCOMPARE(closer.Names(), QStringList{kLoadError});
    QVERIFY(ReadFile(rig_->home.ConfigFile()).find("Auth password=kelp\r\n") != std::string::npos);
    QCOMPARE(dialog.VLE().item(dialog.VLE().rowCount() - 1, 0)->text(),
             QString("Show errors on page"));
  }

  void failedWriteKeepsTheDialogOpen() {
    TFrmSettings& dialog = Open();
    std::filesystem::remove(rig_->home.ConfigFile());
    std::filesystem::create_directory(rig_->home.ConfigFile());  // nothing can replace a folder
    ModalCloser closer;
    QTest::mouseClick(dialog.findChild<QPushButton*>("BitBtn1"), Qt::LeftButton);
    QCOMPARE(closer.Names().size(), 1);
    QVERIFY(closer.Names()[0].startsWith("Cannot write "));
    QVERIFY(dialog.isVisible());
  }

 private:
  // The dialog as the "Settings" command shows it, but without a nested modal loop.
  TFrmSettings& Open(std::optional<int> port = std::nullopt) {
    TFrmSettings& dialog = rig_->Make(port).Settings();
    dialog.FormShow();
    dialog.show();
    return dialog;
  }

  std::unique_ptr<WindowRig> rig_;
};

}  // namespace orvelle::ui

QTEST_MAIN(orvelle::ui::SettingsDialogTest)
#include "settings_dialog_test.moc"
