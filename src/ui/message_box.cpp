// ShowMessage: a modal box on the main thread.
#include "message_box.h"

#include <QApplication>
#include <QMessageBox>

namespace orvelle::ui {

void ShowMessage(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::NoIcon, QApplication::applicationName(), text, QMessageBox::Ok,
                  parent);
  box.setObjectName("MessageBox");
  box.exec();
}

void ShowMessage(QWidget* parent, std::string_view text) {
  ShowMessage(parent, QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

}  // namespace orvelle::ui
