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
    BuiltinSpec{"geterror", 0, b::Geterror},
    BuiltinSpec{"tohex", 1, b::Tohex},
    BuiltinSpec{"len", 1, b::Len},
    BuiltinSpec{"asc", 1, b::Asc},
    BuiltinSpec{"pos", 2, b::Pos},
    BuiltinSpec{"ucase", 1, b::Ucase},
    BuiltinSpec{"lcase", 1, b::Lcase},
    BuiltinSpec{"mid", 3, b::Mid},
    BuiltinSpec{"del", 3, b::Del},
    BuiltinSpec{"chr", 1, b::Chr},
    BuiltinSpec{"trim", 1, b::Trim},
    BuiltinSpec{"random", 1, b::Random},
    BuiltinSpec{"pow", 2, b::Pow},
    BuiltinSpec{"extract", 1, b::Extract},
    BuiltinSpec{"split", 2, b::Split},
    BuiltinSpec{"time", 0, b::Time},
    BuiltinSpec{"date", 0, b::Date},
    BuiltinSpec{"year", 0, b::Year},
    BuiltinSpec{"month", 0, b::Month},
    BuiltinSpec{"day", 0, b::Day},
    BuiltinSpec{"getticks", 0, b::Getticks},
    BuiltinSpec{"readfile", 1, b::Readfile},
    BuiltinSpec{"enumports", 0, b::Enumports},
    BuiltinSpec{"is_open", 0, b::IsOpen},
    BuiltinSpec{"receive", 0, b::Receive},
    BuiltinSpec{"getcts", 1, b::Inert, true},
    BuiltinSpec{"getdsr", 1, b::Inert, true},
    BuiltinSpec{"getrlsd", 1, b::Inert, true},
    BuiltinSpec{"getring", 1, b::Inert, true},
};

}  // namespace

const BuiltinSpec* FindBuiltin(std::string_view name, std::size_t arg_count) {
  for (const BuiltinSpec& entry : kBuiltins) {
    if (entry.name == name && static_cast<std::size_t>(entry.arg_count) == arg_count) return &entry;
  }
  return nullptr;
}

}  // namespace orvelle::script
