// The write paths of the UDF code through the drive client against the
// simulated drive, on a write-once (E1h), an F2h and a rewritable (E2h)
// cartridge: a whole flush (metadata file, file set descriptor, bitmaps,
// sequence, integrity descriptor) that mounts again through the system's own
// readers and passes udfinfo, and the drive's answers to what it refuses.
#include "engine/udf/support_drive.h"
#include "engine/udf/support_fakes.h"
#include "engine/udf/support_image.h"

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
#include "udf/udf_write_efe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

using namespace udf_test;

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

class DriveFlush : public ::testing::TestWithParam<MediumClass> {};

TEST_P(DriveFlush, WholeFlushMountsAgainAndPassesUdfinfo) {
  SimVolume v(GetParam());
  ASSERT_TRUE(v.started);
  auto mounted = v.mount();
  mdcudfsr_mount* m = mounted.get();
  const bool re = m->is_rewritable != 0;
  const uint32_t ps = v.layout.partition_start;
  uint32_t soft = 0;
  ASSERT_EQ(mdcudfsr_check_vds_structure(m, &soft, nullptr), 0);

  // Placement. On write-once media the full metadata file grows at the
  // track's next writable address, and its entries follow the new extent.
  uint32_t main_loc = v.layout.metadata_file_loc, mirror_loc = v.layout.mirror_file_loc;
  if (!re) {
    m->metadata_block_count = 32;
    uint32_t nwa = 0;
    ASSERT_EQ(drive::track_nwa(&nwa), 0);
    mdcudfsr_relocation_info info{};
    ASSERT_EQ(mdcudfsr_relocate_metadata_file(m, 2, 0, &info, nullptr), 0);
    EXPECT_EQ(info.first_sector, nwa);
    main_loc = info.first_sector + info.blocks - ps;
    mirror_loc = main_loc + 16;
  }
  // The file set descriptor at two new blocks, then a new directory and the
  // root rewritten at a replacement block.
  fileset_desc fsd{};
  {
    std::vector<uint8_t> raw = v.metadata_block(m, 0);
    const std::vector<uint8_t> td = v.metadata_block(m, 1);
    raw.insert(raw.end(), td.begin(), td.end());
    ASSERT_EQ(mdcudfsr_read_file_set_desc(m, raw.data(), &fsd, nullptr), 0);
  }
  m->fsd_relocation = 1;
  ASSERT_EQ(mdcudfsr_flush_file_set_desc(m, &fsd, nullptr), 0);
  m->fsd_relocation = 0;
  const uint32_t fsd_loc = m->vds.lvd.fsd_loc.loc.lb_num;
  const uint32_t dir_loc = mdcudfsr_allocate_metadata_blocks(m, 1);
  const uint32_t root_rep = mdcudfsr_allocate_metadata_blocks(m, 1);

  extended_file_entry root{};
  ASSERT_EQ(mdcudfsr_read_extended_file_entry(m, v.metadata_block(m, 2).data(), B, 0, &root, nullptr, nullptr, 0), 0);
  extended_file_entry dir{};
  mdcudfsr_init_extended_file_entry(m, 0755, &dir, 1);
  dir.icbtag.file_type = 4;
  dir.icbtag.parent_icb = lb_addr{2, 0};
  uint8_t fids[256];
  uint32_t n = put_fid(m, fids, dir_loc, 0x0A, nullptr, 2, root.unique_id);
  ASSERT_EQ(mdcudfsr_flush_extended_file_entry_in_icb(m, 0, dir_loc, dir_loc, 0xFFFF, &dir, nullptr, fids, n, nullptr),
            0);
  n = put_fid(m, fids, 2, 0x0A, nullptr, 2, root.unique_id);
  n += put_fid(m, fids + n, 2, 0x02, "docs", dir_loc, dir.unique_id);
  root.link_cnt = 2;
  ASSERT_EQ(mdcudfsr_flush_extended_file_entry_in_icb(m, 0, 2, root_rep, 0xFFFF, &root, nullptr, fids, n, nullptr), 0);
  mdcudfsr_udf_node_fields root_node;
  mdcudfsr_udf_data root_data;
  root_node.udf_data = &root_data;
  root_data.efe = root;
  root_data.efe_loc = 2;
  root_data.replace_efe_loc = root_rep;
  root_data.relocation_flags = 1;
  uint32_t over = 0;
  ASSERT_EQ(mdcudfsr_rebuild_metadata_extent_list_ex(m, &root_node, 0, &over), 0);
  ASSERT_EQ(over, 0u);

  // Space bitmaps (rewritable media), at the next writable address.
  if (re) {
    uint32_t len = 0, first = 0, written = 0;
    ASSERT_EQ(mdcudfsr_update_metadata_bitmap(m, &len, &first, nullptr, &written, 0), 0);
    ASSERT_EQ(mdcudfsr_update_usb(m, short_ad{len, first}, nullptr, &written, 0), 0);
    EXPECT_NE(m->vds.pd.phd.unalloc_space_bitmap.len, 0u);
  }

  // The metadata file and its mirror with their new extent lists.
  for (int mirror = 0; mirror < 2; ++mirror) {
    extended_file_entry e{};
    mdcudfsr_init_extended_file_entry(m, 0644, &e, 0);
    e.icbtag.file_type = mirror ? 251 : 250;
    e.inf_len = e.object_size = m->part[mirror].length - B * m->remap_count;
    const uint32_t loc = mirror ? mirror_loc : main_loc;
    mdcudfsr_efe_write w{2, loc, loc, 0xFFFF, &e, nullptr, &m->part[mirror].list, nullptr, ps + loc, nullptr,
                         mirror ? v.layout.mirror_file_loc : v.layout.metadata_file_loc, mirror};
    ASSERT_EQ(mdcudfsr_flush_extended_file_entry(m, &w, nullptr), 0);
  }
  m->metadata_file_loc = main_loc;
  m->metadata_mirror_loc = mirror_loc;

  // The sequence and the integrity descriptor.
  ASSERT_EQ(re ? mdcudfsr_flush_vds_re(m, nullptr, nullptr, 0) : mdcudfsr_flush_vds(m, nullptr, nullptr, 0), 0);
  m->lvid.integrity_type = 1;
  ASSERT_EQ(flush_lvid_locked(m, 0, re ? 0 : 1), 0);
  if (GetParam() == MediumClass::F2) {
    // The drive saw the reservations of the sequence image and of the
    // integrity descriptor's unit before their writes.
    const auto reserved = v.sim().drive().observed().reserved_writes;
    EXPECT_NE(std::find(reserved.begin(), reserved.end(), std::make_pair(384u, 256u)), reserved.end());
    EXPECT_NE(std::find(reserved.begin(), reserved.end(), std::make_pair(640u, 128u)), reserved.end());
  }

  // A fresh mount through the drive client.
  auto again_owner = v.mount();
  mdcudfsr_mount* again = again_owner.get();
  EXPECT_EQ(mdcudfsr_check_vds_structure(again, &soft, nullptr), 0);
  EXPECT_EQ(mdcudfsr_check_lvid_structure(again, nullptr), 0);
  ASSERT_EQ(again->vds.pmap.type2_metadata.file_loc, main_loc);
  ASSERT_EQ(again->vds.pmap.type2_metadata.mirror_file_loc, mirror_loc);
  std::vector<uint8_t> block(B);
  ASSERT_EQ(drive::read_sectors(ps + main_loc, block.data(), B), 0);
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
  // The file set descriptor where the sequence says, the root with the new
  // directory, the directory with its parent entry.
  ASSERT_EQ(again->vds.lvd.fsd_loc.loc.lb_num, fsd_loc);
  std::vector<uint8_t> raw = v.metadata_block(again, fsd_loc);
  const std::vector<uint8_t> td = v.metadata_block(again, fsd_loc + 1);
  raw.insert(raw.end(), td.begin(), td.end());
  fileset_desc fsd_again{};
  ASSERT_EQ(mdcudfsr_read_file_set_desc(again, raw.data(), &fsd_again, nullptr), 0);
  const std::vector<uint8_t> root_block = v.metadata_block(again, fsd_again.rootdir_icb.loc.lb_num);
  extended_file_entry r{};
  ASSERT_EQ(mdcudfsr_read_extended_file_entry(again, root_block.data(), B, 0, &r, nullptr, nullptr, 0), 0);
  const auto entries = read_dir_in_icb(root_block.data(), r.l_ea, r.l_ad);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].name, "docs");
  EXPECT_EQ(entries[1].chars, 0x02);
  const std::vector<uint8_t> dir_block = v.metadata_block(again, entries[1].icb);
  extended_file_entry d{};
  ASSERT_EQ(mdcudfsr_read_extended_file_entry(again, dir_block.data(), B, 0, &d, nullptr, nullptr, 0), 0);
  EXPECT_EQ(d.unique_id, dir.unique_id);
  EXPECT_EQ(d.icbtag.file_type, 4);
  const auto parent = read_dir_in_icb(dir_block.data(), d.l_ea, d.l_ad);
  ASSERT_EQ(parent.size(), 1u);
  EXPECT_EQ(parent[0].icb, 2u);
  if (re) {
    // The unallocated space bitmap the sequence names reads back.
    mdcudfsr_extent_list list;
    mdcudfsr_extent_list_init(&list);
    mdcudfsr_extent_entry e;
    e.extent.len = again->vds.pd.phd.unalloc_space_bitmap.len;
    e.extent.loc = lb_addr{again->vds.pd.phd.unalloc_space_bitmap.pos, 2};
    mdcudfsr_extent_list_add(&list, &e, 0);
    uint32_t bits = 0, bytes = 0;
    EXPECT_EQ(mdcudfsr_sbmp_read_sbd(again, &list, nullptr, &bits, &bytes), 0);
    EXPECT_EQ(bits, v.layout.partition_len);
    mdcudfsr_extent_list_free(&list);
  }

  if (access("/usr/bin/udfinfo", X_OK) != 0) GTEST_SKIP() << "udfinfo is not installed";
  const std::vector<uint8_t> image = v.disc_image();
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
        "start=" + std::to_string(v.layout.lvid) + ", blocks=1, type=LVID",
        "start=" + std::to_string(v.layout.main_vds) + ", blocks=16, type=MVDS",
        "start=" + std::to_string(v.layout.reserve_vds) + ", blocks=16, type=RVDS"})
    EXPECT_NE(out.find(line + "\n"), std::string::npos) << line << "\n" << out;
}

INSTANTIATE_TEST_SUITE_P(EachMediumClass, DriveFlush,
                         ::testing::Values(MediumClass::WriteOnce, MediumClass::F2, MediumClass::Rewritable),
                         [](const auto& info) { return name_of(info.param); });

}  // namespace
