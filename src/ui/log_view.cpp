// LogView's copy of the memo limit and LogFeed's hop onto the main loop.
#include "log_view.h"

#include <QScrollBar>
#include <QString>

namespace orvelle::ui {

LogView::LogView(QWidget* parent) : QPlainTextEdit(parent) {
  setObjectName("lbLog");
  setReadOnly(true);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
}

void LogView::AddLine(const std::string& line) {
  // The memo's rule: lines joined with CR LF; past the limit it is emptied before the next line.
  const std::size_t text_length =
      lines_ == 0 ? 0 : chars_ + 2 * static_cast<std::size_t>(lines_ - 1);
  if (text_length > app::kMemoLimit) {
    clear();
    chars_ = 0;
    lines_ = 0;
  }
  chars_ += line.size();
  ++lines_;
  appendPlainText(QString::fromStdString(line));
}

LogFeed::LogFeed(app::MainLoop& loop, LogView& view)
    : loop_(loop), target_(std::make_shared<LogView*>(&view)) {}

LogFeed::~LogFeed() = default;

app::TEventLog::LineSink LogFeed::Sink() {
  return [&loop = loop_, target = std::weak_ptr<LogView*>(target_)](const std::string& line) {
    loop.Post([target, line] {
      if (const auto view = target.lock()) (*view)->AddLine(line);
    });
  };
}

}  // namespace orvelle::ui
