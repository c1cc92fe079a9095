// Anchors and volume descriptor sequences of write-once media on the real
// volume routines over the simulated drive: reads, rebuilds written back with
// the drive's cache sync, F2h reservations, and the copies kept in the
// management cache file of the real cache agent.
#include "engine/udf/real_support.h"

#include "kelagent/metacache.h"
#include "sim/harness.h"
#include "udf/udf_anchor_vds.h"
#include "udf/udf_mount.h"
#include "udf/udf_tag.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

using namespace udf_real;
using udf_test::MediumClass;
using udf_test::relocate;
using udf_test::reseal;

const std::vector<uint16_t> kSequence = {1, 4, 5, 6, 7, 8};

class RealVolumeDesc : public ::testing::Test {
 protected:
  void SetUp() override { load(MediumClass::WriteOnce); }
  void load(MediumClass cls, uint32_t slot = 0) {
    v.reset();
    v = std::make_unique<RealVolume>(cls, slot);
  }
  mdcudfsr_mount* m() { return v->m(); }
  const udf_test::ImageLayout& layout() const { return v->layout; }
  void with_cache_file() {
    v->start_agent();
    m()->fsmanage_handle = v->open_cache_file("fsmanage");
  }
  std::vector<uint8_t> sec(uint32_t lsn) { return v->read(lsn); }
  void put(uint32_t lsn, const std::vector<uint8_t>& b) { v->write(lsn, b); }
  template <class F>
  void edit(uint32_t lsn, F f) {
    v->edit(lsn, 1, f);
  }
  desc_tag tag_at(uint32_t lsn) {
    desc_tag t;
    std::memcpy(&t, sec(lsn).data(), sizeof t);
    return t;
  }
  anchor_vdp anchor_at(uint32_t lsn) {
    anchor_vdp a;
    std::memcpy(&a, sec(lsn).data(), sizeof a);
    return a;
  }
  void set_anchors(extent_ad main, extent_ad reserve) {
    for (uint32_t lsn : {256u, layout().avdp2}) {
      edit(lsn, [&](uint8_t* b) {
        anchor_vdp a;
        std::memcpy(&a, b, sizeof a);
        a.main_vds_ex = main;
        a.reserve_vds_ex = reserve;
        std::memcpy(b, &a, sizeof a);
        reseal(b);
      });
    }
  }
  bool copy_valid(uint32_t loc, const std::vector<uint16_t>& ids) {
    const std::vector<uint8_t> copy = v->read(loc, static_cast<uint32_t>(ids.size()));
    for (size_t i = 0; i < ids.size(); ++i) {
      const uint8_t* d = copy.data() + i * kSector;
      desc_tag t;
      std::memcpy(&t, d, sizeof t);
      if (t.id != ids[i] || t.tag_loc != loc + i || t.serial_num != v->spec.serial) return false;
      if (!mdcudfsr_check_udf_tag_checksum(d) || !mdcudfsr_check_udf_tag_crc(d, kSector)) return false;
    }
    return true;
  }
  int read_both() {
    int r = mdcudfsr_read_avdp(m(), nullptr, 1, 0, nullptr);
    if (r) return r;
    return mdcudfsr_read_vds(m(), nullptr, 0, 1, 0, nullptr);
  }
  std::vector<std::pair<uint32_t, uint32_t>> ranges(uint8_t op) {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    for (const Command& c : v->commands())
      if (c.op == op) out.emplace_back(c.lba, c.lba + c.blocks);
    return out;
  }
  bool wrote(uint32_t first, uint32_t end) {
    const auto w = ranges(kWrite10);
    return std::find(w.begin(), w.end(), std::make_pair(first, end)) != w.end();
  }
  size_t writes_at(uint32_t first) {
    size_t n = 0;
    for (auto [a, b] : ranges(kWrite10))
      if (a == first) ++n;
    return n;
  }
  std::unique_ptr<RealVolume> v;
};

// ---------------------------------------------------------------- anchors

