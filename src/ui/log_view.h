// The log view lbLog and the feed that carries the event log's memo lines to it: lines logged
// on any thread reach the view as tasks of the main loop, never by touching the widget directly.
#pragma once

#include <QPlainTextEdit>
#include <cstddef>
#include <memory>
#include <string>

#include "app/event_log.h"
#include "app/main_loop.h"

namespace orvelle::ui {

// Read-only view that holds the same lines as the event log's memo: it receives every memo line
// in memo order and empties itself by the memo's own limit, so the two never differ.
class LogView final : public QPlainTextEdit {
  Q_OBJECT

 public:
  explicit LogView(QWidget* parent = nullptr);

  void AddLine(const std::string& line);
  int LineCount() const { return lines_; }

 private:
  std::size_t chars_ = 0;  // bytes of the lines shown, as the memo counts them
  int lines_ = 0;
};

// Hands memo lines to a view through the main loop. Lines still queued when the feed goes are
// dropped. The loop must outlive every caller of the sink.
class LogFeed {
 public:
  LogFeed(app::MainLoop& loop, LogView& view);
  ~LogFeed();
  LogFeed(const LogFeed&) = delete;
  LogFeed& operator=(const LogFeed&) = delete;

  // For TEventLog (ServerOptions::console): callable from any thread.
  app::TEventLog::LineSink Sink();

 private:
  app::MainLoop& loop_;
  std::shared_ptr<LogView*> target_;  // queued tasks hold it weakly
};

}  // namespace orvelle::ui
