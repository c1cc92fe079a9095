// The write paths of the UDF code on the real volume routines, the real
// write clusters and cache agent, and the real drive client against the
// simulated drive, on a write-once (E1h), an F2h and a rewritable (E2h)
// cartridge: a whole flush (metadata file, file set descriptor, bitmaps,
// sequence, integrity descriptor) that mounts again through the system's own
// readers and passes udfinfo, and the drive's answers to what it refuses.
#include "engine/udf/real_support.h"
#include "engine/udf/support_mount.h"
#include "kelcache/cache_node.h"
#include "kelvfs/mdcudfsr_clusters.h"
#include "kelvfs/mdcudfsr_defect.h"
#include "kelvfs/mdcudfsr_mount.h"

#include "sim/harness.h"
#include "udf/udf_anchor_vds.h"
#include "udf/udf_bitmap.h"
#include "udf/udf_efe.h"
#include "udf/udf_fsd.h"
#include "udf/udf_lvid.h"
#include "udf/udf_metadata.h"
#include "udf/udf_mount.h"
#include "udf/udf_names.h"
#include "udf/udf_rewritable.h"
#include "udf/udf_tag.h"
#include "udf/udf_vds_flush.h"
#include "udf/udf_vds_rules.h"
#include "udf/udf_vrs.h"
#include "udf/udf_write_efe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

using namespace udf_real;
using udf_test::MediumClass;
using udf_test::ImageLayout;
using udf_test::put_fid;
using udf_test::read_dir_in_icb;

constexpr uint32_t B = 2048;

std::string name_of(MediumClass c) {
  switch (c) {
    case MediumClass::WriteOnce:
      return "E1h";
    case MediumClass::F2:
      return "F2h";
    case MediumClass::Rewritable:
      return "E2h";
  }
  return "?";
}

std::string run(const std::string& cmd, int* status) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) {
    *status = -1;
    return out;
  }
  char buf[512];
  while (fgets(buf, sizeof buf, p)) out += buf;
  *status = pclose(p);
  return out;
}

// Index in the service's transcript of the first command with operation
// code `op` whose block address (bytes 2-5; bytes 4-7 of the D2h
// reservation) is `lba`; -1 when none.
int command_index(const std::vector<kelsim::TranscriptEntry>& t, uint8_t op, uint32_t lba) {
  const size_t at_byte = op == 0xD2 ? 4 : 2;
  for (size_t i = 0; i < t.size(); ++i) {
    const auto& c = t[i].cdb;
    if (c.size() < at_byte + 4 || c[0] != op) continue;
    const uint8_t* p = c.data() + at_byte;
    const uint32_t at = uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
    if (at == lba) return static_cast<int>(i);
  }
  return -1;
}

bool sound_copy(const std::vector<uint8_t>& disc, uint32_t loc) {
  const uint16_t ids[] = {1, 4, 5, 6, 7, 8};
  for (uint32_t i = 0; i < 6; ++i) {
    const uint8_t* d = disc.data() + static_cast<size_t>(loc + i) * B;
    desc_tag t;
    std::memcpy(&t, d, sizeof t);
    if (t.id != ids[i] || t.tag_loc != loc + i || !mdcudfsr_check_udf_tag_crc(d, B)) return false;
  }
  return true;
}

class DriveFlush : public ::testing::TestWithParam<MediumClass> {};

// A whole flush, step by step, on the volume of one medium class.
class WholeFlush : public ::testing::TestWithParam<MediumClass> {
 protected:
  void SetUp() override {
    v = std::make_unique<RealVolume>(GetParam());
    v->mount();
    v->start_agent();
    m = v->m();
    re = m->is_rewritable != 0;
    // The drive's defect map, as the mount of a rewritable volume builds it.
    if (re) { ASSERT_EQ(mdcudfsr_make_defect_map(m, nullptr, 1), 0); }
    ps = v->layout.partition_start;
    main_loc = v->layout.metadata_file_loc;
    mirror_loc = v->layout.mirror_file_loc;
    ASSERT_EQ(mdcudfsr_check_vds_structure(m, nullptr, nullptr), 0);
  }

