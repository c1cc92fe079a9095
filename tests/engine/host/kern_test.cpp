#include "kelhost/kern.h"

#include "support_fake_log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(Uio, MovesAcrossIovecsInPieces) {
  char a[3] = {}, b[5] = {};
  uio_t u = uio_create(2, 100, UIO_SYSSPACE, UIO_READ);
  ASSERT_NE(u, nullptr);
  EXPECT_EQ(uio_resid(u), 0);
  ASSERT_EQ(uio_addiov(u, reinterpret_cast<user_addr_t>(a), 3), 0);
  ASSERT_EQ(uio_addiov(u, reinterpret_cast<user_addr_t>(b), 5), 0);
  EXPECT_EQ(uio_resid(u), 8);

  char src[] = "ABCDEFGH";
  ASSERT_EQ(uiomove(src, 6, u), 0);
  EXPECT_EQ(std::string(a, 3), "ABC");
  EXPECT_EQ(std::string(b, 3), "DEF");
  EXPECT_EQ(uio_offset(u), 106);
  EXPECT_EQ(uio_resid(u), 2);

  // The second call continues in the second iovec and stops when it is full.
  ASSERT_EQ(uiomove(src + 6, 5, u), 0);
  EXPECT_EQ(std::string(b, 5), "DEFGH");
  EXPECT_EQ(uio_offset(u), 108);
  EXPECT_EQ(uio_resid(u), 0);
  uio_free(u);
}

TEST(Uio, WriteDirectionCopiesIntoTheBuffer) {
  char a[] = "xy", b[] = "z12";
  uio_t u = uio_create(2, 0, UIO_SYSSPACE, UIO_WRITE);
  uio_addiov(u, reinterpret_cast<user_addr_t>(a), 2);
  uio_addiov(u, reinterpret_cast<user_addr_t>(b), 3);
  char out[8] = {};
  ASSERT_EQ(uiomove(out, 8, u), 0);
  EXPECT_STREQ(out, "xyz12");
  EXPECT_EQ(uio_offset(u), 5);
  EXPECT_EQ(uio_resid(u), 0);

  // Reset keeps the iovecs and changes offset and direction only.
  uio_reset(u, 4096, UIO_SYSSPACE, UIO_READ);
  EXPECT_EQ(uio_offset(u), 4096);
  EXPECT_EQ(uio_rw(u), UIO_READ);
  uio_setoffset(u, 7);
  EXPECT_EQ(uio_offset(u), 7);
  uio_free(u);
}

TEST(Uio, OtherDirectionAdvancesWithoutCopying) {
  char a[4] = {'k', 'k', 'k', 'k'};
  uio_t u = uio_create(1, 0, UIO_SYSSPACE, 7);
  uio_addiov(u, reinterpret_cast<user_addr_t>(a), 4);
  char src[4] = {'a', 'b', 'c', 'd'};
  ASSERT_EQ(uiomove(src, 4, u), 0);
  EXPECT_EQ(std::string(a, 4), "kkkk");
  EXPECT_EQ(uio_offset(u), 4);
  EXPECT_EQ(uio_resid(u), 0);
  uio_free(u);
}

TEST(Uio, AddiovRefusesToGrowPastItsCapacity) {
  char a[4];
  uio_t u = uio_create(1, 0, UIO_SYSSPACE, UIO_READ);
  EXPECT_EQ(uio_addiov(u, reinterpret_cast<user_addr_t>(a), 4), 0);
  EXPECT_EQ(uio_addiov(u, reinterpret_cast<user_addr_t>(a), 4), 22);
  EXPECT_EQ(uio_resid(u), 4);
  // Consumed iovecs still count against the capacity.
  uiomove(a, 4, u);
  EXPECT_EQ(uio_addiov(u, reinterpret_cast<user_addr_t>(a), 4), 22);
  uio_free(u);

  uio_t none = uio_create(0, 0, UIO_SYSSPACE, UIO_READ);
  ASSERT_NE(none, nullptr);
  EXPECT_EQ(uio_addiov(none, reinterpret_cast<user_addr_t>(a), 1), 22);
  uio_free(none);
}

