// The VFAM client's handle table, block I/O of VFAM-backed buffers, the wait
// for the agent's mount, and the agent's start and stop through the channel.
#include "vfam_support.h"
#include "support/settles.h"

#include "drive/client_if.h"
#include "kel/config.h"
#include "kel/pipe_client.h"
#include "kel/scsi.h"
#include "kelhost/kern.h"
#include "sim/harness.h"
#include "support/test_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

using namespace cache_test;
namespace fs = std::filesystem;

namespace {

class VfamHandles : public ::testing::Test {
 protected:
  void SetUp() override {
    v.open_agent();
    vn = v.virtual_node(v.root, "v");
  }
  // Lets the caller's open through: checks its image and answers a handle.
  void answer_open(std::uint16_t flags, std::uint64_t handle) {
    const Bytes req = v.take_request();
    Bytes want = v.header(req, 2, 2 + 3);
    Image p;
    p.u16(flags).str("/v");
    want.insert(want.end(), p.b.begin(), p.b.end());
    EXPECT_EQ(want, req);
    v.answer(req, 0, Image().u64(handle).b);
  }
  // Answers a close of handle with the given error.
  void answer_close(std::uint64_t handle, std::uint16_t flags, int error) {
    const Bytes req = v.take_request();
    Bytes want = v.header(req, 3, 10);
    Image p;
    p.u64(handle).u16(flags);
    want.insert(want.end(), p.b.begin(), p.b.end());
    EXPECT_EQ(want, req);
    v.answer(req, error);
  }
  VfamVolume v;
  mdcudfsr_cache_node* vn = nullptr;
};

TEST_F(VfamHandles, ReadHandleTakenTwiceOpensOnceAndReturnedTwiceClosesOnce) {
  std::uint64_t h1 = 0, h2 = 0;
  int opened1 = -1, opened2 = -1;
  Caller a;
  a.start({vn}, [&] { return mdcudfsr_vfam_get_handle(vn, 1, &h1, &opened1); });
  answer_open(0, 0x99);
  EXPECT_EQ(0, a.join());
  EXPECT_EQ(1, opened1);
  Caller b;
  b.start({vn}, [&] { return mdcudfsr_vfam_get_handle(vn, 1, &h2, &opened2); });
  EXPECT_EQ(0, b.join());
  EXPECT_TRUE(v.queue_empty());
  EXPECT_EQ(0x99u, h1);
  EXPECT_EQ(0x99u, h2);
  EXPECT_EQ(0, opened2);
  EXPECT_EQ(2u, vn->vfam_data->handle_ref[0]);
  Caller r1;
  r1.start({vn}, [&] { return mdcudfsr_vfam_return_handle(vn, 1); });
  EXPECT_EQ(0, r1.join());
  EXPECT_TRUE(v.queue_empty());
  Caller r2;
  r2.start({vn}, [&] { return mdcudfsr_vfam_return_handle(vn, 1); });
  answer_close(0x99, 0, 0);
  EXPECT_EQ(0, r2.join());
  EXPECT_EQ(0u, vn->vfam_data->handle_ref[0]);
  EXPECT_EQ(0u, vn->vfam_data->handle[0]);
}

TEST_F(VfamHandles, TwoThreadsAtOnceShareOneOpen) {
  std::uint64_t h1 = 0, h2 = 0;
  int o1 = -1, o2 = -1;
  Caller a, b;
  a.start({vn}, [&] { return mdcudfsr_vfam_get_handle(vn, 1, &h1, &o1); });
  b.start({vn}, [&] { return mdcudfsr_vfam_get_handle(vn, 1, &h2, &o2); });
  const Bytes req = v.take_request();  // the first one's open
  // The other waits for the table while the open is out, sending nothing.
  ASSERT_TRUE(settles([&] { return rec().logged("handle table busy: waiting") && unowned(vn); }));
  EXPECT_TRUE(v.queue_empty());
  EXPECT_FALSE(a.done() && b.done());
  v.answer(req, 0, Image().u64(0x42).b);
  EXPECT_EQ(0, a.join());
  EXPECT_EQ(0, b.join());
  EXPECT_TRUE(v.queue_empty());
  EXPECT_EQ(2u, vn->vfam_data->handle_ref[0]);
  EXPECT_EQ(0x42u, h1);
  EXPECT_EQ(0x42u, h2);
  EXPECT_EQ(1, o1 + o2);
}

TEST_F(VfamHandles, WaitForAnExistingHandleLetsTheTableHolderFinish) {
  std::uint64_t h1 = 0, h2 = 0;
  int o = 0, slot = -1;
  Caller a, b;
  a.start({vn}, [&] { return mdcudfsr_vfam_get_handle(vn, 1, &h1, &o); });
  const Bytes req = v.take_request();  // a holds the table, its open is out
  b.start({vn}, [&] { return slot = mdcudfsr_vfam_wait_for_existing_handle(vn, 1, &h2); });
  ASSERT_TRUE(settles([&] { return rec().logged("handle table busy: waiting") && unowned(vn); }))
      << "b waits for the table with the node unlocked";
  EXPECT_FALSE(b.done());
  v.answer(req, 0, Image().u64(0x64).b);
  EXPECT_EQ(0, a.join());
  b.join();
  EXPECT_EQ(0, slot);
  EXPECT_EQ(0x64u, h2);
  EXPECT_EQ(2u, vn->vfam_data->handle_ref[0]);
  vn->vfam_data->handle_ref[0] = 0;
}

TEST_F(VfamHandles, CloseAnswering9LeavesCountAndHandle) {
  std::uint64_t h = 0;
  int o = 0;
  Caller a;
  a.start({vn}, [&] { return mdcudfsr_vfam_get_handle(vn, 2, &h, &o); });
  answer_open(1, 0x77);
  ASSERT_EQ(0, a.join());
  Caller r;
  r.start({vn}, [&] { return mdcudfsr_vfam_return_handle(vn, 2); });
  answer_close(0x77, 1, 9);
  EXPECT_EQ(9, r.join());
  EXPECT_EQ(1u, vn->vfam_data->handle_ref[1]);
  EXPECT_EQ(0x77u, vn->vfam_data->handle[1]);
  // Another failure of the close gives the reference up.
  Caller r2;
  r2.start({vn}, [&] { return mdcudfsr_vfam_return_handle(vn, 2); });
  answer_close(0x77, 1, 5);
  EXPECT_EQ(5, r2.join());
  EXPECT_EQ(0u, vn->vfam_data->handle_ref[1]);
  EXPECT_EQ(0u, vn->vfam_data->handle[1]);
}

TEST_F(VfamHandles, ExistingHandleFallsBackToTheReadWriteSlot) {
  mdcudfsr_vfam_data* d = vn->vfam_data;
  std::uint64_t h = 1;
  mdcudfsr_cache_lock_node(vn, MDCUDFSR_WAIT_FOREVER);
  EXPECT_EQ(INVALID_VFAM_HANDLE_IDX, mdcudfsr_vfam_wait_for_existing_handle(vn, 1, &h));
  EXPECT_EQ(0u, h);
  d->handle[2] = 0x33;
  d->handle_ref[2] = 1;
  EXPECT_EQ(2, mdcudfsr_vfam_wait_for_existing_handle(vn, 1, &h));
  EXPECT_EQ(0x33u, h);
  EXPECT_EQ(2u, d->handle_ref[2]);
  d->handle[0] = 0x11;
  d->handle_ref[0] = 1;
  EXPECT_EQ(0, mdcudfsr_vfam_wait_for_existing_handle(vn, 1, &h));
  EXPECT_EQ(0x11u, h);
  EXPECT_EQ(2u, d->handle_ref[0]);
  // Giving back by slot: no close while references remain.
  EXPECT_EQ(0, mdcudfsr_vfam_return_existing_handle(vn, 2, 1));
  EXPECT_EQ(1u, d->handle_ref[2]);
  // A mode without an access bit is refused, never slot -1.
  int o = 0;
  EXPECT_EQ(22, mdcudfsr_vfam_wait_for_existing_handle(vn, 0x100, &h));
  EXPECT_EQ(22, mdcudfsr_vfam_get_handle(vn, 0, &h, &o));
  mdcudfsr_cache_unlock_node(vn);
  EXPECT_TRUE(v.queue_empty());
  d->handle_ref[0] = d->handle_ref[2] = 0;
}

// ---------------------------------------------------------------- buffers

// The drive client made by the pre-mount against the simulated drive, so
// the buffer calls answer.
class DriveUp {
 public:
  DriveUp() {
    dir_ = fs::temp_directory_path() / ("kel_vfam_" + std::to_string(::getpid()) + "_" +
                                        kel_test::flat_test_name());
    fs::create_directories(dir_);
    ::setenv("KEL_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
    kel::ResetConfigCache();
    kelsim::HarnessOptions o;
    o.cartridge.medium_type = 0xE1;
    o.cartridge.disc_blocks = 0x20000;
    sim_ = std::make_unique<kelsim::SimHarness>(o);
    kel::SetMediumCookie(sim_->cookie());
    char dev[] = "sg0", media[] = "notused";
    int finalized = 0, wp = 0, wu = 0;
    premount_operation(dev, media, &finalized, &wp, &wu);
    EXPECT_NE(nullptr, pclient_if);
  }
  ~DriveUp() {
    clientif_delete();
    sim_.reset();
    kel::SetMediumCookie(0);
    kel_test::settles([] { return !kel::ServiceInterface().isConnected(); });
    kel::ResetConfigCache();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

 private:
  fs::path dir_;
  std::unique_ptr<kelsim::SimHarness> sim_;
};

class VfamStrategy : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(nullptr, pclient_if);
    v.open_agent();
    ms = v.master(v.root, "m");
    v.m.logical_block_size = 2048;
    ms->vfam_data->file_size = 2048 * 3 + 100;
  }
  pxo_buf buffer(std::int32_t flags, std::uint32_t blkno, std::uint32_t count) {
    data.assign(count, '#');
    pxo_buf b{};
    b.flags = flags;
    b.blkno = blkno;
    b.count = count;
    b.bufsize = count;
    b.data = reinterpret_cast<unsigned char*>(data.data());
    return b;
  }
  // Takes the next request and checks its code and the u64 and u32 fields
  // of a read or write.
  Bytes expect_io(std::uint32_t code, std::uint64_t handle, std::uint64_t offset, std::uint32_t length) {
    const Bytes req = v.take_request();
    Bytes want = v.header(req, code, code == 8 ? length + 20 : 20);
    Image p;
    p.u64(handle).u64(offset).u32(length);
    want.insert(want.end(), p.b.begin(), p.b.end());
    EXPECT_EQ(want, Bytes(req.begin(), req.begin() + std::min(req.size(), want.size()))) << "request " << code;
    return req;
  }
  void open_with(std::uint64_t handle) {
    const Bytes req = v.take_request();
    EXPECT_EQ(2u, req[4]);
    v.answer(req, 0, Image().u64(handle).b);
  }
  void close_of(std::uint64_t handle, int error = 0) {
    const Bytes req = v.take_request();
    Bytes want = v.header(req, 3, 10);
    ASSERT_GE(req.size(), 28u);
    std::uint64_t h;
    std::memcpy(&h, req.data() + 20, 8);
    EXPECT_EQ(3u, req[4]);
    EXPECT_EQ(handle, h);
    v.answer(req, error);
  }

