// The checks of expressions and conditions, on their text as the engine reads it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orvelle::script::check {

// Whether some built-in function has this exact name, with any number of arguments.
bool IsBuiltinName(std::string_view name);

// Literals holding parentheses, unknown functions, wrong argument counts, operators without an
// operation, and texts that only a call standing alone takes whole.
void CheckExpression(std::string_view text, std::vector<std::string>& out);

// A condition from its first "(" on: calls that are not called, relations that are none,
// connectors that do not connect, text outside the parentheses.
void CheckCondition(std::string_view condition, std::vector<std::string>& out);

}  // namespace orvelle::script::check
