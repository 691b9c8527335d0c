// The engine's variables: names compared without regard to case, values read as text, empty text
// meaning "no such variable". Each name gets a stable slot: the names of the program being run
// take the slots of their index in its name table, so compiled lines reach them in O(1). A slot
// holding a number keeps the number and writes its digits only when they are read.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "name_table.h"
#include "value.h"

namespace orvelle::script {

class VariableStore {
 public:
  struct Slot {
    std::string name;  // spelling of the last write
    Value value;       // empty when undefined
    bool defined = false;
    std::uint64_t order = 0;    // position in the ordered list, for listing
    std::uint64_t version = 0;  // grows with every write, so readers can cache conversions

    const std::string& Text() const { return value.Text(); }
    const NumberInfo& Number() const { return value.Number(); }
  };

  // Slot i is name i of `names`, which must outlive the store; other names get slots after.
  explicit VariableStore(const NameTable* names = nullptr);

  // The slot of a name, created (undefined) when absent. Stable for the store's life.
  Slot* Resolve(std::string_view name);
  // The slot of a program name's index; indices past the names count the other slots in order.
  Slot& At(std::uint32_t index) {
    return index < named_count_ ? named_[index] : slots_[index - named_count_];
  }
  const Slot& At(std::uint32_t index) const {
    return index < named_count_ ? named_[index] : slots_[index - named_count_];
  }
  // The slot of a name, or nullptr when no slot exists.
  const Slot* Find(std::string_view name) const;

  std::string_view Read(std::string_view name) const;
  // Writes the text; empty text deletes the variable.
  void Write(std::string_view name, std::string_view value);
  void WriteSlot(Slot& slot, std::string_view name, std::string_view value);
  // Moves a computed value in, keeping what is known of it as a number.
  void WriteSlot(Slot& slot, std::string_view name, Value& value);
  // Copies a value in (another variable's or a literal's), as WriteSlot moves one.
  void CopySlot(Slot& slot, std::string_view name, const Value& value);
  // Appends to a defined variable's text where it stands (`s = s & "xy"`).
  void AppendSlot(Slot& slot, std::string_view name, std::string_view text);
  // Writes a whole number; its decimal text is made when first read. Inline: loop counters and
  // sums write one on nearly every line.
  void WriteInteger(Slot& slot, std::string_view name, std::int64_t value) {
    const bool respelled = Respell(slot.name, name);
    const auto number = static_cast<double>(value);
    if (slot.defined && slot.value.IsInteger() && slot.value.Number().value == number) {
      if (respelled) ++slot.version;  // a new spelling is a change that readers may cache
      return;                         // already holds exactly this number and text
    }
    ++slot.version;
    slot.value.SetInteger(number);
    Define(slot);
  }

  // The defined variables as name=value entries, in list order.
  std::vector<std::string> Entries() const;

  // Undefines every variable, as in a new store, but keeps the slots (and so every pointer to
  // them). Versions keep growing, so nothing cached against an old version matches again.
  void Reset();
  std::size_t SlotCount() const { return named_.size() + slots_.size(); }

 private:
  void Define(Slot& slot) {
    if (!slot.defined) {
      slot.defined = true;
      slot.order = next_order_++;
    }
  }
  // Records the spelling of a write; true when it changed. Names are short and mostly written
  // the same way again, so a plain loop beats a library compare here.
  static bool Respell(std::string& stored, std::string_view name) {
    if (stored.size() == name.size()) {
      std::size_t i = 0;
      while (i < name.size() && stored[i] == name[i]) ++i;
      if (i == name.size()) return false;
    }
    stored.assign(name);
    return true;
  }

  const NameTable* names_ = nullptr;
  // The program's names, sized once and never grown, so At() is one index step.
  std::vector<Slot> named_;
  std::uint32_t named_count_ = 0;  // named_.size(), kept so At() needs no division
  std::deque<Slot> slots_;         // every other name, in a deque so earlier slots never move
  std::unordered_map<std::string, Slot*> index_;  // lower-cased name -> slot, beyond names_
  std::uint64_t next_order_ = 0;
};

}  // namespace orvelle::script
