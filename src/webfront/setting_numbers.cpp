// Strict decimal parsing of setting values.
#include "setting_numbers.h"

#include <charconv>

namespace orvelle::webfront {

std::optional<std::int32_t> ParseSettingInteger(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty() || text.front() == '+') return std::nullopt;
  std::int32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace orvelle::webfront
