// The option keys' grid: one row per key of the table, filled from the live configuration.
#include "option_keys_dialog.h"

#include <QHeaderView>
#include <QLabel>
#include <QVBoxLayout>
#include <stdexcept>

#include "app/config_keys.h"

namespace orvelle::ui {
namespace {

QString ToQt(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QTableWidgetItem* FixedItem(std::string_view text) {
  auto* item = new QTableWidgetItem(ToQt(text));  // the table owns its items
  item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
  return item;
}

}  // namespace

OptionKeysDialog::OptionKeysDialog(app::ConfigStore& settings, QWidget* parent)
    : QDialog(parent, Qt::Tool), settings_(settings) {
  setObjectName("OptionKeys");
  setWindowTitle("Option keys");
  auto* note = new QLabel(
      "Read when the server starts; an option given on the command line wins. Empty: not set.",
      this);
  note->setWordWrap(true);
  grid_ = new QTableWidget(static_cast<int>(app::kOptionKeys.size()), 3, this);
  grid_->setHorizontalHeaderLabels({"Key", "Option", "Value"});
  grid_->verticalHeader()->hide();
  grid_->horizontalHeader()->setStretchLastSection(true);
  int row = 0;
  for (const app::OptionKey& key : app::kOptionKeys) {
    grid_->setItem(row, 0, FixedItem(key.key));
    grid_->setItem(row, 1, FixedItem(key.option));
    grid_->setItem(row, 2, new QTableWidgetItem(ToQt(settings_.GetSetting(key.key))));
    ++row;
  }
  grid_->resizeColumnsToContents();
  filling_ = false;
  connect(grid_, &QTableWidget::itemChanged, this, &OptionKeysDialog::ValueEdited);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(note);
  layout->addWidget(grid_);
  resize(480, 420);
}

// Only a changed value is written: a key that is not in the list gets a line only when it is
// given one.
void OptionKeysDialog::ValueEdited(QTableWidgetItem* item) {
  if (filling_ || item->column() != 2) return;
  const std::string_view key = app::kOptionKeys.at(static_cast<std::size_t>(item->row())).key;
  const std::string value = item->text().toStdString();
  if (value == settings_.GetSetting(key)) return;
  try {
    settings_.SetValue(key, value);
  } catch (const std::invalid_argument&) {
    // A line break would split the line in the file: show the list's value again.
    const QSignalBlocker quiet(grid_);
    item->setText(ToQt(settings_.GetSetting(key)));
  }
}

QPushButton* OptionKeysButton(app::ConfigStore& settings, QWidget* owner,
                              std::function<void()> after) {
  auto* button = new QPushButton("Option keys...", owner);  // owned by `owner`
  button->setObjectName("OptionKeysButton");
  button->setAutoDefault(false);
  QObject::connect(button, &QPushButton::clicked, owner, [&settings, owner, after] {
    OptionKeysDialog(settings, owner).exec();
    if (after) after();
  });
  return button;
}

}  // namespace orvelle::ui
