// End-to-end tests of the shipped web folder: every page renders without block-check or engine
// error lines, through `orvelle render` and through the running server; every help example shows
// the very code that runs; and `orvelle --demo` gives the terminal pages a device that answers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "base/ascii_text.h"
#include "server_process.h"

namespace orvelle::e2e {
namespace {

const fs::path kShippedWeb = fs::path(ORVELLE_SOURCE_DIR) / "web";
// Polls of the terminal's poll page before the device's answer counts as missing.
constexpr int kMaxPolls = 100;

std::vector<fs::path> ShippedPages(const std::string& extension) {
  std::vector<fs::path> pages;
  for (const auto& entry : fs::recursive_directory_iterator(kShippedWeb)) {
    if (entry.is_regular_file() && entry.path().extension() == extension) {
      pages.push_back(entry.path());
    }
  }
  std::sort(pages.begin(), pages.end());
  return pages;
}

// The request path of a shipped file, e.g. /help/basics.ovs.
std::string UrlPath(const fs::path& file) {
  return "/" + fs::relative(file, kShippedWeb).generic_string();
}

// Lines of the body that tell of a failed block check or an engine error.
std::vector<std::string> ErrorLines(const std::string& body) {
  std::vector<std::string> found;
  std::size_t start = 0;
  while (start < body.size()) {
    std::size_t end = body.find('\n', start);
    if (end == std::string::npos) end = body.size();
    const std::string line = body.substr(start, end - start);
    if (line.rfind("Error:", 0) == 0 || line.find("Script engine error:") != std::string::npos) {
      found.push_back(line);
    }
    start = end + 1;
  }
  return found;
}

struct Rendered {
  std::string out;
  std::optional<int> exit_code;
};

Rendered Render(const TempHome& home, const fs::path& page,
                const std::vector<std::string>& params = {}) {
  std::vector<std::string> args{ORVELLE_BINARY, "render", page.string(), "--home",
                                home.Path().string()};
  args.insert(args.end(), params.begin(), params.end());
  const fs::path out = home.Path() / "render-out.txt";
  const pid_t pid = Spawn(args, out, home.Path() / "render-err.txt");
  Rendered result;
  result.exit_code = WaitExit(pid, kProcessLimit);
  if (!result.exit_code) {
    ::kill(pid, SIGKILL);
    WaitExit(pid, kProcessLimit);
  }
  result.out = ReadText(out);
  return result;
}

std::string Unescape(std::string text) {
  const std::pair<std::string, std::string> entities[] = {
      {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&amp;", "&"}};
  for (const auto& [entity, plain] : entities) {
    for (auto at = text.find(entity); at != std::string::npos; at = text.find(entity, at + 1)) {
      text.replace(at, entity.size(), plain);
    }
  }
  return text;
}

void CopyShippedWeb(const TempHome& home) {
  fs::copy(kShippedWeb, home.Web(),
           fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}

// Status code and body of a GET.
std::pair<int, std::string> Get(const std::string& url) {
  std::string out = Curl({"-w", "\n%{http_code}", url});
  const auto cut = out.rfind('\n');
  if (cut == std::string::npos) return {0, out};
  return {std::atoi(out.c_str() + cut + 1), out.substr(0, cut)};
}

std::string Encode(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_') {
      out += static_cast<char>(c);
    } else {
      constexpr char kDigits[] = "0123456789ABCDEF";
      out += '%';
      out += kDigits[c >> 4];
      out += kDigits[c & 15];
    }
  }
  return out;
}

// The demo server over a copy of the shipped web folder.
class DemoServer {
 public:
  DemoServer() : server_(Prepare(home_), 0, {"--demo"}) {}
  ServerProcess& Server() { return server_; }
  const TempHome& Home() const { return home_; }
  std::string DevicePath() const { return server_.DemoDevicePath(); }

 private:
  static const TempHome& Prepare(const TempHome& home) {
    CopyShippedWeb(home);
    return home;
  }
  TempHome home_;
  ServerProcess server_;
};

}  // namespace

TEST(ShippedPages, EveryPageRendersWithoutErrorLines) {
  TempHome home;
  const auto pages = ShippedPages(".ovs");
  ASSERT_GE(pages.size(), 10u);
  for (const auto& page : pages) {
    const Rendered rendered = Render(home, page);
    EXPECT_EQ(rendered.exit_code, 0) << page;
    EXPECT_FALSE(rendered.out.empty()) << page;
    EXPECT_EQ(ErrorLines(rendered.out), std::vector<std::string>{}) << page;
  }
}

TEST(ShippedPages, ErrorLinesAreNoticed) {
  // The check above must see a failed block check and an engine error when they happen.
  TempHome home;
  home.Page("bad.ovs", "<p>x</p>\n<% next %>\n");
  home.Page("stop.ovs", "<%\nfor (i, 1, 3, 0)\nnext\n%>\n");
  EXPECT_EQ(ErrorLines(Render(home, home.Web() / "bad.ovs").out).size(), 1u);
  EXPECT_EQ(ErrorLines(Render(home, home.Web() / "stop.ovs").out).size(), 1u);
}

TEST(ShippedPages, EveryHelpExampleShowsTheCodeThatRuns) {
  const std::regex example(
      R"re(<div class="ex"><pre class="src">([^<]*)</pre><pre class="out"><%\n([\s\S]*?)\n%></pre>)re");
  const std::regex any_src(R"re(<div class="ex"><pre class="src">)re");
  int examples = 0;
  for (const auto& page : ShippedPages(".ovs")) {
    const std::string text = ReadText(page);
    const auto shown = std::distance(std::sregex_iterator(text.begin(), text.end(), any_src),
                                     std::sregex_iterator());
    int matched = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), example);
         it != std::sregex_iterator(); ++it, ++matched) {
      EXPECT_EQ(Unescape((*it)[1].str()), (*it)[2].str()) << page;
    }
    EXPECT_EQ(matched, shown) << page << ": an example not in the code-then-output form";
    examples += matched;
  }
  EXPECT_GE(examples, 40);
}