TEST(Uio, NullArguments) {
  fakelog::reset();
  char buf[4];
  EXPECT_EQ(uio_addiov(nullptr, 0, 1), 14);
  EXPECT_EQ(uiomove(nullptr, 1, nullptr), 14);
  uio_t u = uio_create(1, 0, UIO_SYSSPACE, UIO_READ);
  EXPECT_EQ(uiomove(nullptr, 1, u), 14);
  EXPECT_EQ(uiomove(buf, 1, nullptr), 14);
  uio_free(u);
  EXPECT_EQ(uio_offset(nullptr), 0);
  EXPECT_EQ(uio_resid(nullptr), 0);
  EXPECT_TRUE(fakelog::contains("Invalid argument"));
  EXPECT_EQ(uio_create(-1, 0, 0, 0), nullptr);
  EXPECT_TRUE(fakelog::contains("Cannot allocate memory"));
}

TEST(Copies, CopyinCopyout) {
  char src[] = "data", dst[5] = {};
  EXPECT_EQ(copyin(src, dst, 5), 0);
  EXPECT_STREQ(dst, "data");
  std::memset(dst, 0, sizeof dst);
  EXPECT_EQ(copyout(src, dst, 3), 0);
  EXPECT_EQ(std::string(dst), "dat");
  EXPECT_EQ(copyin(nullptr, dst, 1), 14);
  EXPECT_EQ(copyout(src, nullptr, 1), 14);
}

TEST(Copies, CopyoutstrLimits) {
  char dst[8];
  std::size_t copied = 99;
  EXPECT_EQ(copyoutstr("abc", dst, 3, &copied), 63);
  EXPECT_EQ(copied, 3u);
  EXPECT_EQ(copyoutstr("abc", dst, 4, &copied), 0);
  EXPECT_EQ(copied, 4u);
  EXPECT_STREQ(dst, "abc");
  EXPECT_EQ(copyoutstr("", dst, 1, &copied), 0);
  EXPECT_EQ(copied, 1u);
  EXPECT_EQ(copyoutstr(nullptr, dst, 4, &copied), 14);
  EXPECT_EQ(copyoutstr("a", dst, 4, nullptr), 14);
}

TEST(Strings, StrlcpyAndStrlcat) {
  char d[8];
  EXPECT_EQ(strlcpy(d, "abcdef", 4), 6u);
  EXPECT_STREQ(d, "abc");
  d[0] = 'Q';
  EXPECT_EQ(strlcpy(d, "abcdef", 0), 6u);
  EXPECT_EQ(d[0], 'Q');
  EXPECT_EQ(strlcpy(d, "ab", 8), 2u);

  EXPECT_EQ(strlcat(d, "cdefgh", 8), 8u);
  EXPECT_STREQ(d, "abcdefg");
  EXPECT_EQ(strlcat(d, "xyz", 8), 10u);  // full: nothing appended
  EXPECT_STREQ(d, "abcdefg");
  char e[4] = {'a', 'b', 'c', 'd'};  // no terminator within size
  EXPECT_EQ(strlcat(e, "xy", 4), 6u);
  EXPECT_EQ(std::string(e, 4), "abcd");
  EXPECT_EQ(strlcpy(nullptr, "a", 4), 0u);
  EXPECT_EQ(strlcat(d, nullptr, 4), 0u);
}

TEST(Names, NormalizeCopiesAndTerminates) {
  std::uint8_t out[8];
  std::size_t n = 0;
  const std::uint8_t with_nul[] = {'a', 'b', 'c', 'd', 0};
  EXPECT_EQ(utf8_normalizestr(with_nul, 5, out, &n, 5, 1), 0);
  EXPECT_EQ(n, 4u);
  EXPECT_STREQ(reinterpret_cast<char*>(out), "abcd");

  const std::uint8_t plain[] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(utf8_normalizestr(plain, 4, out, &n, 4, 2), 63);
  EXPECT_EQ(utf8_normalizestr(plain, 4, out, &n, 5, 2), 0);
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(out[4], 0);
  EXPECT_EQ(utf8_normalizestr(with_nul, 5, out, &n, 4, 1), 63);
  EXPECT_EQ(utf8_normalizestr(nullptr, 5, out, &n, 4, 1), 22);
  EXPECT_EQ(utf8_normalizestr(plain, 4, out, nullptr, 8, 1), 22);
}

