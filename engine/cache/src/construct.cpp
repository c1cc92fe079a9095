// Building the node cache at mount from the local copy of the metadata file,
// and releasing it at unmount and at all-erase.
#include "cache_internal.h"
#include "kelhost/kern_errno.h"
#include "scan_internal.h"

#include "kelagent/metacache.h"
#include "kelcache/cache_salvage.h"
#include "udf/udf_fsd.h"
#include "udf/udf_metadata.h"
#include "udf/udf_mount.h"
#include "udf/udf_neighbour_calls.h"

#include <cstring>

using namespace kelcache;

namespace {

void refuse_fsd(mdcudfsr_mount* m) { mdcudfsr_set_mntinfo_state(m, 2, 0x80000100, 0x80000); }

// The file set descriptor, read and checked, into the mount. 0, 30 or the error.
int read_fsd(mdcudfsr_mount* m, uint64_t size, vfs_context_t ctx, int source) {
  const uint32_t bs = m->logical_block_size;
  const uint64_t offset = uint64_t(bs) * m->fsd_loc;
  if (offset + 2ull * bs > size) {
    CACHE_LOG(ERR, "FSD cannot readable, offset(%d), size(%d)\n", static_cast<int>(offset), static_cast<int>(size));
    refuse_fsd(m);
    return KEL_EINVAL;
  }
  uint8_t* raw = static_cast<uint8_t*>(cache_alloc(2 * bs));
  if (!raw) {
    CACHE_LOG(ERR, "failed to allocate memory for FSD buffer\n");
    refuse_fsd(m);
    return KEL_ENOMEM;
  }
  uint32_t cache_err = 0;
  int err = scan_read(m, source, offset, 2 * bs, raw, &cache_err);
  if (err || cache_err) {
    CACHE_LOG(ERR, "Read FSD data failed from Fs Local Cache. err = %d cache_err = %d\n", err, cache_err);
    refuse_fsd(m);
    cache_free(raw, 2 * bs);
    return err ? err : KEL_EIO;
  }
  err = mdcudfsr_read_file_set_desc(m, raw, &m->fsd, ctx);
  cache_free(raw, 2 * bs);
  if (err == KEL_EROFS) CACHE_LOG(INFO, "be read only with status=%d\n", err);
  if (!err || err == KEL_EROFS) check_efe_clear(m, m->fsd_loc, 2);
  return err;
}

mdcudfsr_cache_node* make_root(mdcudfsr_mount* m) {
  char name[] = "<Root>";
  mdcudfsr_cache_node* root =
      mdcudfsr_cache_alloc_node(m, nullptr, name, 0, UDF_FILE_CHAR_DIR, 0x110, MDCUDFSR_NODE_UDF);
  if (!root) return nullptr;
  root->objid = MDCUDFSR_OBJID_ROOT;
  m->root_node = root;
  m->udf_root = root;
  return root;
}

// The next unique id above every id read.
void raise_unique_id(mdcudfsr_mount* m) {
  if (m->max_unique_id >= m->next_unique_id) m->next_unique_id = m->max_unique_id + 1;
  if (m->max_overlap_unique_id && m->next_unique_id == m->max_overlap_unique_id + 1) {
    CACHE_LOG(INFO, "pxo4666 node has max unique id(%d), increment uniqueid for permitting to writeopen\n",
              static_cast<int>(m->max_overlap_unique_id));
    ++m->next_unique_id;
  }
}

uint64_t metadata_size(const mdcudfsr_mount* m) {
  if (m->metadata_main_partition_length) return m->metadata_main_partition_length;
  return m->part[0].length ? m->part[0].length : m->part[1].length;
}

int make_check_bitmap(mdcudfsr_mount* m, uint64_t size) {
  const uint64_t bits = (size + m->logical_block_size - 1) / m->logical_block_size;
  const uint64_t bytes = (bits + 7) / 8;
  if (bits > 0xFFFFFFFFull || bytes + MDCUDFSR_CHECK_EFE_HEADER > 0xFFFFFFFFull) return KEL_ENOMEM;
  auto* map = static_cast<uint8_t*>(cache_alloc(static_cast<uint32_t>(bytes + MDCUDFSR_CHECK_EFE_HEADER)));
  if (!map) return KEL_ENOMEM;
  std::memset(map, 0, MDCUDFSR_CHECK_EFE_HEADER);
  const uint32_t b32 = static_cast<uint32_t>(bits), n32 = static_cast<uint32_t>(bytes);
  std::memcpy(map + 4, &b32, 4);
  std::memcpy(map + 12, &n32, 4);
  std::memset(map + MDCUDFSR_CHECK_EFE_HEADER, 0xFF, bytes);
  m->check_efe_bitmap = map;
  return 0;
}

void free_check_bitmap(mdcudfsr_mount* m) {
  if (!m->check_efe_bitmap) return;
  uint32_t bytes = 0;
  std::memcpy(&bytes, m->check_efe_bitmap + 12, 4);
  cache_free(m->check_efe_bitmap, bytes + MDCUDFSR_CHECK_EFE_HEADER);
  m->check_efe_bitmap = nullptr;
}

// The local copy of the metadata file. 0 or the error; *source is
// the copy the construction reads.
int copy_metadata(mdcudfsr_mount* m, vfs_context_t ctx, int prepared, int* source) {
  if (prepared) {
    *source = 1;
    return 0;
  }
  *source = 0;
  m->local_cache_handles[0] = -1;
  std::memset(m->local_cache_name[0], 0, sizeof m->local_cache_name[0]);
  int err = mdcudfsr_cache_local_cache_open(m, 3, ctx);
  const bool opened = !err;
  if (!err) err = mdcudfsr_read_metadata_file(m, ctx, *source);
  if (err) {
    CACHE_LOGK(ERR, "err=%d\n", err);
    if (opened) mdcudfsr_cache_local_fs_cache_del(m, 1);
  }
  return err;
}

}  // namespace

