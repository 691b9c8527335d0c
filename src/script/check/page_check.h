// `orvelle check`'s work: a page's bytes in, the quirks a page author would want to know out.
// The page is never run.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace orvelle::script::check {

struct Finding {
  std::size_t line = 0;  // 1-based line of the page file
  std::string message;   // what happens, and what to write instead
};

// Code lines between a comment line "# check: off" and one "# check: on" are not looked at, so
// that a page can show a quirk on purpose. Block errors are reported everywhere.
inline constexpr std::string_view kCheckOff = "# check: off";
inline constexpr std::string_view kCheckOn = "# check: on";

// The findings of one page, in file-line order.
std::vector<Finding> CheckPage(std::string_view bytes);

}  // namespace orvelle::script::check
