// The port list over a fake /dev and /sys: stable names that open the device, the USB texts
// found above the tty, a hostile manufacturer text that still gives valid JSON (checked by
// Python's parser), and a randomized check of the JSON string writer against Python's decoder.
#include "serial/port_inventory.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <random>

#include "base/ascii_text.h"
#include "base/json_text.h"
#include "fake_device_tree.h"
#include "serial/serial_port.h"

namespace orvelle::serial {
namespace {

namespace fs = std::filesystem;

// Random strings fed to the JSON writer; enough to hit every byte class many times.
constexpr int kRandomStrings = 3000;
constexpr int kLongestRandomString = 24;
constexpr const char* kHexDigits = "0123456789abcdef";

// Runs python3 with `script` on `input` (a file) and returns its stdout.
std::string Python(const std::string& script, const fs::path& input) {
  const fs::path program = input.parent_path() / "check.py";
  std::ofstream(program) << script;
  const std::string command = "python3 " + program.string() + " " + input.string() + " 2>&1";
  std::string out;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
    ::pclose(pipe);
  }
  return out;
}

TEST(PortInventoryTest, StableNamesOpenTheDevice) {
  test::FakeDeviceTree tree;
  std::vector<std::pair<std::string, int>> failures;
  TSerialPort port;
  port.SetEvents(0);
  port.OnOpenFailed = [&](const std::string& name, const fs::path&, int error) {
    failures.emplace_back(name, error);
  };
  const std::string names[] = {
      (tree.Dev() / "serial/by-id" / test::FakeDeviceTree::kById).string(),
      base::AsciiUpper((tree.Dev() / "serial/by-path" / test::FakeDeviceTree::kByPath).string())};
  for (const std::string& name : names) {
    port.SetPort(name);
    port.Open();
    ASSERT_TRUE(port.Connected()) << name;
    port.WriteText("hi");
    EXPECT_EQ(tree.Pty().Read(2), "hi") << name;
    port.Close();
  }
  EXPECT_TRUE(failures.empty());
  const std::string missing = (tree.Dev() / "serial/by-id/usb-gone-if00").string();
  port.SetPort(missing);
  EXPECT_THROW(port.Open(), ESerialPort);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0], std::make_pair(missing, ENOENT));
}

TEST(PortInventoryTest, HostileSysfsTextsGiveValidJson) {
  test::FakeDeviceTree tree;
  // A stable name for a device the tty class does not show is listed too.
  test::PtyPair extra;
  fs::create_symlink(extra.Path(), tree.Dev() / "serial/by-id/usb-Other-if00");
  const fs::path open = fs::canonical(tree.Pty().Path());
  const std::string json =
      PortsJson(ListPorts(tree.Roots(), open, ProcessIdentity()), "/DEV/X\x01", "why \"not\"");
  const fs::path file = tree.Dev().parent_path() / "ports.json";
  std::ofstream(file, std::ios::binary) << json;
  const std::string got = Python(R"(import json, sys
d = json.load(open(sys.argv[1], encoding='utf-8'))
for p in d['ports']:
    print(ascii([p['path'], p['name'], p['stable_names'], p['manufacturer'], p['product'],
                 p['serial_number'], p['usb_id'], p['driver'], p['open'], p['openable'],
                 p['reason']]))
print(ascii(d['last_open_failure']))
)",
                                 file);
  const std::string dev = tree.Dev().string();
  const std::string want =
      "['" + dev + "/ttyUSB0', 'ttyUSB0', ['" + dev + "/serial/by-id/" +
      test::FakeDeviceTree::kById + "', '" + dev + "/serial/by-path/" +
      test::FakeDeviceTree::kByPath +
      "'], 'FT\"DI\\x01 Ltd\\ufffd', 'FT232R USB UART', 'A12345', '0403:6001', 'ftdi_sio', True, "
      "True, '']\n"
      "['" +
      extra.Path() + "', '" + fs::path(extra.Path()).filename().string() + "', ['" + dev +
      "/serial/by-id/usb-Other-if00'], '', '', '', '', '', False, True, '']\n"
      "{'port': '/DEV/X\\x01', 'reason': 'why \"not\"'}\n";
  EXPECT_EQ(got, want) << json;
}

// The first kind of fact that both devices have decides; none in common means the same device.
TEST(DeviceIdentityTest, FirstSharedFactDecides) {
  const DeviceIdentity a{"0403:6001 A1", "usb-a", "/sys/devices/usb1/1-2"};
  struct Row {
    DeviceIdentity other;
    bool same;
  };
  const Row rows[] = {
      {{"0403:6001 A1", "usb-b", "/sys/devices/usb1/1-3"}, true},  // moved to another USB port
      {{"0403:6001 B2", "usb-a", "/sys/devices/usb1/1-2"}, false},
      {{"", "usb-b", "/sys/devices/usb1/1-2"}, false},
      {{"", "", "/sys/devices/usb1/1-2"}, true},
      {{"", "", "/sys/devices/usb1/1-3"}, false},
      {{}, true},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(SameDevice(a, row.other), row.same) << row.other.Describe();
    EXPECT_EQ(SameDevice(row.other, a), row.same) << row.other.Describe();
  }
  EXPECT_EQ(a.Describe(), "USB serial 0403:6001 A1");
}

TEST(JsonStringTest, RandomBytesMatchPythonsStrictDecoder) {
  test::TempFolder folder;
  std::mt19937 random(20240611);
  const char pool[] = {'a',    '"',    '\\',   '<',    '\n',   '\x01', '\x7f',
                       '\xc3', '\xa9', '\xe2', '\x80', '\xa8', '\xed', '\xa0',
                       '\xf0', '\x9f', '\x98', '\x80', '\xff', '\xc0'};
  std::string lines;
  for (int i = 0; i < kRandomStrings; ++i) {
    std::string text(random() % (kLongestRandomString + 1), '\0');
    for (char& c : text) c = pool[random() % sizeof pool];
    std::string hex;
    for (unsigned char c : text) hex += {kHexDigits[c >> 4], kHexDigits[c & 15]};
    lines += hex + "\t" + base::JsonString(text) + "\n";
  }
  const fs::path file = folder.Path() / "strings.txt";
  std::ofstream(file, std::ios::binary) << lines;
  // Reference: the longest prefix of 1..4 bytes that Python decodes strictly is one character;
  // a byte that starts none becomes U+FFFD.
  const std::string got = Python(R"(import json, sys
def reference(b):
    out, i = [], 0
    while i < len(b):
        for n in (1, 2, 3, 4):
            try:
                out.append(b[i:i + n].decode('utf-8')); i += n; break
            except UnicodeDecodeError:
                pass
        else:
            out.append('\ufffd'); i += 1
    return ''.join(out)
bad = 0
for line in open(sys.argv[1], encoding='utf-8'):
    hex_text, encoded = line.rstrip('\n').split('\t')
    if any(ord(c) < 0x20 or c in '<>&\x7f\u2028\u2029' for c in encoded) or \
       json.loads(encoded) != reference(bytes.fromhex(hex_text)):
        bad += 1
print('mismatches:', bad)
)",
                                 file);
  EXPECT_EQ(got, "mismatches: 0\n");
}

}  // namespace
}  // namespace orvelle::serial