TEST(ShippedPages, HelpCoversEveryStatementAndFunction) {
  std::string code;
  for (const auto& page : ShippedPages(".ovs")) {
    if (page.parent_path().filename() == "help") code += ReadText(page);
  }
  const char* words[] = {"echo (",      "if (",
                         "elseif (",    "else",
                         "endif",       "for (",
                         "next",        "while (",
                         "wend",        "repeat",
                         "until (",     "break",
                         "exit",        "procedure ",
                         "procend",     "exec (",
                         "openport (",  "closeport (",
                         "send (",      "flush (",
                         "setrts (",    "clearrts (",
                         "setdtr (",    "cleardtr (",
                         "writefile (", "deletefile (",
                         "readfile(",   "len(",
                         "asc(",        "chr(",
                         "pos(",        "ucase(",
                         "lcase(",      "mid(",
                         "del(",        "trim(",
                         "tohex(",      "random(",
                         "pow(",        "split(",
                         "extract(",    "date()",
                         "time()",      "year()",
                         "month()",     "day()",
                         "getticks()",  "geterror()",
                         "enumports()", "is_open()",
                         "receive()",   "getcts(",
                         "getdsr(",     "getrlsd(",
                         "getring(",    "&amp;&amp;",
                         "||",          "==",
                         "&lt;&gt;",    "&gt;&gt;",
                         "&lt;&lt;",    "&gt;=",
                         "&lt;=",       "Auth require",
                         "Use session", "Session expire",
                         "Log to file", "Show errors on page",
                         "Server port"};
  for (const char* word : words) EXPECT_NE(code.find(word), std::string::npos) << word;
}

TEST(ShippedPages, EveryFileIsServedWithoutErrorLines) {
  DemoServer demo;
  ASSERT_GT(demo.Server().Port(), 0) << demo.Server().Stdout() << demo.Server().Stderr();
  for (const auto& page : ShippedPages(".ovs")) {
    const auto [status, body] = Get(demo.Server().Url(UrlPath(page)));
    EXPECT_EQ(status, 200) << page;
    EXPECT_EQ(ErrorLines(body), std::vector<std::string>{}) << page;
  }
  for (const char* file : {"/", "/style.css", "/term/terminal.js"}) {
    const auto [status, body] = Get(demo.Server().Url(file));
    EXPECT_EQ(status, 200) << file;
    EXPECT_FALSE(body.empty()) << file;
  }
}

