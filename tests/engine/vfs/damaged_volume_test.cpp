// Damaged and hostile volumes mounted through the whole mount (agent thread,
// mount, start, root) over the simulated drive, on write-once (the image
// builder's volume) and rewritable media (the automatic format's volume):
// each ends refused, read-only or writable as its row states, and the
// mount writes nothing to the damaged disc.
#include "mount_support.h"

#include "sim/wire.h"

#include "kelhost/kern.h"
#include "kelhost/vnode.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_vfsops.h"
#include "kelvfs/mdcudfsr_volume_attr.h"
#include "kelvnops/mdcudfsr_vnops.h"
#include "udf/udf_records.h"

#include <cstddef>
#include <cstring>

namespace {

using namespace vfs_test;
using udf_test::MediumClass;

constexpr std::uint8_t kWrite10 = 0x2A;
constexpr std::uint8_t kFormatUnit = 0x04;
constexpr std::uint8_t kRead10 = 0x28;
constexpr std::uint8_t kRead12 = 0xA8;
// About ten times what the mount of a damaged row reads here.
constexpr std::uint64_t kReadBound = 16384;

std::uint32_t le32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
void put32(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, 4); }
void put16(std::uint8_t* p, std::uint16_t v) { std::memcpy(p, &v, 2); }

// Where the structures of the volume on slot 0 lie (sectors of the disc),
// found as a mount finds them: the anchors, the descriptors of both
// sequences, the partition, the metadata file's and mirror's entries, the
// metadata partition's first block and the root folder's entry.
struct Places {
  std::uint32_t anchors[2] = {};
  std::vector<std::uint32_t> pds, lvds;
  std::uint32_t partition_start = 0, partition_len = 0;
  std::uint32_t metadata_entry = 0, mirror_entry = 0;
  std::uint32_t metadata_start = 0;  // metadata partition block 0
  std::uint32_t root_entry = 0;
  std::uint32_t disc_blocks = 0;
};

std::vector<std::uint8_t> block_at(kelsim::Cartridge& c, std::uint32_t lsn) {
  std::vector<std::uint8_t> b(2048);
  EXPECT_EQ(0u, c.read_blocks(0, lsn, 1, b.data())) << lsn;
  return b;
}
std::uint16_t tag_at(kelsim::Cartridge& c, std::uint32_t lsn) {
  const auto b = block_at(c, lsn);
  return static_cast<std::uint16_t>(b[0] | b[1] << 8);
}

Places find_places(kelsim::Cartridge& c) {
  Places p;
  p.disc_blocks = c.disc_blocks();
  p.anchors[0] = 256;
  p.anchors[1] = p.disc_blocks - 1;
  EXPECT_EQ(2, tag_at(c, 256));
  EXPECT_EQ(2, tag_at(c, p.anchors[1]));
  const auto anchor = block_at(c, 256);
  for (std::size_t extent : {16u, 24u}) {
    const std::uint32_t len = le32(anchor.data() + extent) / 2048, loc = le32(anchor.data() + extent + 4);
    for (std::uint32_t b = loc; b < loc + len; ++b) {
      const std::uint16_t tag = tag_at(c, b);
      if (tag == 5) p.pds.push_back(b);
      if (tag == 6) p.lvds.push_back(b);
    }
  }
  EXPECT_EQ(2u, p.pds.size());
  EXPECT_EQ(2u, p.lvds.size());
  if (p.pds.empty() || p.lvds.empty()) return p;
  const auto pd = block_at(c, p.pds[0]), lvd = block_at(c, p.lvds[0]);
  p.partition_start = le32(pd.data() + offsetof(part_desc, start_loc));
  p.partition_len = le32(pd.data() + offsetof(part_desc, part_len));
  p.metadata_entry = p.partition_start + le32(lvd.data() + sizeof(logvol_desc) + 40);
  p.mirror_entry = p.partition_start + le32(lvd.data() + sizeof(logvol_desc) + 44);
  const auto efe = block_at(c, p.metadata_entry);
  const std::uint32_t l_ea = le32(efe.data() + offsetof(extended_file_entry, l_ea));
  p.metadata_start = p.partition_start + le32(efe.data() + sizeof(extended_file_entry) + l_ea + 4);
  const std::uint32_t fsd = p.metadata_start + le32(lvd.data() + offsetof(logvol_desc, fsd_loc) + 4);
  EXPECT_EQ(256, tag_at(c, fsd)) << "the file set descriptor";
  p.root_entry = p.metadata_start + le32(block_at(c, fsd).data() + offsetof(fileset_desc, rootdir_icb) + 4);
  EXPECT_EQ(266, tag_at(c, p.root_entry)) << "the root folder's entry";
  return p;
}

