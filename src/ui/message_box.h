// The program's message box: its text, the application title as caption, and an OK button.
#pragma once

#include <QString>
#include <string_view>

class QWidget;

namespace orvelle::ui {

void ShowMessage(QWidget* parent, const QString& text);
void ShowMessage(QWidget* parent, std::string_view text);

}  // namespace orvelle::ui
