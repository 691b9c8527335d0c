// THeaderList: header lines "Name: value" with case-insensitive lookup by name.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace orvelle::http {

class THeaderList {
 public:
  // Appends one raw line as received.
  void Add(std::string line) { lines_.push_back(std::move(line)); }
  std::size_t Count() const { return lines_.size(); }
  const std::string& operator[](std::size_t i) const { return lines_[i]; }
  const std::vector<std::string>& Lines() const { return lines_; }

  // The value of the first line named `name`, with its continuation lines folded in.
  std::string Value(std::string_view name) const;
  // Replaces the line named `name` in place or appends one; an empty value deletes it.
  void SetValue(std::string_view name, std::string_view value);
  // The values of every line named `name`, in order.
  std::vector<std::string> Extract(std::string_view name) const;

  // The name of a line: the text before its first ":", empty when there is none.
  static std::string_view NameOf(std::string_view line);

 private:
  long IndexOf(std::string_view name) const;
  std::string ValueAt(std::size_t index) const;

  std::vector<std::string> lines_;
};

}  // namespace orvelle::http
