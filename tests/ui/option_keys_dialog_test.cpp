// The option keys' grid over a real configuration list: a row per key with its option and value,
// an edit going into the list at once (only when the value changed), a line break refused.
#include "ui/option_keys_dialog.h"

#include <QApplication>
#include <QTest>

#include "app/config_keys.h"

namespace orvelle::ui {

class OptionKeysDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void rowsShowEachKeyItsOptionAndValue() {
    app::ConfigStore settings;
    settings.SetLines({"Server port=80", "bind ADDRESS=127.0.0.1"});
    OptionKeysDialog dialog(settings, nullptr);
    QTableWidget& grid = dialog.Grid();
    QCOMPARE(grid.rowCount(), static_cast<int>(app::kOptionKeys.size()));
    QCOMPARE(grid.item(0, 0)->text(), QString("Bind address"));
    QCOMPARE(grid.item(0, 1)->text(), QString("--bind"));
    QCOMPARE(grid.item(0, 2)->text(), QString("127.0.0.1"));
    for (int row = 1; row < grid.rowCount(); ++row) QVERIFY(grid.item(row, 2)->text().isEmpty());
    QVERIFY(!(grid.item(0, 0)->flags() & Qt::ItemIsEditable));
    QVERIFY(grid.item(0, 2)->flags() & Qt::ItemIsEditable);
  }

  void editsGoIntoTheListOnlyWhenChanged() {
    app::ConfigStore settings;
    settings.SetLines({"Server port=80", "bind ADDRESS=127.0.0.1"});
    OptionKeysDialog dialog(settings, nullptr);
    QTableWidget& grid = dialog.Grid();
    grid.item(0, 2)->setText("");  // cleared: the line stays, with no value
    grid.item(1, 2)->setText("");  // "HTTPS port" was not there and stays away
    grid.item(10, 2)->setText("bench1");
    const std::vector<std::string> expected = {"Server port=80",
                                               "bind ADDRESS=", "MQTT name=bench1"};
    QCOMPARE(settings.Lines(), expected);
    grid.item(10, 2)->setText("two\nlines");
    QCOMPARE(settings.Lines(), expected);
    QCOMPARE(grid.item(10, 2)->text(), QString("bench1"));
  }
};

}  // namespace orvelle::ui

QTEST_MAIN(orvelle::ui::OptionKeysDialogTest)
#include "option_keys_dialog_test.moc"
