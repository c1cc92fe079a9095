// Object limits and counts, the directory stack, the questions asked of a
// node (authorisation, empty directory, file size), dirty marks and sizes.
#include "support.h"

#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_time.h"

#include "udf/udf_extent.h"

using namespace cache_test;

TEST(Objects, LimitsByMediumAndFormatLevel) {
  const struct {
    uint32_t medium;
    uint8_t level;
    uint32_t limit;
    int result;
  } cases[] = {{0xF2, 2, 800000, 0},  {0xF2, 0x12, 240000, 0}, {0xF1, 2, 480000, 0}, {0xF1, 0x12, 240000, 0},
               {0x53, 2, 60000, 0},   {0xE1, 2, 60000, 0},     {0xE8, 0x12, 240000, 0}, {0xE9, 2, 0, 30},
               {0xD3, 0x12, 0, 30},   {0x57, 2, 0, 30}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.medium);
    Volume v(c.medium);
    v.m.format_level = c.level;
    uint32_t files = 1, dirs = 1, free_count = 7;
    EXPECT_EQ(c.result, mdcudfsr_cache_get_max_object_count(&v.m, 123, &files, &dirs));
    EXPECT_EQ(c.limit, files);
    EXPECT_EQ(c.limit, dirs);
    EXPECT_EQ(0, mdcudfsr_cache_get_free_object_count(&v.m, 1, &free_count));
    EXPECT_EQ(c.limit, free_count);
  }
}

TEST(Objects, FreeCountNeverNegativeAndReservationsHeldBack) {
  const struct {
    uint32_t files, dirs, reserved_files, reserved_dirs;
    int include_reserved;
    uint32_t want;
  } cases[] = {
      {479000, 999, 0, 0, 1, 1},    {479000, 1001, 0, 0, 1, 0}, {479990, 5, 10, 0, 1, 0},
      {479990, 5, 10, 0, 0, 5},     {400000, 0, 30000, 20000, 1, 30000}, {400000, 0, 30000, 20000, 0, 80000},
  };
  Volume v(0xF1);
  v.m.format_level = 2;
  for (const auto& c : cases) {
    v.m.nfiles = c.files;
    v.m.ndirs = c.dirs;
    ASSERT_EQ(0, mdcudfsr_cache_set_reserved_object_count(&v.m, c.reserved_files, c.reserved_dirs));
    uint32_t free_count = 99;
    EXPECT_EQ(0, mdcudfsr_cache_get_free_object_count(&v.m, c.include_reserved, &free_count));
    EXPECT_EQ(c.want, free_count) << c.files << "+" << c.dirs;
  }
  v.m.nfiles = 0;
  v.m.ndirs = 0;
}

TEST(Objects, CountsFollowCreatedNodesByKind) {
  Volume v;
  v.make(v.root, "d1", true);
  v.make(v.root, "d2", true);
  v.make(v.root, "f");
  ASSERT_EQ(0, mdcudfsr_cache_create_shadow_node(&v.m, 0));
  std::string dollar = "@@tmp";
  mdcudfsr_cache_node* n = nullptr;
  ASSERT_EQ(0, mdcudfsr_cache_create_dollar_proxy_node(v.m.shadow_node, dollar.data(), -1, 0, 0, 0644, &n, nullptr));
  mdcudfsr_cache_unlock_node(n);
  for (int kind : {1, 2, 4, 0, 3, 5}) {
    uint32_t files = 9, dirs = 9;
    EXPECT_EQ(0, mdcudfsr_cache_get_object_count(&v.m, kind, &files, &dirs));
    const bool counted = kind == 1 || kind == 2 || kind == 4;
    EXPECT_EQ(counted ? 1u : 0u, files) << kind;
    EXPECT_EQ(counted ? 2u : 0u, dirs) << kind;
  }
}

TEST(DirStack, GrowsBy500KeepsOrderAndStopsAtTheLimit) {
  Volume v(0xE1);
  mdcudfsr_dirstack s;
  ASSERT_EQ(0, mdcudfsr_dirstack_init(&s));
  EXPECT_EQ(500u, s.capacity);
  std::vector<mdcudfsr_cache_node> fakes(60001);
  for (auto& f : fakes) f.mdcudfsrmp = &v.m;
  for (uint32_t i = 0; i < 501; ++i) ASSERT_EQ(i + 1, mdcudfsr_dirstack_push(&s, &fakes[i], 0));
  EXPECT_EQ(1000u, s.capacity);
  for (uint32_t i = 501; i < 60000; ++i) ASSERT_EQ(i + 1, mdcudfsr_dirstack_push(&s, &fakes[i], 0));
  EXPECT_EQ(60001u, mdcudfsr_dirstack_push(&s, &fakes[60000], 0));
  EXPECT_EQ(24, s.error);
  EXPECT_EQ(60001u, mdcudfsr_dirstack_push(&s, &fakes[60000], 1));  // the extended format's limit is larger
  EXPECT_EQ(60500u, s.capacity);
  EXPECT_EQ(&fakes[60000], mdcudfsr_dirstack_pop(&s));
  for (uint32_t i = 60000; i-- > 0;) ASSERT_EQ(&fakes[i], mdcudfsr_dirstack_pop(&s)) << i;
  EXPECT_EQ(nullptr, mdcudfsr_dirstack_pop(&s));
  mdcudfsr_cache_node no_mount;
  EXPECT_EQ(1u, mdcudfsr_dirstack_push(&s, &no_mount, 0));
  EXPECT_EQ(22, s.error);
  EXPECT_EQ(1u, mdcudfsr_dirstack_push(&s, nullptr, 0));
  mdcudfsr_dirstack_free(&s);
  mdcudfsr_dirstack_free(&s);
  EXPECT_EQ(nullptr, s.entries);
  fail_allocation(1);
  EXPECT_EQ(12, mdcudfsr_dirstack_init(&s));
}

