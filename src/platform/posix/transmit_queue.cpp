#include "platform/posix/transmit_queue.h"

#include <algorithm>
#include <cstring>

namespace quodem::posix {

TransmitQueue::TransmitQueue(std::size_t capacity)
    : ring_(std::make_unique_for_overwrite<unsigned char[]>(capacity)), capacity_(capacity) {}

std::size_t TransmitQueue::Append(const unsigned char* data, std::size_t size) {
  const std::size_t n = std::min(size, Room());
  std::size_t tail = head_ + size_;
  if (tail >= capacity_) tail -= capacity_;
  const std::size_t first = std::min(n, capacity_ - tail);
  std::memcpy(ring_.get() + tail, data, first);
  std::memcpy(ring_.get(), data + first, n - first);
  size_ += n;
  return n;
}

int TransmitQueue::Front(std::size_t limit, iovec pieces[2]) const {
  const std::size_t n = std::min(limit, size_);
  if (n == 0) return 0;
  const std::size_t first = std::min(n, capacity_ - head_);
  pieces[0] = {ring_.get() + head_, first};
  if (first == n) return 1;
  pieces[1] = {ring_.get(), n - first};
  return 2;
}

void TransmitQueue::Consume(std::size_t count) {
  count = std::min(count, size_);
  size_ -= count;
  head_ = size_ == 0 ? 0 : (head_ + count) % capacity_;
}

void TransmitQueue::Clear() {
  head_ = 0;
  size_ = 0;
}

}  // namespace quodem::posix
