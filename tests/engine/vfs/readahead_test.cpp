// The read-ahead thread: which drives start it, requests served through the
// drive client's cluster_read from the simulated drive under the mount's
// real disc lock, the consumer across both buffers, the reset and the stop
// on the injected clock.
#include "vfs_support.h"

#include "kelcache/cache_node.h"
#include "kelhost/kern.h"
#include "kelhost/vnode.h"
#include "kelvfs/mdcudfsr_readahead.h"
#include "kelvnops/mdcudfsr_vnops.h"
#include "support/recorded_disc.h"
#include "support/settles.h"
#include "udf/udf_extent.h"

#include <future>

using namespace vfs_test;

namespace {

constexpr std::uint32_t kBase = 0x400;       // LSN of file offset 0
constexpr std::uint32_t kPartStart = 0x100;  // first sector of the physical partition

std::vector<std::pair<std::int64_t, std::uint64_t>> g_asked;
std::vector<bool> g_asked_locked;  // was the disc lock held for the request
std::mutex g_asked_mu;
mdcudfsr_mount* g_served = nullptr;

// The engine's block map, its requests recorded on their way: the served
// file's one recorded extent starts at LSN kBase.
int observed_blockmap(void* a) {
  auto* args = static_cast<vnop_blockmap_args*>(a);
  {
    std::lock_guard<std::mutex> lk(g_asked_mu);
    g_asked.emplace_back(args->a_foffset, args->a_size);
    g_asked_locked.push_back(g_served && g_served->disc_lock_owner.load() == KEL_THREAD_ID());
  }
  return mdcudfsr_vnop_blockmap(a);
}

std::uint8_t pattern(std::int64_t file_offset) {
  return static_cast<std::uint8_t>((file_offset / 2048) * 13 + file_offset % 251);
}

class ReadAheadTest : public SimVolume {
 protected:
  void SetUp() override {
    SimVolume::SetUp();
    manual_scope_ = std::make_unique<platform::ScopedClock>(manual_);
    saved_ = kel_vnops.blockmap;
    kel_vnops.blockmap = observed_blockmap;
    g_asked.clear();
    g_asked_locked.clear();
  }
  void TearDown() override {
    end_exclusive_io();
    EXPECT_EQ(0, mdcudfsr_cluster_read_buff_umount());
    g_served = nullptr;
    kel_vnops.blockmap = saved_;
    mdcudfsr_extent_list_free(&data_.extents);
    manual_scope_.reset();
    SimVolume::TearDown();
  }
  // A drive of the model with a file of `blocks` blocks at kBase.
  void start_drive(const std::string& product, std::uint8_t medium, std::uint32_t blocks) {
    SimOptions o;
    o.medium = medium;
    o.product = product;
    start(o);
    stop_drive_client();
    std::vector<std::uint8_t> data(static_cast<std::size_t>(blocks) * 2048);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = pattern(static_cast<std::int64_t>(i));
    kel_test::record_blocks(sim_->cartridge(), 0, kBase, blocks, data.data());
    start_drive_client();
    g_served = mnt_.get();
    serve_file(blocks);
  }
  // The served file: a node of the mount whose one extent, recorded, holds
  // `blocks` blocks from LSN kBase of the physical partition.
  void serve_file(std::uint32_t blocks) {
    mnt_->part[2].start_sector = kPartStart;
    mnt_->part[2].length = std::uint64_t{kBase - kPartStart + blocks + 0x1000} * 2048;
    mdcudfsr_extent_list_init(&data_.extents);
    mdcudfsr_extent_entry e{};
    e.extent.len = EXTENT_MAKE(blocks * 2048, EXTENT_FLAGS_RECORDED);
    e.extent.loc.lb_num = kBase - kPartStart;
    ASSERT_EQ(0, mdcudfsr_extent_list_add(&data_.extents, &e, 0));
    file_.mdcudfsrmp = mnt_.get();
    file_.kind = MDCUDFSR_NODE_UDF;
    file_.udf_data = &data_;
    vnode_ = kel_make_vnode(&mp_, &file_, VREG, 0);
    vp_ = vnode_.get();
  }
  // Reads [offset, offset + n) through the buffers.
  std::vector<std::uint8_t> consume(std::int64_t offset, std::size_t n, std::int64_t file_size, int* err) {
    std::vector<std::uint8_t> out(n, 0xEE);
    uio_t u = uio_create(1, offset, UIO_SYSSPACE, UIO_READ);
    uio_addiov(u, reinterpret_cast<user_addr_t>(out.data()), n);
    *err = mdcudfsr_cluster_read_buff(u, vp_, file_size, 0, &ctx_);
    out.resize(n - static_cast<std::size_t>(uio_resid(u)));
    uio_free(u);
    return out;
  }
  std::size_t reads() {
    std::lock_guard<std::mutex> lk(g_asked_mu);
    return g_asked.size();
  }
  // Every request so far was made under the disc lock, which is free now.
  void expect_reads_under_the_free_disc_lock() {
    {
      std::lock_guard<std::mutex> lk(g_asked_mu);
      ASSERT_FALSE(g_asked_locked.empty());
      for (std::size_t i = 0; i < g_asked_locked.size(); ++i) EXPECT_TRUE(g_asked_locked[i]) << i;
    }
    EXPECT_EQ(0u, mnt_->disc_lock_owner.load());
    ASSERT_TRUE(mnt_->slot_mutex.try_lock()) << "the disc lock is given back";
    mnt_->slot_mutex.unlock();
  }
  // Another process's exclusive I/O mode holds every other disc lock.
  void begin_exclusive_io() {
    std::lock_guard<std::mutex> lk(mnt_->disc_lock_mutex);
    mnt_->exclusive_io_pid = vfs_context_pid(&ctx_) + 1;
    mnt_->exclusive_io_mode = 1;
  }
  void end_exclusive_io() {
    if (!mnt_) return;
    std::lock_guard<std::mutex> lk(mnt_->disc_lock_mutex);
    mnt_->exclusive_io_mode = 0;
    mnt_->exclusive_io_pid = 0;
    mnt_->disc_lock_cond.notify_all();
  }