class DamagedVolume : public MountHarness {
 public:
  void SetUp() override {
    MountHarness::SetUp();
    read_started_volume_ = false;  // the damaged descriptors are the mount's to meet
  }
  // Rewrites block `lsn` of slot 0 and seals its tag again.
  static void patch(kelsim::Cartridge& c, std::uint32_t lsn, const std::function<void(std::uint8_t*)>& change) {
    std::uint8_t b[2048];
    ASSERT_EQ(0u, c.read_blocks(0, lsn, 1, b));
    change(b);
    udf_test::reseal(b);
    ASSERT_EQ(0u, c.write_blocks(0, lsn, 1, b));
  }
  static void patch_all(kelsim::Cartridge& c, const std::vector<std::uint32_t>& lsns,
                        const std::function<void(std::uint8_t*)>& change) {
    for (std::uint32_t lsn : lsns) patch(c, lsn, change);
  }
  using Damage = std::function<void(kelsim::Cartridge&, const Places&)>;
  // Mounts a volume of the class changed by `damage`; the mount's result.
  // Write-once: the image builder's volume. Rewritable: the volume the
  // drive layer's automatic format made on a disc with room beyond its
  // reserve. The drive's commands of the mount are kept for wrote_to_disc().
  int mount_damaged(MediumClass cls, const Damage& damage) {
    if (cls == MediumClass::WriteOnce) {
      prepare(cls, 0, [&](kelsim::Cartridge& c) {
        places_ = find_places(c);
        damage(c, places_);
      });
    } else {
      prepare_formatted_rewritable();
      stop_drive_client();
      kelsim::Cartridge& c = sim_->cartridge();
      places_ = find_places(c);
      damage(c, places_);
      EXPECT_EQ(0u, c.save());
      start_drive_client();
    }
    premount_clean();
    take_opcodes();
    clear_log();
    mount_start_ = sim_->service().transcript().size();
    const int err = host_mount(0x202, false);
    writes_ = take_writes();
    return err;
  }
  // The blocks written (FORMAT UNIT: the whole disc) since the last call.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> take_writes() {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
    const auto t = sim_->service().transcript();
    for (std::size_t i = transcript_seen_; i < t.size(); ++i) {
      const auto& cdb = t[i].cdb;
      if (!cdb.empty() && cdb[0] == kFormatUnit) out.emplace_back(0, places_.disc_blocks);
      if (cdb.size() >= 9 && cdb[0] == kWrite10)
        out.emplace_back(kelsim::get_be32(cdb.data() + 2), kelsim::get_be16(cdb.data() + 7));
    }
    transcript_seen_ = t.size();
    return out;
  }
  // The blocks the drive was asked to read since the mount began.
  std::uint64_t blocks_read_since_mount() const {
    std::uint64_t blocks = 0;
    const auto t = sim_->service().transcript();
    for (std::size_t i = mount_start_; i < t.size(); ++i) {
      const auto& cdb = t[i].cdb;
      if (cdb.size() >= 10 && cdb[0] == kRead10) blocks += kelsim::get_be16(cdb.data() + 7);
      if (cdb.size() >= 12 && cdb[0] == kRead12) blocks += kelsim::get_be32(cdb.data() + 6);
    }
    return blocks;
  }
  // Every block written lies in one of the descriptor sequence units
  // (blocks 256-287, and the last 32 of the disc).
  bool wrote_only_descriptors() const {
    for (const auto& [first, count] : writes_) {
      const bool main = first >= 256 && first + count <= 288;
      const bool reserve = first >= places_.disc_blocks - 32 && first + count <= places_.disc_blocks;
      if (!main && !reserve) return false;
    }
    return true;
  }
  // Reads the root folder through the vnode operations until its end or an
  // error; false when it did not end within a bound of calls.
  bool list_root() {
    std::int64_t cookie = 0;
    for (int call = 0; call < 1000; ++call) {
      std::vector<std::uint8_t> buf(0x10000);
      uio_t u = uio_create(1, cookie, UIO_SYSSPACE, UIO_READ);
      uio_addiov(u, reinterpret_cast<user_addr_t>(buf.data()), buf.size());
      int eof = 0, n = 0;
      vnop_readdir_args a{&vnop_readdir_desc, root_, u, VNODE_READDIR_EXTENDED, &eof, &n, &ctx_};
      const int r = mdcudfsr_vnop_readdir(&a);
      const std::int64_t next = uio_offset(u);
      uio_free(u);
      if (r != 0 || eof || next == cookie) return true;
      cookie = next;
    }
    return false;
  }
  bool read_only() { return (vfs_flags(&host_mp_) & MNT_RDONLY) != 0; }
  // Total and free blocks that getattr reports.
  std::pair<std::uint64_t, std::uint64_t> sizes() {
    vfs_attr a{};
    a.f_active = ~0ull & ~(1ull << 21);
    EXPECT_EQ(0, mdcudfsr_vfsop_getattr(&host_mp_, &a, &ctx_));
    return {a.f_blocks, a.f_bfree};
  }

  Places places_;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> writes_;
  std::size_t mount_start_ = 0;
};

