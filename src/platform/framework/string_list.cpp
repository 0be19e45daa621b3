// TStringList: an ordered list of byte strings.
#include "quodem/platform/framework/string_list.h"

#include <algorithm>
#include <stdexcept>

namespace quodem {

int TStringList::Add(const std::string& s) {
  items_.push_back(s);
  return Count() - 1;
}

const std::string& TStringList::Strings(int index) const {
  if (index < 0 || index >= Count()) {
    throw std::out_of_range("list index " + std::to_string(index) + " out of bounds (" +
                            std::to_string(Count()) + " items)");
  }
  return items_[static_cast<std::size_t>(index)];
}

int TStringList::IndexOf(const std::string& s) const {
  auto it = std::find(items_.begin(), items_.end(), s);
  return it == items_.end() ? -1 : static_cast<int>(it - items_.begin());
}

}  // namespace quodem
