// LoopDriver: the main loop's posts, invoke-and-wait calls and timers run on Qt's main thread
// while only Qt's event loop turns.
#include "ui/loop_driver.h"

#include <QTest>
#include <QThread>
#include <atomic>
#include <thread>

#include "app/main_loop.h"
#include "ui_test_support.h"

namespace orvelle::ui {

using testing::WaitUntil;

class LoopDriverTest : public QObject {
  Q_OBJECT

 private slots:
  void postFromWorkerRunsOnGuiThread() {
    app::MainLoop loop;
    LoopDriver driver(loop);
    bool ran = false;
    bool on_gui_thread = false;
    std::jthread worker([&] {
      loop.Post([&] {
        on_gui_thread = QThread::currentThread() == QCoreApplication::instance()->thread();
        ran = true;
      });
    });
    worker.join();
    QVERIFY(WaitUntil([&] { return ran; }));
    QVERIFY(on_gui_thread);
  }

  void postsRunInOrder() {
    app::MainLoop loop;
    LoopDriver driver(loop);
    std::vector<int> order;
    constexpr int kTasks = 500;
    std::jthread worker([&] {
      for (int i = 0; i < kTasks; ++i) loop.Post([&order, i] { order.push_back(i); });
    });
    worker.join();
    QVERIFY(WaitUntil([&] { return order.size() == kTasks; }));
    for (int i = 0; i < kTasks; ++i) QCOMPARE(order[static_cast<std::size_t>(i)], i);
  }

  void invokeAndWaitFromWorkerReturns() {
    app::MainLoop loop;
    LoopDriver driver(loop);
    std::atomic<int> value = 0;
    std::atomic<bool> returned = false;
    std::atomic<bool> result = false;
    std::jthread worker([&] {
      result = loop.InvokeAndWait([&] { value = 42; });
      returned = true;
    });
    QVERIFY(WaitUntil([&] { return returned.load(); }));
    QVERIFY(result.load());
    QCOMPARE(value.load(), 42);
  }

  void loopTimerFiresRepeatedlyAndStops() {
    app::MainLoop loop;
    LoopDriver driver(loop);
    int fired = 0;
    app::LoopTimer timer(loop, [&] { ++fired; });
    timer.Start(std::chrono::milliseconds(5));
    QVERIFY(WaitUntil([&] { return fired >= 3; }));
    timer.Stop();
    const int after_stop = fired;
    QTest::qWait(50);
    QCOMPARE(fired, after_stop);
  }

  void timeToWorkIsZeroWithTasksQueued() {
    app::MainLoop loop;
    loop.Post([] {});
    QCOMPARE(loop.TimeToWork(std::chrono::milliseconds(500)).count(), 0);
    loop.RunOnce(std::chrono::milliseconds(0));
    QCOMPARE(loop.TimeToWork(std::chrono::milliseconds(500)).count(), 500);
  }
};

}  // namespace orvelle::ui

QTEST_MAIN(orvelle::ui::LoopDriverTest)
#include "loop_driver_test.moc"
