#include "platform/populated_memory.h"

#include <sys/mman.h>

#include <new>

PopulatedMemory::PopulatedMemory(size_t bytes) : size_(bytes) {
  if (bytes == 0) return;
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  if (p != MAP_FAILED) {
    data_ = static_cast<unsigned char*>(p);
    mapped_ = true;
    return;
  }
  data_ = new unsigned char[bytes];  // unmapped pages then come as they are touched
}

PopulatedMemory::~PopulatedMemory() {
  if (mapped_) munmap(data_, size_);
  else delete[] data_;
}
