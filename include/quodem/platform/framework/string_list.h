// TStringList: an ordered list of byte strings.
#pragma once

#include <string>
#include <vector>

namespace quodem {

class TStringList {
 public:
  int Add(const std::string& s);  // returns the new item's index
  int Count() const { return static_cast<int>(items_.size()); }
  // Throws std::out_of_range for an index outside 0..Count()-1.
  const std::string& Strings(int index) const;
  const std::string& operator[](int index) const { return Strings(index); }
  int IndexOf(const std::string& s) const;  // -1 when absent
  void Clear() { items_.clear(); }
  const std::vector<std::string>& Items() const { return items_; }

 private:
  std::vector<std::string> items_;
};

}  // namespace quodem
