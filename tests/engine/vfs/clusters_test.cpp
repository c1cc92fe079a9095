// Write clusters through the real cache agent thread (the images live in the
// local cache file) and the simulated drive behind the real pipe.
#include "cluster_support.h"

#include "kelagent/metacache.h"
#include "kelvfs/mdcudfsr_clusters.h"
#include "kelvnops/mdcudfsr_verify.h"

#include <algorithm>
#include <map>
#include <numeric>
#include <random>

namespace {

using namespace vfs_test;

constexpr std::uint8_t kWrite10 = 0x2A, kVerify10 = 0x2F, kSyncCache = 0x35;

std::vector<std::uint8_t> pattern(std::size_t n, std::uint8_t seed) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 2048);
  return v;
}

class Clusters : public AgentVolume {
 protected:
  std::map<std::int32_t, std::uint32_t> masks() {
    std::map<std::int32_t, std::uint32_t> m;
    for (cluster_entry* e = mnt_->cluster_head; e; e = e->next)
      if (e->dirty) m[e->cluster] = e->dirty;
    return m;
  }
  cluster_entry* entry(std::int32_t cl) { return mdcudfsr_cluster_buffer_find(mnt_->cluster_head, cl); }
  int stage(std::uint32_t lsn, const std::vector<std::uint8_t>& data) {
    return mdcudfsr_write_cluster_buffer(mnt_.get(), &ctx_, 1, lsn, data.data(), static_cast<std::uint32_t>(data.size()));
  }
  // One sector at the start of each cluster, holding the cluster number.
  void stage_clusters(std::vector<std::int32_t> order) {
    for (std::int32_t cl : order) {
      std::vector<std::uint8_t> s(2048, static_cast<std::uint8_t>(cl));
      std::memcpy(s.data(), &cl, 4);
      ASSERT_EQ(0, stage(static_cast<std::uint32_t>(cl) * 32, s));
    }
  }
  int flush_all(std::uint32_t start, int* vf, std::uint32_t* written) {
    const mdcudfsr_cluster_track t{0, start, 0};
    return mdcudfsr_flush_all_clusters(mnt_.get(), 0, &ctx_, &t, vf, written);
  }
};