uint32_t mdcudfsr_cache_check_efe_first_block(const mdcudfsr_mount* m) {
  const uint8_t* map = m->check_efe_bitmap;
  if (!map) return 0;
  uint32_t bytes = 0;
  std::memcpy(&bytes, map + 12, 4);
  for (uint32_t i = 0; i < bytes; ++i) {
    const uint8_t b = map[MDCUDFSR_CHECK_EFE_HEADER + i];
    if (b) return i * 8 + static_cast<uint32_t>(__builtin_ctz(b));
  }
  return 0;
}

int mdcudfsr_cache_construct(mdcudfsr_mount* m, uint64_t size, vfs_context_t ctx, int reconstruct, int source) {
  int err = read_fsd(m, size, ctx, source);
  const bool ro = err == KEL_EROFS;
  if (err && !ro) {
    CACHE_LOG(INFO, "err=%d", err);
    return err;
  }
  mdcudfsr_cache_node* root = m->root_node;
  if (!reconstruct) {
    {
      std::lock_guard<std::mutex> lk(m->udf_obj_creation_mutex);
      m->udf_obj_creation_flags = 0;
    }
    root = make_root(m);
    if (!root) {
      CACHE_LOG(INFO, "err=%d", 12);
      return KEL_ENOMEM;
    }
  }
  err = mdcudfsr_cache_init_udf_node(m, size, root, m->fsd.rootdir_icb.loc.lb_num, ctx, source);
  raise_unique_id(m);
  if ((err == 0 || err == KEL_EROFS) && !reconstruct) {
    const int serr = mdcudfsr_cache_create_shadow_node(m, 0);
    if (serr) {
      CACHE_LOG(ERR, "cant make shadow noder%d\n", serr);
      err = KEL_EROFS;
    }
  }
  if (!err && ro) err = KEL_EROFS;
  CACHE_LOG(INFO, "err=%d", err);
  return err;
}

