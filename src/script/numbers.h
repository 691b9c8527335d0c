// Number syntax and number formatting of the script language, and the integer-text rules that
// built-ins use for whole-number arguments.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvelle::script {

// True when the text, trimmed of codes <= 32 at both ends, is a complete number.
bool IsNumber(std::string_view text);
// The value of a complete number, or the partial value of an incomplete one (the digits read
// before the syntax broke, taken as one whole number).
double NumberValue(std::string_view text);
// Reads both at once: the value, and whether the text (untrimmed) is a complete number.
double ParseNumber(std::string_view text, bool& complete);

// General format with 15 significant digits ("1E15", "1E-5", "0.333333333333333").
std::string NumberText(long double x);
void AppendNumberText(std::string& out, long double x);
// Fast exact text of a whole number.
void AppendInteger(std::string& out, std::int64_t value);

// An integer argument of a built-in: decimal or $/x/0x hexadecimal, 32 bits, nothing around it
// but leading blanks. Empty when the text is no integer text.
std::optional<std::int32_t> ParseIntegerText(std::string_view text);

// The whole-number conversion of a for-loop bound: decimal text (a fraction rounds to the
// nearest whole number). Empty when the text cannot be converted.
std::optional<std::int32_t> VariantToInteger(std::string_view text);

}  // namespace orvelle::script
