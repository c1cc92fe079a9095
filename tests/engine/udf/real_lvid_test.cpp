// Logical volume integrity descriptor on the real volume and vnode routines
// over the simulated drive: the flush with its sync and verify, opening and
// closing with retries and the read-only switch at the end, the unique id
// kept in the cartridge memory, and the zero-area check.
#include "engine/udf/real_support.h"

#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_cm.h"
#include "sim/harness.h"
#include "udf/udf_anchor_vds.h"
#include "udf/udf_lvid.h"
#include "udf/udf_mount.h"
#include "udf/udf_tag.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

using namespace udf_real;
using udf_test::MediumClass;

class RealLvid : public ::testing::Test {
 protected:
  void SetUp() override { load(MediumClass::WriteOnce); }
  void load(MediumClass cls) {
    v.reset();
    v = std::make_unique<RealVolume>(cls);
    v->mount();
  }
  mdcudfsr_mount* m() { return v->m(); }
  uint32_t lvid() const { return v->layout.lvid; }
  int read_and_check() {
    int r = mdcudfsr_read_lvid(m(), nullptr, 0, 1, 0, 0);
    return r ? r : mdcudfsr_check_lvid_structure(m(), nullptr);
  }
  std::pair<uint32_t, uint32_t> span(uint8_t op) {
    uint32_t lo = 0xFFFFFFFFu, hi = 0;
    for (const Command& c : v->commands())
      if (c.op == op) {
        lo = std::min(lo, c.lba);
        hi = std::max(hi, c.lba + c.blocks);
      }
    return {lo, hi};
  }
  // Blocks of all commands of the opcode.
  uint32_t blocks(uint8_t op) {
    uint32_t n = 0;
    for (const Command& c : v->commands())
      if (c.op == op) n += c.blocks;
    return n;
  }
  size_t good_writes() {
    size_t n = 0;
    for (const Command& c : v->commands())
      if (c.op == kWrite10 && c.good) ++n;
    return n;
  }
  std::unique_ptr<RealVolume> v;
};

TEST_F(RealLvid, RewritableFreeSpaceTableRoundTrips) {
  load(MediumClass::Rewritable);
  v->edit(lvid(), 1, [](uint8_t* d) {
    auto* desc = reinterpret_cast<logvol_integrity_desc*>(d);
    mdcudfsr_swap_le2host_logvol_integrity_desc(desc);
    const uint32_t n = desc->num_partitions;
    mdcudfsr_swap_host2le_logvol_integrity_desc(desc);
    uint32_t w[2] = {7, 1234};
    std::memcpy(d + 80, w, sizeof w);
    mdcudfsr_set_udf_tag_crc_and_checksum(d, 126 + 8 * (n < 14 ? n : 2));
  });
  ASSERT_EQ(read_and_check(), 0);
  EXPECT_EQ(m()->free_space[0], 7u);
  EXPECT_EQ(m()->free_space[1], 1234u);
  m()->free_space[1] = 999;
  v->clear();
  ASSERT_EQ(flush_lvid_locked(m(), 0, 0), 0);
  EXPECT_NE(v->count(kWrite10), 0u);
  EXPECT_EQ(v->count(kVerify10), 0u);
  ASSERT_EQ(read_and_check(), 0);
  EXPECT_EQ(m()->free_space[1], 999u);
  EXPECT_EQ(mdcudfsr_lvid_imp_use(&m()->lvid, 2)->min_udf_write_rev, 0x0250);
}

