// Helpers for the desktop front end's tests: a home folder with config.ini and web/, a closer
// for modal boxes and dialogs that records what it closed, and a bounded wait.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QObject>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "http/temp_dir.h"

namespace orvelle::ui::testing {

namespace fs = std::filesystem;

// No state a test waits for may take longer than this.
inline constexpr int kWaitMs = 10000;

// The ten default settings with a free port, written with CR LF as the program writes them.
inline std::string ConfigText(const std::string& port = "0", const std::string& extra = "") {
  return "AutoActivate=no\r\nAutoMinimize=no\r\nServer port=" + port +
         "\r\nUse session=no\r\nSession expire=1\r\nAuth require=no\r\nAuth user=user\r\n"
         "Auth password=kelp\r\nLog to file=no\r\nShow errors on page=no\r\n" +
         extra;
}

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class TempHome {
 public:
  TempHome() { fs::create_directories(Web()); }
  fs::path Path() const { return dir_.Path(); }
  fs::path Web() const { return dir_.Path() / "web"; }
  fs::path ConfigFile() const { return Path() / "config.ini"; }
  void Config(const std::string& text) const {
    std::ofstream(ConfigFile(), std::ios::binary) << text;
  }
  void Page(const std::string& name, const std::string& text) const {
    std::ofstream(Web() / name, std::ios::binary) << text;
  }

 private:
  http::testing::TempDir dir_;
};

// Closes whatever modal box or dialog comes up while it lives, and records it: a message box by
// its text, a dialog by its object name and position.
class ModalCloser : public QObject {
 public:
  struct Closed {
    QString name;  // a message box's text, or a dialog's object name
    QPoint position;
  };

  // `inspect` sees a dialog before it is closed.
  explicit ModalCloser(std::function<void(QDialog&)> inspect = {}) : inspect_(std::move(inspect)) {
    connect(&timer_, &QTimer::timeout, this, [this] { CloseModal(); });
    timer_.start(10);
  }

  const std::vector<Closed>& Seen() const { return seen_; }
  QStringList Names() const {
    QStringList names;
    for (const Closed& closed : seen_) names << closed.name;
    return names;
  }

 private:
  void CloseModal() {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr) return;
    if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
      seen_.push_back({box->text(), box->pos()});
    } else {
      seen_.push_back({dialog->objectName(), dialog->pos()});
      if (inspect_) inspect_(*dialog);
    }
    dialog->reject();
  }

  std::function<void(QDialog&)> inspect_;
  QTimer timer_;
  std::vector<Closed> seen_;
};

// Processes events until `done` holds or the time is up; the result says which.
inline bool WaitUntil(const std::function<bool()>& done) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > kWaitMs) return false;
    QTest::qWait(5);
  }
  return true;
}

}  // namespace orvelle::ui::testing
