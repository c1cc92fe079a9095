// The drive client's buffer and cluster calls against the recording drive:
// what reaches the drive, what the caller gets back, and the buffer's fate.
#include "drive_fixture.h"

#include "drive/client_if.h"
#include "kelhost/kern.h"
#include "kelhost/vnode.h"

#include <cstring>
#include <numeric>
#include <thread>

namespace {

// Block map of the fake file: file offset o lies at LSN base + o / 2048; a
// run ends at the next multiple of `extent` bytes (0: never).
struct FakeMap {
  std::int32_t base = 1000;
  std::uint64_t extent = 0;
  std::int32_t fail = 0;
  bool whole_units = false;  // runs reach to the end of their 64 KiB unit
  // Offsets from here on have no data recorded (sector -1), from `unmapped`
  // on no extent at all (run 0); -1: none.
  std::int64_t unrecorded = -1, unmapped = -1;
  std::vector<std::pair<std::int64_t, std::uint64_t>> asked;
};
FakeMap g_map;

int fake_blockmap(void* a) {
  auto* args = static_cast<vnop_blockmap_args*>(a);
  g_map.asked.emplace_back(args->a_foffset, args->a_size);
  if (g_map.fail) return g_map.fail;
  *args->a_bpn = g_map.base + static_cast<std::int32_t>(args->a_foffset / 2048);
  std::uint64_t run = args->a_size;
  if (g_map.extent) run = std::min<std::uint64_t>(run, g_map.extent - static_cast<std::uint64_t>(args->a_foffset) % g_map.extent);
  if (g_map.whole_units) run = (run + 65535) / 65536 * 65536;
  if (g_map.unmapped >= 0 && args->a_foffset >= g_map.unmapped) run = 0;
  if (g_map.unrecorded >= 0 && args->a_foffset >= g_map.unrecorded) *args->a_bpn = -1;
  *args->a_run = run;
  return 0;
}

class ClientBuf : public DriveTest {
 protected:
  void SetUp() override {
    DriveTest::SetUp();
    pclient_if = new client_if();
    pclient_if->storage()->set_device_number("sg0");
    pclient_if->storage()->set_device_name("/dev/sgtest-none");
    g_map = FakeMap{};
    saved_ = kel_vnops.blockmap;
    kel_vnops.blockmap = fake_blockmap;
    vp_ = reinterpret_cast<vnode_t>(&dummy_);
  }
  void TearDown() override {
    kel_vnops.blockmap = saved_;
    clientif_delete();
    DriveTest::TearDown();
  }
  // Fills blocks [lsn, lsn + n) of the drive with a pattern.
  void fill(std::uint32_t lsn, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i) {
      std::vector<std::uint8_t> b(2048);
      for (std::size_t k = 0; k < b.size(); ++k) b[k] = static_cast<std::uint8_t>((lsn + i) * 7 + k);
      fakedrive::drive().blocks[lsn + i] = b;
    }
  }
  static std::uint8_t pattern(std::uint32_t lsn, std::size_t k) { return static_cast<std::uint8_t>(lsn * 7 + k); }
  std::uint32_t write_fail_count() {
    std::uint32_t n = 0;
    EXPECT_EQ(0, VNOP_IOCTL(vp_, 0x4004556Au, reinterpret_cast<char*>(&n), 0, nullptr));
    return n;
  }

  int dummy_ = 0;
  vnode_t vp_ = nullptr;
  vnop_handler_t saved_ = nullptr;
};

}  // namespace

TEST_F(ClientBuf, GetblkWithoutMetadataOperationSendsNothing) {
  fill(64, 32);
  fakedrive::clear_transcript();
  buf_t bp = buf_getblk(vp_, 64, 65536, 0, 0, 0);
  ASSERT_NE(nullptr, bp);
  EXPECT_TRUE(fakedrive::transcript().empty());
  EXPECT_EQ(65536u, buf_count(bp));
  EXPECT_EQ(64, buf_blkno(bp));
  EXPECT_EQ(0, buf_flags(bp));
  EXPECT_EQ(vp_, buf_vnode(bp));
  const auto* d = reinterpret_cast<const std::uint8_t*>(buf_dataptr(bp));
  EXPECT_TRUE(std::all_of(d, d + 65536, [](std::uint8_t b) { return b == 0; }));
  buf_brelse(bp);
}