TEST_F(RealLvid, FlushWritesImageSyncsVerifiesAndSkipsWhenIdentical) {
  ASSERT_EQ(mdcudfsr_read_lvid(m(), nullptr, 0, 1, 0, 0), 0);
  // The builder wrote what a flush writes for one directory: nothing to do.
  CacheNodes nodes(m());  // the root directory
  v->clear();
  ASSERT_EQ(flush_lvid_locked(m(), 0, 1), 0);
  EXPECT_EQ(v->count(kWrite10), 0u);
  nodes.add("dir", true);
  ASSERT_EQ(flush_lvid_locked(m(), 0, 1), 0);
  EXPECT_EQ(span(kWrite10), std::make_pair(lvid(), lvid() + 32));
  EXPECT_EQ(v->count(kSyncCache), 1u);
  EXPECT_EQ(span(kVerify10), std::make_pair(lvid(), lvid() + 32));
  const auto ops = v->opcodes();
  EXPECT_LT(std::find(ops.begin(), ops.end(), kSyncCache), std::find(ops.begin(), ops.end(), kVerify10));
  // The disc holds a valid descriptor and terminator that read back.
  EXPECT_EQ(mdcudfsr_read_lvid(m(), nullptr, 0, 1, 0, 0), 0);
  EXPECT_EQ(mdcudfsr_check_lvid_structure(m(), nullptr), 0);
  EXPECT_EQ(m()->lvid.length_imp_use, 46u);
  EXPECT_EQ(mdcudfsr_lvid_imp_use(&m()->lvid, 2)->num_dirs, 2u);
  const auto* words = reinterpret_cast<const uint32_t*>(m()->lvid_block + 80);
  EXPECT_EQ(words[0], 0xFFFFFFFFu);
  EXPECT_EQ(words[2], 32u);  // metadata file size in sectors
  EXPECT_EQ(words[3], v->layout.partition_len);
  // A second flush differs only in time: nothing written.
  v->clear();
  ASSERT_EQ(flush_lvid_locked(m(), 0, 1), 0);
  EXPECT_TRUE(logged("skip lvid flush\n"));
  EXPECT_EQ(v->count(kWrite10), 0u);
}

// The flush reads the descriptor's unit once, to compare it with the new
// image, and writes the image over it without reading it again: the image
// fills the whole unit.
TEST_F(RealLvid, AChangedDescriptorIsReadOnceAndWrittenWithoutReadingAgain) {
  for (const MediumClass cls : {MediumClass::WriteOnce, MediumClass::F2}) {
    SCOPED_TRACE(cls == MediumClass::F2 ? "F2h" : "write-once");
    load(cls);
    ASSERT_EQ(mdcudfsr_read_lvid(m(), nullptr, 0, 1, 0, 0), 0);
    m()->next_unique_id += 99;
    v->clear();
    ASSERT_EQ(flush_lvid_locked(m(), 0, 0), 0);
    const uint32_t unit = cls == MediumClass::F2 ? 128 : 32;
    EXPECT_EQ(blocks(kRead10), unit) << "the unit is read once";
    EXPECT_EQ(span(kRead10), std::make_pair(lvid(), lvid() + unit));
    EXPECT_EQ(blocks(kWrite10), unit);
    EXPECT_EQ(span(kWrite10), std::make_pair(lvid(), lvid() + unit));
    const auto ops = v->opcodes();
    EXPECT_LT(std::find(ops.begin(), ops.end(), kRead10), std::find(ops.begin(), ops.end(), kWrite10));
    // What was written reads back as the descriptor with the new unique id.
    const uint64_t written_id = m()->next_unique_id;
    ASSERT_EQ(mdcudfsr_read_lvid(m(), nullptr, 0, 1, 0, 0), 0);
    EXPECT_EQ(mdcudfsr_check_lvid_structure(m(), nullptr), 0);
    EXPECT_EQ(m()->next_unique_id, written_id);
  }
}

TEST_F(RealLvid, FlushBeyondTheFreeSpaceTableIsRefused) {
  load(MediumClass::Rewritable);
  ASSERT_EQ(mdcudfsr_read_lvid(m(), nullptr, 0, 1, 0, 0), 0);
  const std::vector<uint8_t> before = v->read(lvid());
  m()->current_disc = 12;  // 14 partitions: one more than the table holds
  v->clear();
  EXPECT_EQ(flush_lvid_locked(m(), 0, 0), 22);
  EXPECT_EQ(v->count(kWrite10), 0u);
  EXPECT_EQ(v->count(kLoad), 0u);
  EXPECT_EQ(v->read(lvid()), before);
}

