// Page-allocated data buffers.
#include "AnnulusFileIO/Buffers.h"
#include "support/running_interface.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include <sys/resource.h>

using AnnulusFileIO::AdjestBinaryBuffer;
using AnnulusFileIO::BufferUserData;
using AnnulusFileIO::KeptBlocks;

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

namespace {

long minor_faults() {
  rusage u{};
  ::getrusage(RUSAGE_THREAD, &u);
  return u.ru_minflt;
}

// Keeps blocks up to `bound` for the test, none before or after it.
struct KeptForTest {
  explicit KeptForTest(std::uint64_t bound) {
    KeptBlocks::releaseAll();
    KeptBlocks::setBound(bound);
  }
  ~KeptForTest() {
    KeptBlocks::setBound(0);
    KeptBlocks::releaseAll();
  }
};

}  // namespace

// A block a buffer gives up serves the next buffer of its size as it was
// left: no page faults in again, and no new mapping is made.
TEST_F(Buffers, AGivenUpBlockServesTheNextBufferOfItsSize) {
  const KeptForTest kept(1 << 20);
  std::uint8_t* first = nullptr;
  {
    BufferUserData a;
    a.resize(65536);
    first = a.data();
    std::memset(first, 0x5A, 65536);
  }
  EXPECT_EQ(KeptBlocks::count(), 1u);
  EXPECT_EQ(KeptBlocks::bytes(), 65536u);
  BufferUserData other;
  other.resize(131072);  // another size: a block of its own
  EXPECT_NE(other.data(), first);
  EXPECT_EQ(KeptBlocks::count(), 1u);
  BufferUserData b;
  b.resize(65536);
  ASSERT_EQ(b.data(), first);
  EXPECT_EQ(KeptBlocks::count(), 0u);
  EXPECT_EQ(b.used(), 0u);
  const long faults = minor_faults();
  for (std::size_t i = 0; i < 65536; i += 4096) EXPECT_EQ(b.data()[i], 0x5A) << i;
  for (std::size_t i = 0; i < 65536; i += 4096) b.data()[i] = 1;
  EXPECT_EQ(minor_faults(), faults) << "the pages stayed in place";
}

// The kept blocks stay within the bound in bytes and in number; the oldest
// go first, a block larger than the bound is not kept, and a lower bound or
// releaseAll gives blocks back at once.
TEST_F(Buffers, KeptBlocksStayWithinTheirBounds) {
  const struct {
    const char* what;
    std::uint64_t bound;
    std::vector<std::uint64_t> given_up;  // block sizes, in order
    std::size_t count;
    std::uint64_t bytes;
  } cases[] = {
      {"none kept without a bound", 0, {4096, 8192}, 0, 0},
      {"all within the bound", 65536, {4096, 8192, 16384}, 3, 28672},
      {"the oldest go first", 16384, {8192, 4096, 8192}, 2, 12288},
      {"a block above the bound is not kept", 8192, {4096, 16384}, 1, 4096},
      {"at most 32 blocks", 1 << 20, std::vector<std::uint64_t>(40, 4096), 32, 32 * 4096},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const KeptForTest kept(c.bound);
    {
      std::vector<std::unique_ptr<AdjestBinaryBuffer>> held;
      for (std::uint64_t size : c.given_up) {
        held.push_back(std::make_unique<AdjestBinaryBuffer>());
        held.back()->setSize(size);
      }
      for (auto& b : held) b.reset();  // given up in order
    }
    EXPECT_EQ(KeptBlocks::count(), c.count);
    EXPECT_EQ(KeptBlocks::bytes(), c.bytes);
    if (c.count < 2) continue;
    KeptBlocks::setBound(c.bytes - 1);
    EXPECT_LT(KeptBlocks::count(), c.count);
    EXPECT_LE(KeptBlocks::bytes(), c.bytes - 1);
    KeptBlocks::releaseAll();
    EXPECT_EQ(KeptBlocks::count(), 0u);
    EXPECT_EQ(KeptBlocks::bytes(), 0u);
  }
}
