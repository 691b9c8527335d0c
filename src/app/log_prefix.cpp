// Formatting the log date prefix.
#include "log_prefix.h"

#include <fmt/format.h>

#include <array>

namespace orvelle::app {
namespace {

constexpr std::array<const char*, 12> kShortMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

std::string LogDatePrefix(const std::tm& when) {
  const int month = when.tm_mon >= 0 && when.tm_mon < 12 ? when.tm_mon : 0;
  return fmt::format("{} {}, {} ; {:02}:{:02} ", kShortMonths[static_cast<std::size_t>(month)],
                     when.tm_mday, when.tm_year + 1900, when.tm_hour, when.tm_min);
}

std::tm LocalTimeNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

}  // namespace orvelle::app