  // On write-once media the full metadata file grows at the track's next
  // writable address, and its entries follow the new extent.
  void grow_metadata_file() {
    if (re) return;
    m->metadata_block_count = 32;
    const uint32_t nwa = v->track_nwa();
    mdcudfsr_relocation_info info{};
    ASSERT_EQ(mdcudfsr_relocate_metadata_file(m, 2, 0, &info, nullptr), 0);
    EXPECT_EQ(info.first_sector, nwa);
    main_loc = info.first_sector + info.blocks - ps;
    mirror_loc = main_loc + 16;
  }

  // The file set descriptor at two new blocks, a new directory, and the
  // root rewritten at a replacement block that then takes its place.
  void write_tree() {
    fileset_desc fsd{};
    ASSERT_EQ(mdcudfsr_read_file_set_desc(m, two_blocks(m, 0).data(), &fsd, nullptr), 0);
    m->fsd_relocation = 1;
    ASSERT_EQ(mdcudfsr_flush_file_set_desc(m, &fsd, nullptr), 0);
    m->fsd_relocation = 0;
    fsd_loc = m->vds.lvd.fsd_loc.loc.lb_num;
    const uint32_t dir_loc = mdcudfsr_allocate_metadata_blocks(m, 1);
    const uint32_t root_rep = mdcudfsr_allocate_metadata_blocks(m, 1);
    extended_file_entry root{};
    ASSERT_EQ(mdcudfsr_read_extended_file_entry(m, v->metadata_block(m, 2).data(), B, 0, &root, nullptr, nullptr, 0),
              0);
    mdcudfsr_init_extended_file_entry(m, 0755, &dir, 1);
    dir.icbtag.file_type = 4;
    dir.icbtag.parent_icb = lb_addr{2, 0};
    uint8_t fids[256];
    uint32_t n = put_fid(m, fids, dir_loc, 0x0A, nullptr, 2, root.unique_id);
    ASSERT_EQ(
        mdcudfsr_flush_extended_file_entry_in_icb(m, 0, dir_loc, dir_loc, 0xFFFF, &dir, nullptr, fids, n, nullptr), 0);
    n = put_fid(m, fids, 2, 0x0A, nullptr, 2, root.unique_id);
    n += put_fid(m, fids + n, 2, 0x02, "docs", dir_loc, dir.unique_id);
    root.link_cnt = 2;
    ASSERT_EQ(mdcudfsr_flush_extended_file_entry_in_icb(m, 0, 2, root_rep, 0xFFFF, &root, nullptr, fids, n, nullptr),
              0);
    mdcudfsr_cache_node root_node;  // the FID builder reads the cache node around the UDF part
    mdcudfsr_udf_data root_data;
    root_node.udf_data = &root_data;
    root_data.efe = root;
    root_data.efe_loc = 2;
    root_data.replace_efe_loc = root_rep;
    root_data.remap_pending = 1;
    uint32_t over = 0;
    ASSERT_EQ(mdcudfsr_rebuild_metadata_extent_list_ex(m, &root_node, 0, &over), 0);
    ASSERT_EQ(over, 0u);
    v->commit_staged();
  }

  // Space bitmaps (rewritable media), at the next writable address.
  void write_bitmaps() {
    if (!re) return;
    uint32_t len = 0, first = 0, written = 0;
    ASSERT_EQ(mdcudfsr_update_metadata_bitmap(m, &len, &first, nullptr, &written, 0), 0);
    ASSERT_EQ(mdcudfsr_update_usb(m, short_ad{len, first}, nullptr, &written, 0), 0);
    EXPECT_NE(m->vds.pd.phd.unalloc_space_bitmap.len, 0u);
  }

