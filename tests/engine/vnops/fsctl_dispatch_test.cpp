// The control dispatcher over its 86 rows, with a recording handler in each
// row: what reaches which row, under which locks, after which checks.
#include "namespace_support.h"

#include "kel/volctrl.h"
#include "kelhost/gnrc.h"
#include "kel/mdcfs.h"
#include "kelhost/vnode.h"
#include "kelvnops/mdcudfsr_vnops.h"
#include "kelvnops/mdcudfsr_fsctl_lists.h"
#include "kelvnops/mdcudfsr_ioctl.h"
#include "kelvnops/mdcudfsr_range_requests.h"
#include "kelvnops/mdcudfsr_write_policy.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace {

using namespace ns_test;
using vfs_test::logged;

// What one handler call saw.
struct Seen {
  std::uint32_t code;
  mdcudfsr_cache_node* node;
  bool node_locked;  // by the calling thread
  bool slot_held;
  void* data;
};
std::vector<Seen> g_seen;

bool held_by_me(const mdcudfsr_cache_node* n) { return n->lock_count > 0 && n->lock_owner == getThreadIdGnrc(); }

bool slot_held(mdcudfsr_mount* mnt) {
  bool held = false;
  std::thread([&] {
    if (mnt->slot_mutex.try_lock()) mnt->slot_mutex.unlock();
    else held = true;
  }).join();
  return held;
}

int recorder(const mdcudfsr_fsctl_call& c) {
  g_seen.push_back({c.code, c.node, c.node && held_by_me(c.node), slot_held(c.mnt), c.data});
  return 0x700 + static_cast<int>(c.code & 0xFF);
}

class Dispatch : public NsVolume {
 protected:
  void SetUp() override {
    NsVolume::SetUp();
    ASSERT_EQ(0, create(rootvp_, "file", &filevp_));
    rows_.assign(mdcudfsr_fsctl_rows(), mdcudfsr_fsctl_rows() + mdcudfsr_fsctl_row_count());
    for (mdcudfsr_fsctl_row& r : rows_) r.handler = recorder;
    g_seen.clear();
  }
  // The request through the dispatcher over the recording rows.
  int ioctl(vnode_t vp, std::uint32_t code, void* data, kel_pid_t pid) {
    vnop_ioctl_args a{&vnop_ioctl_desc, vp, code, data, 0, as(pid)};
    return mdcudfsr_fsctl_dispatch(&a, rows_.data(), rows_.size());
  }
  // The same through the engine's own table and handlers.
  int engine_ioctl(vnode_t vp, std::uint32_t code, void* data, kel_pid_t pid) {
    vnop_ioctl_args a{&vnop_ioctl_desc, vp, code, data, 0, as(pid)};
    return mdcudfsr_vnop_ioctl(&a);
  }
  vnode_t vnode_for(const mdcudfsr_fsctl_row& r) { return r.vnode == mdcudfsr_fsctl_vnode::file ? filevp_ : rootvp_; }
  void make_privileged(kel_pid_t pid) {
    mnt_->privileged_pid = pid;
    mnt_->privileged_mode = 1;
  }
  std::vector<mdcudfsr_fsctl_row> rows_;  // the engine's rows, each handler a recorder
  vnode_t filevp_ = nullptr;
  std::uint8_t record_[1024] = {};
};

TEST_F(Dispatch, TheTableHas86RowsAnd85Codes) {
  std::set<std::uint32_t> codes;
  int any = 0, volume = 0, file = 0;
  for (std::size_t i = 0; i < mdcudfsr_fsctl_row_count(); ++i) {
    const auto& r = mdcudfsr_fsctl_rows()[i];
    codes.insert(r.code);
    any += r.vnode == mdcudfsr_fsctl_vnode::any;
    volume += r.vnode == mdcudfsr_fsctl_vnode::volume;
    file += r.vnode == mdcudfsr_fsctl_vnode::file;
    EXPECT_EQ(r.code, r.code & MDCFSCTL_CODE_MASK) << r.name;
    if (r.sent_as) {
      EXPECT_EQ(r.code, r.sent_as & MDCFSCTL_CODE_MASK) << r.name;
    }
  }
  EXPECT_EQ(86u, mdcudfsr_fsctl_row_count());
  EXPECT_EQ(85u, codes.size());
  EXPECT_EQ(1, any);
  EXPECT_EQ(61, volume);
  EXPECT_EQ(24, file);
}

