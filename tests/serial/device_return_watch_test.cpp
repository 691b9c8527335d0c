// DeviceReturnWatch on a real temp folder: a path whose folders vanish and come back one by one
// is still seen when it appears, and a device that is there but not ready is looked at again
// without any change in the folder.
#include "serial/device_return_watch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "pty_pair.h"
#include "temp_folder.h"

namespace orvelle::serial {
namespace {

namespace fs = std::filesystem;
using test::TempFolder;
using test::WaitUntil;
using Outcome = DeviceReturnWatch::Outcome;

void Nap() {
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST(DeviceReturnWatchTest, FollowsFoldersThatComeBack) {
  TempFolder folder;
  const fs::path device = folder.Path() / "serial" / "by-id" / "dev0";
  const fs::path levels[] = {device.parent_path().parent_path(), device.parent_path(), device};
  // How many of the levels down to the device a check found: a step is known to be looked at
  // once a check has seen it, whatever checks earlier changes still cause meanwhile.
  std::atomic<int> found{0};
  DeviceReturnWatch watch([&] {
    std::error_code error;
    int there = 0;
    while (there < 3 && fs::exists(levels[there], error)) ++there;
    found.store(there);
    return there == 3 ? Outcome::kDone : Outcome::kWait;
  });
  // Twice: the second time the folders that were watched have been removed under the watch.
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    fs::remove_all(folder.Path() / "serial");
    watch.Watch(device);
    ASSERT_TRUE(WaitUntil([&] { return found.load() == 0; }, Nap));
    for (int step = 0; step < 2; ++step) {
      fs::create_directory(levels[step]);
      ASSERT_TRUE(WaitUntil([&] { return found.load() == step + 1; }, Nap)) << step;
    }
    std::ofstream(device) << "x";
    EXPECT_TRUE(WaitUntil([&] { return found.load() == 3; }, Nap));
  }
}

TEST(DeviceReturnWatchTest, NotReadyIsRetriedWithoutAChange) {
  TempFolder folder;
  std::atomic<int> looks{0};
  constexpr int kRefusals = 3;  // fewer than the watch's retry limit
  DeviceReturnWatch watch([&] { return ++looks <= kRefusals ? Outcome::kRetry : Outcome::kDone; });
  watch.Watch(folder.Path() / "dev0");
  EXPECT_TRUE(WaitUntil([&] { return looks.load() == kRefusals + 1; }, Nap));
}

}  // namespace
}  // namespace orvelle::serial