  // The metadata file and its mirror with their new extent lists, then the
  // sequence and the integrity descriptor.
  void write_metadata_files_and_descriptors() {
    for (int mirror = 0; mirror < 2; ++mirror) {
      extended_file_entry e{};
      mdcudfsr_init_extended_file_entry(m, 0644, &e, 0);
      e.icbtag.file_type = mirror ? 251 : 250;
      e.inf_len = e.object_size = m->part[mirror].length - B * m->remap_count;
      const uint32_t loc = mirror ? mirror_loc : main_loc;
      mdcudfsr_efe_write w{2, loc, loc, 0xFFFF, &e, nullptr, &m->part[mirror].list, nullptr, ps + loc, nullptr,
                           mirror ? v->layout.mirror_file_loc : v->layout.metadata_file_loc, mirror};
      ASSERT_EQ(mdcudfsr_flush_extended_file_entry(m, &w, nullptr), 0);
    }
    v->commit_staged();
    m->metadata_file_loc = main_loc;
    m->metadata_mirror_loc = mirror_loc;
    ASSERT_EQ(re ? mdcudfsr_flush_vds_re(m, nullptr, nullptr, 0) : mdcudfsr_flush_vds(m, nullptr, nullptr, 0), 0);
    m->lvid.integrity_type = 1;
    ASSERT_EQ(flush_lvid_locked(m, 0, re ? 0 : 1), 0);
  }

  // On F2h the drive saw the reservations of each copy of the sequences
  // and of the integrity descriptor's unit, each before its write.
  void check_reservations() {
    if (GetParam() != MediumClass::F2) return;
    const auto reserved = v->sim().drive().observed().reserved_writes;
    for (const auto& r : {std::make_pair(384u, 128u), std::make_pair(512u, 128u), std::make_pair(640u, 128u)})
      EXPECT_NE(std::find(reserved.begin(), reserved.end(), r), reserved.end()) << r.first;
    const auto t = v->sim().service().transcript();
    for (uint32_t lba : {384u, 512u, 640u}) {
      const int reserve = command_index(t, 0xD2, lba), write = command_index(t, 0x2A, lba);
      EXPECT_GE(reserve, 0) << lba;
      EXPECT_LT(reserve, write) << lba;
    }
  }

  // A fresh mount through the drive client reads the metadata file from its
  // new entry.
  void mount_again() {
    again_owner = v->mount_again();
    again = again_owner.get();
    EXPECT_EQ(mdcudfsr_check_vds_structure(again, nullptr, nullptr), 0);
    EXPECT_EQ(mdcudfsr_check_lvid_structure(again, nullptr), 0);
    ASSERT_EQ(again->vds.pmap.type2_metadata.file_loc, main_loc);
    ASSERT_EQ(again->vds.pmap.type2_metadata.mirror_file_loc, mirror_loc);
    const std::vector<uint8_t> block = v->read(ps + main_loc);
    extended_file_entry mefe{};
    uint32_t flag = 0;
    mdcudfsr_extent_list_remove_all(&again->part[0].list);
    ASSERT_EQ(mdcudfsr_read_extended_file_entry(again, block.data(), B, 2, &mefe, &again->part[0].list, &flag, 0), 0);
    ASSERT_EQ(mdcudfsr_read_allocation_extent_chain(again, nullptr, 2, mefe.icbtag.flags & 7u, &again->part[0].list,
                                                    &flag, nullptr),
              0);
    again->part[0].length = mdcudfsr_extent_list_get_selected_length(&again->part[0].list, 0);
    EXPECT_EQ(again->part[0].length, m->part[0].length - uint64_t{B} * m->remap_count) << "one block left with the remap";
    EXPECT_EQ(mefe.l_ea, 80u);
  }

