#include "platform/posix/handle_table.h"

#include <mutex>
#include <unordered_map>

namespace quodem::posix {

struct HandleTable::Impl {
  mutable std::mutex lock;
  std::unordered_map<HANDLE, std::shared_ptr<Object>> objects;
  // Values start well above 0 and below INVALID_HANDLE_VALUE; they are handed out in order
  // and never again.
  HANDLE next = 0x100;
};

HandleTable& HandleTable::Instance() {
  static HandleTable table;
  return table;
}

HandleTable::Impl& HandleTable::impl() const {
  // Never destroyed: workers may still close handles while static objects are torn down.
  static Impl* impl = new Impl;
  return *impl;
}

HANDLE HandleTable::Insert(std::shared_ptr<Object> object) {
  Impl& i = impl();
  std::lock_guard<std::mutex> guard(i.lock);
  if (i.next == INVALID_HANDLE_VALUE) return 0;
  HANDLE handle = i.next++;
  i.objects.emplace(handle, std::move(object));
  return handle;
}

std::shared_ptr<Object> HandleTable::Find(HANDLE handle) const {
  Impl& i = impl();
  std::lock_guard<std::mutex> guard(i.lock);
  auto it = i.objects.find(handle);
  return it == i.objects.end() ? nullptr : it->second;
}

std::shared_ptr<Object> HandleTable::Remove(HANDLE handle) {
  Impl& i = impl();
  std::shared_ptr<Object> object;
  {
    std::lock_guard<std::mutex> guard(i.lock);
    auto it = i.objects.find(handle);
    if (it == i.objects.end()) return nullptr;
    object = std::move(it->second);
    i.objects.erase(it);
  }
  return object;
}

}  // namespace quodem::posix
