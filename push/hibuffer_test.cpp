// hibuffer: power-of-two growth, the operations that move bytes, and the
// read position; a counting allocator shows what is allocated and freed.

#include "push/hibuffer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace nuv {
namespace {

// Wraps the default allocator and counts live blocks and requested sizes.
class CountingAllocator : public HiAllocator {
 public:
  char* Allocate(size_t size, size_t* capacity) override {
    lastRequest = size;
    ++live;
    return DefaultHiAllocator().Allocate(size, capacity);
  }
  void Free(char* block) override {
    --live;
    DefaultHiAllocator().Free(block);
  }
  int live = 0;
  size_t lastRequest = 0;
};

std::string Str(const hibuffer& b) { return std::string(b.data(), b.length()); }

TEST(HiBufferTest, RoundsRequestsUpToPowersOfTwo) {
  EXPECT_EQ(1u, RoundUpPow2(0));
  EXPECT_EQ(1u, RoundUpPow2(1));
  EXPECT_EQ(8192u, RoundUpPow2(8192));
  EXPECT_EQ(16384u, RoundUpPow2(8193));
  EXPECT_EQ(0u, RoundUpPow2(SIZE_MAX / 2 + 2));

  CountingAllocator alloc;
  {
    hibuffer b(alloc);
    b.reserve(0);  // room for at least one byte
    EXPECT_EQ(1u, b.capacity());
    b.append("abc", 3);
    EXPECT_EQ(4u, b.capacity());
    b.reserve(8192);  // length 3 + 8192
    EXPECT_EQ(8195u, alloc.lastRequest);
    EXPECT_EQ(16384u, b.capacity());
    EXPECT_EQ("abc", Str(b));
    EXPECT_EQ(1, alloc.live);
  }
  EXPECT_EQ(0, alloc.live);
}

TEST(HiBufferTest, WritesAndBigEndianAppends) {
  hibuffer b;
  b.appendU8(1);
  b.appendU16(0x0203);
  b.appendU32(0x04050607);
  b.appendU64(0x08090A0B0C0D0E0FULL);
  ASSERT_EQ(15u, b.length());
  for (int i = 0; i < 15; ++i) EXPECT_EQ(i + 1, b.data()[i]);

  char* w = b.writePointer(2);
  w[0] = 'x';
  w[1] = 'y';
  b.commit(2);
  EXPECT_EQ('y', b.data()[16]);
  b.setLength(20);  // grows; the new bytes are undefined but owned
  EXPECT_EQ(20u, b.length());
  b.setLength(3);
  EXPECT_EQ(3u, b.length());
  *b.pointerAt(40) = 'z';  // beyond the length: grows first
  EXPECT_GE(b.capacity(), 41u);
  EXPECT_EQ(3u, b.length());

  hibuffer other;
  other.append(std::string("tail"));
  b.append(other);
  EXPECT_EQ(std::string("\x01\x02\x03tail", 7), Str(b));
}

TEST(HiBufferTest, ReadPositionAndFrontConsumption) {
  hibuffer b;
  b.append(std::string("0123456789"));
  b.advance(3);
  EXPECT_EQ(7u, b.remaining());
  EXPECT_EQ('3', *b.readPointer());
  b.consumeFront(5);  // the read position moves with the bytes
  EXPECT_EQ("56789", Str(b));
  EXPECT_EQ(0u, b.readPosition());
  b.setReadPosition(2);
  EXPECT_EQ('7', *b.readPointer());
  b.consumeFront(99);
  EXPECT_EQ(0u, b.length());
  b.append(std::string("ab"));
  const size_t cap = b.capacity();
  b.clear();
  EXPECT_EQ(0u, b.length());
  EXPECT_EQ(cap, b.capacity());  // memory kept
}

TEST(HiBufferTest, AttachDetachSwapAndRelease) {
  CountingAllocator alloc;
  hibuffer a(alloc), b(alloc);
  a.append(std::string("first"));
  b.append(std::string("second!"));
  a.swap(b);
  EXPECT_EQ("second!", Str(a));
  EXPECT_EQ("first", Str(b));

  size_t n = 0;
  char* block = a.detach(&n);
  EXPECT_EQ(7u, n);
  EXPECT_EQ(nullptr, a.data());
  EXPECT_EQ(0u, a.capacity());
  b.attach(block, n);  // frees b's old block, takes ownership of this one
  EXPECT_EQ("second!", Str(b));
  EXPECT_EQ(7u, b.capacity());
  EXPECT_EQ(1, alloc.live);
  b.release();
  EXPECT_EQ(0, alloc.live);
  EXPECT_EQ(0u, b.length());
}

}  // namespace
}  // namespace nuv