TEST_F(RealVolumeDesc, GoodAnchorsAreTakenAndNothingIsWritten) {
  EXPECT_EQ(mdcudfsr_read_avdp(m(), nullptr, 1, 0, nullptr), 0);
  EXPECT_EQ(+m()->avdp.main_vds_ex.loc, 288u);
  EXPECT_EQ(+m()->avdp.main_vds_ex.len, 0x8000u);
  EXPECT_EQ(+m()->avdp.reserve_vds_ex.loc, 304u);
  EXPECT_EQ(m()->avdp.tag.serial_num, v->spec.serial);
  EXPECT_EQ(v->count(kRead10), 2u);
  EXPECT_EQ(v->count(kWrite10), 0u);
  EXPECT_TRUE(logged("Find enable AVDP1. status(0)\n"));
  EXPECT_TRUE(logged("Find enable AVDP2. status(0)\n"));
}

TEST_F(RealVolumeDesc, SecondAnchorDisagreeingIsRewrittenFromTheFirst) {
  with_cache_file();
  edit(layout().avdp2, [](uint8_t* b) {
    anchor_vdp a;
    std::memcpy(&a, b, sizeof a);
    a.reserve_vds_ex.loc = 400;
    std::memcpy(b, &a, sizeof a);
    reseal(b);
  });
  uint32_t mirror = 1;
  EXPECT_EQ(mdcudfsr_read_avdp(m(), nullptr, 1, 0, &mirror), 0);
  EXPECT_TRUE(logged("Rebuild AVDP2\n"));
  EXPECT_EQ(mirror, 0u);
  EXPECT_EQ(+m()->avdp.reserve_vds_ex.loc, 304u);
  const anchor_vdp now = anchor_at(layout().avdp2);
  EXPECT_EQ(now.reserve_vds_ex.loc, 304u);
  EXPECT_EQ(now.tag.tag_loc, layout().avdp2);
  EXPECT_EQ(mdcudfsr_check_udf_tag(sec(layout().avdp2).data(), 2), 1);
  EXPECT_EQ(mdcudfsr_check_udf_tag_crc(sec(layout().avdp2).data(), kSector), 1);
  // The last unit rewritten, then the drive's cache synced; no disc change.
  const uint32_t unit = v->spec.sectors - 32;
  std::vector<uint8_t> steps;
  for (const Command& c : v->commands())
    if (c.op == kWrite10 || c.op == kSyncCache || c.op == kLoad) steps.push_back(c.op);
  EXPECT_EQ(steps, (std::vector<uint8_t>{kWrite10, kSyncCache}));
  EXPECT_TRUE(wrote(unit, unit + 32));
  EXPECT_EQ(m()->fsmanage_handle, -1) << "the management cache file is closed and dropped";
}

TEST_F(RealVolumeDesc, DamagedFirstAnchorIsRebuiltFromTheSecond) {
  edit(256, [](uint8_t* b) {
    b[0] = 3;  // tag identifier 3
    reseal(b);
  });
  EXPECT_EQ(mdcudfsr_read_avdp(m(), nullptr, 1, 0, nullptr), 0);
  EXPECT_TRUE(logged("AVDP_1 TagID is invalid\n"));
  EXPECT_TRUE(logged("Rebuild AVDP1\n"));
  EXPECT_EQ(tag_at(256).id, 2);
  EXPECT_EQ(tag_at(256).tag_loc, 256u);
  EXPECT_EQ(anchor_at(256).main_vds_ex.loc, 288u);
  EXPECT_TRUE(wrote(256, 288));
}

