// The real server over a fake /dev and /sys (through its hidden test roots): /.orvelle/ports
// lists the fake USB adapter behind authentication, other own endpoints are 404, and a failed
// open logs why and shows the same reason in the list.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "serial/fake_device_tree.h"
#include "server_process.h"

namespace orvelle::e2e {
namespace {

// Sets an environment variable for the servers this test starts, and removes it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() { ::unsetenv(name_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
};

// The body and then the status code, as curl writes them with -w.
std::string Get(const std::string& url, const std::string& credentials = "") {
  std::vector<std::string> args{"-w", "\n%{http_code}"};
  if (!credentials.empty()) args.insert(args.end(), {"-u", credentials});
  args.push_back(url);
  return Curl(args);
}

TEST(PortListTest, FakeAdapterListedBehindAuthenticationWithReasons) {
  serial::test::FakeDeviceTree tree;
  const ScopedEnv dev_root("ORVELLE_TEST_DEV_ROOT", tree.Dev().string());
  const ScopedEnv sys_root("ORVELLE_TEST_SYS_ROOT", tree.Sys().string());
  TempHome home;
  home.Config("Auth require=yes\r\nAuth user=u\r\nAuth password=p\r\n");
  const std::string gone = tree.Dev().string() + "/serial/by-id/usb-gone-if00";
  home.Page("try.ovs", "<% openport (\"" + gone +
                           "\", \"9600\", \"8\", \"none\", \"1\", \"none\")\ne = error %>"
                           "<%= e %>");
  ServerProcess server(home);
  ASSERT_GT(server.Port(), 0) << server.Stderr();

  EXPECT_TRUE(Get(server.Url("/.orvelle/ports")).ends_with("\n401"));
  EXPECT_TRUE(Get(server.Url("/.orvelle/ports"), "u:wrong").ends_with("\n401"));
  EXPECT_TRUE(Get(server.Url("/.orvelle/other"), "u:p").ends_with("\n404"));

  const std::string dev = tree.Dev().string();
  const std::string by_id = dev + "/serial/by-id/" + serial::test::FakeDeviceTree::kById;
  std::string list = Get(server.Url("/.orvelle/ports"), "u:p");
  EXPECT_TRUE(list.ends_with("\n200")) << list;
  for (const std::string& piece :
       {"\"path\":\"" + dev + "/ttyUSB0\"", "\"stable_names\":[\"" + by_id + "\"",
        std::string("\"manufacturer\":\"FT\\u0022DI\\u0001 Ltd\xEF\xBF\xBD\""),
        std::string("\"usb_id\":\"0403:6001\""), std::string("\"driver\":\"ftdi_sio\""),
        std::string("\"open\":false,\"openable\":true"),
        std::string("\"last_open_failure\":null,\"device_gone\":null")}) {
    EXPECT_NE(list.find(piece), std::string::npos) << piece << " in " << list;
  }

  EXPECT_TRUE(Get(server.Url("/try.ovs"), "u:p").starts_with("1")) << server.Stdout();
  const std::string why = "does not exist now; present ports: " + by_id + " (" + dev + "/ttyUSB0)";
  // Named as the page wrote it, never as the upper-cased text the lookup uses.
  EXPECT_TRUE(server.WaitForLog("Serial port error: cannot open " + gone +
                                ": no such device: " + gone + " does not exist now"))
      << server.Stdout();
  EXPECT_NE(server.Stdout().find(why), std::string::npos) << server.Stdout();
  list = Get(server.Url("/.orvelle/ports"), "u:p");
  EXPECT_NE(list.find("\"last_open_failure\":{\"port\":\"" + gone + "\""), std::string::npos)
      << list;
  EXPECT_NE(list.find(why), std::string::npos) << list;
}

}  // namespace
}  // namespace orvelle::e2e