TEST_F(Clusters, StagingSetsTheSectorsOfEachCluster) {
  struct Case {
    const char* what;
    std::uint32_t lsn;
    std::uint32_t bytes;  // 0: zero fill of `sectors`
    std::uint32_t sectors;
    std::map<std::int32_t, std::uint32_t> want;
  } cases[] = {
      {"2048 bytes at LSN 33", 33, 2048, 0, {{1, 0x00000002u}}},
      {"100 bytes", 64, 100, 0, {{2, 0x00000001u}}},
      {"64 KiB from sector 31", 31, 0x10000, 0, {{0, 0x80000000u}, {1, 0x7FFFFFFFu}}},
      {"2049 bytes from the last sector", 95, 2049, 0, {{2, 0x80000000u}, {3, 0x00000001u}}},
      {"zeros over two clusters", 40, 0, 40, {{1, 0xFFFFFF00u}, {2, 0x0000FFFFu}}},
      {"a whole cluster of zeros", 96, 0, 32, {{3, 0xFFFFFFFFu}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    start_staging(0xE1);
    // Old data under every sector the call touches, so its effect shows.
    const std::vector<std::uint8_t> junk(0x10000 * 2, 0xEE);
    ASSERT_EQ(0, stage(c.lsn - c.lsn % 32, junk));
    for (cluster_entry* e = mnt_->cluster_head; e; e = e->next) e->dirty = 0;
    const auto data = pattern(c.bytes, 3);
    ASSERT_EQ(0, c.bytes ? stage(c.lsn, data)
                         : mdcudfsr_zero_write_cluster_buffer(mnt_.get(), &ctx_, 1, c.lsn, c.sectors));
    EXPECT_EQ(c.want, masks());
    // The staged bytes, then zeros to the end of the last sector; the rest is untouched.
    const std::uint32_t first = c.lsn - c.lsn % 32;
    const std::uint32_t len = c.bytes ? c.bytes : c.sectors * 2048;
    const std::uint32_t padded = (len + 2047) / 2048 * 2048;
    std::vector<std::uint8_t> whole;
    for (std::int32_t cl = static_cast<std::int32_t>(first / 32); entry(cl); ++cl) {
      const auto img = image_of(entry(cl));
      whole.insert(whole.end(), img.begin(), img.end());
    }
    const std::size_t at = (c.lsn - first) * 2048u;
    ASSERT_GE(whole.size(), at + padded);
    for (std::size_t i = 0; i < padded; ++i) {
      const std::uint8_t want = i < c.bytes ? data[i] : 0;
      ASSERT_EQ(want, whole[at + i]) << "byte " << i;
    }
    if (at) {
      EXPECT_EQ(0xEE, whole[at - 1]);
    }
    if (at + padded < whole.size()) {
      EXPECT_EQ(0xEE, whole[at + padded]);
    }
    stop_agent();
  }
}

TEST_F(Clusters, WriteSuppressionStagesNothing) {
  start_staging(0xE1);
  mnt_->metadata_allocating = 1;
  const auto data = pattern(2048, 1);
  EXPECT_EQ(0, mdcudfsr_write_logical_blocks(mnt_.get(), 2, 5, data.data(), 2048, &ctx_));
  EXPECT_EQ(0u, mnt_->cluster_count);
  EXPECT_EQ(nullptr, mnt_->cluster_head);
}

TEST_F(Clusters, PartlyDirtyClusterIsWrittenWithZeroedCleanSectors) {
  start_staging(0xF1, 32);
  const std::vector<std::uint8_t> junk(0x10000, 0xEE);
  ASSERT_EQ(0, stage(32, junk));
  mnt_->cluster_head->dirty = 1;  // only sector 0 counts
  ASSERT_EQ(0, mdcudfsr_flush_cluster_buffer(mnt_.get(), 40, 1, &ctx_));
  EXPECT_EQ(0u, mnt_->cluster_count);
  EXPECT_EQ(nullptr, mnt_->cluster_head);
  const auto disc = disc_blocks(32, 32);
  EXPECT_TRUE(std::all_of(disc.begin(), disc.begin() + 2048, [](std::uint8_t b) { return b == 0xEE; }));
  EXPECT_TRUE(std::all_of(disc.begin() + 2048, disc.end(), [](std::uint8_t b) { return b == 0; }));
  const auto reserved = sim_->drive().observed().reserved_writes;
  ASSERT_EQ(1u, reserved.size());
  EXPECT_EQ(std::make_pair(32u, 32u), reserved[0]);
  EXPECT_EQ((std::vector<std::pair<std::uint32_t, std::uint32_t>>{{32, 32}}), ranges(kWrite10));
}

TEST_F(Clusters, SingleClusterFlushRefusals) {
  start_staging(0xF1, 64);
  EXPECT_EQ(22, mdcudfsr_flush_cluster_buffer(mnt_.get(), 0, 1, &ctx_));
  EXPECT_TRUE(logged("cluster buffer not prepared in advance (starting lsn=0)\n"));
  ASSERT_EQ(0, stage(5, pattern(2048, 9)));
  EXPECT_EQ(14, mdcudfsr_flush_cluster_buffer(mnt_.get(), 5, 1, &ctx_)) << "the drive's NWA is 64";
  EXPECT_TRUE(logged("NWA(40) is invalid. Expected is 0.\n"));
  EXPECT_EQ(0, count_op(take_opcodes(), kWrite10));
  EXPECT_EQ(1u, mnt_->cluster_count) << "the entry stays for a later flush";
}

TEST_F(Clusters, AllClustersGoInAscendingBatchesOf512) {
  start_staging(0xF1, 0);
  std::vector<std::int32_t> order(1000);
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), std::mt19937(7));
  stage_clusters(order);
  ASSERT_EQ(1000u, mnt_->cluster_count);
  sim_->service().clear_transcript();
  int vf = 0;
  std::uint32_t written = 0;
  ASSERT_EQ(0, flush_all(0, &vf, &written));
  EXPECT_EQ(0, vf);
  EXPECT_EQ(32000u, written);
  EXPECT_EQ(0u, mnt_->cluster_count);
  const auto writes = ranges(kWrite10);
  ASSERT_EQ(1000u, writes.size());
  for (std::uint32_t i = 0; i < 1000; ++i) ASSERT_EQ(std::make_pair(i * 32, 32u), writes[i]);
  EXPECT_EQ((std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0, 16384}, {16384, 15616}}),
            sim_->drive().observed().reserved_writes);
  // One verify per batch: a full batch is exactly one piece of 0x4000 blocks.
  EXPECT_EQ((std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0, 0x4000}, {16384, 15616}}), ranges(kVerify10));
  EXPECT_EQ(2u, ranges(kSyncCache).size());
  for (std::int32_t cl : {0, 511, 512, 999}) {
    const auto b = disc_blocks(static_cast<std::uint32_t>(cl) * 32, 1);
    std::int32_t got = -1;
    std::memcpy(&got, b.data(), 4);
    EXPECT_EQ(cl, got);
  }
}

TEST_F(Clusters, SmallRunIsVerifiedInOneCall) {
  start_staging(0xF1, 0x100);
  std::vector<std::int32_t> order(10);
  std::iota(order.begin(), order.end(), 8);
  std::reverse(order.begin(), order.end());
  stage_clusters(order);
  sim_->service().clear_transcript();
  std::uint32_t written = 0;
  ASSERT_EQ(0, flush_all(0x100, nullptr, &written));
  EXPECT_EQ(320u, written);
  EXPECT_EQ((std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0x100, 320}}), ranges(kVerify10));
}