TEST_F(RealLvid, FlushOnF2CoversQuarterMegabyteAfterReservingTheRange) {
  load(MediumClass::F2);
  ASSERT_EQ(mdcudfsr_read_lvid(m(), nullptr, 0, 1, 0, 0), 0);
  m()->next_unique_id = 99;
  v->clear();
  ASSERT_EQ(flush_lvid_locked(m(), 0, 0), 0);
  const auto ops = v->opcodes();
  const auto reserve = std::find(ops.begin(), ops.end(), kReserve);
  ASSERT_NE(reserve, ops.end());
  EXPECT_LT(reserve, std::find(ops.begin(), ops.end(), kWrite10));
  EXPECT_EQ(span(kReserve).first, lvid());
  EXPECT_EQ(span(kWrite10), std::make_pair(lvid(), lvid() + 128));
  EXPECT_EQ(span(kRead10), std::make_pair(lvid(), lvid() + 128)) << "the whole unit is read first";
}

TEST_F(RealLvid, RollbackFlushTakesTheAttributeId) {
  ASSERT_EQ(mdcudfsr_read_lvid(m(), nullptr, 0, 1, 0, 0), 0);
  // The last unique id kept in the cartridge memory, written as the volume
  // writes it.
  uint8_t record[MDCUDFSR_CM_RECORD_SIZE];
  ASSERT_EQ(mdcudfsr_read_attribute(m(), record, sizeof record, 1, 0, nullptr, 0), 0);
  const uint32_t id = 500;
  std::memcpy(record + 357, &id, 4);
  m()->attr_update_mask |= 0x80;
  ASSERT_EQ(mdcudfsr_write_attribute(m(), record, sizeof record, 1, nullptr, 0), 0);
  m()->mount_ext_flags = 0x20;
  ASSERT_EQ(flush_lvid_locked(m(), 0, 0), 0);
  EXPECT_EQ(m()->lvid.unique_id, 501u);
}

TEST_F(RealLvid, OpenAndCloseWithRetriesAndReadOnlyAtTheEnd) {
  v->start_agent();
  ASSERT_EQ(mdcudfsr_read_lvid(m(), nullptr, 0, 1, 0, 0), 0);
  // The coherency counter of the cartridge memory (bytes 361-363, low first).
  auto coherency = [&] {
    const std::vector<uint8_t> r = v->attribute_record();
    return uint32_t{r[363]} << 16 | uint32_t{r[362]} << 8 | r[361];
  };
  const uint32_t counter = coherency();
  v->clear();
  ASSERT_EQ(mdcudfsr_set_lvid_integrity_type(m(), 0, 1, nullptr), 0);
  EXPECT_EQ(coherency(), counter + 1) << "the opening updates the coherency once";
  EXPECT_EQ(m()->mntinfo.VolumeStatus & 0x10, 0x10);
  EXPECT_EQ(span(kWrite10), std::make_pair(lvid(), lvid() + 32));
  // Same type: nothing written, volume marked changed.
  v->clear();
  m()->metadata_changed = 0;
  ASSERT_EQ(mdcudfsr_set_lvid_integrity_type(m(), 0, 1, nullptr), 0);
  EXPECT_EQ(v->count(kWrite10), 0u);
  EXPECT_EQ(m()->metadata_changed, 1u);
  // Close fails on every attempt.
  v->clear();
  v->sim().drive().add_fault(kelsim::write_error(lvid(), lvid() + 31));
  m()->metadata_changed = 0;
  const int err = mdcudfsr_set_lvid_integrity_type(m(), 1, 1, nullptr);
  EXPECT_NE(err, 0);
  size_t attempts = 0;
  for (const Command& c : v->commands())
    if (c.op == kWrite10 && c.lba == lvid()) ++attempts;
  EXPECT_EQ(attempts, 10u);
  EXPECT_EQ(good_writes(), 0u);
  EXPECT_EQ(m()->mntinfo.MountStatus, 0x80000002u) << "switched to read-only for a drive error";
  EXPECT_NE(vfs_flags(m()->mp) & MNT_RDONLY, 0u);
  bool reported = false;
  for (const LogLine& l : logs())
    if (l.text.rfind("Driver detect an error.", 0) == 0 && l.text.find("ErrorType:0x00") != std::string::npos)
      reported = true;
  EXPECT_TRUE(reported) << "the error is reported to the drive";
  EXPECT_EQ(m()->metadata_changed, 0u);
  // The failed close keeps the type the medium had, and owes the medium a
  // descriptor the next Sync or unmount writes again.
  EXPECT_EQ(m()->lvid.integrity_type, 0u);
  EXPECT_EQ(m()->lvid_unconfirmed, 1u);
}

