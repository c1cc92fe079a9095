// A volume with files and directories written by the entry writers on the
// real volume routines, write clusters and agent over the simulated drive,
// read back by the system's readers through the drive and checked with the
// Debian udftools reader.
#include "engine/udf/real_support.h"
#include "kelcache/cache_node.h"

#include "udf/udf_efe.h"
#include "udf/udf_lvid.h"
#include "udf/udf_metadata.h"
#include "udf/udf_mount.h"
#include "udf/udf_names.h"
#include "udf/udf_tag.h"
#include "udf/udf_write_efe.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

using namespace udf_real;
using udf_test::MediumClass;
using udf_test::put_fid;
using udf_test::read_dir_in_icb;

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

TEST(RealUdfinfoWritten, VolumeWithFilesAndDirectoriesWrittenByTheEntryWriters) {
  RealVolume v(MediumClass::Rewritable);
  v.mount();
  v.start_agent();
  mdcudfsr_mount* m = v.m();
  std::vector<uint8_t> blk;
  auto metadata_block = [&](uint32_t lbn) {
    blk = v.metadata_block(lbn);
    return blk.data();
  };
  const uint32_t root = 2;
  uint64_t root_uid = 0;
  {
    extended_file_entry r{};
    ASSERT_EQ(mdcudfsr_read_extended_file_entry(m, metadata_block(root), 2048, 0, &r, nullptr, nullptr, 0), 0);
    root_uid = r.unique_id;
  }
  // A file of 5000 bytes in the physical partition (reference 1: the disc of slot 0).
  const uint32_t data_block = 3000;
  v.write(v.layout.partition_start + data_block, std::vector<uint8_t>(3 * 2048, 'x'));
  mdcudfsr_extent_list file_extents;
  mdcudfsr_extent_list_init(&file_extents);
  mdcudfsr_extent_entry e;
  e.extent.len = 5000;
  e.extent.loc = lb_addr{data_block, 1};
  mdcudfsr_extent_list_add(&file_extents, &e, 0);
  extended_file_entry file{};
  mdcudfsr_init_extended_file_entry(m, 0644, &file, 1);
  file.icbtag.file_type = 5;
  file.inf_len = file.object_size = 5000;
  file.logblks_rec = 3;
  file.icbtag.parent_icb = lb_addr{root, 0};
  const uint32_t file_loc = mdcudfsr_allocate_metadata_blocks(m, 1);
  mdcudfsr_cache_node file_node;  // the FID builder reads the cache node around the UDF part
  mdcudfsr_udf_data file_data;
  file_node.udf_data = &file_data;
  mdcudfsr_efe_write w{0, file_loc, file_loc, 0xFFFF, &file, nullptr, &file_extents, nullptr, 0, &file_node, -1, 0};
  ASSERT_EQ(mdcudfsr_flush_extended_file_entry(m, &w, nullptr), 0);

  // A subdirectory holding only its parent entry.
  extended_file_entry dir{};
  mdcudfsr_init_extended_file_entry(m, 0755, &dir, 1);
  dir.icbtag.file_type = 4;
  dir.link_cnt = 1;
  dir.icbtag.parent_icb = lb_addr{root, 0};
  const uint32_t dir_loc = mdcudfsr_allocate_metadata_blocks(m, 1);
  uint8_t fids[512];
  uint32_t n = put_fid(m, fids, dir_loc, 0x0A, nullptr, root, root_uid);
  ASSERT_EQ(mdcudfsr_flush_extended_file_entry_in_icb(m, 0, dir_loc, dir_loc, 0xFFFF, &dir, nullptr, fids, n, nullptr), 0);

  // The root rewritten in place with the parent entry and both children.
  extended_file_entry r{};
  ASSERT_EQ(mdcudfsr_read_extended_file_entry(m, metadata_block(root), 2048, 0, &r, nullptr, nullptr, 0), 0);
  n = put_fid(m, fids, root, 0x0A, nullptr, root, root_uid);
  n += put_fid(m, fids + n, root, 0x02, "docs", dir_loc, dir.unique_id);
  n += put_fid(m, fids + n, root, 0x00, "readme.txt", file_loc, file.unique_id);
  r.link_cnt = 2;
  ASSERT_EQ(mdcudfsr_flush_extended_file_entry_in_icb(m, 0, root, root, 0xFFFF, &r, nullptr, fids, n, nullptr), 0);

  // The node cache's nodes of this tree: the root, "docs" and "readme.txt".
  CacheNodes nodes(m);
  nodes.add("docs", true);
  nodes.add("readme.txt", false);
  v.commit_staged();  // the staged entries on the disc
  ASSERT_EQ(flush_lvid_locked(m, 0, 0), 0);

  // Read back with the system's readers: the root lists both children, the
  // file's entry gives its extent back, the directory points at its parent.
  ASSERT_EQ(mdcudfsr_read_extended_file_entry(m, metadata_block(root), 2048, 0, &r, nullptr, nullptr, 0), 0);
  const std::vector<uint8_t> root_block = v.metadata_block(root);
  const auto entries = read_dir_in_icb(root_block.data(), r.l_ea, r.l_ad);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[1].name, "docs");
  EXPECT_EQ(entries[1].chars, 0x02);
  EXPECT_EQ(entries[2].name, "readme.txt");
  EXPECT_EQ(entries[2].chars, 0x00);
  EXPECT_EQ(entries[2].uid, static_cast<uint32_t>(file.unique_id));
  extended_file_entry f{};
  mdcudfsr_extent_list back;
  mdcudfsr_extent_list_init(&back);
  uint32_t flag = 0;
  ASSERT_EQ(mdcudfsr_read_extended_file_entry(m, metadata_block(entries[2].icb), 2048, 0, &f, &back, &flag, 0), 0);
  EXPECT_EQ(f.unique_id, file.unique_id);
  EXPECT_EQ(f.inf_len, 5000u);
  ASSERT_NE(back.first, nullptr);
  EXPECT_EQ(EXTENT_LENGTH(back.first->extent.len), 5000u);
  EXPECT_EQ(back.first->extent.loc.lb_num, data_block);
  EXPECT_EQ(back.first->extent.loc.part_num, 1);
  mdcudfsr_extent_list_free(&back);
  extended_file_entry d{};
  ASSERT_EQ(mdcudfsr_read_extended_file_entry(m, metadata_block(entries[1].icb), 2048, 0, &d, nullptr, nullptr, 0),
            0);
  const std::vector<uint8_t> dir_block = v.metadata_block(entries[1].icb);
  const auto parent = read_dir_in_icb(dir_block.data(), d.l_ea, d.l_ad);
  ASSERT_EQ(parent.size(), 1u);
  EXPECT_EQ(parent[0].icb, root);
  mdcudfsr_extent_list_free(&file_extents);

  // The volume summary of udfinfo (it reads volume-level structures only).
  if (access("/usr/bin/udfinfo", X_OK) != 0) GTEST_SKIP() << "udfinfo is not installed";

  char path[] = "/tmp/kel_udf_writtenXXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::vector<uint8_t> image = v.disc_image();
  ASSERT_EQ(write(fd, image.data(), image.size()), static_cast<ssize_t>(image.size()));
  close(fd);
  int status = 0;
  const std::string out = run(std::string("/usr/bin/udfinfo --blocksize=2048 ") + path + " 2>&1", &status);
  unlink(path);
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(out.find("rror"), std::string::npos) << out;
  EXPECT_NE(out.find("integrity=closed\n"), std::string::npos) << out;
  EXPECT_NE(out.find("lvid=SERIAL0001\n"), std::string::npos) << out;
}

}  // namespace