TEST(Queries, Authorisation) {
  const struct {
    const char* what;
    int mode;
    bool readonly, all_write, priv_mode, priv_process;
    int want;
  } cases[] = {
      {"read", 0x001, false, false, false, false, 0},
      {"write, nobody allowed", 0x002, false, false, false, false, 1},
      {"0x100, nobody allowed", 0x100, false, false, false, false, 1},
      {"write on a read-only volume", 0x002, true, true, true, true, 30},
      {"every process may write", 0x002, false, true, false, false, 0},
      {"privileged process in privileged mode", 0x002, false, false, true, true, 0},
      {"privileged mode, other process", 0x002, false, false, true, false, 1},
      {"privileged process, mode off", 0x002, false, false, false, true, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Volume v;
    mount vfs{};
    v.m.mp = &vfs;
    vfs_setflags(&vfs, c.readonly ? 1 : 0);
    v.m.mount_ext_flags = c.all_write ? 1 : 0;
    v.m.privileged_mode = c.priv_mode ? 1 : 0;
    vfs_context caller{77};
    v.m.privileged_pid = c.priv_process ? 77 : 78;
    EXPECT_EQ(c.want, mdcudfsr_cache_is_authorized(v.root, c.mode, &caller));
  }
  mdcudfsr_cache_node orphan;
  EXPECT_EQ(22, mdcudfsr_cache_is_authorized(&orphan, 2, nullptr));
}

TEST(Queries, FileSizeByKind) {
  Volume v;
  mdcudfsr_cache_node* f = v.make(v.root, "f");
  f->udf_data->efe.inf_len = 1000;
  const struct {
    uint32_t kind;
    bool vfam;
    bool dir;
    bool symlink;
    uint64_t want;
  } cases[] = {{MDCUDFSR_NODE_UDF, false, false, false, 1000},   {MDCUDFSR_NODE_PROXY, false, false, false, 1000},
               {MDCUDFSR_NODE_MASTER, false, false, false, 1000}, {MDCUDFSR_NODE_MASTER, true, false, false, 77},
               {MDCUDFSR_NODE_VIRTUAL, true, false, false, 77},   {MDCUDFSR_NODE_VIRTUAL, false, false, false, 0},
               {MDCUDFSR_NODE_SHADOW, false, false, false, 0},    {MDCUDFSR_NODE_UDF, false, true, false, 0},
               {MDCUDFSR_NODE_UDF, false, false, true, 6}};
  for (const auto& c : cases) {
    f->kind = c.kind;
    if (c.vfam) {
      ASSERT_EQ(0, mdcudfsr_cache_alloc_vfam_data(&v.m, f));
      f->vfam_data->file_size = 77;
    }
    f->file_char = c.dir ? UDF_FILE_CHAR_DIR : 0;
    char target[] = "target";
    f->symlink_target = c.symlink ? target : nullptr;
    EXPECT_EQ(c.want, mdcudfsr_cache_get_file_size(f)) << c.kind << " vfam " << c.vfam;
    f->symlink_target = nullptr;
    mdcudfsr_cache_free_vfam_data(f);
  }
  f->kind = MDCUDFSR_NODE_UDF;
  f->file_char = 0;
}

namespace {

void add_extent(mdcudfsr_cache_node* n, uint32_t len, uint32_t type = EXTENT_FLAGS_RECORDED, uint16_t zone = 1) {
  mdcudfsr_extent_entry e;
  e.extent.len = EXTENT_MAKE(len, type);
  e.extent.loc = lb_addr{100, zone};
  ASSERT_EQ(0, mdcudfsr_extent_list_add(&n->udf_data->extents, &e, 0));
}

}  // namespace

TEST(Marks, CreationMarksTheNodeAndItsParent) {
  Volume v;
  mdcudfsr_cache_node* d = v.make(v.root, "d", true);
  v.root->cache_dirty = 0;
  d->cache_dirty = 0;
  mdcudfsr_cache_node* f = v.make(d, "f");
  EXPECT_EQ(1u, f->cache_dirty);
  EXPECT_EQ(1u, d->cache_dirty);
  EXPECT_EQ(0u, v.root->cache_dirty);
  d->cache_dirty = 0;
  EXPECT_EQ(0, mdcudfsr_cache_set_dirty(d));
  EXPECT_EQ(1u, d->cache_dirty);
  EXPECT_EQ(22, mdcudfsr_cache_set_dirty(nullptr));
  EXPECT_EQ(22, mdcudfsr_cache_set_parent_dirty(nullptr));
  EXPECT_TRUE(f->lock_owner == 0 && d->lock_owner == 0);
}

TEST(Sizes, OnDiscFileTakesSizesWithinItsExtents) {
  Volume v;
  mdcudfsr_cache_node* f = v.make(v.root, "f");
  // A 10-byte file cut to 0 loses its only extent.
  add_extent(f, 10);
  f->udf_data->efe.inf_len = 10;
  EXPECT_EQ(0, mdcudfsr_cache_set_file_size(f, 0));
  EXPECT_EQ(0u, mdcudfsr_cache_count_extents(f));
  EXPECT_EQ(0u, f->udf_data->efe.inf_len);
  EXPECT_EQ(0u, f->recorded_length);

  // Allocated 2048 recorded + 4096 allocated-not-recorded.
  add_extent(f, 2048);
  add_extent(f, 4096, EXTENT_FLAGS_NOT_RECORDED);
  v.m.time_zone_offset = 540;  // the volume keeps UTC+9
  f->udf_data->efe.attrtime = timestamp{};
  EXPECT_EQ(22, mdcudfsr_cache_set_file_size(f, 6145));  // larger: refused, nothing changes
  EXPECT_TRUE(rec().logged("can not expand file size without ruvoctrl."));
  EXPECT_EQ(2u, mdcudfsr_cache_count_extents(f));
  EXPECT_EQ(0u, f->udf_data->efe.inf_len);
  EXPECT_EQ(0u, f->udf_data->efe.attrtime.year);
  timespec before{}, after{}, back{};
  nanotime(&before);
  EXPECT_EQ(0, mdcudfsr_cache_set_file_size(f, 6144));
  nanotime(&after);
  EXPECT_EQ(6144u, f->udf_data->efe.object_size);
  EXPECT_EQ(1u, f->udf_data->efe.logblks_rec);
  // The attribute time is now, in the volume's time zone.
  EXPECT_EQ(0x1000 | 540, f->udf_data->efe.attrtime.type_tz);
  mdcudfsr_udftime2timespec(&f->udf_data->efe.attrtime, &back);
  EXPECT_GE(back.tv_sec, before.tv_sec);
  EXPECT_LE(back.tv_sec, after.tv_sec);
  EXPECT_EQ(0, mdcudfsr_cache_set_file_size(f, 3000));  // cuts the unrecorded tail to 952 bytes
  EXPECT_EQ(2u, mdcudfsr_cache_count_extents(f));
  EXPECT_EQ(3000u, mdcudfsr_extent_list_get_selected_length(&f->udf_data->extents, 0));
  EXPECT_EQ(3000u, f->recorded_length);
}

TEST(Sizes, ByKindAndAttributes) {
  const struct {
    const char* what;
    uint32_t kind;
    bool dir, manual, vfam;
    uint32_t ext_flags;
    uint64_t size;
    int want;
    int64_t vfam_size;  // -1: not checked
  } cases[] = {
      {"directory", MDCUDFSR_NODE_UDF, true, false, false, 0, 0, 21, -1},
      {"manual-allocation file that would grow", MDCUDFSR_NODE_UDF, false, true, false, 0, 2049, 22, -1},
      {"manual-allocation file that shrinks", MDCUDFSR_NODE_UDF, false, true, false, 0, 100, 0, -1},
      {"proxy beyond its master's extents", MDCUDFSR_NODE_PROXY, false, false, false, 0, 4097, 22, -1},
      {"master with virtual data grows", MDCUDFSR_NODE_MASTER, false, false, true, 0, 1 << 20, 0, 1 << 20},
      {"master on a direct-I/O mount", MDCUDFSR_NODE_MASTER, false, false, true, 0x08, 1 << 20, 0, 5},
      {"virtual node without data", MDCUDFSR_NODE_VIRTUAL, false, false, false, 0, 1 << 20, 0, -1},
      {"shadow kind", MDCUDFSR_NODE_SHADOW, false, false, false, 0, 123, 0, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Volume v;
    mdcudfsr_cache_node* f = v.make(v.root, "f");
    add_extent(f, 4096);
    f->udf_data->efe.inf_len = 2048;
    f->kind = c.kind;
    f->file_char = c.dir ? UDF_FILE_CHAR_DIR : 0;
    if (c.manual) f->attributes |= MDCUDFSR_NODE_ATTR_MANUAL_ALLOCATION;
    if (c.vfam) {
      ASSERT_EQ(0, mdcudfsr_cache_alloc_vfam_data(&v.m, f));
      f->vfam_data->file_size = 5;
    }
    v.m.mount_ext_flags = c.ext_flags;
    EXPECT_EQ(c.want, mdcudfsr_cache_set_file_size(f, c.size));
    if (c.want == 0) {
      EXPECT_EQ(c.size, f->recorded_length);
    }
    if (c.vfam_size >= 0) {
      EXPECT_EQ(c.vfam_size, f->vfam_data->file_size);
    }
    f->file_char = 0;
    f->kind = MDCUDFSR_NODE_UDF;
  }
}
