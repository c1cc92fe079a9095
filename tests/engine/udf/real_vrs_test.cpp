// Volume recognition sequence on the real volume routines over the simulated
// drive: check and repair, the drive's cache sync after each write and the
// disc change before it.
#include "engine/udf/real_support.h"

#include "sim/harness.h"
#include "udf/udf_mount.h"
#include "udf/udf_rewritable.h"
#include "udf/udf_vrs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

using namespace udf_real;
using udf_test::MediumClass;

class RealVrs : public ::testing::TestWithParam<MediumClass> {
 protected:
  void SetUp() override { load(); }
  void load() {
    v.reset();
    v = std::make_unique<RealVolume>(GetParam());
  }
  mdcudfsr_mount* m() { return v->m(); }
  bool vrs_intact() {
    std::vector<uint8_t> want(3 * kSector, 0);
    mdcudfsr_vrs_fill_template(want.data());
    return v->read(16, 3) == want;
  }
  uint32_t unit() const { return v->spec.medium_type == 0xF2 ? 128 : 32; }
  uint32_t written_blocks() const {
    uint32_t n = 0;
    for (const Command& c : v->commands())
      if (c.op == kWrite10) n += c.blocks;
    return n;
  }
  std::unique_ptr<RealVolume> v;
};

TEST_P(RealVrs, ValidSequenceIsReadInOneCommandAndChangesNothing) {
  const MDCFS_MOUNT_INFORMATION before = m()->mntinfo;
  EXPECT_EQ(mdcudfsr_check_vrs(m(), nullptr), 0);
  const auto cmds = v->commands();
  ASSERT_EQ(v->count(kRead10), 1u);
  for (const Command& c : cmds) {
    if (c.op == kRead10) {
      EXPECT_LE(c.lba, 16u);
      EXPECT_GE(c.lba + c.blocks, 19u) << "sectors 16-18 in the one read";
    }
  }
  EXPECT_EQ(v->count(kLoad), 0u) << "the disc of the last written slot is the loaded one";
  EXPECT_EQ(v->count(kWrite10), 0u);
  EXPECT_EQ(std::memcmp(&before, &m()->mntinfo, sizeof before), 0) << "the mount information is untouched";
}

TEST_P(RealVrs, InvalidContentGives22AndRefusesAccess) {
  struct Row {
    const char* name;
    size_t offset;
    uint8_t value;
  } rows[] = {
      {"NSR02", kSector + 5, '2'},
      {"non-zero padding of BEA01", 7 + 2040, 1},
      {"version of TEA01", 2 * kSector + 6, 2},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    load();
    v->edit(16, 3, [&](uint8_t* b) { b[r.offset] = r.value; });
    EXPECT_EQ(mdcudfsr_check_vrs(m(), nullptr), 22);
    EXPECT_TRUE(logged("Invalid VRS. \n"));
    const auto lines = logs();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().module, 10);
    EXPECT_EQ(m()->mntinfo.AccessMode, 2u);
    EXPECT_EQ(m()->mntinfo.MountStatus, 0x80000200u);
    EXPECT_EQ(m()->mntinfo.WriteProtectReasonFlags, 0x80000u);
    EXPECT_EQ(v->count(kWrite10), 0u);
  }
}

TEST_P(RealVrs, RepairRewritesNSR02AsNSR03) {
  v->edit(17, 1, [](uint8_t* b) { b[5] = '2'; });
  ASSERT_EQ(mdcudfsr_check_vrs(m(), nullptr), 22);
  EXPECT_EQ(mdcudfsr_repair_vrs(m(), nullptr), 0);
  EXPECT_TRUE(vrs_intact());
  EXPECT_EQ(mdcudfsr_check_vrs(m(), nullptr), 0);
}

