// Cartridge-memory attributes at mount, the recovery-required file list and
// the volume name handed to the drive layer.
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_cm.h"

#include "drive/cm_data.h"
#include "drive/device_control.h"
#include "drive/storage_scsi_records.h"
#include "kelcache/cache.h"
#include "kelcache/cache_node.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_volume_attr.h"
#include "udf/udf_lvid.h"
#include "udf/udf_names.h"
#include "udf/udf_vds_rules.h"
#include "vfs_log.h"

#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr std::uint32_t kV = cm_attr::k1500Value;
constexpr std::uint32_t kWrprotCmRead = 0x4000;
constexpr const char* kConstants[3] = {"TARN    ", "Velmaro Software                ", "1.0.0   "};

std::uint32_t value_at(int i) { return cm_attr::kOffsets[i] + 5; }

void host_header(std::uint8_t* r, int i) {
  std::uint8_t* h = r + cm_attr::kOffsets[i];
  const std::uint16_t id = cm_attr::kIds[i], len = cm_attr::kLengths[i];
  std::memcpy(h, &id, 2);
  h[2] = cm_attr::kFormats[i];
  std::memcpy(h + 3, &len, 2);
}

void put32(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, 4); }
std::uint32_t get32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
void put64(std::uint8_t* p, std::uint64_t v) { std::memcpy(p, &v, 8); }

// 0803h: the volume label in UTF-16, zero-filled. 22 without memory; a label
// that cannot be converted ends the set-up early (result 0, *stop).
int set_label(mdcudfsr_mount* mnt, std::uint8_t* r, bool* stop) {
  host_header(r, 3);
  const std::uint32_t len = mnt->logvol_id[127] < 127 ? mnt->logvol_id[127] : 127;
  std::unique_ptr<std::uint16_t[]> units(new (std::nothrow) std::uint16_t[128]());
  if (!units) {
    VFS_LOG(KEL_LOG_ERR, "can't allocate unicode strind.len=%d\n", static_cast<int>(len));
    return KEL_EINVAL;
  }
  const std::uint32_t n = len ? mdcudfsr_cs0_to_unicode(len, mnt->logvol_id, units.get()) : 0;
  if (n == 0xFFFFFFFFu) {
    VFS_LOG(KEL_LOG_ERR, "could not uncompress unicode - invalid compressionID=%d", mnt->logvol_id[0]);
    *stop = true;
    return 0;
  }
  std::memset(r + value_at(3), 0, 160);
  std::memcpy(r + value_at(3), units.get(), 2 * (n < 80 ? n : 80));
  mnt->attr_update_mask |= 0x008;
  return 0;
}

void set_1500_constants(mdcudfsr_mount* mnt, std::uint8_t* r) {
  for (int i : {4, 5, 6, 7}) host_header(r, i);
  r[value_at(5)] = 0x80;
  mnt->attr_update_mask |= 0x020;
  std::uint8_t* v = r + kV;
  std::memcpy(v + cm1500::kSignature, "KEL", 3);
  v[cm1500::kVersion] = 1;
  v[cm1500::kLength] = 120;
  // The implementation use follows the integrity descriptor's own
  // partition tables. A mount at a rollback point of an earlier slot holds
  // that point's descriptor, with fewer partitions than the last written
  // slot would give.
  const std::uint32_t n = mnt->lvid.num_partitions;
  if (n <= MDCUDFSR_MAX_PARTITIONS)
    std::memcpy(v + cm1500::kEntity, &mdcudfsr_lvid_imp_use(&mnt->lvid, n)->imp_use_id, 32);
  v[cm1500::kEntity + 20] = (mnt->mntinfo.VolumeTypeAndInformationVersion >> 4) ? 1 : 0;
}

// The list read from the cartridge loses its zero, too new and unknown
// entries; the mount's node list is rebuilt from what is left.
void compact_recovery_list(mdcudfsr_mount* mnt, std::uint8_t* v) {
  const std::uint32_t last_id = static_cast<std::uint32_t>(mnt->next_unique_id);
  std::uint32_t kept = 0;
  mnt->recovery_count = 0;
  for (int k = 0; k < cm1500::kListMax; ++k) {
    const std::uint32_t id = get32(v + cm1500::kList + 4 * k);
    mdcudfsr_cache_node* node = nullptr;
    if (id != 0 && id <= last_id && mnt->root_node) node = mdcudfsr_cache_find_node_in_tree(mnt->root_node, id);
    if (!node) continue;
    put32(v + cm1500::kList + 4 * kept, id);
    mnt->recovery_nodes[kept++] = node;
  }
  for (std::uint32_t k = kept; k < cm1500::kListMax; ++k) put32(v + cm1500::kList + 4 * k, 0);
  mnt->recovery_count = kept;
  v[cm1500::kListCount] = static_cast<std::uint8_t>(kept);
}