const char* name_of(MediumClass cls) { return cls == MediumClass::WriteOnce ? "write-once" : "rewritable"; }

// Not writable: refused, or read-only once the damage is met within its
// bound.
enum class Outcome { Refused, ReadOnly, Writable, NotWritable };

const char* name_of(Outcome o) {
  switch (o) {
    case Outcome::Refused: return "refused";
    case Outcome::ReadOnly: return "read-only";
    case Outcome::Writable: return "writable";
    case Outcome::NotWritable: return "not writable";
  }
  return "";
}

// One damaged or hostile image: the damage done to the volume and what the
// mount must make of it on either medium.
struct Row {
  const char* what;
  DamagedVolume::Damage damage;
  Outcome write_once, rewritable;
  std::uint32_t reasons = 0;  // write-protect reasons a mounted volume must show
  // Rewritable media: the metadata locations past the partition are the
  // mark this system leaves on descriptors it unlinked; the mount links
  // them again from the cartridge memory's position word and writes the
  // two descriptor sequences, nothing else.
  bool relinked = false;
};

// A 32-bit field of both anchors.
DamagedVolume::Damage anchors(std::size_t at, std::uint32_t v) {
  return [=](kelsim::Cartridge& c, const Places& p) {
    for (std::uint32_t lsn : p.anchors) DamagedVolume::patch(c, lsn, [&](std::uint8_t* b) { put32(b + at, v); });
  };
}
// A 32-bit field of the descriptor of both sequences.
DamagedVolume::Damage lvds(std::size_t at, std::uint32_t v) {
  return [=](kelsim::Cartridge& c, const Places& p) {
    DamagedVolume::patch_all(c, p.lvds, [&](std::uint8_t* b) { put32(b + at, v); });
  };
}
DamagedVolume::Damage pds(std::size_t at, std::uint32_t v) {
  return [=](kelsim::Cartridge& c, const Places& p) {
    DamagedVolume::patch_all(c, p.pds, [&](std::uint8_t* b) { put32(b + at, v); });
  };
}
DamagedVolume::Damage both(DamagedVolume::Damage a, DamagedVolume::Damage b) {
  return [=](kelsim::Cartridge& c, const Places& p) {
    a(c, p);
    b(c, p);
  };
}

constexpr std::size_t kMap = sizeof(logvol_desc);          // the metadata partition map
constexpr std::size_t kAds = sizeof(extended_file_entry);  // allocation descriptors (no extended attributes)