TEST_P(RealVrs, UnreadableSequenceIsRepairedOnceAndStillReportsTheReadError) {
  v->unreadable(17);
  m()->mntinfo.WriteProtectReasonFlags = 0x1;
  const int err = mdcudfsr_check_vrs(m(), nullptr);
  EXPECT_NE(err, 0);
  EXPECT_NE(err, 22);
  EXPECT_EQ(written_blocks(), unit()) << "one unit written, once";
  EXPECT_TRUE(logged("cannot read VRS. \n"));
  EXPECT_EQ(m()->mntinfo.MountStatus, 0x80000030u);
  EXPECT_EQ(m()->mntinfo.WriteProtectReasonFlags, 0x80001u) << "0x80000 is added to the reasons";
  EXPECT_EQ(m()->mntinfo.AccessMode, 0u);
  EXPECT_EQ(m()->pending_error_report, 0) << "set directly, no state change that reports to the drive";
}

TEST_P(RealVrs, RepairWritesOneWholeUnitFromSector0ThenSyncs) {
  v->write(0, std::vector<uint8_t>(kSector, 0x55));
  v->write(20, std::vector<uint8_t>(kSector, 0x55));
  EXPECT_EQ(mdcudfsr_repair_vrs(m(), nullptr), 0);
  const bool f2 = v->spec.medium_type == 0xF2;
  const uint32_t unit = f2 ? 128 : 32;
  std::vector<Command> writes;
  std::vector<uint8_t> order;
  for (const Command& c : v->commands()) {
    if (c.op == kWrite10) writes.push_back(c);
    if (c.op == kWrite10 || c.op == kSyncCache || c.op == kReserve || c.op == kLoad) order.push_back(c.op);
  }
  // The unit goes out in as many WRITE(10)s as the drive client cuts it into.
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes.front().lba, 0u);
  uint32_t blocks = 0;
  for (const Command& c : writes) blocks += c.blocks;
  EXPECT_EQ(blocks, unit);
  std::vector<uint8_t> want;
  if (f2) want.push_back(kReserve);
  want.insert(want.end(), writes.size(), kWrite10);
  want.push_back(kSyncCache);
  EXPECT_EQ(order, want) << "reserved on F2h, written, then the drive's cache synced; no disc loaded";
  EXPECT_TRUE(vrs_intact());
  EXPECT_EQ(v->read(0)[0], 0) << "the unit's other sectors are zeroed";
  EXPECT_EQ(v->read(20)[0], 0);
}

TEST_P(RealVrs, RepairGivesUpAfterTenAttemptsWithTheLastError) {
  v->sim().drive().add_fault(kelsim::write_error(0, 0xFFFFFFFFu));
  const int err = mdcudfsr_repair_vrs(m(), nullptr);
  EXPECT_NE(err, 0);
  EXPECT_EQ(count_logged("Failed to write. err = " + std::to_string(err) + ". \n"), 10u);
  size_t good_writes = 0;
  for (const Command& c : v->commands())
    if (c.op == kWrite10 && c.good) ++good_writes;
  EXPECT_EQ(good_writes, 0u);
}

TEST_P(RealVrs, RepairRetriesAfterAFailedSync) {
  kelsim::FaultRule once = kelsim::command_fails(kSyncCache, kelsim::Sense{0x03, 0x0C, 0x00});
  once.times = 1;
  v->sim().drive().add_fault(once);
  EXPECT_EQ(mdcudfsr_repair_vrs(m(), nullptr), 0);
  EXPECT_EQ(v->count(kSyncCache), 2u);
  bool failed_sync_logged = false;
  for (const LogLine& l : logs())
    if (l.text.rfind("Failed to sync cache err = ", 0) == 0) failed_sync_logged = true;
  EXPECT_TRUE(failed_sync_logged);
  EXPECT_TRUE(vrs_intact());
}

TEST_P(RealVrs, RollbackMountOnAnotherSlotWritesNothing) {
  for (uint32_t flag : {0x20u, 0x80u}) {
    load();
    m()->mount_ext_flags = flag;
    m()->current_disc = 2;
    m()->loaded_slot = 1;
    EXPECT_EQ(mdcudfsr_repair_vrs(m(), nullptr), 0);
    EXPECT_TRUE(v->commands().empty());
  }
}