TEST_F(ClientBuf, MetaBreadReadsTheBlocks) {
  fill(96, 32);
  buf_t bp = nullptr;
  ASSERT_EQ(0, buf_meta_bread(vp_, 96, 65536, nullptr, &bp));
  ASSERT_NE(nullptr, bp);
  const auto* d = reinterpret_cast<const std::uint8_t*>(buf_dataptr(bp));
  EXPECT_EQ(pattern(96, 5), d[5]);
  EXPECT_EQ(pattern(127, 2047), d[31 * 2048 + 2047]);
  ASSERT_EQ(1u, fakedrive::calls_of(0x28).size());
  buf_brelse(bp);
}

// A failed read: the data reader gets 12 and no buffer; the caller that
// rewrites the buffer whole still gets its zero-filled buffer, with the
// read's failure in the buffer's error field.
TEST_F(ClientBuf, FailedReadFailsMetaBreadButNotGetblk) {
  fill(0, 32);
  fakedrive::add_fault({0x28, 3, 0x11, 0, 0, -1, 0, 1});
  buf_t bp = reinterpret_cast<buf_t>(0x1);
  EXPECT_EQ(12, buf_meta_bread(vp_, 0, 65536, nullptr, &bp));
  EXPECT_EQ(nullptr, bp);

  fakelog::reset();
  buf_t whole = buf_getblk(vp_, 0, 65536, 0, 0, BUF_OP_METADATA);
  ASSERT_NE(nullptr, whole);
  EXPECT_NE(0, whole->error);
  const auto* d = reinterpret_cast<const std::uint8_t*>(buf_dataptr(whole));
  EXPECT_TRUE(std::all_of(d, d + 65536, [](std::uint8_t b) { return b == 0; }));
  EXPECT_TRUE(fakelog::contains("READ failed. err("));
  // The repair goes on: the buffer can be written.
  fakedrive::clear_faults();
  std::memset(reinterpret_cast<void*>(buf_dataptr(whole)), 0xA5, 65536);
  EXPECT_EQ(0, buf_bwrite(whole));
  EXPECT_EQ(0xA5, fakedrive::drive().blocks[31][2047]);
}

TEST_F(ClientBuf, BwriteWritesWholeUnitsAndFreesTheBuffer) {
  buf_t bp = buf_getblk(vp_, 320, 2 * 65536, 0, 0, 0);
  ASSERT_NE(nullptr, bp);
  std::memset(bp->data, 0x3C, 2 * 65536);
  EXPECT_EQ(0, buf_bdwrite(bp));
  EXPECT_FALSE(pclient_if->delayed_write());
  const auto w = fakedrive::calls_of(0x2A);
  ASSERT_EQ(2u, w.size());
  EXPECT_EQ(0x40, w[0].cdb[9]);
  EXPECT_EQ(0x3C, fakedrive::drive().blocks[320 + 63][0]);
  EXPECT_EQ(0u, write_fail_count());
}

// A buffer that is not a whole number of 64 KiB units is refused; nothing is
// written, the failure is counted, the buffer is gone.
TEST_F(ClientBuf, BwriteRefusesPartialUnits) {
  for (int size : {2048, 65536 + 2048, 30000}) {
    SCOPED_TRACE(size);
    fakedrive::clear_transcript();
    buf_t bp = buf_getblk(vp_, 0, size, 0, 0, 0);
    ASSERT_NE(nullptr, bp);
    EXPECT_EQ(22, buf_bwrite(bp));
    EXPECT_TRUE(fakedrive::calls_of(0x2A).empty());
  }
  EXPECT_EQ(3u, write_fail_count());
}