const Row kRows[] = {
    {"metadata map past the partition",
     [](kelsim::Cartridge& c, const Places& p) {
       DamagedVolume::patch_all(c, p.lvds, [&](std::uint8_t* b) {
         put32(b + kMap + 40, p.partition_len + 64);
         put32(b + kMap + 44, p.partition_len + 80);
       });
     },
     Outcome::Refused, Outcome::Writable, 0, true},
    {"block size 16", lvds(offsetof(logvol_desc, lb_size), 16), Outcome::Refused, Outcome::Refused},
    {"block size 512", lvds(offsetof(logvol_desc, lb_size), 512), Outcome::Refused, Outcome::Refused},
    {"block size 0x8000", lvds(offsetof(logvol_desc, lb_size), 0x8000), Outcome::Refused, Outcome::Refused},
    {"partition start past the disc",
     [](kelsim::Cartridge& c, const Places& p) {
       pds(offsetof(part_desc, start_loc), p.disc_blocks + 0x1000)(c, p);
     },
     Outcome::Refused, Outcome::Refused},
    {"partition length 1", pds(offsetof(part_desc, part_len), 1), Outcome::Refused, Outcome::Refused},
    {"partition length past the disc", pds(offsetof(part_desc, part_len), 0xFFFFFFFFu), Outcome::ReadOnly,
     Outcome::ReadOnly, WRPROT_READONLY},
    {"partition length 0xFFFFFFF0", pds(offsetof(part_desc, part_len), 0xFFFFFFF0u), Outcome::ReadOnly,
     Outcome::ReadOnly, WRPROT_READONLY},
    // The sequences are read from their places, a unit of 32 blocks at
    // most: the extents' lengths are not trusted. Rewritable media keep
    // them at fixed places beside the anchors.
    {"descriptor sequence extents of length 0", both(anchors(16, 0), anchors(24, 0)), Outcome::Writable,
     Outcome::Writable},
    {"descriptor sequence extents of length 0xFFFFF800", both(anchors(16, 0xFFFFF800u), anchors(24, 0xFFFFF800u)),
     Outcome::Writable, Outcome::Writable},
    {"descriptor sequences past the disc", both(anchors(20, 0xFFFFF000u), anchors(28, 0xFFFFF000u)),
     Outcome::Refused, Outcome::ReadOnly, WRPROT_READONLY},
    // Anchors that name other places than the volume's own for its
    // sequences: a flush would write where they point, so the volume is
    // not written.
    {"main descriptor sequence at 0xFFFFFFF0", anchors(20, 0xFFFFFFF0u), Outcome::ReadOnly, Outcome::ReadOnly,
     WRPROT_READONLY},
    {"both descriptor sequences at the first anchor", both(anchors(20, 256), anchors(28, 256)), Outcome::Refused,
     Outcome::ReadOnly, WRPROT_READONLY},
    {"integrity descriptor past the disc", lvds(offsetof(logvol_desc, integrity_seq_id) + 4, 0xFFFFF000u),
     Outcome::Refused, Outcome::Refused},
    // The file set descriptor is read where this system records it, the
    // first block of the metadata partition.
    {"file set descriptor past the partition", lvds(offsetof(logvol_desc, fsd_loc) + 4, 0xFFFFFF00u),
     Outcome::Writable, Outcome::Writable},
    {"0xFFFF partition maps", lvds(offsetof(logvol_desc, n_pm), 0xFFFF), Outcome::Refused, Outcome::Refused},
    {"root entry with 0xFFFFFFF0 bytes of allocation descriptors",
     [](kelsim::Cartridge& c, const Places& p) {
       DamagedVolume::patch(c, p.root_entry,
                            [](std::uint8_t* b) { put32(b + offsetof(extended_file_entry, l_ad), 0xFFFFFFF0u); });
     },
     Outcome::Refused, Outcome::Refused},
    {"allocation extent chains that continue into themselves",
     [](kelsim::Cartridge& c, const Places& p) {
       // An extent descriptor behind the mirror's entry holding one block
       // of the metadata and then continuing in itself; both metadata
       // entries continue there after their data.
       const std::uint32_t aed = p.mirror_entry + 1, aed_lbn = aed - p.partition_start;
       std::uint8_t b[2048] = {};
       put16(b, TAG_ID_AED);
       put16(b + 2, 3);
       put32(b + 12, aed_lbn);
       put32(b + offsetof(alloc_ext_desc, l_ad), 16);
       put32(b + sizeof(alloc_ext_desc), 2048);
       put32(b + sizeof(alloc_ext_desc) + 4, p.metadata_start - p.partition_start);
       put32(b + sizeof(alloc_ext_desc) + 8, 0xC0000000u | 2048);
       put32(b + sizeof(alloc_ext_desc) + 12, aed_lbn);
       put16(b + 10, sizeof(alloc_ext_desc) + 16 - 16);
       udf_test::reseal(b);
       ASSERT_EQ(0u, c.write_blocks(0, aed, 1, b));
       DamagedVolume::patch_all(c, {p.metadata_entry, p.mirror_entry}, [&](std::uint8_t* e) {
         const std::uint32_t ads = kAds + le32(e + offsetof(extended_file_entry, l_ea));
         put32(e + offsetof(extended_file_entry, l_ad), 16);
         put32(e + ads + 8, 0xC0000000u | 2048);
         put32(e + ads + 12, aed_lbn);
         put16(e + 10, static_cast<std::uint16_t>(ads + 16 - 16));
       });
     },
     // Refused, or read-only once the chain is followed to its bound of 15
     // descriptors.
     Outcome::NotWritable, Outcome::NotWritable},
    // Past the partition (write-once) or past the next writable address
    // (rewritable): no block of it was written by the volume.
    {"both metadata entries' first extent 1 GiB",
     [](kelsim::Cartridge& c, const Places& p) {
       DamagedVolume::patch_all(c, {p.metadata_entry, p.mirror_entry}, [](std::uint8_t* e) {
         const std::uint32_t gib = 0x3FFFF800u;
         put32(e + kAds + le32(e + offsetof(extended_file_entry, l_ea)), gib);
         const std::uint64_t len = gib;
         std::memcpy(e + offsetof(extended_file_entry, inf_len), &len, 8);
         std::memcpy(e + offsetof(extended_file_entry, object_size), &len, 8);
       });
     },
     Outcome::Refused, Outcome::Refused},
};