  // The file set descriptor where the sequence says, the root with the new
  // directory, the directory with its parent entry.
  void check_tree() {
    ASSERT_EQ(again->vds.lvd.fsd_loc.loc.lb_num, fsd_loc);
    fileset_desc fsd{};
    ASSERT_EQ(mdcudfsr_read_file_set_desc(again, two_blocks(again, fsd_loc).data(), &fsd, nullptr), 0);
    const std::vector<uint8_t> root_block = v->metadata_block(again, fsd.rootdir_icb.loc.lb_num);
    extended_file_entry r{};
    ASSERT_EQ(mdcudfsr_read_extended_file_entry(again, root_block.data(), B, 0, &r, nullptr, nullptr, 0), 0);
    const auto entries = read_dir_in_icb(root_block.data(), r.l_ea, r.l_ad);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].name, "docs");
    EXPECT_EQ(entries[1].chars, 0x02);
    const std::vector<uint8_t> dir_block = v->metadata_block(again, entries[1].icb);
    extended_file_entry d{};
    ASSERT_EQ(mdcudfsr_read_extended_file_entry(again, dir_block.data(), B, 0, &d, nullptr, nullptr, 0), 0);
    EXPECT_EQ(uint64_t{d.unique_id}, uint64_t{dir.unique_id});  // packed: by value
    EXPECT_EQ(d.icbtag.file_type, 4);
    const auto parent = read_dir_in_icb(dir_block.data(), d.l_ea, d.l_ad);
    ASSERT_EQ(parent.size(), 1u);
    EXPECT_EQ(parent[0].icb, 2u);
  }

  // The unallocated space bitmap the sequence names reads back.
  void check_space_bitmap() {
    if (!re) return;
    mdcudfsr_extent_list list;
    mdcudfsr_extent_list_init(&list);
    mdcudfsr_extent_entry e;
    e.extent.len = again->vds.pd.phd.unalloc_space_bitmap.len;
    e.extent.loc = lb_addr{again->vds.pd.phd.unalloc_space_bitmap.pos, 2};
    mdcudfsr_extent_list_add(&list, &e, 0);
    uint32_t bits = 0, bytes = 0;
    EXPECT_EQ(mdcudfsr_sbmp_read_sbd(again, &list, nullptr, &bits, &bytes), 0);
    EXPECT_EQ(bits, v->layout.partition_len);
    mdcudfsr_extent_list_free(&list);
  }

  void check_udfinfo() {
    const std::vector<uint8_t> image = v->disc_image();
    char path[] = "/tmp/kel_udf_driveXXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, image.data(), image.size()), static_cast<ssize_t>(image.size()));
    close(fd);
    int status = 0;
    const std::string out = run(std::string("/usr/bin/udfinfo --blocksize=2048 ") + path + " 2>&1", &status);
    unlink(path);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out.find("rror"), std::string::npos) << out;
    for (const std::string& line :
         {std::string("label=SERIAL0001"), std::string("vid=KELFS VOL01"), std::string("integrity=closed"),
          "start=" + std::to_string(v->layout.lvid) + ", blocks=1, type=LVID",
          "start=" + std::to_string(v->layout.main_vds) + ", blocks=16, type=MVDS",
          "start=" + std::to_string(v->layout.reserve_vds) + ", blocks=16, type=RVDS"})
      EXPECT_NE(out.find(line + "\n"), std::string::npos) << line << "\n" << out;
  }

  // A descriptor block and the terminator after it.
  std::vector<uint8_t> two_blocks(mdcudfsr_mount* mnt, uint32_t lbn) {
    std::vector<uint8_t> raw = v->metadata_block(mnt, lbn);
    const std::vector<uint8_t> td = v->metadata_block(mnt, lbn + 1);
    raw.insert(raw.end(), td.begin(), td.end());
    return raw;
  }

  std::unique_ptr<RealVolume> v;
  std::unique_ptr<mdcudfsr_mount> again_owner;
  mdcudfsr_mount* m = nullptr;
  mdcudfsr_mount* again = nullptr;
  bool re = false;
  uint32_t ps = 0, main_loc = 0, mirror_loc = 0, fsd_loc = 0;
  extended_file_entry dir{};
};