TEST(MountAndContext, Accessors) {
  mount m{};
  EXPECT_EQ(vfs_flags(&m), 0u);
  vfs_setflags(&m, 0x10201000);
  vfs_setflags(&m, MNT_RDONLY);
  EXPECT_EQ(vfs_flags(&m), 0x10201001u);
  int priv;
  vfs_setfsprivate(&m, &priv);
  EXPECT_EQ(vfs_fsprivate(&m), &priv);
  EXPECT_EQ(vfs_statfs(&m), &m.mnt_vfsstat);
  EXPECT_EQ(vfs_flags(nullptr), 0u);
  EXPECT_EQ(vfs_fsprivate(nullptr), nullptr);
  EXPECT_EQ(vfs_statfs(nullptr), nullptr);

  vfs_context ctx{4321};
  EXPECT_EQ(vfs_context_pid(&ctx), 4321);
  EXPECT_EQ(vfs_context_pid(nullptr), -1);
  EXPECT_NE(kel_global_mount(), nullptr);
}

TEST(Processes, NamesAreApplication) {
  char name[32];
  proc_name(1, name, sizeof name);
  EXPECT_STREQ(name, "Application");
  std::memset(name, 'x', sizeof name);
  proc_selfname(name, sizeof name);
  EXPECT_STREQ(name, "Application");
  EXPECT_NE(proc_find(5), nullptr);
  EXPECT_EQ(proc_exiting(proc_find(5)), 0);
  EXPECT_EQ(proc_issuser_stub(5), 1);
}

TEST(Stubs, FixedResultsAndStubLines) {
  fakelog::reset();
  EXPECT_EQ(vnode_getwithvid(nullptr, 0), 0);
  EXPECT_EQ(vfs_isforce(nullptr), 0);
  EXPECT_EQ(vcount(nullptr), 1);
  EXPECT_EQ(devfs_make_node(0, 0, 0, 0, 0, "x"), 1);
  EXPECT_EQ(cache_lookup(nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(vn_default_error(nullptr), 0);
  EXPECT_EQ(ubc_getsize(nullptr), 0);
  EXPECT_EQ(mdcudfsr_ignore_parentid(), 1);
  EXPECT_NE(OSMalloc_Tagalloc("com.tarn.filesystems.keludf", 0), nullptr);
  EXPECT_NE(lck_grp_alloc_init("g", lck_grp_attr_alloc_init()), nullptr);
  panic("never printed %d", 1);
  const auto lines = fakelog::lines();
  bool saw_panic = false;
  for (const auto& l : lines) {
    EXPECT_NE(l.text.find("FUSE{"), std::string::npos) << l.text;
    EXPECT_NE(l.text.find("++--["), std::string::npos) << l.text;
    EXPECT_NE(l.text.find("] stub"), std::string::npos) << l.text;
    if (l.text.find("[panic:") != std::string::npos) {
      saw_panic = true;
      EXPECT_EQ(l.level, 0);
      EXPECT_EQ(l.text.find("never printed"), std::string::npos);
    }
  }
  EXPECT_TRUE(saw_panic);
  EXPECT_EQ(OSSwapLittleToHostInt32(0x11223344u), 0x11223344u);
}

TEST(Memory, OSFreeOfNullIsLogged) {
  fakelog::reset();
  void* p = OSMalloc(16, nullptr);
  ASSERT_NE(p, nullptr);
  OSFree(p, 16, nullptr);
  EXPECT_FALSE(fakelog::contains("Already freed memory area"));
  OSFree(nullptr, 16, nullptr);
  EXPECT_TRUE(fakelog::contains("Already freed memory area"));
}

}  // namespace