// Engine threads write at once: every failure is counted.
TEST_F(ClientBuf, WriteFailuresOfSeveralThreadsAreAllCounted) {
  constexpr int kThreads = 4, kEach = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([this] {
      for (int i = 0; i < kEach; ++i) {
        buf_t bp = buf_getblk(vp_, 0, 2048, 0, 0, 0);  // not whole 64 KiB units: refused
        if (bp) (void)buf_bwrite(bp);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(static_cast<std::uint32_t>(kThreads * kEach), write_fail_count());
}

TEST_F(ClientBuf, BwriteFailureIsCountedAndReported) {
  fakedrive::drive().cartridge_wp = true;
  for (int i = 0; i < 2; ++i) {
    buf_t bp = buf_getblk(vp_, 32 * i, 65536, 0, 0, 0);
    ASSERT_NE(nullptr, bp);
    EXPECT_NE(0, buf_bwrite(bp));
  }
  EXPECT_EQ(2u, write_fail_count());
  EXPECT_EQ(2, fakelog::count("WRITE_10 failed. err["));
}

TEST_F(ClientBuf, InvalidArguments) {
  buf_t bp = nullptr;
  EXPECT_EQ(nullptr, buf_getblk(nullptr, 0, 2048, 0, 0, 0));
  EXPECT_EQ(nullptr, buf_getblk(vp_, 0, 0, 0, 0, 0));
  EXPECT_EQ(22, buf_meta_bread(vp_, 0, -1, nullptr, &bp));
  EXPECT_EQ(22, buf_meta_bread(vp_, 0, 2048, nullptr, nullptr));
  EXPECT_EQ(22, buf_bwrite(nullptr));
  EXPECT_EQ(22, buf_bdwrite(nullptr));
  EXPECT_EQ(0, buf_blkno(nullptr));
  EXPECT_EQ(0u, buf_count(nullptr));
  EXPECT_EQ(0u, buf_dataptr(nullptr));
  EXPECT_EQ(22, buf_map(nullptr, nullptr));
  EXPECT_EQ(22, buf_unmap(nullptr));
  EXPECT_EQ(22, buf_strategy(nullptr, nullptr));
  uio_t u = uio_create(1, 0, UIO_SYSSPACE, UIO_READ);
  EXPECT_EQ(0, cluster_read(vp_, u, -1, 0));
  EXPECT_EQ(0, cluster_write(vp_, u, -1, 10, 0, 0, 0));
  EXPECT_EQ(22, pclient_if->cluster_write(vp_, u, 0, 10, 0, 0, 0));  // oldEOF 0
  uio_free(u);
  EXPECT_TRUE(fakelog::contains("Invalid argument. vp="));
  EXPECT_TRUE(fakedrive::transcript().empty());
  // Without a client every call refuses.
  client_if* keep = pclient_if;
  pclient_if = nullptr;
  EXPECT_EQ(nullptr, buf_getblk(vp_, 0, 2048, 0, 0, 0));
  EXPECT_EQ(22, VNOP_IOCTL(vp_, 0x200055D2u, nullptr, 0, nullptr));
  EXPECT_FALSE(sgconf_lock(true));
  EXPECT_EQ(0, clientif_get_medium_type());
  pclient_if = keep;
}

TEST_F(ClientBuf, AccessorsAndSetters) {
  buf_t bp = buf_getblk(vp_, 7, 4096, 0, 0, 0);
  ASSERT_NE(nullptr, bp);
  buf_setflags(bp, 0x10);
  buf_setflags(bp, 0x4);
  EXPECT_EQ(0x4, buf_flags(bp));  // replaced, not or-ed
  buf_setcount(bp, 100);
  EXPECT_EQ(100u, buf_count(bp));
  buf_seterror(bp, 5);
  EXPECT_EQ(5, bp->error);
  char* addr = nullptr;
  EXPECT_EQ(0, buf_map(bp, &addr));
  EXPECT_EQ(reinterpret_cast<char*>(bp->data), addr);
  EXPECT_EQ(0, buf_unmap(bp));
  buf_brelse(bp);
}

TEST_F(ClientBuf, ClusterReadFollowsTheBlockMapUpToFilesize) {
  fill(1000, 100);
  g_map.extent = 65536;  // runs end at every 64 KiB of the file
  std::vector<std::uint8_t> out(200000, 0xEE);
  uio_t u = uio_create(1, 2048, UIO_SYSSPACE, UIO_READ);
  uio_addiov(u, reinterpret_cast<user_addr_t>(out.data()), out.size());
  const off64_kel_t filesize = 2048 + 70000;
  EXPECT_EQ(0, cluster_read(vp_, u, filesize, 0));
  EXPECT_EQ(filesize, uio_offset(u));
  EXPECT_EQ(pattern(1001, 0), out[0]);
  EXPECT_EQ(pattern(1001 + 69999 / 2048, 69999 % 2048), out[69999]);
  EXPECT_EQ(0xEE, out[70000]);  // nothing past filesize
  EXPECT_EQ(2u, g_map.asked.size());
  // At or past filesize: nothing moves.
  fakedrive::clear_transcript();
  uio_setoffset(u, filesize);
  EXPECT_EQ(0, cluster_read(vp_, u, filesize, 0));
  EXPECT_TRUE(fakedrive::transcript().empty());
  uio_free(u);
}

// A run without data recorded reads as zeros (an extent allocated but not
// recorded); where no extent maps the file the read ends short.
TEST_F(ClientBuf, ClusterReadGivesZerosWhereNothingIsRecordedAndEndsWhereNothingIsMapped) {
  fill(1000, 4);
  g_map.extent = 4096;
  g_map.unrecorded = 4096;
  std::vector<std::uint8_t> out(8192, 0xEE);
  uio_t u = uio_create(1, 0, UIO_SYSSPACE, UIO_READ);
  uio_addiov(u, reinterpret_cast<user_addr_t>(out.data()), out.size());
  EXPECT_EQ(0, cluster_read(vp_, u, 8000, 0));
  EXPECT_EQ(8000, uio_offset(u)) << "every byte up to the file size";
  EXPECT_EQ(pattern(1001, 5), out[2048 + 5]);
  for (std::size_t i = 4096; i < 8000; ++i) ASSERT_EQ(0, out[i]) << i;
  EXPECT_EQ(0xEE, out[8000]);
  g_map.unrecorded = -1;
  g_map.unmapped = 4096;
  uio_free(u);
  u = uio_create(1, 0, UIO_SYSSPACE, UIO_READ);
  uio_addiov(u, reinterpret_cast<user_addr_t>(out.data()), out.size());
  EXPECT_EQ(0, cluster_read(vp_, u, 8000, 0));
  EXPECT_EQ(4096, uio_offset(u)) << "the mapped part only";
  uio_free(u);
}

TEST_F(ClientBuf, ClusterReadErrors) {
  std::vector<std::uint8_t> out(4096);
  uio_t u = uio_create(1, 0, UIO_SYSSPACE, UIO_READ);
  uio_addiov(u, reinterpret_cast<user_addr_t>(out.data()), out.size());
  g_map.fail = 5;
  EXPECT_EQ(5, cluster_read(vp_, u, 4096, 0));
  g_map.fail = 0;
  fakedrive::add_fault({0x28, 3, 0x11, 0, 0, -1, 0, 1});
  EXPECT_NE(0, cluster_read(vp_, u, 4096, 0));
  uio_free(u);
}

// Every iovec is written; a short last run goes out from a zeroed 64 KiB
// buffer of the client's own, never from past the end of the caller's memory.
TEST_F(ClientBuf, ClusterWriteWritesEveryIovecAndStagesAShortLastRun) {
  std::vector<std::uint8_t> a(65536, 0x11), b(65536, 0x22), c(4096, 0x33);
  uio_t u = uio_create(4, 0, UIO_SYSSPACE, UIO_WRITE);
  uio_addiov(u, reinterpret_cast<user_addr_t>(a.data()), 0);  // empty in front
  uio_addiov(u, reinterpret_cast<user_addr_t>(a.data()), a.size());
  uio_addiov(u, reinterpret_cast<user_addr_t>(b.data()), b.size());
  uio_addiov(u, reinterpret_cast<user_addr_t>(c.data()), c.size());
  g_map.base = 3200;
  g_map.whole_units = true;
  EXPECT_EQ(0, cluster_write(vp_, u, 1, 135168, 0, 0, 0));
  EXPECT_EQ(0, uio_resid(u));
  EXPECT_EQ(135168, uio_offset(u));
  auto& blocks = fakedrive::drive().blocks;
  EXPECT_EQ(0x11, blocks[3200][0]);
  EXPECT_EQ(0x22, blocks[3232][0]);
  EXPECT_EQ(0x33, blocks[3264][0]);
  EXPECT_EQ(0x33, blocks[3265][2047]);
  // The rest of the last unit is zeros.
  for (std::uint32_t l = 3266; l < 3296; ++l) EXPECT_EQ(0, blocks[l][0]) << l;
  std::size_t written = 0;
  for (auto& w : fakedrive::calls_of(0x2A)) written += w.data_out.size();
  EXPECT_EQ(3u * 65536, written);
  uio_free(u);
}

TEST_F(ClientBuf, ClusterWriteFailures) {
  std::vector<std::uint8_t> a(65536, 1);
  uio_t u = uio_create(1, 0, UIO_SYSSPACE, UIO_WRITE);
  uio_addiov(u, reinterpret_cast<user_addr_t>(a.data()), a.size());
  g_map.fail = 22;
  EXPECT_EQ(22, cluster_write(vp_, u, 1, 65536, 0, 0, 0));
  g_map.fail = 0;
  fakedrive::drive().cartridge_wp = true;
  EXPECT_NE(0, cluster_write(vp_, u, 1, 65536, 0, 0, 0));
  uio_free(u);
  // Nothing to write: 0 and no command.
  uio_t e = uio_create(1, 0, UIO_SYSSPACE, UIO_WRITE);
  fakedrive::clear_transcript();
  EXPECT_EQ(0, cluster_write(vp_, e, 1, 65536, 0, 0, 0));
  EXPECT_TRUE(fakedrive::calls_of(0x2A).empty());
  uio_free(e);
}

TEST_F(ClientBuf, CopiesBetweenBufferAndUio) {
  std::vector<std::uint8_t> a(100), b(100);
  std::iota(a.begin(), a.end(), 0);
  std::iota(b.begin(), b.end(), 100);
  uio_t u = uio_create(2, 0, UIO_SYSSPACE, UIO_WRITE);
  uio_addiov(u, reinterpret_cast<user_addr_t>(a.data()), a.size());
  uio_addiov(u, reinterpret_cast<user_addr_t>(b.data()), b.size());
  buf_t bp = buf_getblk(vp_, 0, 60, 0, 0, 0);
  ASSERT_NE(nullptr, bp);
  EXPECT_EQ(60, pclient_if->copy_from_uio(bp, u, 70));  // 30 from a, 30 from b
  EXPECT_EQ(70, bp->data[0]);
  EXPECT_EQ(99, bp->data[29]);
  EXPECT_EQ(100, bp->data[30]);
  EXPECT_EQ(129, bp->data[59]);
  std::memset(bp->data, 0xFF, 60);
  EXPECT_EQ(50, pclient_if->copy_to_uio(bp, u, 150));  // only 50 left in b
  EXPECT_EQ(0xFF, b[50]);
  EXPECT_EQ(0xFF, b[99]);
  EXPECT_EQ(149, b[49]);
  EXPECT_EQ(0, pclient_if->copy_from_uio(bp, u, -1));
  EXPECT_EQ(0, pclient_if->copy_to_uio(nullptr, u, 0));
  buf_brelse(bp);
  uio_free(u);
}

TEST_F(ClientBuf, EjectControlAndConfigurationLock) {
  disable_eject();
  enable_eject_and_remove_media();
  const auto c = fakedrive::calls_of(0x1E);
  ASSERT_EQ(2u, c.size());
  EXPECT_EQ(1, c[0].cdb[4]);
  EXPECT_EQ(0, c[1].cdb[4]);
  EXPECT_TRUE(sgconf_lock(true));
  EXPECT_TRUE(sgconf_lock(false));
  EXPECT_TRUE(set_cartridge_svg_flg(true));
  EXPECT_TRUE(pclient_if->storage()->cartridge_svg_flg());
}

// One iovec over two block-map runs: each run goes to its own sectors.
TEST_F(ClientBuf, ClusterWriteSplitsAnIovecAtRunBoundaries) {
  std::vector<std::uint8_t> a(131072);
  for (std::size_t i = 0; i < a.size(); ++i) a[i] = static_cast<std::uint8_t>(i / 65536 + 1);
  uio_t u = uio_create(1, 65536, UIO_SYSSPACE, UIO_WRITE);
  uio_addiov(u, reinterpret_cast<user_addr_t>(a.data()), a.size());
  g_map.base = 5000;
  g_map.extent = 65536;
  EXPECT_EQ(0, cluster_write(vp_, u, 65536, 196608, 0, 0, 0));
  const auto w = fakedrive::calls_of(0x2A);
  ASSERT_EQ(2u, w.size());
  EXPECT_EQ(5032u, static_cast<std::uint32_t>((w[0].cdb[2] << 24) | (w[0].cdb[3] << 16) | (w[0].cdb[4] << 8) | w[0].cdb[5]));
  EXPECT_EQ(5064u, static_cast<std::uint32_t>((w[1].cdb[2] << 24) | (w[1].cdb[3] << 16) | (w[1].cdb[4] << 8) | w[1].cdb[5]));
  EXPECT_EQ(1, fakedrive::drive().blocks[5032][0]);
  EXPECT_EQ(2, fakedrive::drive().blocks[5064][0]);
  ASSERT_EQ(2u, g_map.asked.size());
  EXPECT_EQ(65536, g_map.asked[0].first);
  EXPECT_EQ(131072, g_map.asked[1].first);
  uio_free(u);
}