// When the node at `path` was made (its status change time), or nothing when there is none.
std::optional<timespec> ChangeTime(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return info.st_ctim;
}

TEST(ShippedPages, TerminalTalksToTheDemoDevice) {
  DemoServer demo;
  ASSERT_GT(demo.Server().Port(), 0) << demo.Server().Stdout() << demo.Server().Stderr();
  const std::string device = demo.DevicePath();
  const std::optional<timespec> device_made = ChangeTime(device);
  ASSERT_TRUE(device_made.has_value()) << device;
  ASSERT_EQ(device.rfind("/dev/pts/", 0), 0u) << demo.Server().Stdout();
  ASSERT_TRUE(fs::exists(device));

  const std::string page = Get(demo.Server().Url("/terminal.ovs")).second;
  EXPECT_NE(page.find("<option value=\"" + device + "\" selected>"), std::string::npos) << page;

  const std::string upper = base::AsciiUpper(device);
  const std::string opened =
      Get(demo.Server().Url("/term/open.ovs?port=" + Encode(device) +
                            "&baud=19200&data=8&parity=None&stop=1&flow=None"))
          .second;
  EXPECT_EQ(opened, "OK " + upper + " 19200 8 None 1 None\r\n\r\n");

  // Hex goes out exactly as written, in any of the usual spellings: no line end is added.
  for (const char* spelling : {"504E", "0x50 0x4E", "50,4E", "50 4E", " 0X50,\t4e "}) {
    EXPECT_EQ(
        Get(demo.Server().Url("/term/send.ovs?hex=1&eol=crlf&text=" + Encode(spelling))).second,
        "OK 2\r\n\r\n")
        << spelling;
  }
  const std::pair<const char*, const char*> bad_pieces[] = {
      {"50 4", "2"}, {"0x", "1"}, {"50,x4E", "2"}, {"50 (4E)", "2"}, {"41 \"", "2"}};
  for (const auto& [bad, piece] : bad_pieces) {
    EXPECT_EQ(Get(demo.Server().Url("/term/send.ovs?hex=1&eol=cr&text=" + Encode(bad))).second,
              std::string("ERR not a hex byte: piece ") + piece + "\r\n\r\n")
        << bad;
  }
  // "*IDN?" and its CR as hex pairs: the device echoes the line of "PN"s that the CR ends, then
  // answers after its delay.
  EXPECT_EQ(
      Get(demo.Server().Url("/term/send.ovs?hex=1&eol=none&text=" + Encode("0D 2A 49 44 4E 3F 0D")))
          .second,
      "OK 7\r\n\r\n");
  const std::string identity = "4F 52 56 45 4C 4C 45 2C";  // "ORVELLE,"
  std::string hex;
  for (int i = 0; i < kMaxPolls && hex.find(identity) == std::string::npos; ++i) {
    const std::string polled = Get(demo.Server().Url("/term/poll.ovs")).second;
    const auto first_end = polled.find("\r\n");
    ASSERT_EQ(polled.rfind("OK ", 0), 0u) << polled;
    const auto second_end = polled.find("\r\n", first_end + 2);
    hex += polled.substr(first_end + 2, second_end - first_end - 2) + " ";
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::string bytes = hex;  // the pairs without the blanks between polls
  bytes.erase(std::remove(bytes.begin(), bytes.end(), ' '), bytes.end());
  EXPECT_EQ(bytes.rfind("504E504E504E504E504E0D0A", 0), 0u) << hex;
  EXPECT_NE(hex.find(identity), std::string::npos) << hex;

  // A line with quotes and parentheses comes back whole: the poll page takes the reply as its
  // own value, never as code.
  Get(demo.Server().Url("/term/send.ovs?eol=cr&text=" + Encode("f(\"x\")")));
  std::string echoed;
  for (int i = 0; i < kMaxPolls && echoed.find("66 28 22 78 22 29") == std::string::npos; ++i) {
    const std::string polled = Get(demo.Server().Url("/term/poll.ovs")).second;
    ASSERT_EQ(polled.rfind("OK ", 0), 0u) << polled;
    echoed += polled;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_NE(echoed.find("66 28 22 78 22 29"), std::string::npos) << echoed;

  EXPECT_EQ(Get(demo.Server().Url("/term/close.ovs")).second, "OK closed\r\n\r\n");
  EXPECT_EQ(Get(demo.Server().Url("/term/poll.ovs")).second, "CLOSED\r\n\r\n");
  EXPECT_EQ(demo.Server().Terminate(kProcessLimit), 0);
  // Other tests may get the same pseudo-terminal number at once; a node made later is not ours.
  const std::optional<timespec> now = ChangeTime(device);
  EXPECT_TRUE(!now || now->tv_sec != device_made->tv_sec || now->tv_nsec != device_made->tv_nsec)
      << "the demo device outlived the server";
}

TEST(ShippedPages, DemoDeviceThatHangsUpIsLoggedAndPagesFollowItsNewPath) {
  DemoServer demo;
  ASSERT_GT(demo.Server().Port(), 0) << demo.Server().Stdout() << demo.Server().Stderr();
  const std::string device = demo.DevicePath();
  ASSERT_EQ(Get(demo.Server().Url("/term/open.ovs?port=" + Encode(device))).second.rfind("OK ", 0),
            0u);
  EXPECT_EQ(Get(demo.Server().Url("/term/send.ovs?eol=cr&text=HANGUP")).second, "OK 7\r\n\r\n");
  const std::string moved = "Demo device: the line was dropped; now on ";
  ASSERT_TRUE(demo.Server().WaitForLog(moved + "/dev/pts/")) << demo.Server().Stdout();
  // Pages are pointed at the device where it is now.
  const std::string log = demo.Server().Stdout();
  const std::size_t at = log.find(moved) + moved.size();
  const std::string now_on = log.substr(at, log.find_first_of("\r\n", at) - at);
  EXPECT_NE(now_on, device);
  demo.Home().Page("which.ovs", "<%= \"[\" & demoport & \"]\" %>");
  EXPECT_EQ(Get(demo.Server().Url("/which.ovs")).second, "[" + now_on + "]\r\n\r\n");
  Get(demo.Server().Url("/term/close.ovs"));
  EXPECT_EQ(demo.Server().Terminate(kProcessLimit), 0);
}

TEST(ShippedPages, SerialHelpExampleAsksTheDemoDevice) {
  DemoServer demo;
  ASSERT_GT(demo.Server().Port(), 0) << demo.Server().Stdout() << demo.Server().Stderr();
  const std::string body = Get(demo.Server().Url("/help/serial.ovs?run=1")).second;
  EXPECT_NE(body.find("ORVELLE,SIMULATOR"), std::string::npos) << body;
  EXPECT_NE(body.find("Answer after "), std::string::npos);
  // The example closes the port it opened.
  EXPECT_EQ(Get(demo.Server().Url("/term/poll.ovs")).second, "CLOSED\r\n\r\n");
}

TEST(ShippedPages, DemoPortIsSeededAndNoParameterReplacesIt) {
  DemoServer demo;
  demo.Home().Page("which.ovs", "<%= \"[\" & demoport & \"]\" %>");
  ASSERT_GT(demo.Server().Port(), 0);
  EXPECT_EQ(Get(demo.Server().Url("/which.ovs")).second, "[" + demo.DevicePath() + "]\r\n\r\n");
  EXPECT_EQ(Get(demo.Server().Url("/which.ovs?demoport=/dev/watchdog")).second,
            "[" + demo.DevicePath() + "]\r\n\r\n");
}

TEST(ShippedPages, WithoutDemoNoDevicePathIsSeeded) {
  TempHome home;
  home.Page("which.ovs", "<%= \"[\" & demoport & \"]\" %>");
  ServerProcess server(home);
  ASSERT_GT(server.Port(), 0);
  EXPECT_EQ(Get(server.Url("/which.ovs")).second, "[]\r\n\r\n");
  EXPECT_EQ(server.Stdout().find("Demo device"), std::string::npos);
}

}  // namespace orvelle::e2e