// Every row, reached with its own code on its kind of vnode by a caller
// that passes its pre-check: its handler runs once, under the row's locks,
// and its result comes back.
TEST_F(Dispatch, EveryRowReachesItsHandlerUnderItsLocks) {
  make_privileged(pid_);
  for (std::size_t i = 0; i < mdcudfsr_fsctl_row_count(); ++i) {
    const mdcudfsr_fsctl_row& r = mdcudfsr_fsctl_rows()[i];
    SCOPED_TRACE(r.name);
    g_seen.clear();
    vnode_t vp = vnode_for(r);
    EXPECT_EQ(0x700 + static_cast<int>(r.code & 0xFF), ioctl(vp, r.code, record_, pid_));
    ASSERT_EQ(1u, g_seen.size());
    const Seen& s = g_seen[0];
    EXPECT_EQ(r.code, s.code);
    EXPECT_EQ(record_, s.data);
    const bool slot = r.action == mdcudfsr_fsctl_action::slot_lock || r.action == mdcudfsr_fsctl_action::slot_lock_last;
    EXPECT_EQ(slot, s.slot_held);
    if (r.action == mdcudfsr_fsctl_action::root_locked) {
      EXPECT_EQ(root_, s.node);
      EXPECT_TRUE(s.node_locked);
    } else {
      EXPECT_EQ(node(vp), s.node);
      EXPECT_EQ(r.action != mdcudfsr_fsctl_action::node_released, s.node_locked);
    }
    EXPECT_EQ(0, node(vp)->lock_count) << "nothing stays locked";
    EXPECT_EQ(0, root_->lock_count);
  }
}

// Leaving privileged mode may run a pending all-erase that ends the node
// cache, the volume's root node included: the dispatcher must not hold, nor
// unlock afterwards, a node the handler can free.
TEST_F(Dispatch, LeavingPrivilegedModeRunsWithTheVolumeNodeUnlocked) {
  make_privileged(pid_);
  EXPECT_EQ(0x701, ioctl(rootvp_, 0x20007001, record_, pid_));
  ASSERT_EQ(1u, g_seen.size());
  EXPECT_EQ(root_, g_seen[0].node);
  EXPECT_FALSE(g_seen[0].node_locked);
  EXPECT_EQ(0, root_->lock_count);
}

TEST_F(Dispatch, StatfsSizeInfoOnAFileLocksTheRootNotTheFile) {
  EXPECT_EQ(0x763, ioctl(filevp_, MDCFSCTL_GET_STATFS_SIZEINFO, record_, pid_));
  ASSERT_EQ(1u, g_seen.size());
  EXPECT_EQ(root_, g_seen[0].node);
  EXPECT_TRUE(g_seen[0].node_locked);
  EXPECT_FALSE(held_by_me(node(filevp_)));
}

TEST_F(Dispatch, SentAsCodesReachTheirRowsOnceMasked) {
  make_privileged(pid_);
  int sent = 0;
  for (std::size_t i = 0; i < mdcudfsr_fsctl_row_count(); ++i) {
    const mdcudfsr_fsctl_row& r = mdcudfsr_fsctl_rows()[i];
    if (!r.sent_as) continue;
    ++sent;
    g_seen.clear();
    ioctl(vnode_for(r), r.sent_as & MDCFSCTL_CODE_MASK, record_, pid_);
    ASSERT_EQ(1u, g_seen.size()) << r.name;
    EXPECT_EQ(r.code, g_seen[0].code) << r.name;
  }
  EXPECT_GT(sent, 30);
  // The interface's own codes, as it sends them.
  for (std::uint32_t code : {kel::kFsctlPrivilegePrepare, kel::kFsctlEnterPrivileged, kel::kFsctlExitPrivileged,
                             kel::kFsctlGetVolumeMountInformation, kel::kFsctlGetWritePolicyInformation,
                             kel::kFsctlReserveFileCreation, kel::kFsctlGetLastFileIndex,
                             kel::kFsctlGetStatfsSizeInfo, kel::kFsctlSetWriteVerifyMode,
                             kel::kFsctlResetWriteVerifyMode, kel::kFsctlRebuildFileAllocation, 0xC0107016u}) {
    g_seen.clear();
    ioctl(rootvp_, code & MDCFSCTL_CODE_MASK, record_, pid_);
    ASSERT_EQ(1u, g_seen.size()) << std::hex << code;
    EXPECT_EQ(code & MDCFSCTL_CODE_MASK, g_seen[0].code);
  }
}