TEST_P(WholeFlush, MountsAgainAndPassesUdfinfo) {
  ASSERT_NO_FATAL_FAILURE(grow_metadata_file());
  ASSERT_NO_FATAL_FAILURE(write_tree());
  ASSERT_NO_FATAL_FAILURE(write_bitmaps());
  ASSERT_NO_FATAL_FAILURE(write_metadata_files_and_descriptors());
  check_reservations();
  ASSERT_NO_FATAL_FAILURE(mount_again());
  ASSERT_NO_FATAL_FAILURE(check_tree());
  check_space_bitmap();
  if (access("/usr/bin/udfinfo", X_OK) != 0) GTEST_SKIP() << "udfinfo is not installed";
  check_udfinfo();
}

TEST_P(DriveFlush, DamagedStructuresAreRewrittenThroughTheDrive) {
  RealVolume v(GetParam());
  const bool re = GetParam() == MediumClass::Rewritable;
  kelsim::Cartridge& cart = v.sim().cartridge();
  const uint32_t last = v.spec.sectors - 1;
  std::vector<uint8_t> s(B);
  // A recognition sequence that cannot be read once, a last anchor of
  // zeros (write-once), a main sequence whose partition descriptor fails
  // its CRC.
  v.sim().drive().add_fault([] {
    auto f = kelsim::read_error(16, 18);
    f.times = 1;
    return f;
  }());
  // On rewritable media the reserve side, anchor included, is the source
  // of the main side's repair.
  std::vector<uint8_t> zero(B, 0);
  if (!re) {
    ASSERT_EQ(cart.write_blocks(0, last, 1, zero.data()), 0u);
  }
  const uint32_t pd = v.layout.main_vds + 2;
  ASSERT_EQ(cart.read_blocks(0, pd, 1, s.data()), 0u);
  s[200] ^= 1;
  ASSERT_EQ(cart.write_blocks(0, pd, 1, s.data()), 0u);

  mdcudfsr_mount* m = v.m();
  EXPECT_EQ(mdcudfsr_check_vrs(m, nullptr), 2) << "repaired";
  if (re) {
    // The main unit (anchor and main sequence) comes back from the reserve
    // side.
    EXPECT_EQ(mdcudfsr_read_avdp_RE(m, nullptr, 1, 0, nullptr), 0);
  } else {
    EXPECT_EQ(mdcudfsr_read_avdp(m, nullptr, 1, 0, nullptr), 0);
    EXPECT_TRUE(logged("Rebuild AVDP2\n"));
    EXPECT_EQ(mdcudfsr_read_vds(m, nullptr, 0, 1, 0, nullptr), 0);
    EXPECT_TRUE(logged("Rebuild MVDS\n"));
  }
  const std::vector<uint8_t> disc = v.disc_image();
  EXPECT_TRUE(mdcudfsr_vrs_matches_template(disc.data() + 16 * B));
  EXPECT_TRUE(sound_copy(disc, v.layout.main_vds));
  if (!re) {
    EXPECT_TRUE(mdcudfsr_check_udf_tag(disc.data() + static_cast<size_t>(last) * B, TAG_ID_AVDP));
  }
  // The next mount finds everything sound and writes nothing.
  v.sim().service().clear_transcript();
  auto again = v.mount_again();
  EXPECT_EQ(mdcudfsr_check_vds_structure(again.get(), nullptr, nullptr), 0);
  EXPECT_EQ(command_index(v.sim().service().transcript(), 0x2A, v.layout.main_vds), -1);
}

part_map_metadata map_on_disc(const std::vector<uint8_t>& disc, uint32_t lvd_lsn) {
  part_map_metadata m;
  std::memcpy(&m, disc.data() + static_cast<size_t>(lvd_lsn) * B + 440, sizeof m);
  return m;
}

