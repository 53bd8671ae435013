// Working memory whose pages are there from the start. A buffer that a run
// fills once and reuses (the package's input, the inflate's output, the
// ring between the inflate and the image) would otherwise take a page
// fault on each of its pages at first touch; on a virtual machine a fault
// costs microseconds, and a small package pays for hundreds of them
// before its first member is written. One call maps and fills them all.
#pragma once

#include <stddef.h>

class PopulatedMemory {
 public:
  PopulatedMemory() = default;
  // bytes of memory, its pages mapped at once where the system allows it
  // (else memory as new[] gives it). Its contents are unspecified.
  explicit PopulatedMemory(size_t bytes);
  ~PopulatedMemory();
  PopulatedMemory(const PopulatedMemory&) = delete;
  PopulatedMemory& operator=(const PopulatedMemory&) = delete;

  unsigned char* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  unsigned char* data_ = nullptr;
  size_t size_ = 0;
  bool mapped_ = false;
};
