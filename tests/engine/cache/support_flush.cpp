#include "support_flush.h"

#include "support.h"

#include "kelcache/cache_flush.h"
#include "kelvfs/mdcudfsr_partitions.h"
#include "sim/harness.h"
#include "udf/udf_metadata.h"
#include "udf/udf_names.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>

namespace cache_test {

void open_for_writing(SimMount& sm, uint32_t nwa) {
  mdcudfsr_mount* m = sm.m();
  kelsim::Cartridge& cart = sm.sim().cartridge();
  kelsim::Disc& d = cart.disc(0);
  if (cart.write_once()) {
    d.status = kelsim::DiscStatus::Incomplete;
    d.tracks = {kelsim::Track{0, cart.disc_blocks(), nwa, false, false}};
  } else {
    m->is_rewritable = 1;
    m->metadata_nwa = nwa;
  }
  ASSERT_EQ(0u, cart.save());
  m->max_metadata_ads = 100;
  ASSERT_EQ(0, mdcudfsr_init_clusters(m));
  ASSERT_EQ(0, mdcudfsr_cache_local_cache_open(m, 3, nullptr));
  sm.sim().service().clear_transcript();
}

mdcudfsr_cache_node* create_node(SimMount& sm, mdcudfsr_cache_node* parent, const char* name, bool dir) {
  std::string copy(name);
  mdcudfsr_cache_node* n = nullptr;
  const int err = mdcudfsr_cache_create_udf_node(parent, copy.data(), -1, 0, dir ? UDF_FILE_CHAR_DIR : 0, 0644, &n,
                                                 0, nullptr);
  EXPECT_EQ(0, err) << name;
  if (!n) return nullptr;
  mdcudfsr_cache_unlock_node(n);
  n->cache_dirty = 1;
  parent->cache_dirty = 1;
  if (parent->dir_dirty == 0) parent->dir_dirty = 1;
  (void)sm;
  return n;
}

namespace {
void describe(std::ostringstream& out, mdcudfsr_cache_node* dir, const std::string& path) {
  std::vector<std::string> lines;
  for (mdcudfsr_cache_node* c = dir->uid_first ? mdcudfsr_cnp(dir->uid_first) : nullptr; c;
       c = c->uid_next ? mdcudfsr_cnp(c->uid_next) : nullptr) {
    std::ostringstream l;
    const std::string p = path + "/" + c->vfs_name;
    l << p << " uid=" << mdcudfsr_node_unique_id(c) << " size=" << mdcudfsr_cache_get_file_size(c)
      << (mdcudfsr_is_dir(c) ? " dir" : "") << (c->stream_owner ? " parity" : "")
      << " hidden=" << ((c->file_flags & MDCUDFSR_FILE_FLAG_HIDDEN) ? 1 : 0);
    if (c->parity_node)
      l << " stream=" << mdcudfsr_node_name(c->parity_node) << ":" << mdcudfsr_cache_get_file_size(mdcudfsr_cnp(c->parity_node));
    l << "\n";
    lines.push_back(l.str());
    if (mdcudfsr_is_dir(c)) {
      std::ostringstream sub;
      describe(sub, c, p);
      lines.push_back(sub.str());
    }
  }
  for (auto& l : lines) out << l;
}
}  // namespace

std::string tree_text(mdcudfsr_cache_node* dir) {
  std::ostringstream out;
  describe(out, dir, "");
  return out.str();
}

void remap(SimMount& sm) {
  mdcudfsr_mount* m = sm.m();
  uint32_t over = 0;
  EXPECT_EQ(0, mdcudfsr_rebuild_metadata_extent_list_ex(m, m->udf_root, 0, &over));
  EXPECT_EQ(0u, over);
}

std::string read_back(SimMount& sm) {
  mdcudfsr_mount* m = sm.m();
  uint32_t over = 0;
  EXPECT_EQ(0, mdcudfsr_rebuild_metadata_extent_list_ex(m, m->udf_root, 0, &over));
  EXPECT_EQ(mdcudfsr_extent_list_get_selected_length(&m->part[0].list, 0), m->metadata_main_partition_length)
      << "the metadata file's length is the total of its extents";
  EXPECT_EQ(0, mdcudfsr_cache_term_sub(m));
  if (m->local_cache_handles[0] >= 0) mdcudfsr_cache_local_fs_cache_del(m, 1);
  EXPECT_EQ(0, mdcudfsr_cache_local_cache_open(m, 3, nullptr));
  EXPECT_EQ(0, mdcudfsr_read_metadata_file(m, nullptr, 0));
  EXPECT_EQ(0, mdcudfsr_cache_construct(m, m->metadata_main_partition_length, nullptr, 1, 0));
  return tree_text(m->root_node);
}

std::vector<uint8_t> opcodes(SimMount& sm) {
  std::vector<uint8_t> ops;
  for (const auto& e : sm.sim().service().transcript())
    if (!e.cdb.empty()) ops.push_back(e.cdb[0]);
  return ops;
}

std::vector<std::pair<uint32_t, uint32_t>> ranges(SimMount& sm, uint8_t op) {
  std::vector<std::pair<uint32_t, uint32_t>> out;
  for (const auto& e : sm.sim().service().transcript()) {
    if (e.cdb.size() < 10 || e.cdb[0] != op) continue;
    const uint32_t lba = uint32_t{e.cdb[2]} << 24 | uint32_t{e.cdb[3]} << 16 | uint32_t{e.cdb[4]} << 8 | e.cdb[5];
    const uint32_t n = uint32_t{e.cdb[7]} << 8 | e.cdb[8];
    out.emplace_back(lba, n);
  }
  return out;
}

std::vector<uint8_t> metadata_block(SimMount& sm, uint32_t lbn) {
  mdcudfsr_mount* m = sm.m();
  const uint32_t lsn = mdcudfsr_lbn2lsn(m, 0, lbn, nullptr);
  std::vector<uint8_t> out(2048);
  EXPECT_NE(0xFFFFFFFFu, lsn);
  if (lsn != 0xFFFFFFFFu) {
    EXPECT_EQ(0u, sm.sim().cartridge().read_blocks(0, lsn, 1, out.data()));
  }
  return out;
}

}  // namespace cache_test
