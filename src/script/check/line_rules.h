// The checks of one script line: the quirks a reader can see in the line's text alone.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orvelle::script::check {

// Lower-cased procedure names a page defines (the text after "procedure ").
using ProcedureNames = std::vector<std::string>;

// What is wrong with one untrimmed script line written by the author, each finding saying what
// happens and what to write instead; empty when the line is sound.
std::vector<std::string> CheckLine(std::string_view line, const ProcedureNames& procedures);

}  // namespace orvelle::script::check
