// The option keys (the configuration's form of command-line options such as --bind or --mqtt) in
// a grid of their own, opened from the settings dialog: key, option and value, the value
// editable. An edit goes into the one live configuration at once, as the settings grid's do,
// and "OK" there saves it; the server reads these keys when it starts.
#pragma once

#include <QDialog>
#include <QPushButton>
#include <QTableWidget>
#include <functional>

#include "app/config_store.h"

namespace orvelle::ui {

// Without Q_OBJECT: it has no signals or slots of its own.
class OptionKeysDialog final : public QDialog {
 public:
  OptionKeysDialog(app::ConfigStore& settings, QWidget* parent);
  QTableWidget& Grid() { return *grid_; }

 private:
  void ValueEdited(QTableWidgetItem* item);

  app::ConfigStore& settings_;
  QTableWidget* grid_;
  bool filling_ = true;  // the grid is being filled, not edited
};

// The settings dialog's "Option keys..." button: opens the grid modally over `owner`, then calls
// `after` (the settings grid shows the lines the edits added).
QPushButton* OptionKeysButton(app::ConfigStore& settings, QWidget* owner,
                              std::function<void()> after);

}  // namespace orvelle::ui