TEST_F(Dispatch, ALengthOf128BytesKeepsBit23AndIsUnknown) {
  make_privileged(pid_);
  for (std::size_t i = 0; i < mdcudfsr_fsctl_row_count(); ++i) {
    const mdcudfsr_fsctl_row& r = mdcudfsr_fsctl_rows()[i];
    g_seen.clear();
    EXPECT_EQ(22, ioctl(vnode_for(r), r.code | 0x00800000u, record_, pid_)) << r.name;
    EXPECT_TRUE(g_seen.empty()) << r.name;
  }
}

TEST_F(Dispatch, ARecordCodeWithoutRecordIs22BeforeItsHandler) {
  make_privileged(pid_);
  for (std::size_t i = 0; i < mdcudfsr_fsctl_row_count(); ++i) {
    const mdcudfsr_fsctl_row& r = mdcudfsr_fsctl_rows()[i];
    g_seen.clear();
    const int err = ioctl(vnode_for(r), r.code, nullptr, pid_);
    if (!(r.code & 0xC0000000u) || r.code == MDCFSCTL_FLUSH_VOLUME_BUFFERS) {
      EXPECT_EQ(1u, g_seen.size()) << r.name << ": no record travels with it";
      continue;
    }
    EXPECT_EQ(22, err) << r.name;
    EXPECT_TRUE(g_seen.empty()) << r.name;
  }
}

TEST_F(Dispatch, CodesOfTheOtherKindOfVnodeAre22AndDebugNopIsServedOnBoth) {
  for (std::size_t i = 0; i < mdcudfsr_fsctl_row_count(); ++i) {
    const mdcudfsr_fsctl_row& r = mdcudfsr_fsctl_rows()[i];
    if (r.vnode == mdcudfsr_fsctl_vnode::any || r.code == MDCFSCTL_DEBUG_NOP) continue;
    g_seen.clear();
    vnode_t other = r.vnode == mdcudfsr_fsctl_vnode::file ? rootvp_ : filevp_;
    EXPECT_EQ(22, ioctl(other, r.code, record_, pid_)) << r.name;
    EXPECT_TRUE(g_seen.empty()) << r.name;
  }
  std::uint32_t magic = 0x12345678;
  EXPECT_EQ(0, engine_ioctl(rootvp_, MDCFSCTL_DEBUG_NOP, &magic, pid_));
  EXPECT_EQ(0, engine_ioctl(filevp_, MDCFSCTL_DEBUG_NOP, &magic, pid_));
  EXPECT_EQ(2, vfs_test::count_log("magic=0x12345678 (pid=42)"));
}

