// The option keys' grid over a real configuration list: a row per key with its option and value,
// an edit going into the list at once (only when the value changed), a line break refused.
#include "ui/option_keys_dialog.h"

#include <QApplication>
#include <QTest>

#include "app/config_keys.h"

namespace orvelle::ui {
namespace {

int RowOf(QTableWidget& grid, const QString& key) {
  for (int row = 0; row < grid.rowCount(); ++row) {
    if (grid.item(row, 0)->text() == key) return row;
  }
  qFatal("no row %s", qPrintable(key));
}

}  // namespace

class OptionKeysDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void rowsShowEachKeyItsOptionAndValue() {
    app::ConfigStore settings;
    settings.SetLines({"Server port=80", "bind ADDRESS=127.0.0.1"});
    OptionKeysDialog dialog(settings, nullptr);
    QTableWidget& grid = dialog.Grid();
    QCOMPARE(grid.rowCount(), static_cast<int>(app::kOptionKeys.size()));
    const int bind = RowOf(grid, "Bind address");
    QCOMPARE(grid.item(bind, 1)->text(), QString("--bind"));
    QCOMPARE(grid.item(bind, 2)->text(), QString("127.0.0.1"));
    for (int row = 0; row < grid.rowCount(); ++row) {
      if (row != bind) QVERIFY(grid.item(row, 2)->text().isEmpty());
    }
    QVERIFY(!(grid.item(bind, 0)->flags() & Qt::ItemIsEditable));
    QVERIFY(grid.item(bind, 2)->flags() & Qt::ItemIsEditable);
  }

  void editsGoIntoTheListOnlyWhenChanged() {
    app::ConfigStore settings;
    settings.SetLines({"Server port=80", "bind ADDRESS=127.0.0.1"});
    OptionKeysDialog dialog(settings, nullptr);
    QTableWidget& grid = dialog.Grid();
    const int name = RowOf(grid, "MQTT name");
    grid.item(RowOf(grid, "Bind address"), 2)->setText("");  // cleared: the line stays, empty
    grid.item(RowOf(grid, "HTTPS port"), 2)->setText("");    // was not there and stays away
    grid.item(name, 2)->setText("bench1");
    const std::vector<std::string> expected = {"Server port=80",
                                               "bind ADDRESS=", "MQTT name=bench1"};
    QCOMPARE(settings.Lines(), expected);
    grid.item(name, 2)->setText("two\nlines");
    QCOMPARE(settings.Lines(), expected);
    QCOMPARE(grid.item(name, 2)->text(), QString("bench1"));
  }
};

}  // namespace orvelle::ui

QTEST_MAIN(orvelle::ui::OptionKeysDialogTest)
#include "option_keys_dialog_test.moc"