TEST_F(RealVolumeDesc, AnchorVerdictsWhenBothAreBad) {
  struct Row {
    const char* name;
    bool unreadable1, unreadable2;
    int result;
    const char* message;
    uint32_t status;
  } rows[] = {
      {"both unreadable", true, true, 2, "cannot read All AVDP . \n", 0x80000030u},
      {"first unreadable, second bad CRC", true, false, 2, "All AVDP is invalid. \n", 0x80000200u},
      {"first bad CRC, second unreadable", false, true, 22, "All AVDP is invalid. \n", 0x80000200u},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    load(MediumClass::WriteOnce);
    with_cache_file();  // the copies are mirrored into it
    auto spoil = [&](uint32_t lsn, bool unreadable) {
      if (unreadable)
        v->unreadable(lsn);
      else
        edit(lsn, [](uint8_t* b) { b[100] ^= 1; });
    };
    spoil(256, r.unreadable1);
    spoil(layout().avdp2, r.unreadable2);
    uint32_t mirror = 1;
    EXPECT_EQ(mdcudfsr_read_avdp(m(), nullptr, 1, 0, &mirror), r.result);
    EXPECT_TRUE(logged(r.message));
    EXPECT_EQ(m()->mntinfo.AccessMode, 2u);
    EXPECT_EQ(m()->mntinfo.MountStatus, r.status);
    EXPECT_EQ(m()->mntinfo.WriteProtectReasonFlags, 0x80000u);
    EXPECT_EQ(mirror, 0u);
    EXPECT_EQ(v->count(kWrite10), 0u);
  }
}

TEST_F(RealVolumeDesc, AnchorsFromTheCacheFileAndTheirMirror) {
  with_cache_file();
  uint32_t mirror = 1;
  ASSERT_EQ(mdcudfsr_read_avdp(m(), nullptr, 1, 0, &mirror), 0);
  EXPECT_EQ(mirror, 1u);
  const int32_t h = m()->fsmanage_handle;
  ASSERT_GE(h, 0);
  EXPECT_EQ(v->cache_file_read(h, 0x10000, kSector), sec(256));
  EXPECT_EQ(v->cache_file_read(h, 0x20000, kSector), sec(layout().avdp2));

  // The next mount reads the copies from the cache file alone.
  auto again = v->record();
  again->metacachedev = m()->metacachedev;
  again->fsmanage_handle = h;
  v->clear();
  EXPECT_EQ(mdcudfsr_read_avdp(again.get(), nullptr, 1, 1, nullptr), 0);
  EXPECT_EQ(v->count(kRead10), 0u);
  EXPECT_EQ(+again->avdp.reserve_vds_ex.loc, 304u);

  // A damaged copy in the cache is never rebuilt there: 22, the disc decides.
  std::vector<uint8_t> copy = v->cache_file_read(h, 0x20000, kSector);
  copy[100] ^= 1;
  uint32_t n = 0, cache_err = 0;
  ASSERT_EQ(mdcudfsr_metacache_file_write(m(), h, 0x20000, kSector, copy.data(), &n, &cache_err), 0);
  v->clear();
  EXPECT_EQ(mdcudfsr_read_avdp(again.get(), nullptr, 1, 1, nullptr), 22);
  EXPECT_EQ(v->count(kWrite10), 0u);
  EXPECT_EQ(again->fsmanage_handle, h) << "the cache file stays";
  again->metacachedev = nullptr;
}

TEST_F(RealVolumeDesc, F2AnchorRewriteReservesItsRangeFirst) {
  load(MediumClass::F2);
  edit(layout().avdp2, [](uint8_t* b) { b[100] ^= 1; });
  EXPECT_EQ(mdcudfsr_read_avdp(m(), nullptr, 1, 0, nullptr), 0);
  const uint32_t first = v->spec.sectors - 128;
  std::vector<Command> reserve_then_write;
  for (const Command& c : v->commands())
    if (c.op == kReserve || c.op == kWrite10) reserve_then_write.push_back(c);
  ASSERT_GE(reserve_then_write.size(), 2u);
  EXPECT_EQ(reserve_then_write[0].op, kReserve);
  EXPECT_EQ(reserve_then_write[0].lba, first);
  uint32_t blocks = 0;
  for (size_t i = 1; i < reserve_then_write.size(); ++i) {
    EXPECT_EQ(reserve_then_write[i].op, kWrite10);
    blocks += reserve_then_write[i].blocks;
  }
  EXPECT_EQ(reserve_then_write[1].lba, first);
  EXPECT_EQ(blocks, 128u);
  EXPECT_EQ(tag_at(layout().avdp2).tag_loc, layout().avdp2);
}