TEST_F(Clusters, WrongNextWritableAddressFailsBeforeAnyWrite) {
  start_staging(0xF1, 96);
  stage_clusters({0, 1});
  sim_->service().clear_transcript();
  int vf = 0;
  EXPECT_EQ(14, flush_all(0, &vf, nullptr));
  EXPECT_EQ(1, vf);
  EXPECT_TRUE(ranges(kWrite10).empty());
  EXPECT_TRUE(sim_->drive().observed().reserved_writes.empty());
  EXPECT_EQ(0u, mnt_->cluster_count) << "the rest is dropped";
  EXPECT_TRUE(logged("cluster flush failed. status=14\n"));
}

TEST_F(Clusters, EmptyListIsRefused) {
  start_staging(0xE1);
  EXPECT_EQ(22, flush_all(0, nullptr, nullptr));
  EXPECT_TRUE(logged("cle_array buffer size is err\n"));
  EXPECT_TRUE(take_opcodes().empty());
}

// A failed sync or verify of the first batch: the flag is set, the second
// batch is never written and its entry is dropped, the drive's error returned.
TEST_F(Clusters, SyncOrVerifyFailureDropsTheRest) {
  for (std::uint8_t op : {kSyncCache, kVerify10}) {
    SCOPED_TRACE(op);
    start_staging(0xE2);
    std::vector<std::int32_t> order(513);
    std::iota(order.begin(), order.end(), 0);
    stage_clusters(order);
    const int fault = sim_->drive().add_fault(kelsim::command_fails(op, {0x03, 0x11, 0x00}));
    sim_->service().clear_transcript();
    int vf = 0;
    std::uint32_t written = 0;
    const int err = flush_all(0, &vf, &written);
    EXPECT_NE(0, err);
    EXPECT_GT(err, 0);
    EXPECT_EQ(1, vf);
    EXPECT_EQ(1, sim_->drive().fault_fired(fault));
    EXPECT_EQ(512u, ranges(kWrite10).size()) << "the second batch is not written";
    EXPECT_EQ(16384u, written) << "the batch under way counts";
    EXPECT_EQ(0u, mnt_->cluster_count);
    EXPECT_EQ(nullptr, mnt_->cluster_head);
    stop_agent();
  }
}

// The guard trips on the load before the write: that change answers 1,
// which the flush takes as a failure.
TEST_F(Clusters, GuardTripOnTheLoadIsAFailure) {
  start_staging(0xE1);
  mnt_->mntinfo.MediumType = 0xE1;
  mnt_->WtchSmpls = 10;
  mnt_->WtchSteps = 6;
  // Every change falls within the interval however long the drive takes
  // to become ready after each load (its waits move the test clock).
  mnt_->DscChngWtchIvalSec = 0xFFFFFFFFu;
  mnt_->watch_ring = new std::uint64_t[6]();
  for (std::uint32_t n = 1; n < 60; ++n) ASSERT_EQ(0, mdcudfsr_disc_change(mnt_.get(), n % 2, 0, &ctx_, 0));
  ASSERT_EQ(1u, mnt_->loaded_slot);
  stage_clusters({0});
  sim_->service().clear_transcript();
  int vf = 0;
  EXPECT_EQ(1, flush_all(0, &vf, nullptr));
  EXPECT_EQ(1, vf);
  EXPECT_EQ(1u, mnt_->system_guard);
  EXPECT_TRUE(ranges(kWrite10).empty());
  EXPECT_EQ(0u, mnt_->cluster_count);
}

TEST_F(Clusters, VerifyRangeRequests) {
  start_staging(0xE2);
  EXPECT_EQ(22, mdcudfsr_verify_range(mnt_->devvp, 0xFFFFFFFFu, 1, &ctx_, mnt_.get()));
  EXPECT_EQ(22, mdcudfsr_verify_range(mnt_->devvp, 0, 0, &ctx_, mnt_.get()));
  EXPECT_TRUE(logged("Invalid Block Length (0).\n"));
  EXPECT_EQ(22, mdcudfsr_verify_range(mnt_->devvp, 0, 0x10000, &ctx_, mnt_.get())) << "the request holds 16 bits";
  EXPECT_TRUE(ranges(kVerify10).empty());
  EXPECT_EQ(0, mdcudfsr_verify_range(mnt_->devvp, 0, 0xFFFF, &ctx_, mnt_.get()));
  mnt_->verify_mode = 1;  // the drive verified while writing
  EXPECT_EQ(0, mdcudfsr_verify_range(mnt_->devvp, 96, 32, &ctx_, mnt_.get()));
  EXPECT_EQ((std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0, 0xFFFF}}), ranges(kVerify10));
  EXPECT_EQ(0, mdcudfsr_sync_drive_cache(mnt_.get(), &ctx_));
  EXPECT_EQ(1u, ranges(kSyncCache).size());
  sim_->drive().add_fault(kelsim::command_fails(kSyncCache, {0x03, 0x0C, 0x00}));
  EXPECT_NE(0, mdcudfsr_sync_drive_cache(mnt_.get(), &ctx_));
}

}  // namespace
