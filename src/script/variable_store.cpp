// Variable slots: a hash from the lower-cased name to a stable slot.
#include "variable_store.h"

#include <algorithm>

#include "text_scan.h"

namespace orvelle::script {

VariableStore::VariableStore(const NameTable* names) : names_(names) {
  if (!names_) return;
  named_.resize(names_->Size());
  named_count_ = static_cast<std::uint32_t>(named_.size());
  for (std::uint32_t i = 0; i < names_->Size(); ++i) named_[i].name = names_->Name(i);
}

VariableStore::Slot* VariableStore::Resolve(std::string_view name) {
  std::string key = LowerAscii(name);
  if (names_) {
    std::uint32_t index = names_->FindLowered(key);
    if (index != kNoSlot) return &named_[index];
  }
  auto it = index_.find(key);
  if (it != index_.end()) return it->second;
  Slot& slot = slots_.emplace_back();
  slot.name = std::string(name);
  index_.emplace(std::move(key), &slot);
  return &slot;
}

const VariableStore::Slot* VariableStore::Find(std::string_view name) const {
  std::string key = LowerAscii(name);
  if (names_) {
    std::uint32_t index = names_->FindLowered(key);
    if (index != kNoSlot) return &named_[index];
  }
  auto it = index_.find(key);
  return it == index_.end() ? nullptr : it->second;
}

std::string_view VariableStore::Read(std::string_view name) const {
  const Slot* slot = Find(name);
  return slot && slot->defined ? std::string_view(slot->Text()) : std::string_view();
}

void VariableStore::Reset() {
  auto reset = [](Slot& slot) {
    ++slot.version;
    slot.value.Clear();
    slot.defined = false;
    slot.order = 0;
  };
  for (Slot& slot : named_) reset(slot);
  for (Slot& slot : slots_) reset(slot);
  next_order_ = 0;
}

void VariableStore::Write(std::string_view name, std::string_view value) {
  std::size_t equals = name.find('=');
  if (equals != std::string_view::npos) {
    // A name holding "=" would be listed as name=rest=value, which reads back as the variable
    // before the "="; only an undefined one can take that value.
    if (value.empty()) return;
    Slot* slot = Resolve(name.substr(0, equals));
    if (slot->defined) return;
    std::string joined = std::string(name.substr(equals + 1)) + "=" + std::string(value);
    WriteSlot(*slot, name.substr(0, equals), joined);
    return;
  }
  if (value.empty()) {
    const Slot* found = Find(name);
    if (!found || !found->defined) return;
  }
  WriteSlot(*Resolve(name), name, value);
}

void VariableStore::WriteSlot(Slot& slot, std::string_view name, std::string_view value) {
  ++slot.version;
  if (value.empty()) {
    slot.defined = false;
    slot.value.Clear();
    return;
  }
  Respell(slot.name, name);
  slot.value.SetText(value);
  Define(slot);
}

void VariableStore::WriteSlot(Slot& slot, std::string_view name, Value& value) {
  ++slot.version;
  if (value.Empty()) {
    slot.defined = false;
    slot.value.Clear();
    return;
  }
  Respell(slot.name, name);
  slot.value.TakeFrom(value);
  Define(slot);
}

void VariableStore::CopySlot(Slot& slot, std::string_view name, const Value& value) {
  ++slot.version;
  if (value.Empty()) {
    slot.defined = false;
    slot.value.Clear();
    return;
  }
  Respell(slot.name, name);
  slot.value = value;
  Define(slot);
}

void VariableStore::AppendSlot(Slot& slot, std::string_view name, std::string_view text) {
  ++slot.version;
  Respell(slot.name, name);
  slot.value.Append(text);
}

std::vector<std::string> VariableStore::Entries() const {
  std::vector<const Slot*> live;
  for (const Slot& slot : named_) {
    if (slot.defined) live.push_back(&slot);
  }
  for (const Slot& slot : slots_) {
    if (slot.defined) live.push_back(&slot);
  }
  std::sort(live.begin(), live.end(), [](auto* a, auto* b) { return a->order < b->order; });
  std::vector<std::string> out;
  for (const Slot* slot : live) out.push_back(slot->name + "=" + slot->Text());
  return out;
}

}  // namespace orvelle::script