TEST_P(DriveFlush, UnlinkRelinkFromTheCartridgeMemoryAndLink) {
  RealVolume v(GetParam());
  const uint32_t part_len = v.layout.partition_len, lvd = v.layout.main_vds + 3;
  {
    auto m = v.mount_again();
    ASSERT_EQ(mdcudfsr_unlink_vds(m.get(), nullptr), 0);
    EXPECT_EQ(m->metadata_file_loc, v.layout.metadata_file_loc) << "the mount goes on with the real locations";
  }
  // The medium holds the unlinked sequence, the cartridge memory the
  // position of the metadata file's entry.
  EXPECT_EQ(map_on_disc(v.disc_image(), lvd).file_loc, part_len);
  EXPECT_EQ(map_on_disc(v.disc_image(), lvd).mirror_file_loc, part_len);
  const std::vector<uint8_t> record = v.attribute_record();
  uint32_t vuvi;
  std::memcpy(&vuvi, record.data() + kAttributeVuviOffset, sizeof vuvi);
  EXPECT_EQ(vuvi, mdcudfsr_vuvi_encode(0, v.layout.metadata_file_loc));

  // The next mount relinks from the cartridge memory (on write-once media
  // after rebuilding the sequence from the drive's attributes), then links.
  {
    auto m = v.mount_again();
    uint32_t relinked = 0;
    EXPECT_EQ(mdcudfsr_check_vds_structure_for_mount(m.get(), nullptr, &relinked, nullptr), 0);
    EXPECT_EQ(relinked, 1u);
    EXPECT_EQ(m->metadata_file_loc, v.layout.metadata_file_loc);
    EXPECT_EQ(m->metadata_mirror_loc, v.layout.mirror_file_loc);
    ASSERT_EQ(mdcudfsr_link_vds(m.get(), nullptr), 0);
  }
  EXPECT_EQ(map_on_disc(v.disc_image(), lvd).file_loc, v.layout.metadata_file_loc);
  EXPECT_EQ(map_on_disc(v.disc_image(), lvd).mirror_file_loc, v.layout.mirror_file_loc);
  auto m = v.mount_again();
  uint32_t relinked = 0;
  EXPECT_EQ(mdcudfsr_check_vds_structure_for_mount(m.get(), nullptr, &relinked, nullptr), 0);
  EXPECT_EQ(relinked, 0u);
}

// What the drive refuses is reported, never taken for success.
TEST(DriveFaults, SenseErrorsOfTheWritePathsAreReturned) {
  using Flush = std::function<int(mdcudfsr_mount*)>;
  const Flush sequence = [](mdcudfsr_mount* m) {
    return m->is_rewritable ? mdcudfsr_flush_vds_re(m, nullptr, nullptr, 0) : mdcudfsr_flush_vds(m, nullptr, nullptr, 0);
  };
  const Flush integrity = [](mdcudfsr_mount* m) { return flush_lvid_locked(m, 0, 1); };
  const auto sense = [](uint8_t op, kelsim::Sense s) {
    return [op, s](const ImageLayout&) { return kelsim::command_fails(op, s); };
  };
  struct Row {
    const char* name;
    MediumClass cls;
    Flush flush;
    std::function<kelsim::FaultRule(const ImageLayout&)> fault;
    uint32_t untouched;  // first of 6 sectors the failed flush leaves as they were; 0: none
  } rows[] = {
      {"sequence write fails", MediumClass::WriteOnce, sequence,
       [](const ImageLayout& l) { return kelsim::write_error(l.main_vds, l.main_vds + 31); }, 288},
      {"drive cache sync fails", MediumClass::WriteOnce, sequence, sense(0x35, {0x03, 0x0C, 0x00}), 0},
      {"verify of the sequence fails", MediumClass::WriteOnce, sequence, sense(0x2F, {0x03, 0x11, 0x00}), 0},
      {"sequence reservation refused", MediumClass::F2, sequence, sense(0xD2, {0x05, 0x24, 0x00}), 384},
      {"integrity reservation refused", MediumClass::F2, integrity, sense(0xD2, {0x05, 0x24, 0x00}), 640},
      {"integrity write fails", MediumClass::WriteOnce, integrity,
       [](const ImageLayout& l) { return kelsim::write_error(l.lvid, l.lvid + 31); }, 320},
      {"rewritable reserve unit write fails", MediumClass::Rewritable, sequence,
       [](const ImageLayout& l) { return kelsim::write_error(l.reserve_vds, l.reserve_vds + 31); }, 272},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    RealVolume v(r.cls);
    auto m = v.mount_again();
    const std::vector<uint8_t> before = v.disc_image();
    const int id = v.sim().drive().add_fault(r.fault(v.layout));
    // Changes the medium does not hold yet.
    m->metadata_file_loc = v.layout.metadata_file_loc + 64;
    m->lvid.integrity_type = 0;
    EXPECT_NE(r.flush(m.get()), 0);
    EXPECT_GT(v.sim().drive().fault_fired(id), 0);
    if (r.untouched) {
      const std::vector<uint8_t> after = v.disc_image();
      const size_t at = static_cast<size_t>(r.untouched) * B;
      EXPECT_TRUE(std::equal(before.begin() + at, before.begin() + at + 6 * B, after.begin() + at))
          << "left as it was";
    }
  }
}