  platform::ManualClock manual_;
  std::unique_ptr<platform::ScopedClock> manual_scope_;
  vnop_handler_t saved_ = nullptr;
  vnode_t vp_ = nullptr;
  mdcudfsr_udf_data data_{};
  mdcudfsr_cache_node file_{};
  std::shared_ptr<vnode> vnode_;
};

struct ModelCase {
  const char* product;
  std::uint32_t medium;
  bool thread;
};

}  // namespace

TEST_F(ReadAheadTest, StartsOnlyForTheModelsAndMediaThatHaveIt) {
  const ModelCase cases[] = {
      {"QMR-T300A", 0xF1, true},  {"QMR-T300B", 0xF1, true},  {"QMR-T300A", 0xF2, false},
      {"QMR-T400A", 0xF2, true},  {"QMR-T400B", 0xF1, true},  {"QMR-T400A", 0xE1, false},
      {"QMR-T500A", 0xF1, false}, {"QMR-T30", 0xF1, false},
  };
  for (const ModelCase& c : cases) {
    SCOPED_TRACE(std::string(c.product) + " " + std::to_string(c.medium));
    mdcudfsr_mount m;
    m.medium_type = c.medium;
    ASSERT_EQ(0, mdcudfsr_cluster_read_buff_mount(&m, c.product));
    EXPECT_EQ(c.thread, mdcudfsr_cluster_read_buff_active());
    EXPECT_EQ(0, mdcudfsr_cluster_read_buff_umount_hook(&m));
    EXPECT_FALSE(mdcudfsr_cluster_read_buff_active());
  }
}

TEST_F(ReadAheadTest, UnmountWithoutThreadAnswersZero) {
  EXPECT_EQ(0, mdcudfsr_cluster_read_buff_umount());
  EXPECT_EQ(0, mdcudfsr_cluster_read_buff_umount_hook(mnt_.get()));
}

TEST_F(ReadAheadTest, PostedRequestIsReadByTheThreadUpToThePieceBoundary) {
  start_drive("QMR-T400A", 0xF1, 0x300);
  mnt_->medium_type = 0xF2;
  ASSERT_EQ(0, mdcudfsr_cluster_read_buff_mount(mnt_.get(), "QMR-T400A"));
  mdcudfsr_cluster_read_buff_reset(vp_);
  const std::int64_t file_size = 0x300 * 2048;
  ASSERT_EQ(0, mdcudfsr_cluster_read_buff_start(0x7F000, 0, &ctx_, 1, 1, file_size));
  // The first piece ends on the 512 KiB boundary: one map request of 0x1000 bytes.
  // The request is made with the disc lock taken; the lock goes after the read.
  ASSERT_TRUE(kel_test::settles([&] { return reads() == 1 && mnt_->disc_lock_owner.load() == 0; }));
  {
    std::lock_guard<std::mutex> lk(g_asked_mu);
    ASSERT_EQ(1u, g_asked.size());
    EXPECT_EQ(0x7F000, g_asked[0].first);
    EXPECT_EQ(0x1000u, g_asked[0].second);
  }
  expect_reads_under_the_free_disc_lock();
  // The second buffer follows at the boundary with a whole piece.
  ASSERT_EQ(0, mdcudfsr_cluster_read_buff_start(0, 0, &ctx_, 0, 1, file_size));
  int err = -1;
  const auto got = consume(0x7F800, 0x1000, file_size, &err);
  EXPECT_EQ(0, err);
  ASSERT_EQ(0x1000u, got.size());
  for (std::size_t i = 0; i < got.size(); ++i) ASSERT_EQ(pattern(0x7F800 + static_cast<std::int64_t>(i)), got[i]) << i;
  std::lock_guard<std::mutex> lk(g_asked_mu);
  ASSERT_GE(g_asked.size(), 2u);
  EXPECT_EQ(0x80000, g_asked[1].first);
}

