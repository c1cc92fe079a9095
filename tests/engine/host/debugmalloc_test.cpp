#include "kelhost/kern.h"

#include "support_fake_log.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

int panics() {
  int n = 0;
  for (const auto& l : fakelog::lines())
    if (l.level == 0 && l.text.find("[panic:") != std::string::npos) ++n;
  return n;
}

class DebugMalloc : public ::testing::Test {
 protected:
  void SetUp() override {
    mdcudfsr_debug_malloc_term();
    ASSERT_EQ(mdcudfsr_debug_malloc_init(), 0);
    fakelog::reset();
  }
  void TearDown() override {
    mdcudfsr_debug_malloc_set_trace(false);
    mdcudfsr_debug_malloc_term();
  }
};

TEST_F(DebugMalloc, CleanBlockFreesWithoutComplaint) {
  auto* p = static_cast<unsigned char*>(mdcudfsr_debug_malloc(100, "tag"));
  ASSERT_NE(p, nullptr);
  std::memset(p, 0x11, 100);
  mdcudfsr_free_debug(p, 100);
  EXPECT_EQ(panics(), 0);
}

TEST_F(DebugMalloc, OverwritesAndWrongSizesPanic) {
  struct Case {
    const char* what;
    int offset;  // byte written relative to the block, or 0 for none
    std::uint32_t free_size;
  } cases[] = {{"after end", 64, 64}, {"before start", -1, 64}, {"wrong size", 0, 65}};
  for (const Case& c : cases) {
    fakelog::reset();
    auto* p = static_cast<unsigned char*>(mdcudfsr_debug_malloc(64, "t"));
    ASSERT_NE(p, nullptr);
    if (c.offset != 0) p[c.offset] = 0;
    mdcudfsr_free_debug(p, c.free_size);
    EXPECT_EQ(panics(), 1) << c.what;
  }
}

TEST_F(DebugMalloc, ZeroSizeAndDoubleInit) {
  EXPECT_EQ(mdcudfsr_debug_malloc(0, "t"), nullptr);
  EXPECT_TRUE(fakelog::contains("KELC{ERR_}"));
  EXPECT_TRUE(fakelog::contains("] size"));
  EXPECT_EQ(mdcudfsr_debug_malloc_init(), 16);
  EXPECT_TRUE(fakelog::contains("!lck_malloc_hash"));
}

TEST_F(DebugMalloc, TermListsUnfreedBlocks) {
  mdcudfsr_debug_malloc_set_trace(true);
  void* kept = mdcudfsr_debug_malloc(10, "kept-tag");
  void* gone = mdcudfsr_debug_malloc(20, "gone-tag");
  void* kept2 = mdcudfsr_debug_malloc(30, "kept-two");
  mdcudfsr_free_debug(gone, 20);
  mdcudfsr_debug_malloc_term();
  EXPECT_TRUE(fakelog::contains("---------Memory block trace----------"));
  EXPECT_TRUE(fakelog::contains(" 10 kept-tag[OK ]"));
  EXPECT_TRUE(fakelog::contains(" 30 kept-two[OK ]"));
  EXPECT_FALSE(fakelog::contains("gone-tag"));
  EXPECT_TRUE(fakelog::contains("---------2 blocks is unfreed----------"));
  ASSERT_EQ(mdcudfsr_debug_malloc_init(), 0);
  mdcudfsr_free_debug(kept, 10);
  mdcudfsr_free_debug(kept2, 30);
}

}  // namespace
