// The table of built-in functions and the lookup by exact name and argument count.
#include "script/builtins.h"

#include <array>

#include "script/builtin_functions.h"

namespace orvelle::script {
namespace {

namespace b = builtin;

// Names are compared exactly (case-sensitive); the same name with another argument count is a
// different, absent entry.
constexpr std::array kBuiltins = {
    BuiltinEntry{"geterror", 0, b::Geterror},
    BuiltinEntry{"tohex", 1, b::Tohex},
    BuiltinEntry{"len", 1, b::Len, false, b::LenValues, DirectBuiltin::kLen},
    BuiltinEntry{"asc", 1, b::Asc},
    BuiltinEntry{"pos", 2, b::Pos},
    BuiltinEntry{"ucase", 1, b::Ucase},
    BuiltinEntry{"lcase", 1, b::Lcase},
    BuiltinEntry{"mid", 3, b::Mid, false, b::MidValues, DirectBuiltin::kMid},
    BuiltinEntry{"del", 3, b::Del},
    BuiltinEntry{"chr", 1, b::Chr},
    BuiltinEntry{"trim", 1, b::Trim},
    BuiltinEntry{"htmlencode", 1, b::Htmlencode},
    BuiltinEntry{"random", 1, b::Random},
    BuiltinEntry{"pow", 2, b::Pow},
    BuiltinEntry{"extract", 1, b::Extract},
    BuiltinEntry{"split", 2, b::Split},
    BuiltinEntry{"time", 0, b::Time},
    BuiltinEntry{"date", 0, b::Date},
    BuiltinEntry{"year", 0, b::Year},
    BuiltinEntry{"month", 0, b::Month},
    BuiltinEntry{"day", 0, b::Day},
    BuiltinEntry{"getticks", 0, b::Getticks},
    BuiltinEntry{"readfile", 1, b::Readfile},
    BuiltinEntry{"enumports", 0, b::Enumports},
    BuiltinEntry{"is_open", 0, b::IsOpen},
    BuiltinEntry{"receive", 0, b::Receive},
    BuiltinEntry{"query", 3, b::Query},
    BuiltinEntry{"getcts", 1, b::Getcts},
    BuiltinEntry{"getdsr", 1, b::Getdsr},
    BuiltinEntry{"getrlsd", 1, b::Getrlsd},
    BuiltinEntry{"getring", 1, b::Getring},
};

}  // namespace

const BuiltinEntry* FindBuiltin(std::string_view name, std::size_t arg_count) {
  for (const BuiltinEntry& entry : kBuiltins) {
    if (entry.name == name && static_cast<std::size_t>(entry.arg_count) == arg_count) return &entry;
  }
  return nullptr;
}

}  // namespace orvelle::script
