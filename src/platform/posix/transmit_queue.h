// A port's transmit queue: the bytes writes have accepted that the descriptor has not taken
// yet, in order, in a ring of fixed capacity (what a serial driver's transmit buffer is).
// Not locked: the port's lock guards it.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <memory>

namespace quodem::posix {

class TransmitQueue {
 public:
  // Allocates the ring (throws std::bad_alloc). `capacity` > 0.
  explicit TransmitQueue(std::size_t capacity);

  std::size_t Size() const { return size_; }
  std::size_t Capacity() const { return capacity_; }
  std::size_t Room() const { return capacity_ - size_; }
  bool Empty() const { return size_ == 0; }

  // Copies as much of `data` as there is room for to the end; returns how much.
  std::size_t Append(const unsigned char* data, std::size_t size);
  // The first `limit` queued bytes at most, as one or two pieces (the ring wraps); returns
  // the number of pieces filled (0 when empty or `limit` is 0).
  int Front(std::size_t limit, iovec pieces[2]) const;
  // Drops `count` bytes (at most Size()) from the front.
  void Consume(std::size_t count);
  void Clear();

 private:
  std::unique_ptr<unsigned char[]> ring_;
  std::size_t capacity_;
  std::size_t head_ = 0;  // index of the first queued byte
  std::size_t size_ = 0;
};

}  // namespace quodem::posix