TEST_F(ReadAheadTest, ConsumerReadsARangeAcrossBothBuffersAndRefillsThem) {
  start_drive("QMR-T300A", 0xF1, 0x400);
  mnt_->medium_type = 0xF1;
  ASSERT_EQ(0, mdcudfsr_cluster_read_buff_mount(mnt_.get(), "QMR-T300A"));
  mdcudfsr_cluster_read_buff_reset(vp_);
  const std::int64_t file_size = 0x400 * 2048 - 100;  // ends inside a block
  int err = -1;
  // Nothing buffered yet: both buffers are filled from the range's start.
  auto got = consume(0x1000, 0x100000, file_size, &err);
  EXPECT_EQ(0, err);
  ASSERT_EQ(0x100000u, got.size());
  for (std::size_t i = 0; i < got.size(); ++i) ASSERT_EQ(pattern(0x1000 + static_cast<std::int64_t>(i)), got[i]) << i;
  // The rest of the file, up to its end.
  got = consume(0x101000, 0x200000, file_size, &err);
  EXPECT_EQ(0, err);
  ASSERT_EQ(static_cast<std::size_t>(file_size - 0x101000), got.size());
  for (std::size_t i = 0; i < got.size(); ++i) ASSERT_EQ(pattern(0x101000 + static_cast<std::int64_t>(i)), got[i]) << i;
  expect_reads_under_the_free_disc_lock();
}

TEST_F(ReadAheadTest, ResetNamesTheServedVnodeAndEmptiesBothBuffers) {
  start_drive("QMR-T400B", 0xF1, 0x100);
  mnt_->medium_type = 0xF1;
  ASSERT_EQ(0, mdcudfsr_cluster_read_buff_mount(mnt_.get(), "QMR-T400B"));
  EXPECT_EQ(nullptr, mdcudfsr_cluster_read_buff_vnode());
  EXPECT_EQ(22, mdcudfsr_cluster_read_buff_start(0, 0, &ctx_, 1, 1, 0x80000));  // nothing served
  mdcudfsr_cluster_read_buff_reset(vp_);
  EXPECT_EQ(vp_, mdcudfsr_cluster_read_buff_vnode());
  int err = -1;
  consume(0, 0x800, 0x80000, &err);
  const std::size_t after_first = reads();
  consume(0x800, 0x800, 0x80000, &err);  // held by a buffer: no new read
  EXPECT_EQ(after_first, reads());
  mdcudfsr_cluster_read_buff_reset(vp_);  // emptied: the same range is read again
  consume(0x800, 0x800, 0x80000, &err);
  EXPECT_GT(reads(), after_first);
  mdcudfsr_cluster_read_buff_reset(nullptr);
  EXPECT_EQ(nullptr, mdcudfsr_cluster_read_buff_vnode());
}

TEST_F(ReadAheadTest, UnmountStopsAndJoinsTheWaitingThread) {
  mnt_ = std::make_unique<mdcudfsr_mount>();
  mnt_->medium_type = 0xF2;
  ASSERT_EQ(0, mdcudfsr_cluster_read_buff_mount(mnt_.get(), "QMR-T400A"));
  ASSERT_TRUE(mdcudfsr_cluster_read_buff_active());
  // The clock does not move: the thread ends on the stop flag alone.
  EXPECT_EQ(0, mdcudfsr_cluster_read_buff_umount_hook(mnt_.get()));
  EXPECT_FALSE(mdcudfsr_cluster_read_buff_active());
  EXPECT_EQ(0, mdcudfsr_cluster_read_buff_umount());
}

TEST_F(ReadAheadTest, ThreadThatDoesNotEndWithinTheLimitGives138) {
  start_drive("QMR-T400A", 0xF1, 0x100);
  mnt_->medium_type = 0xF1;
  ASSERT_EQ(0, mdcudfsr_cluster_read_buff_mount(mnt_.get(), "QMR-T400A"));
  mdcudfsr_cluster_read_buff_reset(vp_);
  begin_exclusive_io();
  ASSERT_EQ(0, mdcudfsr_cluster_read_buff_start(0, 0, &ctx_, 1, 1, 0x80000));
  ASSERT_TRUE(kel_test::settles([&] { return manual_.waiters() == 1; }));  // the thread waits at the disc lock
  EXPECT_EQ(0u, reads());
  auto stop = std::async(std::launch::async, [] { return mdcudfsr_cluster_read_buff_umount(); });
  ASSERT_TRUE(kel_test::settles([&] { return manual_.waiters() == 2; }));
  manual_.advance(1999);
  EXPECT_EQ(std::future_status::timeout, stop.wait_for(std::chrono::milliseconds(0)));
  manual_.advance(1);
  EXPECT_EQ(138, stop.get());
  EXPECT_TRUE(logged("pthread_kill read_buff_Thread err:138"));
  end_exclusive_io();  // the left thread ends; a later stop joins it
  EXPECT_EQ(0, mdcudfsr_cluster_read_buff_umount());
}
