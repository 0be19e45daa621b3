// TComponent: ownership of components by their owner.
#include "quodem/platform/framework/component.h"

#include <algorithm>
#include <stdexcept>

namespace quodem {

TComponent::TComponent(TComponent* owner) {
  if (owner != nullptr) owner->Insert(this);
}

TComponent::~TComponent() {
  // Owned components go first, last created first. Each is detached before it is deleted, so
  // its own destructor does not come back to this list.
  while (!components_.empty()) {
    TComponent* child = components_.back();
    components_.pop_back();
    child->owner_ = nullptr;
    delete child;
  }
  if (owner_ != nullptr) owner_->Remove(this);
}

int TComponent::ComponentCount() const {
  return static_cast<int>(components_.size());
}

TComponent* TComponent::Components(int index) const {
  if (index < 0 || index >= ComponentCount()) {
    throw std::out_of_range("component index " + std::to_string(index) + " out of bounds");
  }
  return components_[static_cast<std::size_t>(index)];
}

void TComponent::Insert(TComponent* child) {
  components_.push_back(child);
  child->owner_ = this;
}

void TComponent::Remove(TComponent* child) {
  auto it = std::find(components_.begin(), components_.end(), child);
  if (it != components_.end()) components_.erase(it);
  child->owner_ = nullptr;
}

}  // namespace quodem