TEST_F(RealVolumeDesc, AnchorRewriteThatKeepsFailingStillMounts) {
  edit(layout().avdp2, [](uint8_t* b) { b[100] ^= 1; });
  const uint32_t unit = v->spec.sectors - 32;
  v->sim().drive().add_fault(kelsim::write_error(unit, unit + 31));
  EXPECT_EQ(mdcudfsr_read_avdp(m(), nullptr, 1, 0, nullptr), 0);
  EXPECT_EQ(writes_at(unit), 10u);
  size_t failed = 0;
  for (const LogLine& l : logs())
    if (l.text.rfind("Failed to write failed. status=", 0) == 0) ++failed;
  EXPECT_EQ(failed, 10u);
  EXPECT_EQ(+m()->avdp.reserve_vds_ex.loc, 304u);
}

TEST_F(RealVolumeDesc, AnchorRewriteIsSkippedOnARollbackMountOfAnotherSlot) {
  edit(layout().avdp2, [](uint8_t* b) { b[100] ^= 1; });
  m()->mount_ext_flags = 0x20;
  m()->current_disc = 3;
  m()->loaded_slot = 0;
  EXPECT_EQ(mdcudfsr_read_avdp(m(), nullptr, 1, 0, nullptr), 0);
  EXPECT_EQ(v->count(kWrite10), 0u);
  EXPECT_EQ(v->count(kLoad), 0u);
  EXPECT_EQ(+m()->avdp.main_vds_ex.loc, 288u);
}

// ---------------------------------------------------------------- sequences

TEST_F(RealVolumeDesc, GoodSequenceFillsTheMountCopies) {
  ASSERT_EQ(read_both(), 0);
  const auto& d = m()->vds;
  EXPECT_EQ(d.pvd.vds_num, 1);
  EXPECT_EQ(d.pvd.ichg_lvl, 3);
  EXPECT_EQ(d.pd.part_len, layout().partition_len);
  EXPECT_EQ(d.lvd.n_pm, 2u);
  EXPECT_EQ(d.pmap.type2_metadata.type, 2);
  EXPECT_EQ(d.pmap.type2_metadata.file_loc, layout().metadata_file_loc);
  EXPECT_EQ(d.pmap.type2_metadata.mirror_file_loc, layout().mirror_file_loc);
  EXPECT_EQ(d.pmap.type1_count, 1u);
  EXPECT_EQ(d.pmap.type1[0].vol_seq_num, 1);
  EXPECT_EQ(d.usd.seq_num, 4u);
  EXPECT_EQ(v->count(kWrite10), 0u);
}

TEST_F(RealVolumeDesc, SlotTwoVolumeHasFourMaps) {
  load(MediumClass::WriteOnce, 2);
  ASSERT_EQ(read_both(), 0);
  EXPECT_EQ(m()->vds.pvd.vds_num, 3);
  EXPECT_EQ(m()->vds.lvd.n_pm, 4u);
  ASSERT_EQ(m()->vds.pmap.type1_count, 3u);
  for (uint16_t i = 0; i < 3; ++i) EXPECT_EQ(m()->vds.pmap.type1[i].vol_seq_num, i + 1);
}

TEST_F(RealVolumeDesc, BrokenMainCopyIsRebuiltFromTheReserve) {
  with_cache_file();
  edit(290, [](uint8_t* b) { b[200] ^= 1; });  // the partition descriptor's CRC fails
  uint32_t mirror = 1;
  ASSERT_EQ(mdcudfsr_read_avdp(m(), nullptr, 1, 0, nullptr), 0);
  EXPECT_EQ(mdcudfsr_read_vds(m(), nullptr, 0, 1, 0, &mirror), 0);
  EXPECT_TRUE(logged("MVDS is broken. MVDS offset=2\n"));
  EXPECT_TRUE(logged("Rebuild MVDS\n"));
  EXPECT_EQ(mirror, 0u);
  EXPECT_EQ(m()->fsmanage_handle, -1) << "the management cache file is dropped";
  EXPECT_TRUE(wrote(288, 320));
  EXPECT_TRUE(copy_valid(288, kSequence)) << "fresh tags at the main locations";
  EXPECT_TRUE(copy_valid(304, kSequence));
  EXPECT_EQ(m()->vds.pd.part_len, layout().partition_len);
  // The next read finds both copies sound.
  v->clear();
  EXPECT_EQ(mdcudfsr_read_vds(m(), nullptr, 0, 1, 0, nullptr), 0);
  EXPECT_EQ(v->count(kWrite10), 0u);
}