// Each row through the whole mount on both media, within a bound of blocks
// read (a hostile length must not send the mount reading the disc): the
// outcome it states, the drive layer's record saying the same, the size
// figures within the cartridge and a listing of the root that ends; no
// write to the disc but the relinking of unlinked descriptors.
TEST_F(DamagedVolume, DamagedAndHostileImagesThroughTheWholeMount) {
  for (const Row& r : kRows) {
    for (MediumClass cls : {MediumClass::WriteOnce, MediumClass::Rewritable}) {
      SCOPED_TRACE(std::string(r.what) + ", " + name_of(cls));
      const Outcome want = cls == MediumClass::WriteOnce ? r.write_once : r.rewritable;
      const int err = mount_damaged(cls, r.damage);
      const Outcome got = err != 0 ? Outcome::Refused : read_only() ? Outcome::ReadOnly : Outcome::Writable;
      if (want == Outcome::NotWritable)
        EXPECT_NE(Outcome::Writable, got) << "mount answered " << err;
      else
        EXPECT_EQ(name_of(want), std::string(name_of(got))) << "mount answered " << err;
      if (r.relinked && cls == MediumClass::Rewritable)
        EXPECT_TRUE(wrote_only_descriptors());
      else
        EXPECT_TRUE(writes_.empty()) << "nothing written to the damaged disc";
      if (got == Outcome::Refused) {
        EXPECT_EQ(nullptr, record()) << "unmounted with force";
        EXPECT_EQ(2u, drive_copy().AccessMode) << "published as not mountable";
      } else {
        EXPECT_EQ(0u, drive_copy().AccessMode);
        EXPECT_EQ(r.reasons, record()->mntinfo.WriteProtectReasonFlags & r.reasons);
        const auto [total, free_blocks] = sizes();
        EXPECT_LE(total, std::uint64_t{sim_->cartridge().disc_blocks()} * sim_->cartridge().slots());
        EXPECT_LE(free_blocks, total);
        EXPECT_TRUE(list_root()) << "the listing of the root ends";
        take_writes();
        EXPECT_EQ(0, host_unmount(1));
        EXPECT_TRUE(take_writes().empty()) << "the unmount of a volume that changed nothing";
      }
      ASSERT_TRUE(agent_ended());
      const std::uint64_t read = blocks_read_since_mount();
      EXPECT_LT(read, kReadBound) << "blocks read by the row";
    }
  }
}

}  // namespace
