// The option keys: each table row read from a file into its option as the command line would,
// refused values and missing companions, the command line over the file, the unknown-key report,
// and the short line-settings form of the port opened at start.
#include "app/config_keys.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "app/port_at_start.h"
#include "app/start_options.h"
#include "app/tls_options.h"

namespace orvelle::app {
namespace {

// The options of both programs that the keys feed, as they register them.
struct Options {
  CLI::App app;
  StartArguments start;
  TlsArguments tls;
  bool cross_site = false;
  std::vector<std::string> hosts;

  Options() {
    AddStartOptions(app, start);
    AddTlsOptions(app, tls);
    app.add_flag("--allow-cross-site", cross_site);
  }
  // Parses `argv`, then gives the options left out the file's keys.
  void Run(std::vector<std::string> argv, const std::map<std::string, std::string>& file) {
    argv.insert(argv.begin(), "orvelle");
    std::vector<const char*> args;
    for (const std::string& arg : argv) args.push_back(arg.c_str());
    const OptionNeeds needs = DeferOptionNeeds(app);
    app.parse(static_cast<int>(args.size()), args.data());
    ApplyOptionKeys(app, needs, [&file](std::string_view key) {
      const auto found = file.find(std::string(key));
      return found == file.end() ? std::string() : found->second;
    });
  }
};

struct Row {
  std::map<std::string, std::string> file;
  std::function<bool(const Options&)> done;  // what the server was given
  const char* what;
};

TEST(ConfigKeysTest, EachKeyReachesItsOption) {
  const Row rows[] = {
      {{{"Bind address", "127.0.0.1"}},
       [](const Options& o) { return o.start.bind == "127.0.0.1"; },
       "listens on that address only"},
      {{{"Bind address", ""}},
       [](const Options& o) { return o.start.bind.empty(); },
       "an empty value sets nothing: every interface"},
      {{{"HTTPS port", "8443"}, {"HTTPS certificate", "/c.pem"}, {"HTTPS key", "/k.pem"}},
       [](const Options& o) {
         return o.tls.https_port == 8443 && o.tls.cert == "/c.pem" && o.tls.key == "/k.pem" &&
                !o.tls.https_only;
       },
       "serves HTTPS beside the plain port"},
      {{{"HTTPS port", "0"}, {"HTTPS certificate", "c"}, {"HTTPS key", "k"}, {"HTTPS only", "yes"}},
       [](const Options& o) { return o.tls.https_only; },
       "redirects plain requests"},
      {{{"HTTPS port", "0"}, {"HTTPS certificate", "c"}, {"HTTPS key", "k"}, {"HTTPS only", "Yes"}},
       [](const Options& o) { return !o.tls.https_only; },
       "a switch is on for \"yes\" only"},
      {{{"Allow cross-site", "yes"}},
       [](const Options& o) { return o.cross_site; },
       "serves pages to other sites' requests"},
      {{{"Open port", "/dev/ttyUSB0"}},
       [](const Options& o) {
         const auto request = OpenAtStart(o.start);
         return request && request->port == "/dev/ttyUSB0" && request->baud_rate == "9600" &&
                request->flow_control == "none";
       },
       "opens the port at 9600 8N1 at start"},
      {{{"Open port", "ttyS0"}, {"Open port settings", "115200 7E2 hardware"}},
       [](const Options& o) {
         const auto request = OpenAtStart(o.start);
         return request && request->baud_rate == "115200" && request->data_bits == "7" &&
                request->parity == "even" && request->stop_bits == "2" &&
                request->flow_control == "hardware";
       },
       "with the settings given"},
      {{{"Allow host", "gw1.lab.example  *.lab.example"}},
       [](const Options& o) {
         return o.start.allowed_hosts ==
                std::vector<std::string>{"gw1.lab.example", "*.lab.example"};
       },
       "serves those names besides its own, each as if --allow-host were repeated"},
  };
  for (const Row& row : rows) {
    Options options;
    options.Run({}, row.file);
    EXPECT_TRUE(row.done(options)) << row.what;
  }
}

TEST(ConfigKeysTest, RefusedValuesAndMissingCompanionsNameTheKey) {
  const std::pair<std::map<std::string, std::string>, std::string> rows[] = {
      {{{"Bind address", "10.0.0"}}, "Bind address=10.0.0: "},
      {{{"HTTPS port", "70000"}, {"HTTPS certificate", "c"}, {"HTTPS key", "k"}},
       "HTTPS port=70000: "},
      {{{"HTTPS port", "443"}}, "\"HTTPS port\" (--https-port) needs \"HTTPS "},
      {{{"Open port settings", "9600 8N1"}}, "\"Open port settings\" (--open-port-settings) needs"},
      {{{"Open port", "ttyS0"}, {"Open port settings", "fast 8N1"}},
       "Open port settings=fast 8N1: "},
  };
  for (const auto& [file, start] : rows) {
    Options options;
    try {
      options.Run({}, file);
      ADD_FAILURE() << "accepted: " << start;
    } catch (const ConfigValueError& error) {
      EXPECT_EQ(std::string(error.what()).substr(0, start.size()), start);
    }
  }
}

TEST(ConfigKeysTest, TheCommandLineWinsOverTheFile) {
  Options options;
  options.Run({"--bind", "0.0.0.0", "--open-port-settings", "19200 8N1", "--open-port", "ttyS1"},
              {{"Bind address", "127.0.0.1"},
               {"Open port", "ttyS0"},
               {"Open port settings", "bad"},
               {"Allow cross-site", "yes"}});
  EXPECT_EQ(options.start.bind, "0.0.0.0");
  EXPECT_EQ(options.start.open_port, "ttyS1");
  EXPECT_EQ(options.start.open_port_settings, "19200 8N1");  // the file's bad value is not read
  EXPECT_TRUE(options.cross_site);                           // not on the command line: the file's
}

TEST(ConfigKeysTest, UnknownKeysAreReportedWithTheNearestKnownOne) {
  const std::vector<std::string> lines = {"# Bind adress=127.0.0.1",
                                          "; comment",
                                          "",
                                          "   ",
                                          "Server port=80",
                                          "server PORT=81",
                                          "Bind adress=127.0.0.1",
                                          "Server port =81",
                                          "MQTT brokr=mqtt://x",
                                          "Auth require yes",
                                          "mqtt name=bench1"};
  const std::vector<std::string> expected = {
      "Unknown key \"Bind adress\" in f.conf ignored; the nearest known key is \"Bind address\".",
      "Unknown key \"Server port \" in f.conf ignored; the nearest known key is \"Server port\".",
      "Unknown key \"MQTT brokr\" in f.conf ignored; the nearest known key is \"MQTT broker\".",
      "Unknown key \"Auth require yes\" in f.conf ignored; the nearest known key is \"Auth "
      "require\"."};
  EXPECT_EQ(UnknownKeyReport(lines, "f.conf"), expected);
  const std::string long_key(200, 'x');
  const auto report = UnknownKeyReport({long_key + "=1"}, "f");
  ASSERT_EQ(report.size(), 1u);
  EXPECT_EQ(report[0].find(std::string(65, 'x')), std::string::npos);  // cut in the report
  EXPECT_NE(report[0].find(std::string(64, 'x') + "..."), std::string::npos);
}

TEST(ConfigKeysTest, LineSettingsForms) {
  const std::pair<const char*, bool> rows[] = {
      {"115200 8N1", true},      {"9600 7e1 Hardware", true}, {"110 5S1.5 software", true},
      {"256000 8O2 none", true}, {"115200", false},           {"115201 8N1", false},
      {"custom 8N1", false},     {"9600 9N1", false},         {"9600 8X1", false},
      {"9600 8N3", false},       {"9600 8N1 rts", false},     {"9600 8N1 none extra", false},
  };
  for (const auto& [text, good] : rows) {
    EXPECT_EQ(LineSettingsProblem(text).empty(), good) << text;
    EXPECT_EQ(PortAtStart("p", text).has_value(), good) << text;
  }
}

}  // namespace
}  // namespace orvelle::app