TEST_F(RealVolumeDesc, RebuildIsNotWrittenWhereTheAnchorNamesAnotherPlace) {
  // The anchor names a reserve copy at 600 (a sound copy is there): the
  // rebuild of the broken main copy would place it at 304, not where the
  // anchor says, so nothing is written and the volume is read-only.
  for (uint32_t i = 0; i < 6; ++i) {
    std::vector<uint8_t> d = sec(304 + i);
    relocate(d.data(), 600 + i);
    put(600 + i, d);
  }
  edit(290, [](uint8_t* b) { b[200] ^= 1; });
  ASSERT_EQ(mdcudfsr_read_avdp(m(), nullptr, 1, 0, nullptr), 0);
  m()->avdp.reserve_vds_ex.loc = 600;
  EXPECT_EQ(mdcudfsr_read_vds(m(), nullptr, 0, 1, 0, nullptr), 0);
  EXPECT_TRUE(logged("Rebuild MVDS\n"));
  EXPECT_EQ(v->count(kWrite10), 0u);
  EXPECT_EQ(m()->mntinfo.WriteProtectReasonFlags, 0x80000u);
  EXPECT_EQ(m()->vds.pd.part_len, layout().partition_len) << "the sound copy is in the mount";
}

TEST_F(RealVolumeDesc, UnreadableReserveCopyIsRebuiltFromTheMain) {
  v->unreadable(330);  // inside the reserve copy's 64 KiB only
  ASSERT_EQ(read_both(), 0);
  EXPECT_TRUE(logged("RVDS is not read. RVDS offset=304\n"));
  EXPECT_TRUE(logged("Rebuild RVDS\n"));
  v->sim().drive().clear_faults();
  EXPECT_TRUE(copy_valid(304, kSequence));
}

TEST_F(RealVolumeDesc, RebuiltCopyKeepsEachDescriptorsOwnIdentifier) {
  // A reserve copy whose implementation use and partition descriptors are in
  // the other order, and a broken main copy.
  std::vector<uint8_t> iuvd = sec(305), pd = sec(306);
  relocate(pd.data(), 305);
  relocate(iuvd.data(), 306);
  put(305, pd);
  put(306, iuvd);
  edit(288, [](uint8_t* b) { b[300] ^= 1; });
  ASSERT_EQ(read_both(), 0);
  EXPECT_TRUE(copy_valid(288, {1, 5, 4, 6, 7, 8}));
  auto again = v->record();
  ASSERT_EQ(mdcudfsr_read_avdp(again.get(), nullptr, 1, 0, nullptr), 0);
  EXPECT_EQ(mdcudfsr_read_vds(again.get(), nullptr, 0, 1, 0, nullptr), 0);
  EXPECT_EQ(again->vds.iuvd.seq_num, 1u);
  EXPECT_EQ(again->vds.pd.part_len, layout().partition_len);
}

TEST_F(RealVolumeDesc, AnchorExtentLongerThanTheImageIsClampedWhenRebuilding) {
  set_anchors(extent_ad{0x8000, 288}, extent_ad{0x40000, 304});
  edit(289, [](uint8_t* b) { b[100] ^= 1; });
  ASSERT_EQ(read_both(), 0);
  EXPECT_TRUE(copy_valid(288, kSequence));
  EXPECT_TRUE(copy_valid(304, kSequence));
  EXPECT_EQ(ranges(kWrite10), (std::vector<std::pair<uint32_t, uint32_t>>{{288, 320}}));
}

TEST_F(RealVolumeDesc, SerialNumberMismatchFailsAtOnce) {
  edit(289, [](uint8_t* b) {
    desc_tag t;
    std::memcpy(&t, b, sizeof t);
    t.serial_num = 99;
    std::memcpy(b, &t, sizeof t);
    reseal(b);
  });
  ASSERT_EQ(mdcudfsr_read_avdp(m(), nullptr, 1, 0, nullptr), 0);
  EXPECT_EQ(mdcudfsr_read_vds(m(), nullptr, 0, 1, 0, nullptr), 22);
  EXPECT_TRUE(logged("TSN is invalid VDS's=00000063, AVDP's=00000007\n"));
  EXPECT_EQ(m()->mntinfo.MountStatus, 0x80000030u);
  EXPECT_EQ(v->count(kWrite10), 0u);
}

