// Name-to-index lookup for compiled programs.
#include "name_table.h"

#include "text_scan.h"

namespace orvelle::script {

std::uint32_t NameTable::Resolve(std::string_view name) {
  auto [it, added] = index_.try_emplace(LowerAscii(name), Size());
  if (added) names_.emplace_back(name);
  return it->second;
}

std::uint32_t NameTable::Find(std::string_view name) const {
  return FindLowered(LowerAscii(name));
}

std::uint32_t NameTable::FindLowered(const std::string& lowered) const {
  auto it = index_.find(lowered);
  return it == index_.end() ? kNoSlot : it->second;
}

}  // namespace orvelle::script
