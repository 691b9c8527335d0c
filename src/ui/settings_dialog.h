// TFrmSettings: the settings dialog. Its grid VLE shows the configuration's lines as key and
// value in file order, with a yes/no pick list on the switch rows; every committed edit goes
// straight into the one live configuration, and "OK" writes it to config.ini.
#pragma once

#include <QDialog>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <string>
#include <vector>

#include "app/server_main.h"

class QCheckBox;
class QPushButton;

namespace orvelle::ui {

// Item data role holding a cell's pick list entries (a QStringList; empty for free text).
inline constexpr int kPickListRole = Qt::UserRole + 1;
// Item data role marking a value cell as secret (a bool): shown masked until "Show password".
inline constexpr int kSecretRole = Qt::UserRole + 2;

// What a value cell shows: its text, or as many mask characters when it is a hidden secret.
QString ShownValue(const QString& text, bool secret, bool secrets_shown);

// The value cells' editor: a combo box with the cell's pick list, a line edit otherwise.
class PickListDelegate final : public QStyledItemDelegate {
  Q_OBJECT

 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                        const QModelIndex& index) const override;
  void setEditorData(QWidget* editor, const QModelIndex& index) const override;
  void setModelData(QWidget* editor, QAbstractItemModel* model,
                    const QModelIndex& index) const override;
  void SetSecretsShown(bool shown) { secrets_shown_ = shown; }

 protected:
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;

 private:
  bool secrets_shown_ = false;
};

// The key/value grid: two columns, no title row, keys read-only.
class ValueListEditor final : public QTableWidget {
  Q_OBJECT

 public:
  explicit ValueListEditor(QWidget* parent = nullptr);
  // Shows `lines` as rows; switch rows get the yes/no pick list.
  void ShowLines(const std::vector<std::string>& lines);
  // One row as a configuration line: its key as loaded, byte for byte, and the cell's value.
  std::string LineAt(int row) const;
  // Commits an edit still open in a cell (a click on "OK" must not lose it).
  void CommitOpenEdit();
  // Shows the secret values (the password) in clear, or masks them again.
  void ShowSecrets(bool shown);
  // What row `row`'s value cell shows on screen.
  QString ShownText(int row) const;

 private:
  struct RowKey {
    std::string key;     // as loaded, so a key that is not UTF-8 is written back unchanged
    bool had_separator;  // a line without "=" stays bare while its value is empty
  };
  std::vector<RowKey> keys_;
  PickListDelegate* values_;  // owned by the view
  bool secrets_shown_ = false;
};

class TFrmSettings final : public QDialog {
  Q_OBJECT

 public:
  // Creating the dialog loads the configuration (the start-up rule), with its message box.
  TFrmSettings(app::ServerMain& main, QWidget* parent);

  // FormShow, then modal. Returns QDialog's result.
  int ShowModal();
  // Reloads config.ini into the list and the grid (defaults and a message when it fails).
  void FormShow();
  // "OK": saves the list and closes; a failed write leaves the dialog open with a message.
  void BitBtn1Click();
  // "Cancel": puts the list back as it was shown, writes nothing and closes.
  void CancelClick();

  ValueListEditor& VLE() { return *VLE_; }

 private:
  void CellEdited(QTableWidgetItem* item);
  void Refill();

  app::ServerMain& main_;
  ValueListEditor* VLE_;
  QCheckBox* ShowPassword;
  QPushButton* BitBtn1;
  QPushButton* CancelButton;
  std::vector<std::string> lines_at_show_;  // what Cancel puts back
  bool filling_ = false;                    // the grid is being refilled, not edited
};

}  // namespace orvelle::ui
