// The server configured from a file given with --config: option keys read (the command line
// winning), an unknown key named with the nearest known one, the port opened at start serving
// pages, and the file never written; a missing file or a refused value stops the start.
#include <gtest/gtest.h>

#include <algorithm>

#include "../serial/pty_pair.h"
#include "base/ascii_text.h"
#include "server_process.h"

namespace orvelle::e2e {
namespace {

using serial::test::PtyPair;

TEST(ServiceConfigTest, ConfigFileFeedsTheServerAndIsNeverWritten) {
  TempHome home;
  PtyPair device;
  const fs::path conf = home.Path() / "etc" / "gateway.conf";
  const std::string text =
      "# the gateway\nBind address=127.0.0.1\nBind adress=0.0.0.0\nOpen port=" + device.Path() +
      "\nOpen port settings=115200 8N1\nShow errors on page=yes\n";
  WriteText(conf, text);
  home.Page("rx.ovs", "<% r = receive() %>[<%= r %>]");
  ServerProcess server(home, 0, {"--config", conf.string(), "--open-port-settings", "19200 7E1"});
  ASSERT_GT(server.Port(), 0) << server.Stderr();

  EXPECT_TRUE(server.WaitForLog("Unknown key \"Bind adress\" in " + conf.string() +
                                " ignored; the nearest known key is \"Bind address\".\n"));
  // The settings from the command line, the port from the file, named as openport names it.
  EXPECT_TRUE(server.WaitForLog("Serial port opened at start: " + base::AsciiUpper(device.Path()) +
                                " 19200 7 Even 1 None\n"));
  device.Write("T=21");
  std::string page;
  for (int i = 0; i < 500 && page.find("T=21") == std::string::npos; ++i) {
    page = Curl({server.Url("/rx.ovs")});
  }
  EXPECT_EQ(page, "[\r\nT=21\r\n]\r\n\r\n");

  EXPECT_EQ(server.Terminate(kProcessLimit), 0);
  EXPECT_EQ(ReadText(conf), text);
  EXPECT_FALSE(fs::exists(home.Path() / "config.ini"));
}

TEST(ServiceConfigTest, UnreadableFileOrRefusedValueStopsTheStart) {
  TempHome home;
  const fs::path conf = home.Path() / "bad.conf";
  {
    ServerProcess server(home, 0, {"--config", conf.string()});
    EXPECT_EQ(server.ExitCode(), 1);
    EXPECT_EQ(server.Stderr(),
              "orvelle: cannot read the configuration file " + conf.string() + "\n");
  }
  WriteText(conf, "Open port=ttyS0\nOpen port settings=fast\n");
  ServerProcess server(home, 0, {"--config", conf.string()});
  EXPECT_EQ(server.ExitCode(), 2);
  const std::string error = server.Stderr();
  EXPECT_EQ(error.rfind("orvelle: " + conf.string() + ": Open port settings=fast: ", 0), 0u)
      << error;
  EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1);
}

}  // namespace
}  // namespace orvelle::e2e