  DriveUp drive;
  VfamVolume v;
  mdcudfsr_cache_node* ms = nullptr;
  std::string data;
};

TEST_F(VfamStrategy, ReadBufferIsFilledByFollowingReadsAndZeroFilledAfterAnEmptyRead) {
  pxo_buf b = buffer(1, 1, 2048);
  Caller c;
  c.start({ms}, [&] { return mdcudfsr_vfam_strategy(ms, &b); });
  open_with(0x5);
  v.answer(expect_io(7, 0x5, 2048, 2048), 0, Image().u32(1000).raw(std::string(1000, 'a').data(), 1000).b);
  v.answer(expect_io(7, 0x5, 3048, 1048), 0, Image().u32(48).raw(std::string(48, 'b').data(), 48).b);
  v.answer(expect_io(7, 0x5, 3096, 1000), 0, Image().u32(0).b);
  close_of(0x5);  // the handle this call opened goes back
  EXPECT_EQ(0, c.join());
  EXPECT_EQ(0, b.error);
  EXPECT_EQ(std::string(1000, 'a') + std::string(48, 'b') + std::string(1000, '\0'), data);
}

TEST_F(VfamStrategy, WriteBufferIsCutToTheFileSizeAndOnePastItFails) {
  pxo_buf b = buffer(0, 3, 2048);  // from 6144: 100 bytes lie inside the file
  Caller c;
  c.start({ms}, [&] { return mdcudfsr_vfam_strategy(ms, &b); });
  open_with(0x6);
  const Bytes req = expect_io(8, 0x6, 6144, 100);
  EXPECT_EQ(std::string(100, '#'), std::string(req.begin() + 40, req.end()));
  v.answer(req, 0, Image().u32(100).b);
  close_of(0x6);
  EXPECT_EQ(0, c.join());
  EXPECT_EQ(0, b.error);
  pxo_buf past = buffer(0, 4, 2048);  // starts beyond the file's end
  Caller p;
  p.start({ms}, [&] { return mdcudfsr_vfam_strategy(ms, &past); });
  open_with(0x7);
  close_of(0x7);
  EXPECT_EQ(22, p.join());
  EXPECT_EQ(22, past.error);
}

TEST_F(VfamStrategy, FailedTransfersKeepTheirError) {
  // A read the agent fails keeps its error though the handle's return succeeds.
  pxo_buf r = buffer(1, 0, 2048);
  Caller c;
  c.start({ms}, [&] { return mdcudfsr_vfam_strategy(ms, &r); });
  open_with(0x8);
  v.answer(expect_io(7, 0x8, 0, 2048), 5);
  close_of(0x8);
  EXPECT_EQ(5, c.join());
  EXPECT_EQ(5, r.error);
  // A write answered with fewer bytes than asked fails with 5.
  pxo_buf w = buffer(0, 0, 2048);
  Caller cw;
  cw.start({ms}, [&] { return mdcudfsr_vfam_strategy(ms, &w); });
  open_with(0x9);
  v.answer(expect_io(8, 0x9, 0, 2048), 0, Image().u32(2000).b);
  close_of(0x9);
  EXPECT_EQ(5, cw.join());
  EXPECT_EQ(5, w.error);
}

TEST(VfamStrategyNoAgent, ReadBufferFailsWith6) {
  DriveUp drive;
  ASSERT_NE(nullptr, pclient_if);
  VfamVolume v;  // allocated, never opened
  mdcudfsr_cache_node* ms = v.master(v.root, "m");
  std::string data(2048, '#');
  pxo_buf b{};
  b.flags = 1;
  b.count = 2048;
  b.data = reinterpret_cast<unsigned char*>(data.data());
  mdcudfsr_cache_lock_node(ms, MDCUDFSR_WAIT_FOREVER);
  EXPECT_EQ(6, mdcudfsr_vfam_strategy(ms, &b));
  mdcudfsr_cache_unlock_node(ms);
  EXPECT_EQ(6, b.error);
  EXPECT_TRUE(v.queue_empty());
  EXPECT_EQ(0u, ms->vfam_data->handle_ref[0]);
}

// ---------------------------------------------------------------- start, stop and the mount wait

TEST(VfamAgent, OpenStartsAndTheLastCloseStops) {
  VfamVolume v;
  v.m.vfam_mounted = 1;
  v.open_agent();
  EXPECT_EQ(0u, v.m.mount_ext_flags & MDCUDFSR_MNT_AGENT_STOPPED);
  rec().reset();
  v.close_agent();  // status 2 -> 1
  EXPECT_EQ(MDCUDFSR_MNT_AGENT_STOPPED, v.m.mount_ext_flags & MDCUDFSR_MNT_AGENT_STOPPED);
  EXPECT_EQ(0u, v.m.vfam_mounted);
  EXPECT_TRUE(rec().logged("VFAM User Agent stopped unexpectedly"));
  // Stopping again (the bit already set) is not unexpected.
  rec().reset();
  mdcudfsr_vfam_stop(&v.m);
  EXPECT_FALSE(rec().logged("VFAM User Agent stopped unexpectedly"));
}

class VfamWait : public ::testing::Test {
 protected:
  void SetUp() override {
    v.open_agent();  // clears the agent-stopped bit
    v.m.mp = &vfs;
    v.m.mounting_pid = 1111;
    n = v.virtual_node(v.root, "v");
  }
  // Starts a wait of pid with the node locked twice on the caller thread.
  void start_wait(Caller& c, int& result, std::uint64_t pid) {
    ctx.vc_pid = pid;
    c.start({n}, [&] {
      mdcudfsr_cache_lock_node(n, MDCUDFSR_WAIT_FOREVER);
      result = mdcudfsr_wait_vfam_mounted(&v.m, n, &ctx);
      count_after = n->lock_count;
      mdcudfsr_cache_unlock_node(n);
      return result;
    });
    ASSERT_TRUE(settles([&] { return v.clock.waiters() > 0 && unowned(n); })) << "the wait blocks, node free";
  }
  // Moves the clock on by whole seconds, each a wait step that runs out
  // and is followed by the next one.
  void seconds(int s) {
    for (int i = 0; i < s; ++i) {
      const int lines = rec().count_logged("Waiting for VFAM mount....");
      v.clock.advance(1000);
      ASSERT_TRUE(settles([&] {
        return rec().count_logged("Waiting for VFAM mount....") > lines && v.clock.waiters() > 0;
      })) << "step " << i;
    }
  }
  VfamVolume v;
  mount vfs{};
  vfs_context ctx{};
  mdcudfsr_cache_node* n = nullptr;
  int count_after = -1;
};

TEST_F(VfamWait, ProcessesThatNeverWait) {
  const std::int64_t agent = mdcudfsr_vfamdev_get_agent_pid(v.ch);
  struct Case {
    const char* what;
    bool with_context;
    std::uint64_t pid;
  } cases[] = {{"mounting process", true, 1111}, {"pid 0", true, 0}, {"no context", false, 0},
               {"the agent", true, static_cast<std::uint64_t>(agent)}};
  for (const Case& c : cases) {
    ctx.vc_pid = c.pid;
    EXPECT_EQ(0, mdcudfsr_wait_vfam_mounted(&v.m, nullptr, c.with_context ? &ctx : nullptr)) << c.what;
  }
  kel_set_proc_name_hook([](int) -> const char* { return "VShieldScanner"; });  // a direct reader
  ctx.vc_pid = 2222;
  EXPECT_EQ(0, mdcudfsr_wait_vfam_mounted(&v.m, nullptr, &ctx));
  kel_set_proc_name_hook(nullptr);
  EXPECT_EQ(0u, vfs.mnt_flag & MNT_RDONLY);
  EXPECT_EQ(0, v.clock.waiters());
}

TEST_F(VfamWait, GivesUpAfter30QuietSecondsReadOnly) {
  Caller c;
  int result = -1;
  ASSERT_NO_FATAL_FAILURE(start_wait(c, result, 2222));
  EXPECT_EQ(1u, v.m.vfam_waiters);
  ASSERT_NO_FATAL_FAILURE(seconds(29));
  EXPECT_FALSE(c.done());
  v.clock.advance(1000);  // the 30th
  EXPECT_EQ(0, c.join());
  EXPECT_EQ(MNT_RDONLY, vfs.mnt_flag & MNT_RDONLY);
  EXPECT_EQ(MDCUDFSR_MNT_AGENT_STOPPED, v.m.mount_ext_flags & MDCUDFSR_MNT_AGENT_STOPPED);
  EXPECT_TRUE(rec().logged("msleep is time out."));
  EXPECT_TRUE(rec().logged("Can't get acknowledgement from UserAgent. This volume is mounted by read-only."));
  EXPECT_EQ(2, count_after) << "the node's recursion restored";
  EXPECT_EQ(0u, v.m.vfam_waiters);
}

TEST_F(VfamWait, ActivityStartsANewRound) {
  Caller c;
  int result = -1;
  ASSERT_NO_FATAL_FAILURE(start_wait(c, result, 2222));
  ASSERT_NO_FATAL_FAILURE(seconds(20));
  {
    std::lock_guard<std::mutex> g(v.m.vfam_lock);
    ++v.m.vfam_activity;
  }
  ASSERT_NO_FATAL_FAILURE(seconds(10));
  EXPECT_FALSE(c.done()) << "activity in the round: a new round of 30";
  ASSERT_NO_FATAL_FAILURE(seconds(29));
  EXPECT_FALSE(c.done());
  v.clock.advance(1000);
  EXPECT_EQ(0, c.join());
  EXPECT_EQ(0u, v.m.vfam_activity) << "the last waiter resets the counter";
}

TEST_F(VfamWait, MountOfTheAgentEndsTheWait) {
  Caller c;
  int result = -1;
  ASSERT_NO_FATAL_FAILURE(start_wait(c, result, 2222));
  {
    std::lock_guard<std::mutex> g(v.m.vfam_lock);
    v.m.vfam_mounted = 1;
  }
  v.m.vfam_cv.notify_all();
  EXPECT_EQ(0, c.join());
  EXPECT_EQ(0u, vfs.mnt_flag & MNT_RDONLY);
  EXPECT_EQ(2, count_after);
}

TEST_F(VfamWait, ChannelBeingFreedGives6) {
  Caller c;
  int result = -1;
  ASSERT_NO_FATAL_FAILURE(start_wait(c, result, 2222));
  ASSERT_EQ(0, mdcudfsr_vfamdev_mark_will_free(v.ch));
  v.clock.advance(1000);
  EXPECT_EQ(6, c.join());
  EXPECT_EQ(2, count_after);
  EXPECT_EQ(0u, vfs.mnt_flag & MNT_RDONLY);
}

}  // namespace
