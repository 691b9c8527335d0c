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
  std::atomic<bool> seen{false};
  DeviceReturnWatch watch([&] {
    std::error_code error;
    seen.store(fs::exists(device, error));
    return seen.load() ? Outcome::kDone : Outcome::kWait;
  });
  // Twice: the second time the folders that were watched have been removed under the watch.
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    fs::remove_all(folder.Path() / "serial");
    seen.store(false);
    watch.Watch(device);
    for (const fs::path& step : {device.parent_path().parent_path(), device.parent_path()}) {
      const std::uint64_t before = watch.Checks();
      fs::create_directory(step);
      ASSERT_TRUE(WaitUntil([&] { return watch.Checks() > before; }, Nap));
      EXPECT_FALSE(seen.load());
    }
    std::ofstream(device) << "x";
    EXPECT_TRUE(WaitUntil([&] { return seen.load(); }, Nap));
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
