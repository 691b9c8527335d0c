// TAboutBox: the product name with the project's one version, a link to the help pages that
// this server serves, and "Close".
#pragma once

#include <QDialog>

class QLabel;

namespace orvelle::ui {

// The version the about box names: the project's, as every program and package gives it.
inline constexpr const char* kProductVersion = ORVELLE_VERSION;

class TAboutBox final : public QDialog {
  Q_OBJECT

 public:
  explicit TAboutBox(QWidget* parent);
  // The help pages live on the running server: a link to `url`, or, when it is empty (the
  // server is stopped), how to reach them.
  void ShowHelpUrl(const QString& url);

 private:
  QLabel* HelpLink;
};

}  // namespace orvelle::ui
