#include "push/hibuffer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "push/byte_order.h"

namespace nuv {
namespace {

class Pow2Allocator : public HiAllocator {
 public:
  char* Allocate(size_t size, size_t* capacity) override {
    size_t cap = RoundUpPow2(size);
    if (cap == 0) return nullptr;
    char* p = static_cast<char*>(std::malloc(cap));
    if (p) *capacity = cap;
    return p;
  }
  void Free(char* block) override { std::free(block); }
};

[[noreturn]] void FatalAlloc(const char* what) {
  std::fprintf(stderr, "hibuffer: assertion failed: %s\n", what);
  std::abort();
}

}  // namespace

HiAllocator& DefaultHiAllocator() {
  static Pow2Allocator alloc;
  return alloc;
}

size_t RoundUpPow2(size_t n) {
  if (n <= 1) return 1;
  size_t p = 1;
  while (p < n) {
    if (p > SIZE_MAX / 2) return 0;
    p <<= 1;
  }
  return p;
}

void hibuffer::reserve(size_t n) {
  if (n == 0) n = 1;
  if (n > SIZE_MAX - length_) FatalAlloc("tmp != NULL");
  size_t need = length_ + n;
  if (capacity_ >= need) return;
  size_t cap = 0;
  char* tmp = alloc_->Allocate(need, &cap);
  if (tmp == nullptr) FatalAlloc(m_pcArray == nullptr ? "m_pcArray != NULL" : "tmp != NULL");
  if (length_ > 0) std::memcpy(tmp, m_pcArray, length_);
  if (m_pcArray) alloc_->Free(m_pcArray);
  m_pcArray = tmp;
  capacity_ = cap;
}

void hibuffer::setLength(size_t n) {
  if (n > length_) reserve(n - length_);
  length_ = n;
  if (readPos_ > length_) readPos_ = length_;
}

void hibuffer::append(const void* bytes, size_t n) {
  if (n == 0) return;
  std::memcpy(writePointer(n), bytes, n);
  commit(n);
}

char* hibuffer::pointerAt(size_t offset) {
  if (offset > length_) reserve(offset - length_);
  return m_pcArray + offset;
}

void hibuffer::release() {
  if (m_pcArray) alloc_->Free(m_pcArray);
  m_pcArray = nullptr;
  readPos_ = length_ = capacity_ = 0;
}

void hibuffer::attach(char* block, size_t n) {
  release();
  m_pcArray = block;
  length_ = capacity_ = n;
}

char* hibuffer::detach(size_t* n) {
  char* p = m_pcArray;
  if (n) *n = length_;
  m_pcArray = nullptr;
  readPos_ = length_ = capacity_ = 0;
  return p;
}

void hibuffer::swap(hibuffer& other) {
  std::swap(alloc_, other.alloc_);
  std::swap(m_pcArray, other.m_pcArray);
  std::swap(readPos_, other.readPos_);
  std::swap(length_, other.length_);
  std::swap(capacity_, other.capacity_);
}

void hibuffer::consumeFront(size_t n) {
  if (n >= length_) {
    clear();
    return;
  }
  std::memmove(m_pcArray, m_pcArray + n, length_ - n);
  length_ -= n;
  readPos_ = readPos_ > n ? readPos_ - n : 0;
}

void hibuffer::appendU16(uint16_t v) {
  uint8_t b[2];
  PutU16(b, v);
  append(b, 2);
}

void hibuffer::appendU32(uint32_t v) {
  uint8_t b[4];
  PutU32(b, v);
  append(b, 4);
}

void hibuffer::appendU64(uint64_t v) {
  uint8_t b[8];
  PutU64(b, v);
  append(b, 8);
}

}  // namespace nuv
