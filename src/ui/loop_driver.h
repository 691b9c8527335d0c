// LoopDriver: runs app::MainLoop's tasks and timers from the Qt event loop, so the main thread
// of the desktop front end is the loop's main thread.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include "app/main_loop.h"

namespace orvelle::ui {

class LoopDriver final : public QObject {
  Q_OBJECT

 public:
  // Must be created on the thread that created `loop` and runs the Qt event loop.
  explicit LoopDriver(app::MainLoop& loop, QObject* parent = nullptr);

  // Runs what is due now and arms the timer for the next due loop timer.
  void RunReady();

 private:
  app::MainLoop& loop_;
  QSocketNotifier wake_;  // the loop's eventfd: posts, timer changes, Quit
  QTimer next_due_;       // the next loop timer; posts and changes arrive through wake_
};

}  // namespace orvelle::ui