void set_sizes_and_counts(mdcudfsr_mount* mnt, std::uint8_t* r, vfs_context_t ctx) {
  std::uint32_t total = 0, free_blocks = 0;
  if ((mnt->mount_ext_flags & 0x60) == 0x60)
    VFS_LOG(KEL_LOG_INFO, "Skip get volume size. slot=%d\n", static_cast<int>(mnt->current_disc));
  else
    (void)mdcudfsr_get_volume_size_info(mnt, ctx, &total, &free_blocks, nullptr, nullptr, 1);
  put64(r + value_at(8), std::uint64_t{total} * mnt->logical_block_size);
  put64(r + value_at(9), std::uint64_t{free_blocks} * mnt->logical_block_size);
  std::uint32_t files = 0, dirs = 0;
  mdcudfsr_cache_get_object_count(mnt, 1, &files, &dirs);
  put32(r + value_at(10), files);
  put32(r + value_at(11), dirs);
  mnt->attr_update_mask |= 0xF00;
}

}  // namespace

int mdcudfsr_init_cm_param(mdcudfsr_mount* mnt, void* record, vfs_context_t ctx, int fresh) {
  if (!mnt || !record) return KEL_EINVAL;
  auto* r = static_cast<std::uint8_t*>(record);
  if (fresh) std::memset(r + cm_attr::kOffsets[7], 0, 133);
  for (int i = 0; i < 3; ++i) {
    host_header(r, i);
    std::memcpy(r + value_at(i), kConstants[i], cm_attr::kLengths[i]);
  }
  mnt->attr_update_mask |= 0x007;
  bool stop = false;
  const int err = set_label(mnt, r, &stop);
  if (err || stop) return err;
  set_1500_constants(mnt, r);
  std::uint8_t* v = r + kV;
  if (fresh) {
    put32(v + cm1500::kVolumeSetNumber,
          mdcudfsr_timevalue_ascii2int(reinterpret_cast<const char*>(mnt->vds.pvd.volset_id + 1), 8));
    put32(v + cm1500::kPosition, mdcudfsr_vuvi_encode(mnt->current_disc, mnt->metadata_file_loc));
    put32(v + cm1500::kLastUniqueId, static_cast<std::uint32_t>(mnt->next_unique_id));
  } else {
    compact_recovery_list(mnt, v);
  }
  mnt->attr_update_mask |= 0x080;
  set_sizes_and_counts(mnt, r, ctx);
  return 0;
}

int mdcudfsr_read_write_attribute_for_mount(mdcudfsr_mount* mnt, int* readonly_out, vfs_context_t ctx) {
  if (!mnt) return KEL_EINVAL;
  std::uint8_t record[MDCUDFSR_CM_RECORD_SIZE] = {};
  std::uint8_t state = 0;
  (void)VNOP_IOCTL(mnt->devvp, PXOIOREPORT1500HCRC, reinterpret_cast<char*>(&state), 0, ctx);
  int fresh = 1;
  bool read_failed = false;
  if (state != 1 && state != 2) {
    std::vector<std::uint8_t> buf(140, 0);
    pxo_attribute_request_t rq{0x1500, 140, 0, buf.data()};
    const int err = VNOP_IOCTL(mnt->devvp, PXOIOREADATTRIBUTE, reinterpret_cast<char*>(&rq), 0, ctx);
    if (!err) {
      std::memcpy(record + cm_attr::kOffsets[7], buf.data() + 4, 133);
      mdcudfsr_conv_endian_cm_data(record, 1);
      fresh = 0;
    } else {
      mdcudfsr_set_mntinfo_wrprot_reason(mnt, kWrprotCmRead, 1, ctx);
      VFS_LOG(KEL_LOG_WARN, "read attribute failed. do read only mount\n");
      if (readonly_out) *readonly_out = 1;
      read_failed = true;
    }
  }
  if (mdcudfsr_init_cm_param(mnt, record, ctx, fresh) != 0) return 0;
  // The cartridge keeps its own 1500h when it could not be read.
  if (read_failed) mnt->attr_update_mask &= ~0x080u;
  if (mdcudfsr_write_attribute(mnt, record, sizeof record, 1, ctx, 1) != 0) {
    mdcudfsr_set_mntinfo_wrprot_reason(mnt, kWrprotCmRead, 1, ctx);
    VFS_LOG(KEL_LOG_WARN, "Write Attribute failed. read only mount\n");
    if (readonly_out) *readonly_out = 1;
  }
  return 0;
}

