// Virtual nodes: their attributes refreshed through the VFAM channel (the
// agent's side opened by the test), and their cached data invalidated. No
// operation makes virtual nodes yet: each test makes its own.
#include "support.h"

#include "kelagent/mdc_channel.h"
#include "kelcache/lookup.h"
#include "kelhost/kern.h"

#include <atomic>
#include <thread>

using namespace cache_test;

namespace {

struct VirtualVolume : Volume {
  vfs_context ctx{4242};  // a process other than the agent's
  mdcudfsr_cache_node* node = nullptr;
  VirtualVolume() {
    mdcudfsr_vfamdev_init();
    m.vfamdev = mdcudfsr_vfamdev_alloc(&m);
    EXPECT_NE(nullptr, m.vfamdev);
    EXPECT_EQ(0, mdcudfsr_vfamdev_open());
    node = make(root, "v");
    EXPECT_EQ(0, mdcudfsr_cache_alloc_vfam_data(&m, node));
    rec().vfam_stat.mode = 0100644;
    rec().vfam_stat.size = 777;
    rec().vfam_stat.fileid = 99;
    rec().vfam_stat.uid = 501;
  }
  ~VirtualVolume() {
    mdcudfsr_vfamdev_close();
    mdcudfsr_vfamdev_free(m.vfamdev);
    m.vfamdev = nullptr;
  }
  int refresh() {
    mdcudfsr_cache_lock_node(node, MDCUDFSR_WAIT_FOREVER);
    const int err = mdcudfsr_cache_refresh_virtual_node(node, &ctx);
    mdcudfsr_cache_unlock_node(node);
    return err;
  }
};

}  // namespace

TEST(CacheRefresh, AnswersOfTheAgent) {
  struct Case {
    std::vector<int> answers;
    int result;
    int calls;
    bool taken;
  };
  const Case cases[] = {
      {{0}, 0, 1, true},           {{11, 11, 0}, 0, 3, true}, {{11}, 11, 10, false},
      {{115}, 0, 1, true},         {{5}, 5, 1, false},
  };
  for (const Case& c : cases) {
    VirtualVolume v;
    v.node->cache_flags = 0x30000;
    rec().vfam_answers = c.answers;
    EXPECT_EQ(c.result, v.refresh()) << c.answers[0];
    EXPECT_EQ(c.calls, rec().vfam_calls) << c.answers[0];
    EXPECT_EQ(c.taken, v.node->recorded_length == 777) << c.answers[0];
    if (c.taken) {
      EXPECT_EQ(99u, v.node->objid);
      EXPECT_EQ(501u, v.node->vfam_data->uid);
      EXPECT_EQ(777, v.node->vfam_data->file_size);
    }
    // Only a full answer clears the invalidation bits.
    EXPECT_EQ(c.answers.back() == 0 ? 0u : 0x30000u, v.node->cache_flags) << c.answers[0];
    EXPECT_EQ(MDCUDFSR_NODE_ACTIVE, v.node->status);
  }
}

TEST(CacheRefresh, GoneFileInactivatesTheNode) {
  VirtualVolume v;
  rec().vfam_answers = {2};
  EXPECT_EQ(0, v.refresh());
  EXPECT_EQ(MDCUDFSR_NODE_INACTIVE, v.node->status);
}

TEST(CacheRefresh, SkippedOrRefused) {
  {
    VirtualVolume v;
    v.ctx.vc_pid = static_cast<uint64_t>(-1);
    EXPECT_EQ(0, v.refresh());
    rec().can_read_udf = true;
    v.ctx.vc_pid = 4242;
    EXPECT_EQ(0, v.refresh());
    EXPECT_EQ(0, rec().vfam_calls) << "no process id, and a direct reader, skip the request";
    v.m.virtual_refresh_mode = 1;
    EXPECT_EQ(0, v.refresh());
    EXPECT_EQ(1, rec().vfam_calls) << "the mode word refreshes direct readers too";
    // The VFAM user agent itself is blocked at the user layer.
    kel_set_proc_name_hook([](int) -> const char* { return "KelUserAgent"; });
    rec().can_read_udf = false;
    EXPECT_EQ(22, v.refresh());
    kel_set_proc_name_hook(nullptr);
    EXPECT_EQ(1, rec().vfam_calls);
  }
  {
    VirtualVolume v;
    mdcudfsr_vfamdev_close();
    EXPECT_EQ(6, v.refresh());
    mdcudfsr_cache_free_vfam_data(v.node);
    EXPECT_EQ(22, v.refresh());
  }
}

TEST(CacheRefresh, TwoRefreshesOfOneNodeRunOneAfterTheOther) {
  VirtualVolume v;
  std::atomic<int> entered{0};
  std::atomic<bool> open_gate{false};
  rec().vfam_hook = [&] {
    if (entered.fetch_add(1) == 0)
      while (!open_gate.load()) std::this_thread::yield();
  };
  std::thread a([&] { EXPECT_EQ(0, v.refresh()); });
  while (entered.load() == 0) std::this_thread::yield();
  std::thread b([&] { EXPECT_EQ(0, v.refresh()); });
  for (int i = 0; i < 1000; ++i) std::this_thread::yield();
  EXPECT_EQ(1, entered.load()) << "the second refresh asked while the first was running";
  open_gate = true;
  a.join();
  b.join();
  EXPECT_EQ(2, entered.load());
  EXPECT_EQ(1, rec().vfam_max_in_flight);
  EXPECT_EQ(0u, v.node->refreshing);
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