TEST_F(RealVolumeDesc, SecondPartitionDescriptorIsKeptAndMakesTheVolumeReadOnly) {
  // Sector 293 (the terminator) becomes a second partition descriptor; the
  // terminator moves to 294.
  std::vector<uint8_t> td = sec(293), pd_block = sec(290);
  relocate(td.data(), 294);
  put(294, td);
  part_desc pd;
  std::memcpy(&pd, pd_block.data(), sizeof pd);
  pd.part_len = 1234;
  std::memcpy(pd_block.data(), &pd, sizeof pd);
  relocate(pd_block.data(), 293);
  put(293, pd_block);
  ASSERT_EQ(read_both(), 0);
  EXPECT_EQ(m()->vds.pd.part_len, 1234u);
  EXPECT_TRUE(logged("duplicated PartitionDesc is found, do Read Only.\n"));
  EXPECT_NE(m()->mntinfo.WriteProtectReasonFlags & 0x80000u, 0u) << "the reason is added";
}

TEST_F(RealVolumeDesc, BothCopiesBadMeansRawMount) {
  struct Row {
    const char* name;
    bool unreadable;
    const char* message;
  } rows[] = {{"checksums", false, "MVDS & RVDS checksum invalid, RAW mount.\n"},
              {"reads", true, "MVDS & RVDS invalid, RAW mount.\n"}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    load(MediumClass::WriteOnce);
    if (r.unreadable) {
      v->unreadable(300);
      v->unreadable(310);
    } else {
      edit(288, [](uint8_t* b) { b[4] ^= 1; });
      edit(304, [](uint8_t* b) { b[4] ^= 1; });
    }
    EXPECT_EQ(read_both(), 22);
    EXPECT_TRUE(logged(r.message));
    EXPECT_EQ(m()->mntinfo.AccessMode, 2u);
    EXPECT_EQ(m()->mntinfo.MountStatus, 0x80000030u);
    EXPECT_EQ(v->count(kWrite10), 0u);
  }
}

TEST_F(RealVolumeDesc, MissingDescriptorMakesTheStructureInvalid) {
  edit(292, [](uint8_t* b) {
    desc_tag t;
    std::memcpy(&t, b, sizeof t);
    t.id = 3;  // the unallocated space descriptor becomes a pointer
    std::memcpy(b, &t, sizeof t);
    reseal(b);
  });
  EXPECT_EQ(read_both(), 22);
  EXPECT_TRUE(logged("Unknown Tag=3\n"));
  EXPECT_TRUE(logged("VDS is invalid structure.exist_desc=0000002f\n"));
}

TEST_F(RealVolumeDesc, SequenceWithoutTerminatorNeedsA64KiBExtent) {
  for (uint32_t len : {0x10000u, 0x8000u}) {
    SCOPED_TRACE(len);
    load(MediumClass::WriteOnce);
    // Both copies run to the end of their 64 KiB with pointer descriptors
    // instead of a terminator.
    for (uint32_t lsn : {293u, 309u}) {
      for (uint32_t s = lsn; s < lsn + 27; ++s) {
        if (s >= 304 && s < 309) continue;
        std::vector<uint8_t> b(kSector, 0);
        desc_tag t{};
        t.id = 3;
        t.descriptor_ver = 3;
        t.serial_num = v->spec.serial;
        t.tag_loc = s;
        std::memcpy(b.data(), &t, sizeof t);
        mdcudfsr_set_udf_tag_crc_and_checksum(b.data(), 512);
        put(s, b);
      }
    }
    set_anchors(extent_ad{len, 288}, extent_ad{len, 304});
    EXPECT_EQ(read_both(), len == 0x10000 ? 0 : 22);
    EXPECT_TRUE(logged("Unknown Tag=3\n"));
    if (len != 0x10000) {
      EXPECT_TRUE(logged("unexpected VDS byte length (0x8000) should be 0x10000\n"));
    }
  }
}

