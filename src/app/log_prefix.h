// The date prefix of every log line: "mmm d, yyyy ; hh:mm " with English month names.
#pragma once

#include <ctime>
#include <string>

namespace orvelle::app {

// For example "Mar 1, 2026 ; 09:05 ".
std::string LogDatePrefix(const std::tm& when);

// The local time now.
std::tm LocalTimeNow();

}  // namespace orvelle::app
