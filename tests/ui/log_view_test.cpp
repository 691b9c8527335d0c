// LogView and LogFeed: lines logged on many threads reach the view through the main loop in
// the memo's order, the view empties itself exactly when the memo does, and lines still queued
// when the feed goes are dropped.
#include "ui/log_view.h"

#include <QTest>
#include <thread>
#include <vector>

#include "app/event_log.h"
#include "app/main_loop.h"
#include "ui/loop_driver.h"
#include "ui_test_support.h"

namespace orvelle::ui {

using testing::WaitUntil;

namespace {

std::vector<std::string> ViewLines(const LogView& view) {
  std::vector<std::string> lines;
  if (view.LineCount() == 0) return lines;
  for (const QString& line : view.toPlainText().split('\n')) lines.push_back(line.toStdString());
  return lines;
}

app::TEventLog MakeLog(const testing::TempHome& home) {
  return app::TEventLog(home.Web() / "log.txt", [](std::string_view) { return std::string("no"); });
}

}  // namespace

class LogViewTest : public QObject {
  Q_OBJECT

 private slots:
  void linesFromThreadsArriveInMemoOrder() {
    testing::TempHome home;
    app::MainLoop loop;
    LoopDriver driver(loop);
    LogView view;
    LogFeed feed(loop, view);
    app::TEventLog log = MakeLog(home);
    log.SetSink(feed.Sink());
    constexpr int kThreads = 4;
    constexpr int kLines = 50;
    {
      std::vector<std::jthread> writers;
      for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&log, t] {
          for (int i = 0; i < kLines; ++i)
            log.AddLog("thread " + std::to_string(t) + " line " + std::to_string(i));
        });
      }
    }
    QVERIFY(WaitUntil([&] { return view.LineCount() == kThreads * kLines; }));
    QVERIFY(ViewLines(view) == log.Memo());
    QVERIFY(view.isReadOnly());
  }

  void viewEmptiesWhenTheMemoDoes() {
    testing::TempHome home;
    app::MainLoop loop;
    LoopDriver driver(loop);
    LogView view;
    LogFeed feed(loop, view);
    app::TEventLog log = MakeLog(home);
    log.SetSink(feed.Sink());
    constexpr int kLines = 70;  // 70 lines of 1000 characters pass the 60000-character limit
    for (int i = 0; i < kLines; ++i) log.AddMemoLine(std::to_string(i) + std::string(1000, 'x'));
    QVERIFY(WaitUntil([&] {
      return view.toPlainText().endsWith(QString(1000, 'x')) &&
             ViewLines(view).back().starts_with(std::to_string(kLines - 1));
    }));
    const auto memo = log.Memo();
    QVERIFY(memo.size() < static_cast<std::size_t>(kLines));  // the memo was emptied on the way
    QVERIFY(ViewLines(view) == memo);
    QCOMPARE(static_cast<std::size_t>(view.LineCount()), memo.size());
  }

  void queuedLinesAreDroppedWhenTheFeedGoes() {
    testing::TempHome home;
    app::MainLoop loop;
    app::TEventLog log = MakeLog(home);
    {
      auto view = std::make_unique<LogView>();
      auto feed = std::make_unique<LogFeed>(loop, *view);
      log.SetSink(feed->Sink());
      log.AddLog("queued while nobody runs the loop");
      feed.reset();
      view.reset();
    }
    // The queued task must notice the view is gone instead of touching freed memory.
    loop.RunOnce(std::chrono::milliseconds(0));
    QCOMPARE(log.Memo().size(), std::size_t{1});
  }
};

}  // namespace orvelle::ui

QTEST_MAIN(orvelle::ui::LogViewTest)
#include "log_view_test.moc"
