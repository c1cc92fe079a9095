// Volume size, getattr and the label (setattr) against the simulated drive.
#include "vfs_support.h"

#include "kel/config.h"
#include "kelhost/kern.h"
#include "kelcache/cache.h"
#include "kelvfs/mdcudfsr_cm.h"
#include "kelvfs/mdcudfsr_volume_attr.h"
#include "udf/udf_lvid.h"
#include "udf/udf_regid.h"

#include <cstring>

namespace {

using namespace vfs_test;

// A slot layout of a write-once or rewritable cartridge and the figures the
// size computation gives for it.
struct Layout {
  std::uint8_t medium;
  std::uint32_t disc_blocks;  // of the simulated disc (write-once)
  std::int32_t disc_status;
  std::uint32_t slots, last_written;
  std::uint32_t nwa;  // rewritable: the mount's; write-once: the track's
  std::uint8_t volume_type;
  std::uint64_t metadata_bytes;
  std::uint32_t mount_status;
  std::uint32_t partition_blocks = 0x200000 - 4127;
  std::uint32_t files = 0, dirs = 0;  // file and folder nodes of the volume
};

struct Sizes {
  std::uint32_t total = 1, free_blocks = 1, per_slot = 1, current = 1;
};

class VolumeSize : public SimVolume {
 protected:
  Sizes sizes_of(const Layout& c) {
    SimOptions o;
    o.medium = c.medium;
    if (c.disc_blocks) o.disc_blocks = c.disc_blocks;
    start(o);
    kelsim::Cartridge& cart = sim_->cartridge();
    if (cart.write_once()) {
      kelsim::Disc& d = cart.disc(0);
      d.formatted = true;
      d.status = kelsim::DiscStatus::Incomplete;
      d.tracks = {kelsim::Track{0, cart.disc_blocks(), c.nwa, false, false}};
      EXPECT_EQ(0u, cart.save());
    }
    mnt_->disc_status = c.disc_status;
    mnt_->last_track = 1;
    if (c.slots) mnt_->num_discs = c.slots;
    mnt_->current_disc = c.last_written;
    mnt_->loaded_slot = c.last_written;
    mnt_->partition_blocks = c.partition_blocks;
    mnt_->next_writable_address = c.nwa;
    mnt_->mntinfo.VolumeTypeAndInformationVersion = static_cast<std::uint8_t>(c.volume_type << 4);
    mnt_->mntinfo.MountStatus = c.mount_status;
    mnt_->metadata_main_partition_length = c.metadata_bytes;
    mnt_->lvid.integrity_type = 1;
    mnt_->nfiles = c.files;
    mnt_->ndirs = c.dirs;
    return again(cart.write_once());
  }
  // The figures of the mount as it is now.
  Sizes again(bool write_once) {
    if (!write_once) stop_drive_client();  // nothing is asked of the drive
    Sizes z;
    EXPECT_EQ(0, mdcudfsr_get_volume_size_info(mnt_.get(), &ctx_, &z.total, &z.free_blocks, &z.per_slot, &z.current, 0));
    if (!write_once) start_drive_client();
    return z;
  }
};

// Rewritable media take the track size from the partition and need no drive
// request; write-once media read track 1 from the drive.
TEST_F(VolumeSize, FiguresByLayout) {
  struct Case {  // a Layout and the figures expected of it
    const char* what;
    std::uint8_t medium;
    std::uint32_t disc_blocks;
    std::int32_t disc_status;
    std::uint32_t slots, last_written;
    std::uint32_t nwa;
    std::uint8_t volume_type;
    std::uint64_t metadata_bytes;
    std::uint32_t mount_status;
    std::uint32_t total, free_blocks, per_slot, current;
    std::uint32_t partition_blocks = 0x200000 - 4127;
    std::uint32_t files = 0, dirs = 0;
  } cases[] = {
      // T = 65536 - 128 clusters; each slot 48768 clusters.
      {"last slot, nearly empty", 0xE2, 0, 1, 12, 11, 4096 + 100, 1, 0, 0,
       585216 * 32, 48768 * 32, 48768 * 32, 48768 * 32},
      {"last slot, partly written, closed", 0xE2, 0, 1, 12, 11, 4096 + 32 * 20000, 1, 0, 0,
       585216 * 32, 29023 * 32, 48768 * 32, 29023 * 32},
      {"partly written, other status", 0xE2, 0, 1, 12, 11, 4096 + 32 * 20000, 1, 0, 0x80000001u,
       585216 * 32, 29024 * 32, 48768 * 32, 29024 * 32},
      {"partly written, damaged entry", 0xE2, 0, 1, 12, 11, 4096 + 32 * 20000, 1, 0, 0x80000500u,
       585216 * 32, 29023 * 32, 48768 * 32, 29023 * 32},
      {"earlier slot, small metadata file", 0xE2, 0, 1, 12, 5, 4096, 1, 0x100000, 0,
       585216 * 32, 341376 * 32, 48768 * 32, 48768 * 32},
      // A metadata file of 1024 blocks takes nothing off the later slots:
      // the file starts again small on each of them, and a reserve of its
      // length would come back as free space at the move.
      {"earlier slot, large metadata file", 0xE2, 0, 1, 12, 5, 4096, 1, 0x200000, 0,
       585216 * 32, 341376 * 32, 48768 * 32, 48768 * 32},
      // What a move takes on a later slot past the 12288 blocks its capacity
      // leaves at its start comes off each later slot, and off the current
      // slot the volume moved to: 20000 folders, without parity, take
      // 4352 + 21280 + 32 blocks (2 + 20000 entries + 1250 blocks of
      // identifiers, in clusters, and the metadata file's entries), 418
      // clusters past the 12288.
      {"earlier slot, 20000 folders", 0xE2, 0, 1, 12, 5, 4096, 1, 0, 0,
       585216 * 32, 338450 * 32, 48768 * 32, 48350 * 32, 0x200000 - 4127, 0, 20000},
      // 6000 files and 3000 folders take 4352 + 9568 + 32: 52 clusters past
      // the 12288.
      {"earlier slot, 6000 files and 3000 folders", 0xE2, 0, 1, 12, 5, 4096, 1, 0, 0,
       585216 * 32, (48768 - 52) * 7 * 32, 48768 * 32, (48768 - 52) * 32, 0x200000 - 4127, 6000, 3000},
      {"earlier slot, a move within the capacity's start", 0xE2, 0, 1, 12, 5, 4096, 1, 0, 0,
       585216 * 32, 341376 * 32, 48768 * 32, 48768 * 32, 0x200000 - 4127, 500, 500},
      {"slot 0, 20000 folders: no move took its room", 0xE2, 0, 1, 3, 0, 4096, 1, 0, 0,
       146304 * 32, (48768 + 2 * 48350) * 32, 48768 * 32, 48768 * 32, 0x200000 - 4127, 0, 20000},
      {"last slot, 20000 folders", 0xE2, 0, 1, 3, 2, 4096 + 100, 1, 0, 0,
       146304 * 32, 48350 * 32, 48768 * 32, 48350 * 32, 0x200000 - 4127, 0, 20000},
      {"parity volume scales", 0xE2, 0, 1, 12, 11, 4096 + 100, 0, 0, 0,
       580679 * 32, 48389 * 32, 48389 * 32, 48389 * 32},
      {"finalized: nothing free", 0xE2, 0, 2, 12, 11, 4096 + 100, 1, 0, 0, 585216 * 32, 0, 48768 * 32, 0},
      {"appendable below 4096", 0xE2, 0, 1, 12, 11, 100, 1, 0, 0, 0, 0, 0, 0},
      {"empty disc", 0xE2, 0, 0, 12, 11, 4096 + 100, 1, 0, 0, 0, 0, 0, 0},
      {"small write-once disc", 0xF1, 0x10000, 1, 0, 0, 0x2000, 1, 0, 0, 0, 0, 0, 0},
      // T = 262144 - 192; total 2256064 clusters scaled, in multiples of 128 blocks.
      {"F2, parity, multiples of 128", 0xF2, 0x800000, 2, 0, 10, 0x2000, 0, 0, 0, 71634304, 0, 4147456, 0},
      // Small discs: T = 21760 - 128 clusters, each slot 4992; the near-full
      // mark of the last slot lies at 21632 - 9 - 8192 = 13431 clusters of
      // its own track. A disc written to 2000 clusters past its start still
      // has room, the last one too; past the mark the last one is full.
      {"two small discs, the first one written", 0xE2, 0, 1, 2, 0, 4096 + 32 * 2000, 1, 0, 0,
       9984 * 32, 8239 * 32, 4992 * 32, 3247 * 32, 21760 * 32 - 4127},
      {"the last of two small discs written", 0xE2, 0, 1, 2, 1, 4096 + 32 * 2000, 1, 0, 0,
       9984 * 32, 3247 * 32, 4992 * 32, 3247 * 32, 21760 * 32 - 4127},
      {"one small disc written", 0xE2, 0, 1, 1, 0, 4096 + 32 * 2000, 1, 0, 0,
       4992 * 32, 3247 * 32, 4992 * 32, 3247 * 32, 21760 * 32 - 4127},
      {"the last of two small discs at the near-full mark", 0xE2, 0, 1, 2, 1, 32 * 13431, 1, 0, 0,
       0, 0, 0, 0, 21760 * 32 - 4127},
      {"one small disc just below the near-full mark", 0xE2, 0, 1, 1, 0, 32 * 13430, 1, 0, 0,
       4992 * 32, 0, 4992 * 32, 0, 21760 * 32 - 4127},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Sizes z = sizes_of({c.medium, c.disc_blocks, c.disc_status, c.slots, c.last_written, c.nwa, c.volume_type,
                              c.metadata_bytes, c.mount_status, c.partition_blocks, c.files, c.dirs});
    EXPECT_EQ(c.total, z.total);
    EXPECT_EQ(c.free_blocks, z.free_blocks);
    EXPECT_EQ(c.per_slot, z.per_slot);
    EXPECT_EQ(c.current, z.current);
    if (c.medium == 0xF1) { EXPECT_TRUE(logged("taken as 0")) << "the small disc's negative capacity is logged"; }
  }
}

// Neither the move to the next slot of a write-once cartridge nor a full
// flush that writes the metadata file again, short, frees anything: the free
// space after either is at most what it was before, and loses no more than
// what was written, the room the slot left still had, and the cluster (four
// on F2h) a slot written past its start gives up while its volume is open.
TEST_F(VolumeSize, NeitherAMoveNorAShorterMetadataFileGrowsTheFreeSpace) {
  struct Point {
    std::uint32_t slot, nwa;
    std::uint64_t metadata_bytes;
  };
  struct Case {
    const char* what;
    std::uint8_t medium;
    std::uint32_t disc_blocks;
    std::uint8_t volume_type;
    std::uint32_t slots;
    Point before, after;
    std::uint32_t dirs = 0;
  } cases[] = {
      // E2h of 0x200000 blocks: an earlier slot takes writes up to 49024
      // clusters of its track.
      {"first to second slot, left at its end", 0xE2, 0, 1, 3, {0, 4096 + 32 * 49024, 0x400000}, {1, 4096 + 100, 0x60000}},
      {"second to last slot, left at its end", 0xE2, 0, 1, 3, {1, 4096 + 32 * 49024, 0x400000}, {2, 4096 + 100, 0x60000}},
      {"left with room, the metadata file written on the next slot", 0xE2, 0, 1, 4,
       {1, 4096 + 32 * 40000, 0x4000000}, {2, 4096 + 32768 + 64, 0x4000000}},
      {"a full flush writes the metadata file short", 0xE2, 0, 1, 3,
       {0, 4096 + 32 * 30000, 0x4000000}, {0, 4096 + 32 * 30010, 0x50000}},
      {"parity volume", 0xE2, 0, 0, 3, {0, 4096 + 32 * 49024, 0x1000000}, {1, 4096 + 2048, 0x60000}},
      // F2h of 0x800000 blocks: up to 212800 clusters.
      {"F2, in multiples of 128 blocks", 0xF2, 0x800000, 1, 3, {0, 4096 + 32 * 212800, 0x2000000}, {1, 4096 + 100, 0x60000}},
      // 20000 folders: each later slot keeps 418 clusters for its move; the
      // move took less, and the new slot gives none of it back.
      {"a move that took less than its reserve", 0xE2, 0, 1, 3, {0, 4096 + 32 * 49024, 0}, {1, 4096 + 21000, 0}, 20000},
      {"the same to the last slot", 0xE2, 0, 1, 3, {1, 4096 + 32 * 49024, 0}, {2, 4096 + 21000, 0}, 20000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto at = [&](const Point& p) {
      return sizes_of({c.medium, c.disc_blocks, 1, c.slots, p.slot, p.nwa, c.volume_type, p.metadata_bytes, 0,
                       0x200000 - 4127, 0, c.dirs});
    };
    const Sizes before = at(c.before), after = at(c.after);
    const std::uint32_t spent =
        c.before.slot == c.after.slot ? c.after.nwa - c.before.nwa : before.current + c.after.nwa - 4096;
    EXPECT_LE(after.free_blocks, before.free_blocks);
    EXPECT_GE(after.free_blocks + spent + 4 * 32, before.free_blocks);
    EXPECT_GT(after.free_blocks, 0u);
  }
}

// What the later slots keep for their moves follows the objects the mount
// counts up, never down: a Delete on write-once media gives none of it back
// while the volume is mounted.
TEST_F(VolumeSize, LaterSlotsKeepWhatTheirMovesTakeWhileMounted) {
  const Layout layout{0xE1, 0x100000, 1, 3, 0, 4096 + 32 * 1000, 1, 0, 0, 0x200000 - 4127, 0, 20000};
  const Sizes first = sizes_of(layout);
  mnt_->ndirs = 10000;
  EXPECT_EQ(again(true).free_blocks, first.free_blocks) << "fewer folders";
  mnt_->ndirs = 30000;
  const Sizes more = again(true);
  // 10000 more folders: 10000 entries and 625 blocks of identifiers, 10624
  // blocks in whole clusters, on each of the two later slots.
  EXPECT_EQ(first.free_blocks - more.free_blocks, 2u * 10624) << "more folders";
  mnt_->ndirs = 20000;
  EXPECT_EQ(again(true).free_blocks, more.free_blocks);
}

class VolumeAttr : public SimVolume {
 protected:
  void SetUp() override {
    SimVolume::SetUp();
    SimOptions o;
    o.medium = 0xE2;
    start(o);
    mp_.mnt_data = mnt_.get();
    mnt_->num_discs = 12;
    mnt_->current_disc = 11;
    mnt_->disc_status = 1;
    mnt_->last_track = 1;
    mnt_->partition_blocks = 0x200000 - 4127;
    mnt_->next_writable_address = 4096 + 100;
    mnt_->mntinfo.VolumeTypeAndInformationVersion = 0x10;
    mdcudfsr_init_attr_cache(mnt_.get());
    set_label(mnt_->fsd.logvol_id, "OLD");
    set_label(mnt_->vds.lvd.logvol_id, "OLD");
    set_label(mnt_->logvol_id, "OLD");
  }
  static void set_label(std::uint8_t* id, const char* s) {
    std::memset(id, 0, 128);
    id[0] = 8;
    std::memcpy(id + 1, s, std::strlen(s));
    id[127] = static_cast<std::uint8_t>(std::strlen(s) + 1);
  }
  std::string getattr_name() {
    char buf[VFSATTR_VOL_NAME_SIZE] = {};
    vfs_attr a{};
    a.f_active = VFSATTR_VOL_NAME;
    a.f_vol_name = buf;
    EXPECT_EQ(0, mdcudfsr_vfsop_getattr(&mp_, &a, &ctx_));
    return buf;
  }
  int setattr(const std::string& name) {
    std::vector<char> buf(name.begin(), name.end());
    buf.resize(VFSATTR_VOL_NAME_SIZE, 0);
    vfs_attr a{};
    a.f_active = VFSATTR_VOL_NAME;
    a.f_vol_name = buf.data();
    return mdcudfsr_vfsop_setattr(&mp_, &a, &ctx_);
  }
};

TEST_F(VolumeAttr, GetattrFillsFiguresCountsAndName) {
  mnt_->nfiles = 5;
  mnt_->ndirs = 2;
  char buf[VFSATTR_VOL_NAME_SIZE] = {};
  vfs_attr a{};
  a.f_active = ~0ull;
  a.f_vol_name = buf;
  ASSERT_EQ(0, mdcudfsr_vfsop_getattr(&mp_, &a, &ctx_));
  EXPECT_EQ(585216u * 32, a.f_blocks);
  EXPECT_EQ(48768u * 32, a.f_bfree);
  EXPECT_EQ(a.f_bfree, a.f_bavail);
  EXPECT_EQ(a.f_blocks - a.f_bfree, a.f_bused);
  EXPECT_EQ(7u, a.f_objcount);
  EXPECT_EQ(5u, a.f_filecount);
  EXPECT_EQ(2u, a.f_dircount);
  EXPECT_EQ(240000u, a.f_maxobjcount) << "volume type 1";
  EXPECT_EQ(a.f_maxobjcount, a.f_files);
  std::uint32_t creatable = 0;
  ASSERT_EQ(0, mdcudfsr_cache_get_free_object_count(mnt_.get(), 0, &creatable));
  EXPECT_EQ(std::min<std::uint64_t>(a.f_bfree, creatable), a.f_ffree);
  EXPECT_EQ(0x11DFFFull | VFSATTR_VOL_NAME, a.f_supported);
  EXPECT_STREQ("OLD", buf);
  EXPECT_EQ(0x10000u, a.f_iosize);
  EXPECT_EQ(0x2E80u, a.f_capabilities[0]);
  // Free files follow the smaller figure.
  mnt_->free_blocks = 3;
  mnt_->size_unknown = 0;
  a = vfs_attr{};
  ASSERT_EQ(0, mdcudfsr_vfsop_getattr(&mp_, &a, &ctx_));
  EXPECT_EQ(3u, a.f_ffree);
  EXPECT_EQ(0x11DFFFull, a.f_supported) << "no name asked, no bit 21";
}

TEST_F(VolumeAttr, SizeFailureRecomputesOnEveryCall) {
  SimOptions o;
  o.medium = 0xF1;
  start(o);  // write-once: the drive is asked
  mp_.mnt_data = mnt_.get();
  mnt_->disc_status = 1;
  mnt_->last_track = 1;
  mnt_->num_discs = 11;
  mnt_->current_disc = 0;
  stop_drive_client();
  vfs_attr a{};
  EXPECT_NE(0, mdcudfsr_vfsop_getattr(&mp_, &a, &ctx_));
  EXPECT_NE(0, mdcudfsr_vfsop_getattr(&mp_, &a, &ctx_));
  start_drive_client();
  EXPECT_EQ(0, mdcudfsr_vfsop_getattr(&mp_, &a, &ctx_));
  stop_drive_client();
  EXPECT_NE(0, mdcudfsr_vfsop_getattr(&mp_, &a, &ctx_)) << "computed again: the mark stays until a mount clears it";
  start_drive_client();
}

TEST_F(VolumeAttr, LabelRules) {
  auto repeat = [](const char* utf8, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += utf8;
    return s;
  };
  struct Case {
    const char* what;
    std::string name;
    int want;
    const char* log;
  } cases[] = {
      {"leading dot", ".hidden", 22, "invalid string '.hidden'\n"},
      {"empty", "", 22, nullptr},
      {"lone low surrogate", "A\xED\xB0\x80", 22, "utf8_decodestr err"},
      {"64 BMP characters", repeat("\xE3\x81\x82", 64), 36, "too long volume name"},
      {"control character", std::string("A\x01") + "B", 22, "contains"},
      {"63 BMP characters", repeat("\xE3\x81\x82", 63), 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    clear_log();
    EXPECT_EQ(c.want, setattr(c.name));
    if (c.log) { EXPECT_TRUE(logged(c.log)); }
  }
  for (char ch : std::string("\"*/:<>?\\|\x7F")) {
    SCOPED_TRACE(static_cast<int>(ch));
    EXPECT_EQ(22, setattr(std::string("AB") + ch));
  }
}

TEST_F(VolumeAttr, RelabelWritesIdentifiersAndEvent) {
  ASSERT_EQ(0u, mnt_->metadata_changed);
  ASSERT_EQ(0, setattr("NEW-NAME"));
  EXPECT_EQ("NEW-NAME", getattr_name());
  EXPECT_EQ(0, std::memcmp(mnt_->fsd.logvol_id, mnt_->vds.lvd.logvol_id, 128));
  EXPECT_EQ(0, std::memcmp(mnt_->fsd.logvol_id, mnt_->vds.iuvd.imp_use + 64, 128));
  EXPECT_EQ(1u, mnt_->metadata_changed) << "the next sync or unmount writes the new label";
  EXPECT_NE(0u, mnt_->last_partial_flush_time);
  EXPECT_TRUE(logged("NEW-NAME"));
  const int h = config_open_sgdev("sg0");
  char name[64] = {};
  int size = sizeof name;
  config_get_string(h, "Volume Name", &size, name);
  config_close(h);
  EXPECT_STREQ("NEW-NAME", name);
}

TEST_F(VolumeAttr, RefusedLabelLeavesNoTrace) {
  mnt_->mount_ext_flags |= 0x40;
  EXPECT_EQ(1, setattr("X")) << "no-edit mode";
  mnt_->mount_ext_flags &= ~0x40u;
  vfs_setflags(&mp_, MNT_RDONLY);
  mdcudfsr_set_volume_name(mnt_.get(), &ctx_);
  EXPECT_EQ(30, setattr("REFUSED"));
  EXPECT_EQ("OLD", getattr_name());
  EXPECT_EQ(0u, mnt_->metadata_changed) << "nothing is left for the next sync to write";
  EXPECT_EQ(0, std::memcmp(mnt_->fsd.logvol_id, mnt_->vds.lvd.logvol_id, 128));
  const int h = config_open_sgdev("sg0");
  char name[64] = {};
  int size = sizeof name;
  config_get_string(h, "Volume Name", &size, name);
  config_close(h);
  EXPECT_STREQ("OLD", name) << "the drive layer has the old name again";
}

}  // namespace
