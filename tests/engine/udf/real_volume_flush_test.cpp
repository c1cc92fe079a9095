// A metadata flush put together from the structure writers: a new directory,
// the root rewritten at a replacement block and remapped, the metadata file
// grown, its entries rewritten, the sequence and the integrity descriptor
// flushed, on the real volume routines, write clusters and agent over the
// simulated drive; then a fresh mount reads it all back through the drive,
// the node cache builds the tree from its local copy, and udfinfo accepts it.
#include "engine/udf/real_support.h"
#include "kelcache/cache_node.h"

#include "kelcache/cache.h"
#include "udf/udf_anchor_vds.h"
#include "udf/udf_efe.h"
#include "udf/udf_fsd.h"
#include "udf/udf_lvid.h"
#include "udf/udf_metadata.h"
#include "udf/udf_mount.h"
#include "udf/udf_names.h"
#include "udf/udf_tag.h"
#include "udf/udf_vds_flush.h"
#include "udf/udf_write_efe.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

using namespace udf_real;
using udf_test::MediumClass;
using udf_test::put_fid;

constexpr uint32_t B = 2048;

TEST(RealVolumeFlush, WrittenStructuresMountAgain) {
  RealVolume v(MediumClass::WriteOnce);
  v.mount();
  v.start_agent();
  mdcudfsr_mount* m = v.m();
  const uint32_t ps = v.layout.partition_start;
  // The metadata block `lbn` of a mount, read from the disc (kept until the next call).
  std::vector<uint8_t> blk;
  auto block_of = [&](mdcudfsr_mount* mnt, uint32_t lbn) {
    blk = v.metadata_block(mnt, lbn);
    return blk.data();
  };
  m->metadata_block_count = 32;  // the cursor starts at the end of the metadata file

  // Placement: the new directory, then the root's replacement.
  const uint32_t dir_loc = mdcudfsr_allocate_metadata_blocks(m, 1);
  const uint32_t root_rep = mdcudfsr_allocate_metadata_blocks(m, 1);
  ASSERT_EQ(dir_loc, 32u);
  v.set_track_nwa(ps + 400);
  mdcudfsr_relocation_info info{};
  ASSERT_EQ(mdcudfsr_relocate_metadata_file(m, 2, 0, &info, nullptr), 0);
  EXPECT_EQ(info.blocks, 32u);

  // Writing: the directory, then the root at its replacement block.
  extended_file_entry dir{};
  mdcudfsr_init_extended_file_entry(m, 0755, &dir, 1);
  dir.icbtag.file_type = 4;
  dir.icbtag.parent_icb = lb_addr{2, 0};
  uint8_t fids[256];
  uint32_t n = put_fid(m, fids, dir_loc, 0x0A, nullptr, 2);
  ASSERT_EQ(mdcudfsr_flush_extended_file_entry_in_icb(m, 0, dir_loc, dir_loc, 0xFFFF, &dir, nullptr, fids, n, nullptr),
            0);
  extended_file_entry root{};
  ASSERT_EQ(mdcudfsr_read_extended_file_entry(m, block_of(m, 2), B, 0, &root, nullptr, nullptr, 0), 0);
  n = put_fid(m, fids, 2, 0x0A, nullptr, 2);
  n += put_fid(m, fids + n, 2, 0x02, "docs", dir_loc);
  root.link_cnt = 2;
  ASSERT_EQ(mdcudfsr_flush_extended_file_entry_in_icb(m, 0, 2, root_rep, 0xFFFF, &root, nullptr, fids, n, nullptr), 0);
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

  // The metadata file and its mirror get new entries for the new extents.
  const uint32_t main_loc = 440, mirror_loc = 456;
  for (int mirror = 0; mirror < 2; ++mirror) {
    extended_file_entry e{};
    mdcudfsr_init_extended_file_entry(m, 0644, &e, 0);
    e.icbtag.file_type = mirror ? 251 : 250;
    e.inf_len = e.object_size = m->part[0].length - B * m->remap_count;
    const uint32_t loc = mirror ? mirror_loc : main_loc;
    mdcudfsr_efe_write w{2, loc, loc, 0xFFFF, &e, nullptr, &m->part[mirror].list, nullptr, ps + loc, nullptr,
                         mirror ? v.layout.mirror_file_loc : v.layout.metadata_file_loc, mirror};
    ASSERT_EQ(mdcudfsr_flush_extended_file_entry(m, &w, nullptr), 0);
  }
  v.commit_staged();  // the staged blocks on the disc
  m->metadata_file_loc = main_loc;
  m->metadata_mirror_loc = mirror_loc;
  ASSERT_EQ(mdcudfsr_flush_vds(m, nullptr, nullptr, 0), 0);
  CacheNodes nodes(m);  // the root and "docs"
  nodes.add("docs", true);
  m->lvid.integrity_type = 1;
  ASSERT_EQ(flush_lvid_locked(m, 0, 1), 0);

  // A fresh mount.
  auto again_owner = v.record();
  mdcudfsr_mount& again = *again_owner;
  ASSERT_EQ(mdcudfsr_read_avdp(&again, nullptr, 1, 0, nullptr), 0);
  ASSERT_EQ(mdcudfsr_read_vds(&again, nullptr, 0, 1, 0, nullptr), 0);
  ASSERT_EQ(again.vds.pmap.type2_metadata.file_loc, main_loc);
  again.part[2].start_sector = ps;
  again.part[2].length = uint64_t{again.vds.pd.part_len} * B;
  extended_file_entry mefe{};
  uint32_t flag = 0;
  ASSERT_EQ(mdcudfsr_read_extended_file_entry(&again, v.read(ps + main_loc).data(), B, 2, &mefe, &again.part[0].list,
                                              &flag, 0),
            0);
  EXPECT_EQ(mefe.l_ea, 80u);
  ASSERT_EQ(mdcudfsr_read_allocation_extent_chain(&again, nullptr, 2, mefe.icbtag.flags & 7u, &again.part[0].list,
                                                  &flag, nullptr),
            0);
  again.part[0].length = mdcudfsr_extent_list_get_selected_length(&again.part[0].list, 0);
  EXPECT_EQ(again.part[0].length, 63u * B);  // 32 + 32 blocks, one removed by the remap
  // File set descriptor at block 0, root at block 2 with the new directory.
  std::vector<uint8_t> fsd_raw = v.metadata_block(&again, 0), td = v.metadata_block(&again, 1);
  fsd_raw.insert(fsd_raw.end(), td.begin(), td.end());
  fileset_desc fsd{};
  ASSERT_EQ(mdcudfsr_read_file_set_desc(&again, fsd_raw.data(), &fsd, nullptr), 0);
  extended_file_entry r{};
  ASSERT_EQ(mdcudfsr_read_extended_file_entry(&again, block_of(&again, fsd.rootdir_icb.loc.lb_num), B, 0, &r, nullptr,
                                              nullptr, 0),
            0);
  EXPECT_EQ(r.link_cnt, 2);
  EXPECT_EQ(r.l_ad, n);
  fileid_desc second;
  std::memcpy(&second, block_of(&again, 2) + 216 + 40, sizeof second);
  EXPECT_EQ(second.icb.loc.lb_num, dir_loc);
  extended_file_entry d{};
  ASSERT_EQ(mdcudfsr_read_extended_file_entry(&again, block_of(&again, dir_loc), B, 0, &d, nullptr, nullptr, 0), 0);
  EXPECT_EQ(d.unique_id, dir.unique_id);
  ASSERT_EQ(mdcudfsr_read_lvid(&again, nullptr, 0, 1, 0, 0), 0);
  EXPECT_EQ(mdcudfsr_check_lvid_structure(&again, nullptr), 0);
  EXPECT_EQ(mdcudfsr_lvid_imp_use(&again.lvid, 2)->num_dirs, 2u);

  // The node cache builds the flushed tree from a local copy of the metadata file.
  again.metadata_main_partition_length = again.part[0].length;
  again.metacachedev = m->metacachedev;
  again.local_cache_handles[0] = v.open_cache_file("again_meta");
  ASSERT_EQ(mdcudfsr_read_metadata_file(&again, nullptr, 0), 0);
  ASSERT_EQ(mdcudfsr_cache_construct(&again, again.part[0].length, nullptr, 0, 0), 0);
  ASSERT_NE(again.root_node, nullptr);
  {
    std::lock_guard<std::mutex> lk(again.cache_mutex);
    mdcudfsr_cache_node* docs = mdcudfsr_name_avl_search(again.root_node->name_root, "docs", nullptr);
    ASSERT_NE(docs, nullptr);
    EXPECT_EQ(docs->objid, dir.unique_id);
    EXPECT_TRUE(mdcudfsr_is_dir(docs));
  }
  EXPECT_EQ(again.root_node->udf_data->nlink, 2u);
  mdcudfsr_cache_term(&again);
  again.local_cache_handles[0] = -1;
  again.metacachedev = nullptr;

  if (access("/usr/bin/udfinfo", X_OK) != 0) GTEST_SKIP() << "udfinfo is not installed";
  char path[] = "/tmp/kel_udf_flushedXXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::vector<uint8_t> image = v.disc_image();
  ASSERT_EQ(write(fd, image.data(), image.size()), static_cast<ssize_t>(image.size()));
  close(fd);
  std::string out;
  FILE* p = popen((std::string("/usr/bin/udfinfo --blocksize=2048 ") + path + " 2>&1").c_str(), "r");
  ASSERT_NE(p, nullptr);
  char buf[512];
  while (fgets(buf, sizeof buf, p)) out += buf;
  const int status = pclose(p);
  unlink(path);
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(out.find("rror"), std::string::npos) << out;
  EXPECT_NE(out.find("integrity=closed\n"), std::string::npos) << out;
}

}  // namespace
