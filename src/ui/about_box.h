// TAboutBox: the product name with its version, a link to the home page, and "Close".
#pragma once

#include <QDialog>

namespace orvelle::ui {

// The version the about box names.
inline constexpr const char* kProductVersion = "2.0";
// Opened in the default browser from the about box.
inline constexpr const char* kHomePage = "https://orvelle.example/";

class TAboutBox final : public QDialog {
  Q_OBJECT

 public:
  explicit TAboutBox(QWidget* parent);
};

}  // namespace orvelle::ui