int mdcudfsr_add_recovery_req_file(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, void* record) {
  if (!mnt || !node || !record) {
    VFS_LOGK(KEL_LOG_ERR, "%s\n", !mnt ? "mdcudfsrmp" : "target_node");
    return KEL_EINVAL;
  }
  if (mdcudfsr_is_inactive(node)) {
    VFS_LOG(KEL_LOG_INFO, "target is INACTIVE, ignore. file=%s\n", node->vfs_name ? node->vfs_name : "");
    return 0;
  }
  if (node->kind == MDCUDFSR_NODE_PROXY && node->master) node = node->master;
  const std::uint64_t id = mdcudfsr_node_unique_id(node);
  for (std::uint32_t k = 0; k < mnt->recovery_count; ++k) {
    if (mdcudfsr_node_unique_id(mnt->recovery_nodes[k]) != id) continue;
    VFS_LOG(KEL_LOG_INFO, "Slot:%d Already Exist UniqueID[%llx]\n", static_cast<int>(mnt->current_disc),
            static_cast<unsigned long long>(id));
    return 0;
  }
  if (mnt->recovery_count >= static_cast<std::uint32_t>(cm1500::kListMax)) {
    VFS_LOG(KEL_LOG_ERR, "Slot:%d Make recovery_req_list[%d] is over Max[%d] err = %d\n",
            static_cast<int>(mnt->current_disc), static_cast<int>(mnt->recovery_count), cm1500::kListMax, 105);
    return KEL_ENOBUFS;
  }
  std::uint8_t* v = static_cast<std::uint8_t*>(record) + kV;
  put32(v + cm1500::kList + 4 * mnt->recovery_count, static_cast<std::uint32_t>(id));
  mnt->recovery_nodes[mnt->recovery_count++] = node;
  v[cm1500::kListCount] = static_cast<std::uint8_t>(mnt->recovery_count);
  mnt->attr_update_mask |= 0x080;
  return 0;
}

int mdcudfsr_update_recovery_req_file(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, vfs_context_t ctx) {
  if (!mnt || !node) {
    VFS_LOGK(KEL_LOG_ERR, "%s\n", !mnt ? "mdcudfsrmp" : "target_node");
    return KEL_EINVAL;
  }
  std::lock_guard<std::mutex> lk(mnt->cm_mutex);
  std::uint8_t record[MDCUDFSR_CM_RECORD_SIZE];
  int err = mdcudfsr_read_attribute(mnt, record, sizeof record, 1, 0, ctx, 0);
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "READ ATTRIBUTE failed on update recovery required file err = %d", 5);
    return KEL_EIO;
  }
  err = mdcudfsr_add_recovery_req_file(mnt, node, record);
  if (err) return err;
  if (mdcudfsr_write_attribute(mnt, record, sizeof record, 1, ctx, 0) != 0) {
    VFS_LOG(KEL_LOG_ERR, "WRITE ATTRIBUTE failed on update recovery required file err = %d", 5);
    return KEL_EIO;
  }
  return 0;
}

void mdcudfsr_set_volume_name(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  if (!mnt) return;
  std::vector<std::uint8_t> utf8(VFSATTR_VOL_NAME_SIZE + 1, 0), nfc(VFSATTR_VOL_NAME_SIZE + 1, 0);
  const std::uint8_t* id = mnt->vds.lvd.logvol_id;
  std::uint64_t len = VFSATTR_VOL_NAME_SIZE;
  int err = mdcudfsr_unicode_udf2utf8(id, id[127] < 127 ? id[127] : 127, utf8.data(), &len);
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "Compression Unicode to UTF8 failed err:%d\n", err);
    return;
  }
  std::size_t out = 0;
  if (utf8_normalizestr(utf8.data(), static_cast<std::size_t>(len), nfc.data(), &out, VFSATTR_VOL_NAME_SIZE, 0)) {
    VFS_LOG(KEL_LOG_ERR, "utf8_normalizestr to NFC\n");
    return;
  }
  nfc[out] = 0;
  pxo_volume_name_t rq{static_cast<std::uint32_t>(out + 1), reinterpret_cast<const char*>(nfc.data())};
  (void)VNOP_IOCTL(mnt->devvp, PXOIOSETVOLUMENAME, reinterpret_cast<char*>(&rq), 0, ctx);
}
