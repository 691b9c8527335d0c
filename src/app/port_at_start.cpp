// Line settings in their short written form, turned into openport's six arguments.
#include "app/port_at_start.h"

#include <array>
#include <sstream>
#include <vector>

#include "base/ascii_text.h"
#include "serial/serial_settings.h"

namespace orvelle::app {
namespace {

struct ParityLetter {
  char letter;
  std::string_view word;  // openport's form
};
constexpr std::array<ParityLetter, 5> kParities = {
    {{'N', "none"}, {'O', "odd"}, {'E', "even"}, {'M', "mark"}, {'S', "space"}}};
constexpr std::array<std::string_view, 3> kStopBits = {"1", "1.5", "2"};
constexpr std::array<std::string_view, 3> kFlows = {"none", "hardware", "software"};

std::vector<std::string> Words(std::string_view text) {
  std::istringstream in{std::string(text)};
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

bool KnownBaudRate(const std::string& text) {
  const serial::TBaudRate rate = serial::ParseBaudRate(text);
  return rate != serial::TBaudRate::brCustom &&
         base::EqualsIgnoreCase(serial::BaudRateText(rate), text);
}

const ParityLetter* FindParity(char letter) {
  for (const ParityLetter& parity : kParities) {
    if (parity.letter == base::AsciiUpper(letter)) return &parity;
  }
  return nullptr;
}

template <std::size_t N>
bool OneOf(std::string_view text, const std::array<std::string_view, N>& forms) {
  for (std::string_view form : forms) {
    if (base::EqualsIgnoreCase(text, form)) return true;
  }
  return false;
}

// "8N1" as data bits, parity and stop bits; empty `data` when it is not that.
void SplitFrame(const std::string& frame, std::string& data, const ParityLetter*& parity,
                std::string& stop) {
  data.clear();
  if (frame.size() < 3 || frame[0] < '5' || frame[0] > '8') return;
  parity = FindParity(frame[1]);
  stop = frame.substr(2);
  if (parity != nullptr && OneOf(stop, kStopBits)) data = frame.substr(0, 1);
}

}  // namespace

std::string LineSettingsProblem(std::string_view settings) {
  const std::vector<std::string> words = Words(settings);
  if (words.size() < 2 || words.size() > 3) {
    return "line settings must read BAUD DPS [FLOW], e.g. \"115200 8N1\"";
  }
  if (!KnownBaudRate(words[0])) return "unknown baud rate " + words[0];
  std::string data, stop;
  const ParityLetter* parity = nullptr;
  SplitFrame(words[1], data, parity, stop);
  if (data.empty()) {
    return "data bits, parity and stop bits must read like 8N1 (5-8, N/O/E/M/S, 1/1.5/2), not " +
           words[1];
  }
  if (words.size() == 3 && !OneOf(words[2], kFlows)) {
    return "flow control must be none, hardware or software, not " + words[2];
  }
  return {};
}

std::optional<script::SerialAccess::OpenRequest> PortAtStart(std::string_view port,
                                                             std::string_view settings) {
  if (!LineSettingsProblem(settings).empty()) return std::nullopt;
  const std::vector<std::string> words = Words(settings);
  std::string data, stop;
  const ParityLetter* parity = nullptr;
  SplitFrame(words[1], data, parity, stop);
  return script::SerialAccess::OpenRequest{
      std::string(port),         words[0], data,
      std::string(parity->word), stop,     words.size() == 3 ? words[2] : "none"};
}

}  // namespace orvelle::app