TEST(DriveFaults, WriteOnceRefusesWritesBeyondTheNextWritableAddress) {
  RealVolume v(MediumClass::WriteOnce);
  v.mount();
  v.start_agent();
  mdcudfsr_mount* m = v.m();
  const uint32_t nwa = v.track_nwa();
  // The metadata file's entry staged past the next writable address leaves
  // a gap the disc cannot hold: the drive refuses the cluster flush's write
  // and the flush reports it.
  const uint32_t loc = nwa + 64 - v.layout.partition_start;
  extended_file_entry e{};
  mdcudfsr_init_extended_file_entry(m, 0644, &e, 0);
  e.icbtag.file_type = 250;
  e.inf_len = e.object_size = m->part[0].length;
  mdcudfsr_efe_write w{2, loc, loc, 0xFFFF, &e, nullptr, &m->part[0].list, nullptr, nwa + 64, nullptr, -1, 0};
  ASSERT_EQ(mdcudfsr_flush_extended_file_entry(m, &w, nullptr), 0) << "staged";
  v.clear();
  EXPECT_NE(v.flush_clusters(nwa + 64), 0);
  for (const Command& c : v.commands()) {
    if (c.op == kWrite10) {
      EXPECT_FALSE(c.good) << "refused";
    }
  }
  EXPECT_EQ(v.track_nwa(), nwa);
  mdcudfsr_clear_all_clusters(m);
  // At the next writable address the same entry is written.
  const uint32_t at = nwa - v.layout.partition_start;
  mdcudfsr_efe_write w2{2, at, at, 0xFFFF, &e, nullptr, &m->part[0].list, nullptr, nwa, nullptr, -1, 0};
  ASSERT_EQ(mdcudfsr_flush_extended_file_entry(m, &w2, nullptr), 0);
  EXPECT_EQ(v.flush_clusters(nwa), 0);
  EXPECT_GT(v.track_nwa(), nwa);
  extended_file_entry back{};
  EXPECT_EQ(mdcudfsr_read_extended_file_entry(m, v.read(nwa).data(), B, 2, &back, nullptr, nullptr, 0), 0);
  EXPECT_EQ(back.tag.tag_loc, at);
}

INSTANTIATE_TEST_SUITE_P(EachMediumClass, DriveFlush,
                         ::testing::Values(MediumClass::WriteOnce, MediumClass::F2, MediumClass::Rewritable),
                         [](const auto& info) { return name_of(info.param); });
INSTANTIATE_TEST_SUITE_P(EachMediumClass, WholeFlush,
                         ::testing::Values(MediumClass::WriteOnce, MediumClass::F2, MediumClass::Rewritable),
                         [](const auto& info) { return name_of(info.param); });

}  // namespace