TEST_P(RealVrs, RepairLoadsTheLastWrittenSlotFirst) {
  v->blank_disc(1);
  m()->current_disc = 1;
  EXPECT_EQ(mdcudfsr_repair_vrs(m(), nullptr), 0);
  EXPECT_EQ(m()->loaded_slot, 1u);
  const auto ops = v->opcodes();
  const auto load = std::find(ops.begin(), ops.end(), kLoad);
  const auto write = std::find(ops.begin(), ops.end(), kWrite10);
  ASSERT_NE(load, ops.end());
  ASSERT_NE(write, ops.end());
  EXPECT_LT(load, write) << "loaded before the sequence is written";
  std::vector<uint8_t> want(3 * kSector, 0);
  mdcudfsr_vrs_fill_template(want.data());
  EXPECT_EQ(v->read(16, 3), want) << "slot 1's disc holds the sequence";
}

TEST_P(RealVrs, SlotChangeFailureEndsTheRepair) {
  m()->current_disc = 1;
  v->sim().drive().add_fault(kelsim::command_fails(kLoad, kelsim::Sense{0x02, 0x3A, 0x00}));
  const int err = mdcudfsr_repair_vrs(m(), nullptr);
  EXPECT_NE(err, 0);
  EXPECT_TRUE(logged("Failed to load last written slot with status " + std::to_string(err) + ". \n"));
  EXPECT_EQ(v->count(kWrite10), 0u);
}

INSTANTIATE_TEST_SUITE_P(WriteOnceAndF2, RealVrs, ::testing::Values(MediumClass::WriteOnce, MediumClass::F2),
                         ::testing::PrintToStringParamName());

TEST(RealVrsRewritable, BlankMediumIsUnformatted) {
  RealVolume v(MediumClass::Rewritable, 0, false);
  EXPECT_EQ(mdcudfsr_check_vrs_RE(v.m(), nullptr), 9);
  EXPECT_TRUE(logged("Unformatted VRS. \n"));
  EXPECT_EQ(v.m()->mntinfo.AccessMode, 2u);
  EXPECT_EQ(v.m()->mntinfo.MountStatus, 0x80000010u);
  EXPECT_EQ(v.m()->mntinfo.WriteProtectReasonFlags, 0x80000u);
}

TEST(RealVrsRewritable, DamagedButNotBlankIsInvalid) {
  RealVolume v(MediumClass::Rewritable);
  EXPECT_EQ(mdcudfsr_check_vrs_RE(v.m(), nullptr), 0);
  v.edit(18, 1, [](uint8_t* b) { b[1] = 'X'; });
  EXPECT_EQ(mdcudfsr_check_vrs_RE(v.m(), nullptr), 22);
  EXPECT_TRUE(logged("Invalid VRS. \n"));
}

TEST(RealVrsRewritable, FlushWritesOnceWithoutReservationOrRetry) {
  RealVolume v(MediumClass::Rewritable, 0, false);
  v.sim().drive().add_fault([] {
    kelsim::FaultRule r = kelsim::write_error(0, 31);
    r.times = 1;
    return r;
  }());
  const int err = mdcudfsr_flush_vrs_RE(v.m(), nullptr);
  EXPECT_NE(err, 0);
  EXPECT_EQ(v.count(kReserve), 0u);
  EXPECT_EQ(v.count(kWrite10), 1u) << "no retry";
  EXPECT_EQ(v.count(kSyncCache), 1u);
  EXPECT_TRUE(logged("buf_bwrite is failed err=" + std::to_string(err) + "\n"));
  EXPECT_EQ(mdcudfsr_flush_vrs_RE(v.m(), nullptr), 0);
  EXPECT_EQ(mdcudfsr_check_vrs_RE(v.m(), nullptr), 0);
}

}  // namespace
