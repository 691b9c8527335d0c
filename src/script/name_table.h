// The variable names a program refers to, each given a slot index when the program is compiled,
// so a run's variable store can be laid out with name i in slot i.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace orvelle::script {

inline constexpr std::uint32_t kNoSlot = UINT32_MAX;  // "no variable" in a slot index

class NameTable {
 public:
  // The index of the name (compared without regard to case), added when absent.
  std::uint32_t Resolve(std::string_view name);
  // The index of the name, or kNoSlot.
  std::uint32_t Find(std::string_view name) const;
  // The same for a name already lower-cased.
  std::uint32_t FindLowered(const std::string& lowered) const;
  // The name's spelling when first resolved.
  const std::string& Name(std::uint32_t index) const { return names_[index]; }
  std::uint32_t Size() const { return static_cast<std::uint32_t>(names_.size()); }

 private:
  std::unordered_map<std::string, std::uint32_t> index_;  // lower-cased name -> index
  std::vector<std::string> names_;
};

}  // namespace orvelle::script