TEST_F(RealVolumeDesc, EmptySectorBeforeTheTerminatorBreaksTheSerialNumberRule) {
  std::vector<uint8_t> td = sec(293);
  relocate(td.data(), 294);
  put(294, td);
  put(293, std::vector<uint8_t>(kSector, 0));
  EXPECT_EQ(read_both(), 22);
  EXPECT_TRUE(logged("TSN is invalid VDS's=00000000, AVDP's=00000007\n"));
}

// The partition maps of the main copy's logical volume descriptor, rewritten.
void set_maps(uint8_t* lvd_sector, uint32_t n_pm, const std::vector<uint8_t>& maps) {
  logvol_desc d;
  std::memcpy(&d, lvd_sector, sizeof d);
  d.n_pm = n_pm;
  d.mt_l = static_cast<uint32_t>(maps.size());
  std::memcpy(lvd_sector, &d, sizeof d);
  std::memset(lvd_sector + 440, 0, kSector - 440);
  std::memcpy(lvd_sector + 440, maps.data(), std::min<size_t>(maps.size(), kSector - 440));
  d.tag.desc_crc_len = static_cast<uint16_t>(kSector - 16);
  std::memcpy(lvd_sector, &d, sizeof d);
  reseal(lvd_sector);
}

std::vector<uint8_t> type1(uint16_t vsn) { return {1, 6, static_cast<uint8_t>(vsn), 0, 0, 0}; }

