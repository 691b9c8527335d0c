// The settings dialog's grid, its pick lists, and the dialog's show and "OK".
#include "settings_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <stdexcept>
#include <string_view>

#include "message_box.h"
#include "option_keys_dialog.h"

namespace orvelle::ui {
namespace {

// The rows whose value is a switch, compared case-sensitively: only these get the pick list.
constexpr std::array<std::string_view, 6> kSwitchKeys = {"Use session",  "AutoActivate",
                                                         "AutoMinimize", "Auth require",
                                                         "Log to file",  "Show errors on page"};

// The rows whose value is kept off the screen until asked for.
constexpr std::string_view kSecretKey = "Auth password";

// The dialog's client area and the grid's columns, as the dialog was always laid out; the key
// column grows to its longest name and the dialog with it.
constexpr int kDialogWidth = 274;
constexpr int kDialogHeight = 344;
constexpr int kKeyColumnWidth = 110;
constexpr int kValueColumnWidth = 160;
// The grid's frame and the dialog's margins around the two columns.
constexpr int kFrameAllowance = 8;
// A password's length is not shown either: a hidden one always shows this many marks.
constexpr int kMaskLength = 8;

bool IsSwitchKey(std::string_view key) {
  for (std::string_view name : kSwitchKeys) {
    if (key == name) return true;
  }
  return false;
}

QString ToQt(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

QString ShownValue(const QString& text, bool secret, bool secrets_shown) {
  if (!secret || secrets_shown || text.isEmpty()) return text;
  return QString(kMaskLength, QChar(0x2022));
}

void PickListDelegate::initStyleOption(QStyleOptionViewItem* option,
                                       const QModelIndex& index) const {
  QStyledItemDelegate::initStyleOption(option, index);
  option->text = ShownValue(option->text, index.data(kSecretRole).toBool(), secrets_shown_);
}

QWidget* PickListDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                                        const QModelIndex& index) const {
  const QStringList entries = index.data(kPickListRole).toStringList();
  if (entries.isEmpty()) {
    QWidget* editor = QStyledItemDelegate::createEditor(parent, option, index);
    auto* line = qobject_cast<QLineEdit*>(editor);
    if (line && index.data(kSecretRole).toBool() && !secrets_shown_) {
      line->setEchoMode(QLineEdit::Password);
    }
    return editor;
  }
  auto* combo = new QComboBox(parent);  // owned by the view through `parent`
  // Editable, like the grid's pick lists always were: a value outside the list is kept as text.
  combo->setEditable(true);
  combo->addItems(entries);
  return combo;
}

void PickListDelegate::setEditorData(QWidget* editor, const QModelIndex& index) const {
  if (auto* combo = qobject_cast<QComboBox*>(editor)) {
    combo->setCurrentText(index.data(Qt::EditRole).toString());
    return;
  }
  QStyledItemDelegate::setEditorData(editor, index);
}

void PickListDelegate::setModelData(QWidget* editor, QAbstractItemModel* model,
                                    const QModelIndex& index) const {
  if (auto* combo = qobject_cast<QComboBox*>(editor)) {
    model->setData(index, combo->currentText(), Qt::EditRole);
    return;
  }
  QStyledItemDelegate::setModelData(editor, model, index);
}

ValueListEditor::ValueListEditor(QWidget* parent) : QTableWidget(0, 2, parent) {
  setObjectName("VLE");
  horizontalHeader()->hide();
  verticalHeader()->hide();
  horizontalHeader()->setSectionResizeMode(0, QHeaderView::Fixed);
  setColumnWidth(0, kKeyColumnWidth);
  setColumnWidth(1, kValueColumnWidth);
  verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
  // The value column takes what the key column leaves, so no sideways scrolling is needed.
  horizontalHeader()->setStretchLastSection(true);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::AllEditTriggers);
  values_ = new PickListDelegate(this);
  setItemDelegateForColumn(1, values_);
}

void ValueListEditor::ShowSecrets(bool shown) {
  secrets_shown_ = shown;
  values_->SetSecretsShown(shown);
  viewport()->update();
}

QString ValueListEditor::ShownText(int row) const {
  const QTableWidgetItem* value = item(row, 1);
  return ShownValue(value->text(), value->data(kSecretRole).toBool(), secrets_shown_);
}

void ValueListEditor::ShowLines(const std::vector<std::string>& lines) {
  setRowCount(0);
  keys_.clear();
  setRowCount(static_cast<int>(lines.size()));
  for (int row = 0; row < rowCount(); ++row) {
    const std::string& line = lines[static_cast<std::size_t>(row)];
    const auto separator = line.find('=');
    const std::string_view key = std::string_view(line).substr(0, separator);
    const std::string_view value = separator == std::string::npos
                                       ? std::string_view()
                                       : std::string_view(line).substr(separator + 1);
    keys_.push_back({std::string(key), separator != std::string::npos});
    auto* key_item = new QTableWidgetItem(ToQt(key));  // the table owns its items
    key_item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    auto* value_item = new QTableWidgetItem(ToQt(value));
    if (IsSwitchKey(key)) value_item->setData(kPickListRole, QStringList{"yes", "no"});
    if (key == kSecretKey) value_item->setData(kSecretRole, true);
    setItem(row, 0, key_item);
    setItem(row, 1, value_item);
  }
  resizeColumnToContents(0);
  setColumnWidth(0, std::max(columnWidth(0), kKeyColumnWidth));
}

std::string ValueListEditor::LineAt(int row) const {
  const RowKey& key = keys_.at(static_cast<std::size_t>(row));
  const std::string value = item(row, 1)->text().toStdString();
  return !key.had_separator && value.empty() ? key.key : key.key + "=" + value;
}

void ValueListEditor::CommitOpenEdit() {
  if (QWidget* editor = indexWidget(currentIndex())) commitData(editor);
}

TFrmSettings::TFrmSettings(app::ServerMain& main, QWidget* parent)
    : QDialog(parent, Qt::Tool), main_(main) {
  setObjectName("FrmSettings");
  setWindowTitle("Settings");
  setFixedSize(kDialogWidth, kDialogHeight);
  VLE_ = new ValueListEditor(this);
  ShowPassword = new QCheckBox("Show password", this);
  ShowPassword->setObjectName("ShowPassword");
  connect(ShowPassword, &QCheckBox::toggled, VLE_, &ValueListEditor::ShowSecrets);
  BitBtn1 = new QPushButton("OK", this);
  BitBtn1->setObjectName("BitBtn1");
  BitBtn1->setAutoDefault(false);
  CancelButton = new QPushButton("Cancel", this);
  CancelButton->setObjectName("CancelButton");
  CancelButton->setAutoDefault(false);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(BitBtn1);
  buttons->addWidget(CancelButton);
  buttons->addStretch();
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(2, 2, 2, 6);
  layout->addWidget(VLE_);
  layout->addWidget(ShowPassword);
  layout->addWidget(OptionKeysButton(main_.Settings(), this, [this] { Refill(); }));
  layout->addLayout(buttons);  // the layout owns it
  connect(BitBtn1, &QPushButton::clicked, this, &TFrmSettings::BitBtn1Click);
  connect(CancelButton, &QPushButton::clicked, this, &TFrmSettings::CancelClick);
  connect(VLE_, &QTableWidget::itemChanged, this, &TFrmSettings::CellEdited);
  const std::string message = main_.LoadSettings();
  Refill();
  if (!message.empty()) ShowMessage(parent, message);
  lines_at_show_ = main_.Settings().Lines();
}

int TFrmSettings::ShowModal() {
  ShowPassword->setChecked(false);  // every opening starts with the password hidden
  FormShow();
  return exec();
}

void TFrmSettings::FormShow() {
  const std::string message = main_.LoadSettings();
  Refill();
  lines_at_show_ = main_.Settings().Lines();
  if (!message.empty()) ShowMessage(this, message);
}

void TFrmSettings::CancelClick() {
  main_.Settings().SetLines(lines_at_show_);
  Refill();
  reject();
}

void TFrmSettings::BitBtn1Click() {
  VLE_->CommitOpenEdit();
  if (!main_.SaveSettings()) {
    ShowMessage(this, "Cannot write " + QString::fromStdString(main_.ConfigPath().string()) + ".");
    return;
  }
  accept();
}

// A committed edit is in effect at once: readers look the key up in the list at use. Only the
// edited row's line changes; the others keep their bytes even when they are not UTF-8.
void TFrmSettings::CellEdited(QTableWidgetItem* item) {
  if (filling_) return;
  std::vector<std::string> lines = main_.Settings().Lines();
  const auto row = static_cast<std::size_t>(item->row());
  try {
    if (row >= lines.size()) throw std::invalid_argument("the grid and the list differ");
    lines[row] = VLE_->LineAt(item->row());
    main_.Settings().SetLines(std::move(lines));
  } catch (const std::invalid_argument&) {
    // A line break would split the line in the file: keep the list, and show it again once
    // the grid has finished with the item being set.
    QMetaObject::invokeMethod(this, &TFrmSettings::Refill, Qt::QueuedConnection);
  }
}

void TFrmSettings::Refill() {
  filling_ = true;
  VLE_->ShowLines(main_.Settings().Lines());
  filling_ = false;
  setFixedWidth(std::max(kDialogWidth, VLE_->columnWidth(0) + kValueColumnWidth + kFrameAllowance));
}

}  // namespace orvelle::ui
