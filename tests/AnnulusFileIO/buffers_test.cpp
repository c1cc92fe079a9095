// Page-allocated data buffers.
#include "AnnulusFileIO/Buffers.h"
#include "support/running_interface.h"

#include <gtest/gtest.h>

#include <cstring>

using AnnulusFileIO::AdjestBinaryBuffer;
using AnnulusFileIO::BufferUserData;

class Buffers : public writertest::RunningInterface {};

TEST_F(Buffers, BlockNeverShrinksAndKeepsItsContent) {
  AdjestBinaryBuffer b;
  EXPECT_EQ(b.getBuffer(), nullptr);
  b.setSize(8192);
  ASSERT_NE(b.getBuffer(), nullptr);
  std::memcpy(b.getBuffer(), "keep me", 8);
  std::uint8_t* const block = b.getBuffer();
  b.setSize(100);
  EXPECT_EQ(b.getBuffer(), block);
  EXPECT_EQ(b.size(), 8192);
  EXPECT_STREQ(reinterpret_cast<const char*>(b.getBuffer()), "keep me");
  b.setSize(8192);
  EXPECT_EQ(b.getBuffer(), block);
  b.setSize(16384);
  EXPECT_EQ(b.size(), 16384);
  b.getBuffer()[16383] = 1;  // the whole block is writable
  EXPECT_EQ(traces(), (std::vector<std::u16string>{u"alloc 8192 0x00002000",
                                                   u"release 8192 0x00002000",
                                                   u"alloc 16384 0x00004000"}));
}

TEST_F(Buffers, RefusedAllocationThrowsAndLeavesNoBlock) {
  AdjestBinaryBuffer b;
  b.setSize(4096);
  EXPECT_THROW(b.setSize(0xFFFFFFFFFFFFull << 12), AnnulusFileIO::PageAllocationError);
  EXPECT_EQ(b.getBuffer(), nullptr);
  EXPECT_EQ(b.size(), 0);
  ASSERT_FALSE(engine().log_levels.empty());
  EXPECT_EQ(engine().log_levels.back(), 3u);
  EXPECT_EQ(traces().back().rfind(u"::VirtualAlloc error GetLastError=0x00000008 size=", 0), 0u);
  b.setSize(4096);  // usable again afterwards
  EXPECT_NE(b.getBuffer(), nullptr);
}

TEST_F(Buffers, UserDataFillAndClear) {
  BufferUserData b;
  EXPECT_FALSE(b.isBusy());
  EXPECT_FALSE(b.hasBlock());
  b.resize(4096);
  EXPECT_EQ(b.append("abc", 3), 3u);
  EXPECT_TRUE(b.isDirty());
  b.setBusy(true);
  b.setPreReadSize(2);
  b.m_isWhenClose = true;
  b.m_flags[6] = 1;
  b.clear();
  EXPECT_EQ(b.used(), 0u);
  EXPECT_FALSE(b.isBusy());
  EXPECT_FALSE(b.isDirty());
  EXPECT_EQ(b.preReadSize(), 0u);
  EXPECT_FALSE(b.m_isWhenClose);
  EXPECT_EQ(b.m_flags[6], 0);
  EXPECT_EQ(b.capacity(), 4096);  // clear keeps the block
}

TEST_F(Buffers, PrivateCopyTakesWhatFitsTheBlock) {
  const char text[] = "0123456789";
  BufferUserData copy(text, 10);
  EXPECT_GE(copy.capacity(), 10);
  EXPECT_EQ(copy.used(), 10u);
  EXPECT_TRUE(copy.isDirty());
  EXPECT_EQ(std::memcmp(copy.data(), text, 10), 0);
  // A full block takes no more.
  BufferUserData small;
  small.resize(4);
  EXPECT_EQ(small.append(text, 10), 4u);
  EXPECT_EQ(small.append(text, 10), 0u);
  EXPECT_EQ(small.used(), 4u);
}