namespace {

// The checkEFE run: the search from the first block the tree does not use;
// then the mount information shows the run.
void run_check_efe(mdcudfsr_mount* m, uint64_t size, vfs_context_t ctx, int source) {
  const uint32_t first = mdcudfsr_cache_check_efe_first_block(m);
  CACHE_LOG(INFO, "checkEFE first unreferenced block %u\n", first);
  const int found = mdcudfsr_unreferenced_file_search(m, size, first, ctx, source);
  if (!found) CACHE_LOG(NOTI, "checkEFE End. unreferencedFile is exist\n");
  else CACHE_LOG(NOTI, "checkEFE End. unreferencedFile is not exist (%d)\n", found);
  m->mntinfo.MountStatus = 0;
  m->mntinfo.MediumType = static_cast<uint8_t>(m->medium_type);
  m->mntinfo.VolumeStatus = static_cast<uint8_t>((m->mntinfo.VolumeStatus & 0x6A) | 0x85);
}

bool merge_efe_mode(const mdcudfsr_mount* m) {
  return (m->mount_ext_flags & MDCUDFSR_MERGE_EFE_FLAGS) == MDCUDFSR_MERGE_EFE_FLAGS;
}

// The mergeEFE run: the EFE cache file's files linked into the tree.
void run_merge_efe(mdcudfsr_mount* m, vfs_context_t ctx) {
  const int err = mdcudfsr_unreferenced_file_determination(m, ctx);
  if (!err) CACHE_LOG(NOTI, "mergeEFE success. \n");
  else CACHE_LOG(ERR, "mergeEFE failed err=%d \n", err);
  m->mntinfo.MountStatus = 0;
  m->mntinfo.WriteProtectReasonFlags |= 0x20000u;
  m->mntinfo.MediumType = static_cast<uint8_t>(m->medium_type);
  m->mntinfo.VolumeStatus = static_cast<uint8_t>((m->mntinfo.VolumeStatus & 0x69) | 0x86);
}

}  // namespace

int mdcudfsr_cache_init(mdcudfsr_mount* m, vfs_context_t ctx, int prepared, int source_flag) {
  const uint64_t size = metadata_size(m);
  const bool check = check_efe_mode(m);
  if (check && make_check_bitmap(m, size)) {
    CACHE_LOG(ERR, "can't allocate memory\n");
    return KEL_ENOMEM;
  }
  int source = 1;
  int err = 0;
  if (!prepared && source_flag) {
    err = mdcudfsr_read_metadata_file(m, ctx, 1);
    if (err) CACHE_LOGK(ERR, "err=%d\n", err);
  } else {
    err = copy_metadata(m, ctx, prepared, &source);
  }
  if (!err) {
    err = mdcudfsr_cache_construct(m, size, ctx, 0, source);
    if ((!err || err == KEL_EROFS) && check) run_check_efe(m, size, ctx, source);
    else if ((!err || err == KEL_EROFS) && merge_efe_mode(m)) run_merge_efe(m, ctx);
  }
  // Outside the salvage modes the local copy has served its purpose.
  if (!mdcudfsr_salvage_flags(m->mount_ext_flags) && m->local_cache_handles[0] != -1)
    mdcudfsr_cache_local_fs_cache_del(m, 1);
  free_check_bitmap(m);
  CACHE_LOG(INFO, "err=%d", err);
  return err;
}

int mdcudfsr_cache_term_sub(mdcudfsr_mount* m) {
  kelcache::detach_shadow_nodes(m);
  if (m->shadow_node) release_children_of(m->shadow_node);
  if (m->root_node) release_children_of(m->root_node);
  return 0;
}

int mdcudfsr_cache_term(mdcudfsr_mount* m) {
  mdcudfsr_free_salvage_list(m);
  kelcache::detach_shadow_nodes(m);
  // Detached, the shadow folder's nodes name no node and none names them.
  // The mount stops naming the folder before it is released: the release of
  // each of its nodes would otherwise search the whole folder for links to
  // it, a walk per node (seconds for a packed session of 10,000 files).
  mdcudfsr_cache_node* shadow = m->shadow_node;
  m->shadow_node = nullptr;
  if (shadow) mdcudfsr_cache_free_shadow_node(shadow);
  if (m->root_node) mdcudfsr_cache_free_node(m->root_node);
  m->root_node = nullptr;
  m->udf_root = nullptr;
  std::lock_guard<std::mutex> lk(m->udf_obj_creation_mutex);
  m->udf_obj_creation_flags = 0;
  return 0;
}