TEST_F(Dispatch, WithNothingRegisteredPrivilegedRowsAreRefused) {
  int refused = 0;
  for (std::size_t i = 0; i < mdcudfsr_fsctl_row_count(); ++i) {
    const mdcudfsr_fsctl_row& r = mdcudfsr_fsctl_rows()[i];
    if (r.check == mdcudfsr_fsctl_check::none) continue;
    ++refused;
    g_seen.clear();
    EXPECT_EQ(1, ioctl(vnode_for(r), r.code, record_, pid_)) << r.name;
    EXPECT_TRUE(g_seen.empty()) << r.name;
  }
  EXPECT_EQ(13, refused);
  EXPECT_TRUE(logged("mdcudfsr_check_privileged_access( mdcudfsrmp, pid )"));
  EXPECT_TRUE(logged("mdcudfsr_is_privileged_process( mdcudfsrmp, pid )"));
  // Registered but not in the mode: the privileged-process rows pass.
  mnt_->privileged_pid = pid_;
  for (std::uint32_t code : {0x800070A1u, 0x800070B0u}) {
    g_seen.clear();
    ioctl(filevp_, code, record_, pid_);
    EXPECT_EQ(1u, g_seen.size()) << std::hex << code;
  }
  g_seen.clear();
  EXPECT_EQ(1, ioctl(rootvp_, 0x8000700E, record_, pid_)) << "MARK_VOLUME_DIRTY needs the mode";
  EXPECT_TRUE(g_seen.empty());
}

TEST_F(Dispatch, AMissingOrInactiveNodeIs2AndNoMountIs22) {
  mdcudfsr_cache_node* n = node(filevp_);
  n->status = MDCUDFSR_NODE_INACTIVE;
  EXPECT_EQ(2, ioctl(filevp_, MDCFSCTL_DEBUG_NOP, record_, pid_));
  EXPECT_EQ(2, ioctl(filevp_, MDCFSCTL_GET_STATFS_SIZEINFO, record_, pid_));
  EXPECT_EQ(0, n->lock_count);
  n->status = MDCUDFSR_NODE_ACTIVE;
  n->mdcudfsrmp = nullptr;
  EXPECT_EQ(22, ioctl(filevp_, MDCFSCTL_DEBUG_NOP, record_, pid_));
  EXPECT_EQ(22, ioctl(filevp_, MDCFSCTL_GET_STATFS_SIZEINFO, record_, pid_));
  n->mdcudfsrmp = mnt_.get();
  EXPECT_EQ(0, n->lock_count);
  EXPECT_TRUE(g_seen.empty());
}

// Every row of the engine's table comes with its handler: no install step
// stands between a user of the engine and its codes, and a code with no row
// is the only one that answers 22.
TEST_F(Dispatch, EveryRowOfTheEngineTableIsServed) {
  std::set<std::string> names, served;
  for (std::size_t i = 0; i < mdcudfsr_fsctl_row_count(); ++i) {
    const mdcudfsr_fsctl_row& r = mdcudfsr_fsctl_rows()[i];
    names.insert(r.name);
    if (r.handler) served.insert(r.name);
  }
  EXPECT_EQ(85u, served.size());
  EXPECT_EQ(names, served);
  MDCFS_FILE_COUNT count{};
  EXPECT_EQ(0, engine_ioctl(rootvp_, 0xC0007010, &count, pid_)) << "GET_FILE_COUNT";
  EXPECT_EQ(1u, count.NumberOfFiles);
  EXPECT_EQ(22, engine_ioctl(rootvp_, 0xC0007011, record_, pid_)) << "a code with no row";
}

// The interface library's media-side senders, sent as it sends them (masked
// as the host passes them on) through the real dispatcher and handlers.
class SentRows : public NsVolume {
 protected:
  int send(std::uint32_t code, void* data, kel_pid_t pid) {
    vnop_ioctl_args a{&vnop_ioctl_desc, rootvp_, code & MDCFSCTL_CODE_MASK, data, 0, as(pid)};
    return mdcudfsr_vnop_ioctl(&a);
  }
  bool sent(std::uint8_t opcode) {
    const auto ops = take_opcodes();
    return std::find(ops.begin(), ops.end(), opcode) != ops.end();
  }
};