TEST_F(RealVolumeDesc, PartitionMapTableIsWalkedSafely) {
  const std::vector<uint8_t> lvd = sec(291);
  std::vector<uint8_t> metadata(lvd.begin() + 440, lvd.begin() + 504);
  struct Row {
    const char* name;
    uint32_t n_pm;
    std::vector<uint8_t> maps;
    int result;
  } rows[] = {
      {"map length below 2", 2, [&] { auto mp = metadata; mp.insert(mp.end(), {1, 1, 0, 0, 0, 0}); return mp; }(), 22},
      {"map running past the sector", 40,
       [&] {
         auto mp = metadata;
         for (int i = 0; i < 30; ++i) mp.insert(mp.end(), {9, 60, 0, 0});
         mp.resize(kSector - 440, 0);
         return mp;
       }(),
       22},
      {"thirteen type-1 maps", 14,
       [&] {
         auto mp = metadata;
         for (uint16_t i = 1; i <= 13; ++i) {
           auto t = type1(i);
           mp.insert(mp.end(), t.begin(), t.end());
         }
         return mp;
       }(),
       22},
      {"unknown map skipped", 3,
       [&] {
         auto mp = metadata;
         mp.insert(mp.end(), {3, 8, 0, 0, 0, 0, 0, 0});
         auto t = type1(1);
         mp.insert(mp.end(), t.begin(), t.end());
         return mp;
       }(),
       0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    load(MediumClass::WriteOnce);
    edit(291, [&](uint8_t* b) { set_maps(b, r.n_pm, r.maps); });
    EXPECT_EQ(read_both(), r.result);
    if (r.result == 0) {
      EXPECT_TRUE(logged("Unknown partition map is found.\n"));
      EXPECT_EQ(m()->vds.pmap.type1_count, 1u);
    }
  }
}

TEST_F(RealVolumeDesc, UnallocatedSpaceCountIsBoundedToTheBlock) {
  edit(292, [](uint8_t* b) {
    unalloc_space_desc u;
    std::memcpy(&u, b, sizeof u);
    u.num_alloc_desc = 300;
    std::memcpy(b, &u, sizeof u);
    reseal(b);
  });
  ASSERT_EQ(read_both(), 0);
  EXPECT_EQ(m()->vds.usd.num_alloc_desc, 253u);
}

TEST_F(RealVolumeDesc, SequenceMirrorGoesToTheCacheFile) {
  for (MediumClass cls : {MediumClass::WriteOnce, MediumClass::F2}) {
    SCOPED_TRACE(cls == MediumClass::F2 ? "F2h" : "E1h");
    load(cls);
    with_cache_file();
    uint32_t mirror = 1;
    ASSERT_EQ(mdcudfsr_read_avdp(m(), nullptr, 1, 0, &mirror), 0);
    ASSERT_EQ(mdcudfsr_read_vds(m(), nullptr, 1, 1, 0, &mirror), 0);
    EXPECT_EQ(mirror, 1u);
    const int32_t h = m()->fsmanage_handle;
    // Both copies from 0x30000: on E1h one 64 KiB unit holds them; on F2h
    // each is 32 KiB of its own 256 KiB unit.
    if (cls == MediumClass::F2) {
      EXPECT_EQ(v->cache_file_read(h, 0x30000, 0x8000), v->read(384, 16));
      EXPECT_EQ(v->cache_file_read(h, 0x38000, 0x8000), v->read(512, 16));
    } else {
      EXPECT_EQ(v->cache_file_read(h, 0x30000, 0x10000), v->read(288, 32));
    }
    // And back from the cache file.
    auto again = v->record();
    again->metacachedev = m()->metacachedev;
    again->fsmanage_handle = h;
    v->clear();
    ASSERT_EQ(mdcudfsr_read_avdp(again.get(), nullptr, 1, 1, nullptr), 0);
    EXPECT_EQ(mdcudfsr_read_vds(again.get(), nullptr, 0, 1, 1, nullptr), 0);
    EXPECT_EQ(v->count(kRead10), 0u);
    EXPECT_EQ(again->vds.pd.part_len, layout().partition_len);
    again->metacachedev = nullptr;
  }
}

// The bad copy alone is reserved and written: the good one is not touched.
TEST_F(RealVolumeDesc, F2SequenceRebuildWritesOnlyTheBadCopy) {
  load(MediumClass::F2);
  edit(384, [](uint8_t* b) { b[300] ^= 1; });
  ASSERT_EQ(read_both(), 0);
  std::vector<Command> rw;
  for (const Command& c : v->commands())
    if (c.op == kReserve || c.op == kWrite10) rw.push_back(c);
  ASSERT_GE(rw.size(), 2u);
  EXPECT_EQ(rw[0].op, kReserve);
  EXPECT_EQ(rw[0].lba, 384u);
  uint32_t blocks = 0;
  for (size_t i = 1; i < rw.size(); ++i) blocks += rw[i].blocks;
  EXPECT_EQ(rw[1].lba, 384u);
  EXPECT_EQ(blocks, 128u);
  EXPECT_TRUE(copy_valid(384, kSequence));
  EXPECT_TRUE(copy_valid(512, kSequence));
}

TEST_F(RealVolumeDesc, SequenceRebuildThatKeepsFailingReportsTheLastError) {
  edit(290, [](uint8_t* b) { b[200] ^= 1; });
  v->sim().drive().add_fault(kelsim::write_error(288, 319));
  ASSERT_EQ(mdcudfsr_read_avdp(m(), nullptr, 1, 0, nullptr), 0);
  const int err = mdcudfsr_read_vds(m(), nullptr, 0, 1, 0, nullptr);
  EXPECT_NE(err, 0);
  EXPECT_EQ(writes_at(288), 10u);
  EXPECT_EQ(count_logged("Failed to write with status " + std::to_string(err) + ". \n"), 10u);
}

TEST_F(RealVolumeDesc, F2ReservationFailureIsRetried) {
  load(MediumClass::F2);
  edit(384, [](uint8_t* b) { b[300] ^= 1; });
  kelsim::FaultRule once = kelsim::command_fails(kReserve, kelsim::Sense{0x05, 0x21, 0x00});
  once.times = 1;
  v->sim().drive().add_fault(once);
  ASSERT_EQ(read_both(), 0);
  EXPECT_EQ(v->count(kReserve), 2u);
  bool logged_failure = false;
  for (const LogLine& l : logs())
    if (l.text.rfind("reserve write failed. status=", 0) == 0) logged_failure = true;
  EXPECT_TRUE(logged_failure);
  EXPECT_TRUE(copy_valid(384, kSequence));
}

}  // namespace
