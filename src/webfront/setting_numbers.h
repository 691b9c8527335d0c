// Whole numbers read from configuration values ("Server port", "Session expire").
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace orvelle::webfront {

// An optional sign and decimal digits, nothing else, within the signed 32-bit range; otherwise
// nothing.
std::optional<std::int32_t> ParseSettingInteger(std::string_view text);

}  // namespace orvelle::webfront
