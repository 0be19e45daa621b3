// The process-wide table behind HANDLE values. Every event and port is an Object held by
// shared_ptr; a handle names one table entry. Handle values come from a counter that only
// grows, so a value is never reused while the process runs and a stale handle simply finds
// nothing. Lookups hand out a shared_ptr, so an object stays alive for as long as a call is
// using it, even when another thread closes its handle meanwhile.
#pragma once

#include <memory>

#include "quodem/platform/system.h"

namespace quodem::posix {

class Object {
 public:
  virtual ~Object() = default;
  // Called once when the handle naming this object is closed (still referenced by callers
  // that looked it up before). Default: nothing.
  virtual void OnHandleClosed() {}
};

class HandleTable {
 public:
  static HandleTable& Instance();

  // Stores the object under a new handle value and returns it (0 when the values ran out).
  HANDLE Insert(std::shared_ptr<Object> object);
  // The object a handle names, or null for an unknown or closed handle.
  std::shared_ptr<Object> Find(HANDLE handle) const;
  // Removes the handle and returns its object (null when unknown).
  std::shared_ptr<Object> Remove(HANDLE handle);

  template <typename T>
  std::shared_ptr<T> FindAs(HANDLE handle) const {
    return std::dynamic_pointer_cast<T>(Find(handle));
  }

 private:
  HandleTable() = default;
  struct Impl;
  Impl& impl() const;
};

}  // namespace quodem::posix