TEST_F(SentRows, GetWritePolicyInformationFillsTheRecordAsTheHandlerDoes) {
  MDCFS_WRITE_POLICY_INFORMATION direct{};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_write_policy_info(mnt_.get(), &direct, as(pid_)));
  MDCFS_WRITE_POLICY_INFORMATION sent_rec;
  std::memset(&sent_rec, 0xA5, sizeof sent_rec);
  ASSERT_EQ(0, send(kel::kFsctlGetWritePolicyInformation, &sent_rec, pid_));
  EXPECT_EQ(0, std::memcmp(&direct, &sent_rec, sizeof direct)) << "every byte of the 32-byte record";
  const std::uint32_t cluster = sent_rec.WriteClusterBlocks, reserve = sent_rec.ReserveWriteBlocks;
  EXPECT_NE(0u, cluster);
  EXPECT_NE(0u, reserve);
  EXPECT_EQ(0, root_->lock_count) << "the root node is unlocked again";
}

TEST_F(SentRows, WriteVerifyModeIsSetAndResetOnlyForThePrivilegedClient) {
  mnt_->verify_mode = 0;
  take_opcodes();
  std::uint32_t on = 1;
  EXPECT_EQ(1, send(kel::kFsctlSetWriteVerifyMode, &on, pid_)) << "not registered";
  EXPECT_EQ(0u, mnt_->verify_mode);
  mnt_->privileged_pid = pid_;
  mnt_->privileged_mode = 1;
  ASSERT_EQ(0, send(kel::kFsctlSetWriteVerifyMode, &on, pid_));
  EXPECT_EQ(1u, mnt_->verify_mode);
  EXPECT_EQ(1u, mnt_->is_temp_verify_mode);
  EXPECT_TRUE(sent(0x55)) << "the drive's reallocation control is switched";
  EXPECT_EQ(22, send(kel::kFsctlSetWriteVerifyMode, nullptr, pid_)) << "no record";
  ASSERT_EQ(0, send(kel::kFsctlResetWriteVerifyMode, nullptr, pid_));
  EXPECT_EQ(0u, mnt_->verify_mode);
  EXPECT_EQ(0u, mnt_->is_temp_verify_mode);
  EXPECT_TRUE(sent(0x55));
  // The slot lock the rows run under is free again.
  ASSERT_TRUE(mnt_->slot_mutex.try_lock());
  mnt_->slot_mutex.unlock();
}

TEST_F(SentRows, SyncDriveCacheReachesTheDriveWithAFileOpen) {
  vnode_t f = nullptr;
  ASSERT_EQ(0, create(rootvp_, "f", &f));
  // The host resolves fsync to the engine's, as registration does.
  const vnop_handler_t saved = kel_vnops.fsync;
  kel_vnops.fsync = mdcudfsr_vnop_fsync;
  take_opcodes();
  const int err = send(0x20007030, nullptr, pid_);
  kel_vnops.fsync = saved;
  ASSERT_EQ(0, err);
  EXPECT_TRUE(sent(0x35)) << "SYNCHRONIZE CACHE";
  ASSERT_TRUE(mnt_->slot_mutex.try_lock());
  mnt_->slot_mutex.unlock();
}

TEST_F(SentRows, FlushVolumeBuffersAnswersAtOnceWithOrWithoutARecord) {
  ASSERT_NE(0u, mnt_->mount_ext_flags & 0x2) << "this system's mounts are exempt";
  take_opcodes();
  EXPECT_EQ(0, send(0x80047062, nullptr, pid_)) << "as the SDK sends it, without a record";
  std::uint32_t flags = 1;
  EXPECT_EQ(0, send(0x80047062, &flags, pid_));
  EXPECT_TRUE(take_opcodes().empty()) << "nothing is written";
  EXPECT_EQ(0, root_->lock_count);
}

TEST_F(SentRows, ScanRangeAnswersThroughItsRow) {
  mdcfs_scan_range r{};
  std::memset(&r, 0x5A, sizeof r);
  r.ZoneId = 0;
  ASSERT_EQ(0, send(0xC0007039, &r, pid_));
  EXPECT_EQ(0xF0, r.Result);
  for (std::uint8_t b : r.Cleared) EXPECT_EQ(0, b);
  r.ZoneId = mnt_->num_discs;
  EXPECT_EQ(22, send(0xC0007039, &r, pid_)) << "a zone past the last disc";
}

}  // namespace