// A close whose first SYNCHRONIZE CACHE fails finds the descriptor on the
// medium at the retry (read back from the drive's cache, or left there by a
// loss of the drive's power that kept it): success is answered only after a
// good SYNCHRONIZE CACHE and the verify that follow the last write.
TEST_F(RealLvid, ACloseFoundWrittenAfterAFailedSyncIsSyncedBeforeSuccess) {
  struct Case {
    const char* name;
    kelsim::FaultRule sync_fails;
  };
  kelsim::FaultRule medium_error = kelsim::command_fails(kSyncCache, {0x03, 0x0C, 0x00});
  medium_error.times = 1;
  kelsim::FaultRule power_cut = kelsim::power_cut_at(kSyncCache, 32);
  power_cut.times = 1;
  for (const Case& c : {Case{"sync refused", medium_error}, Case{"power lost, the unit kept", power_cut}}) {
    SCOPED_TRACE(c.name);
    load(MediumClass::WriteOnce);
    v->start_agent();
    ASSERT_EQ(mdcudfsr_read_lvid(m(), nullptr, 0, 1, 0, 0), 0);
    ASSERT_EQ(mdcudfsr_set_lvid_integrity_type(m(), 0, 1, nullptr), 0);
    v->clear();
    v->sim().drive().add_fault(c.sync_fails);
    ASSERT_EQ(mdcudfsr_set_lvid_integrity_type(m(), 1, 1, nullptr), 0);
    const std::vector<Command> cmds = v->commands();
    std::size_t last_write = cmds.size();
    for (std::size_t i = 0; i < cmds.size(); ++i)
      if (cmds[i].op == kWrite10 && cmds[i].lba == lvid()) last_write = i;
    ASSERT_LT(last_write, cmds.size());
    bool synced = false, verified = false;
    for (std::size_t i = last_write + 1; i < cmds.size(); ++i) {
      synced |= cmds[i].op == kSyncCache && cmds[i].good;
      verified |= synced && cmds[i].op == kVerify10 && cmds[i].good && cmds[i].lba == lvid();
    }
    EXPECT_TRUE(synced) << "a good SYNCHRONIZE CACHE after the last write of the descriptor";
    EXPECT_TRUE(verified) << "the verify after it";
    EXPECT_EQ(m()->lvid.integrity_type, 1u);
    EXPECT_EQ(read_and_check(), 0);
  }
}

TEST_F(RealLvid, ZeroAreaCheck) {
  EXPECT_EQ(mdcudfsr_check_zerofillarea(m(), nullptr), 0);
  v->edit(3, 1, [](uint8_t* b) { b[7] = 1; });
  EXPECT_EQ(mdcudfsr_check_zerofillarea(m(), nullptr), 22);
  EXPECT_TRUE(logged("Invalid LSN 0-10. \n"));
  EXPECT_EQ(m()->mntinfo.MountStatus, MNTINFO_ANCHOR_INVALID);
}

}  // namespace
