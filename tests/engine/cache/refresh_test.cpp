// Virtual nodes: their attributes refreshed through the VFAM channel (the
// agent's side opened by the test), and their cached data invalidated. No
// operation makes virtual nodes yet: each test makes its own.
#include "support.h"
#include "vfam_support.h"

#include "kelagent/mdc_channel.h"
#include "kelcache/lookup.h"
#include "kelhost/kern.h"

#include <atomic>
#include <thread>

using namespace cache_test;

namespace {

// A virtual node on a volume whose VFAM channel is open by the test agent.
struct Refresh : ::testing::Test {
  VfamVolume v;
  vfs_context ctx{4242};  // a process other than the agent's
  mdcudfsr_cache_node* node = nullptr;
  vfamstat stat{};
  void SetUp() override {
    v.open_agent();
    node = v.virtual_node(v.root, "v");
    ASSERT_NE(nullptr, node);
    ASSERT_NE(nullptr, node->vfam_data);
    stat.mode = 0100644;
    stat.size = 777;
    stat.fileid = 99;
    stat.uid = 501;
  }
  Bytes wire() const {
    return Bytes(reinterpret_cast<const uint8_t*>(&stat), reinterpret_cast<const uint8_t*>(&stat) + 95);
  }
  void start(Caller& c) {
    c.start({node}, [this] { return mdcudfsr_cache_refresh_virtual_node(node, &ctx); });
  }
  // Answers the next requests with these errors; the result of the refresh.
  int run(const std::vector<int>& answers) {
    Caller c;
    start(c);
    for (int a : answers) v.answer(v.take_request(), a, (a == 0 || a == 115 || a == 2) ? wire() : Bytes{});
    const int r = c.join();
    EXPECT_TRUE(v.queue_empty());
    return r;
  }
};

}  // namespace

TEST_F(Refresh, AnswersOfTheAgent) {
  node->cache_flags = 0x30000;
  EXPECT_EQ(0, run({11, 11, 115}));
  EXPECT_EQ(777u, node->recorded_length);
  EXPECT_EQ(99u, node->objid);
  EXPECT_EQ(501u, node->vfam_data->uid);
  EXPECT_EQ(777, node->vfam_data->file_size);
  EXPECT_EQ(0x30000u, node->cache_flags) << "only a full answer clears the invalidation bits";
  stat.size = 778;
  EXPECT_EQ(0, run({0}));
  EXPECT_EQ(778u, node->recorded_length);
  EXPECT_EQ(0u, node->cache_flags);
  EXPECT_EQ(MDCUDFSR_NODE_ACTIVE, node->status);
}

TEST_F(Refresh, BusyTenTimesIsReturned) {
  EXPECT_EQ(11, run(std::vector<int>(10, 11)));
  EXPECT_EQ(5, run({5}));
}

TEST_F(Refresh, GoneFileInactivatesTheNode) {
  EXPECT_EQ(0, run({2}));
  EXPECT_EQ(MDCUDFSR_NODE_INACTIVE, node->status);
}

TEST_F(Refresh, SkippedOrRefused) {
  ctx.vc_pid = static_cast<uint64_t>(-1);
  EXPECT_EQ(0, run({}));
  rec().can_read_udf = true;
  ctx.vc_pid = 4242;
  EXPECT_EQ(0, run({})) << "a direct reader is not refreshed";
  v.m.virtual_refresh_mode = 1;
  EXPECT_EQ(0, run({0})) << "the mode word refreshes direct readers too";
  // The VFAM user agent itself is blocked at the user layer.
  rec().can_read_udf = false;
  kel_set_proc_name_hook([](int) -> const char* { return "KelUserAgent"; });
  EXPECT_EQ(22, run({}));
  kel_set_proc_name_hook(nullptr);
  v.close_agent();
  EXPECT_EQ(6, run({}));
  mdcudfsr_cache_free_vfam_data(node);
  EXPECT_EQ(22, run({}));
}

TEST_F(Refresh, TwoRefreshesOfOneNodeRunOneAfterTheOther) {
  Caller a, b;
  start(a);
  const Bytes first = v.take_request();
  start(b);
  // The second waits while the first is in flight: nothing more is queued.
  ASSERT_TRUE(kel_test::settles([&] { return b.waits_inside_call(); }));
  EXPECT_TRUE(v.queue_empty());
  EXPECT_FALSE(b.done());
  v.answer(first, 0, wire());
  EXPECT_EQ(0, a.join());
  v.answer(v.take_request(), 0, wire());
  EXPECT_EQ(0, b.join());
  EXPECT_EQ(0u, node->refreshing);
}

TEST(CacheInvalidate, FlagsAndRecursion) {
  Volume v;
  v.m.mount_ext_flags = 0x8;  // direct I/O for virtual files
  mdcudfsr_cache_node* d = v.make(v.root, "d", true);
  mdcudfsr_cache_node* sub = v.make(d, "sub", true);
  mdcudfsr_cache_node* virt = v.make(d, "virt");
  mdcudfsr_cache_node* plain = v.make(d, "plain");
  mdcudfsr_cache_node* deep = v.make(sub, "deep");
  for (auto* n : {d, sub, virt, deep}) n->attributes |= MDCUDFSR_NODE_ATTR_HAS_VIRTUAL;
  // Without virtual data nothing changes.
  EXPECT_EQ(0, mdcudfsr_cache_invalidate_cache(plain, 1));
  EXPECT_EQ(0u, plain->cache_flags);
  // A directory alone.
  EXPECT_EQ(0, mdcudfsr_cache_invalidate_cache(d, 0));
  EXPECT_EQ(0x10000u, d->cache_flags);
  EXPECT_EQ(0u, virt->cache_flags);
  // Recursively: every child with virtual data, and below it.
  d->cache_flags = 0;
  EXPECT_EQ(0, mdcudfsr_cache_invalidate_cache(d, 1));
  for (auto* n : {d, sub, virt, deep}) EXPECT_EQ(0x30000u, n->cache_flags) << n->vfs_name;
  EXPECT_EQ(0u, plain->cache_flags);
  // A file alone.
  virt->cache_flags = 0;
  EXPECT_EQ(0, mdcudfsr_cache_invalidate_cache(virt, 0));
  EXPECT_EQ(0x30000u, virt->cache_flags);
}
