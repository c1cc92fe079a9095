// The metadata flush passes on the simulated cartridge, through the real
// pipe client, write clusters and cache agent thread (run by hand).
//
//   kel_cache_flush_bench [--gtest_filter=...]
//
// 1. One incremental pass after creating 10,000 files, against plain 64 KiB
//    WRITE(10)s of as many blocks through the same pipe client: the ratio
//    of the two rates.
// 2. One pass after adding a file to a directory of 100,000 entries, against
//    the same for a directory of 10: the ratios of bytes written and of time
//    (the cost of adding an entry does not grow with the directory).
#include "engine/cache/support.h"
#include "engine/cache/support_flush.h"

#include "kelcache/cache_flush.h"
#include "sim/harness.h"
#include "udf/udf_neighbour_calls.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

using namespace cache_test;

namespace {

using Clock = std::chrono::steady_clock;
double ms_since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

uint32_t blocks_written(SimMount& sm) {
  uint32_t n = 0;
  for (auto [lba, count] : ranges(sm, 0x2A)) n += count;
  return n;
}

struct Bench {
  TreeImage img{udf_test::MediumClass::F2};
  SimMount sm;
  Bench() {
    capture_logs(false);  // production logging filters its debug lines too
    img.dir(TreeImage::kRoot, "d", 20);
    img.finish();
    sm.load(img);
    EXPECT_EQ(0, sm.init());
    // The physical partition spans the whole simulated disc: room for the
    // metadata of 10,000 files.
    sm.m()->part[2].length = uint64_t{0x20000 - 4096 - 256} * 2048;
    sm.m()->partition_blocks = 0x20000 - 4096 - 256;
    open_for_writing(sm, 4416);  // after the metadata file and its entries
  }
  mdcudfsr_mount* m() { return sm.m(); }
  double pass() {
    int wrote = 0, defect = 0;
    sm.sim().service().clear_transcript();
    const auto t = Clock::now();
    EXPECT_EQ(0, mdcudfsr_cache_flush(m(), nullptr, &wrote, nullptr, 0, &defect, 0));
    const double took = ms_since(t);
    remap(sm);
    return took;
  }
};

// Plain 64 KiB writes of `blocks` blocks at `lsn` through the drive client.
double plain_writes(SimMount& sm, uint32_t lsn, uint32_t blocks) {
  mdcudfsr_mount* m = sm.m();
  const auto t = Clock::now();
  for (uint32_t done = 0; done < blocks; done += 32) {
    buf_t bp = buf_getblk(m->devvp, lsn + done, 0x10000, 0, 0, 0);
    EXPECT_NE(nullptr, bp);
    if (!bp) break;
    std::memset(reinterpret_cast<void*>(buf_dataptr(bp)), 0x5A, 0x10000);
    EXPECT_EQ(0, buf_bwrite(bp));
  }
  return ms_since(t);
}

TEST(FlushBench, IncrementalPassAfterTenThousandFilesAgainstPlainWrites) {
  Bench b;
  mdcudfsr_cache_node* d = b.sm.child(b.m()->root_node, "d");
  ASSERT_NE(nullptr, d);
  char name[32];
  for (int i = 0; i < 10000; ++i) {
    std::snprintf(name, sizeof name, "f%06d.dat", i);
    ASSERT_NE(nullptr, create_node(b.sm, d, name));
  }
  const double pass_ms = b.pass();
  const uint32_t blocks = blocks_written(b.sm);
  // The same number of blocks written plainly, after what the pass wrote.
  uint32_t nwa = 0;
  ASSERT_EQ(0, mdcudfsr_read_track_information(b.m(), 1, &nwa, nullptr, nullptr, nullptr, 0));
  const double plain_ms = plain_writes(b.sm, nwa, blocks);
  std::printf("pass: %u blocks in %.1f ms; plain 64 KiB WRITE(10): %.1f ms; rate ratio pass/plain %.3f\n", blocks,
              pass_ms, plain_ms, plain_ms / pass_ms);
}

// A directory of `entries` children whose entries and data count as written
// (their places recorded, nothing dirty), then one file added and a pass.
void one_added(uint32_t entries, double* ms, uint32_t* blocks) {
  Bench b;
  mdcudfsr_cache_node* d = b.sm.child(b.m()->root_node, "d");
  char name[32];
  for (uint32_t i = 0; i < entries; ++i) {
    std::snprintf(name, sizeof name, "f%06u.dat", i);
    mdcudfsr_cache_node* n = create_node(b.sm, d, name);
    n->cache_dirty = 0;
    n->udf_data->efe_loc = 3;
  }
  // The directory's data as written before: whole 64 KiB units in one extent.
  const uint64_t size = mdcudfsr_cache_calc_dir_size(d, 0);
  mdcudfsr_extent_entry e;
  e.extent.len = static_cast<uint32_t>(size / 0x10000 * 0x10000);
  e.extent.loc = lb_addr{2, 0};
  if (e.extent.len) mdcudfsr_extent_list_add(&d->udf_data->extents, &e, 0);
  d->cache_dirty = 0;
  d->dir_dirty = 0;
  b.m()->root_node->cache_dirty = 0;
  create_node(b.sm, d, "added.dat");
  *ms = b.pass();
  *blocks = blocks_written(b.sm);
}

TEST(FlushBench, AddingAFileToALargeDirectoryCostsAsMuchAsToASmallOne) {
  double small_ms = 0, large_ms = 0;
  uint32_t small_blocks = 0, large_blocks = 0;
  one_added(10, &small_ms, &small_blocks);
  one_added(100000, &large_ms, &large_blocks);
  std::printf("10 entries: %u blocks, %.1f ms; 100000 entries: %u blocks, %.1f ms\n", small_blocks, small_ms,
              large_blocks, large_ms);
  std::printf("ratio large/small: bytes %.2f, time %.2f\n", double(large_blocks) / small_blocks, large_ms / small_ms);
}

}  // namespace
