#pragma once
// hibuffer: the growable byte array in which push frames are built, queued
// for sending and reassembled on receipt. Memory comes from an allocator that
// rounds every request up to a power of two. A read position supports
// consuming bytes from the front. Owned by one object (a message being built,
// or GapClient's send/receive buffers); touched by one thread at a time.

#include <cstddef>
#include <cstdint>
#include <string>

namespace nuv {

// Source of hibuffer memory: Allocate returns a block of at least `size`
// bytes and reports its real capacity; Free returns it.
class HiAllocator {
 public:
  virtual ~HiAllocator() = default;
  virtual char* Allocate(size_t size, size_t* capacity) = 0;
  virtual void Free(char* block) = 0;
};

// The default allocator: rounds up to the next power of two (a power of two
// stays as it is); a request whose rounding overflows returns nullptr.
HiAllocator& DefaultHiAllocator();
// The rounding rule on its own; 0 when it overflows.
size_t RoundUpPow2(size_t n);

class hibuffer {
 public:
  explicit hibuffer(HiAllocator& alloc = DefaultHiAllocator()) : alloc_(&alloc) {}
  ~hibuffer() { release(); }
  hibuffer(const hibuffer&) = delete;
  hibuffer& operator=(const hibuffer&) = delete;

  // Ensures room for max(n, 1) bytes beyond the length. An allocation
  // failure is fatal (the process aborts with a message).
  void reserve(size_t n);
  char* writePointer(size_t n) {
    reserve(n);
    return m_pcArray + length_;
  }
  void commit(size_t n) { length_ += n; }
  void setLength(size_t n);
  void append(const void* bytes, size_t n);
  void append(const std::string& s) { append(s.data(), s.size()); }
  void append(const hibuffer& other) { append(other.data(), other.length()); }
  // Pointer at offset (grows the buffer when offset lies beyond the length).
  char* pointerAt(size_t offset);

  void clear() { length_ = 0; readPos_ = 0; }
  void release();
  void attach(char* block, size_t n);
  // Hands the block (and its length through *n) to the caller, who frees it
  // with the same allocator's Free. The buffer is empty afterwards.
  char* detach(size_t* n);
  void swap(hibuffer& other);

  size_t remaining() const { return length_ - readPos_; }
  const char* readPointer() const { return m_pcArray + readPos_; }
  void advance(size_t n) { readPos_ += n; }
  void setReadPosition(size_t n) { readPos_ = n; }
  size_t readPosition() const { return readPos_; }

  // Drops the first n bytes (the rest moves to the front).
  void consumeFront(size_t n);

  const char* data() const { return m_pcArray; }
  char* data() { return m_pcArray; }
  size_t length() const { return length_; }
  size_t capacity() const { return capacity_; }

  // Big-endian appends.
  void appendU8(uint8_t v) { append(&v, 1); }
  void appendU16(uint16_t v);
  void appendU32(uint32_t v);
  void appendU64(uint64_t v);

 private:
  HiAllocator* alloc_;
  char* m_pcArray = nullptr;
  size_t readPos_ = 0;
  size_t length_ = 0;
  size_t capacity_ = 0;
};

}  // namespace nuv
