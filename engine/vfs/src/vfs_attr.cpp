// Volume attributes: getattr (size, counts, capabilities, label) and setattr
// (the label).
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_volume_attr.h"

#include "kelcache/cache.h"
#include "kelcache/cache_counts.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_cm.h"
#include "kelvfs/mdcudfsr_event_log.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_session.h"
#include "kelvfs/mdcudfsr_time.h"
#include "udf/udf_names.h"
#include "vfs_log.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

constexpr std::uint64_t kSupported = 0x11DFFF;
constexpr std::uint32_t kMntExtNoEdit = 0x40;

mdcudfsr_mount* record_of(mount_t mp) {
  auto* mnt = static_cast<mdcudfsr_mount*>(vfs_fsprivate(mp));
  if (!mnt) VFS_LOG(KEL_LOG_ERR, "%s\n", "mdcudfsrmp");
  return mnt;
}

// The file set descriptor's identifier as NFC UTF-8 into the caller's buffer.
int volume_name(mdcudfsr_mount* mnt, vfs_attr* attr) {
  if (!attr->f_vol_name) {
    VFS_LOG(KEL_LOG_ERR, "%s\n", "vol_name");
    return KEL_ENOMEM;
  }
  std::uint8_t utf8[VFSATTR_VOL_NAME_SIZE + 1] = {}, nfc[VFSATTR_VOL_NAME_SIZE + 1] = {};
  const std::uint8_t* id = mnt->fsd.logvol_id;
  std::uint64_t len = VFSATTR_VOL_NAME_SIZE;
  int err = mdcudfsr_unicode_udf2utf8(id, std::min<std::uint32_t>(id[127], 127), utf8, &len);
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "Compression Unicode to UTF8 failed err:%d\n", err);
    VFS_LOG(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  }
  std::size_t out = 0;
  err = utf8_normalizestr(utf8, static_cast<std::size_t>(len), nfc, &out, VFSATTR_VOL_NAME_SIZE, 0);
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "utf8_normalizestr to NFC failed err:%d\n", err);
    VFS_LOG(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  }
  std::memset(attr->f_vol_name, 0, VFSATTR_VOL_NAME_SIZE);
  std::memcpy(attr->f_vol_name, nfc, std::min<std::size_t>(out, VFSATTR_VOL_NAME_SIZE - 1));
  attr->f_supported |= VFSATTR_VOL_NAME;
  return 0;
}

void fill(mdcudfsr_mount* mnt, vfs_attr* a, std::uint32_t files, std::uint32_t dirs, std::uint32_t creatable) {
  const vfs_attr& c = mnt->attr_cache;
  a->f_objcount = std::uint64_t{files} + dirs;
  a->f_filecount = files;
  a->f_dircount = dirs;
  a->f_maxobjcount = mdcudfsr_max_object_count(mnt);
  a->f_bsize = c.f_bsize ? c.f_bsize : mnt->logical_block_size;
  a->f_iosize = c.f_iosize;
  a->f_blocks = mnt->total_blocks;
  a->f_bfree = a->f_bavail = mnt->free_blocks;
  a->f_bused = mnt->total_blocks >= mnt->free_blocks ? mnt->total_blocks - mnt->free_blocks : 0;
  a->f_files = a->f_maxobjcount;
  a->f_ffree = std::min<std::uint64_t>(mnt->free_blocks, creatable);
  std::memcpy(a->f_fsid, c.f_fsid, sizeof a->f_fsid);
  std::memcpy(a->f_capabilities, c.f_capabilities, sizeof a->f_capabilities);
  std::memcpy(a->f_attributes, c.f_attributes, sizeof a->f_attributes);
  a->f_create_time = c.f_create_time;
  a->f_fssubtype = c.f_fssubtype;
  char* name = a->f_vol_name;
  const std::uint64_t supported = a->f_supported, active = a->f_active;
  mnt->attr_cache = *a;
  mnt->attr_cache.f_vol_name = nullptr;
  a->f_vol_name = name;
  a->f_supported = supported | kSupported;
  a->f_active = active;
}

// Refused label characters; 0 when the name is acceptable.
int bad_label_char(const std::uint8_t* s, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t ch = s[i];
    if (ch < 0x20 || ch == 0x7F || std::strchr("\"*/:<>?\\|", ch)) return ch ? ch : -1;
  }
  return 0;
}

int check_surrogates(const std::uint16_t* u, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (u[i] >= 0xD800 && u[i] <= 0xDBFF) {
      if (i + 1 >= n || u[i + 1] < 0xDC00 || u[i + 1] > 0xDFFF) {
        VFS_LOG(KEL_LOG_ERR, "Upper Surrogate Pair only, EINVAL\n");
        return KEL_EINVAL;
      }
      ++i;
    } else if (u[i] >= 0xDC00 && u[i] <= 0xDFFF) {
      VFS_LOG(KEL_LOG_ERR, "Under Surrogate Pair only, EINVAL\n");
      return KEL_EINVAL;
    }
  }
  return 0;
}

// The name checked and measured: 0, 22, 36 or 12.
int check_label(const std::uint8_t* name, std::size_t len) {
  if (name[0] == '.') {
    VFS_LOG(KEL_LOG_ERR, "invalid string '%s'\n", reinterpret_cast<const char*>(name));
    return KEL_EINVAL;
  }
  if (const int ch = bad_label_char(name, len)) {
    VFS_LOG(KEL_LOG_ERR, "file name '%s' contains '%c'(%0x)\n", reinterpret_cast<const char*>(name), ch > 0 ? ch : 0,
            ch > 0 ? ch : 0);
    return KEL_EINVAL;
  }
  std::unique_ptr<std::uint16_t[]> units(new (std::nothrow) std::uint16_t[2 * len + 1]());
  if (!units) {
    VFS_LOG(KEL_LOG_ERR, "can't allocate unicode buf\n");
    return KEL_ENOMEM;
  }
  std::size_t bytes = 0;
  const int err = utf8_decodestr(name, len, units.get(), &bytes, 2 * (2 * len + 1), 0, 0);
  if (err) {
    // Bytes that are no UTF-8 (an encoded lone surrogate among them) make an
    // invalid name.
    VFS_LOG(KEL_LOG_ERR, "utf8_decodestr err = %d\n", err);
    return KEL_EINVAL;
  }
  if (const int s = check_surrogates(units.get(), bytes / 2)) return s;
  if (bytes > 127) {
    VFS_LOG(KEL_LOG_ERR, "too long volume name %s\n", reinterpret_cast<const char*>(name));
    return KEL_ENAMELIMIT;
  }
  return 0;
}

// The three copies of the logical volume identifier.
struct Identifiers {
  std::uint8_t fsd[128], iuvd[128], lvd[128], label[128];
};
Identifiers save_ids(const mdcudfsr_mount* m) {
  Identifiers s;
  std::memcpy(s.fsd, m->fsd.logvol_id, 128);
  std::memcpy(s.iuvd, m->vds.iuvd.imp_use + 64, 128);
  std::memcpy(s.lvd, m->vds.lvd.logvol_id, 128);
  std::memcpy(s.label, m->logvol_id, 128);
  return s;
}
void put_ids(mdcudfsr_mount* m, const Identifiers& s) {
  std::memcpy(m->fsd.logvol_id, s.fsd, 128);
  std::memcpy(m->vds.iuvd.imp_use + 64, s.iuvd, 128);
  std::memcpy(m->vds.lvd.logvol_id, s.lvd, 128);
  std::memcpy(m->logvol_id, s.label, 128);
}

int relabel(mdcudfsr_mount* mnt, const std::uint8_t* name, std::size_t len, vfs_attr* attr, vfs_context_t ctx) {
  Identifiers next{};
  std::uint32_t produced = 127;
  const int err = mdcudfsr_unicode_utf82udf(name, static_cast<std::uint32_t>(len), next.fsd, &produced);
  if (err || produced > 127) {
    VFS_LOG(KEL_LOG_ERR, "unicode compression err=%d\n", err ? err : 36);
    return err ? err : KEL_ENAMELIMIT;
  }
  next.fsd[127] = static_cast<std::uint8_t>(produced);
  std::memcpy(next.iuvd, next.fsd, 128);
  std::memcpy(next.lvd, next.fsd, 128);
  std::memcpy(next.label, next.fsd, 128);
  const Identifiers old = save_ids(mnt);
  put_ids(mnt, next);
  mdcudfsr_set_volume_name(mnt, ctx);
  mdcudfsr_update_vol_last_modification_time(mnt);
  const int serr = mdcudfsr_update_session(mnt, ctx, MDCUDFSR_SESSION_OPEN);
  if (serr) {
    // A refused label leaves no trace: the old identifiers, and the old
    // name with the drive layer.
    put_ids(mnt, old);
    mdcudfsr_set_volume_name(mnt, ctx);
    return serr;
  }
  mdcudfsr_update_vol_last_partial_flush_time(mnt);
  attr->f_supported |= VFSATTR_VOL_NAME;
  return 0;
}

}  // namespace

int mdcudfsr_vfsop_getattr(mount_t mp, vfs_attr* attr, vfs_context_t ctx) {
  mdcudfsr_mount* mnt = record_of(mp);
  if (!mnt || !attr) return KEL_EINVAL;
  VFS_LOG(KEL_LOG_DEBG, "[%s](tid=%08x) %s:%d f_active=0x%llx\n", mnt->volume_name, static_cast<unsigned>(KEL_THREAD_ID()), __func__, __LINE__,
          static_cast<unsigned long long>(attr->f_active));
  int err = 0;
  if (mnt->size_unknown)
    err = mdcudfsr_get_volume_size_info(mnt, ctx, &mnt->total_blocks, &mnt->free_blocks, nullptr, nullptr, 0);
  std::uint32_t files = 0, dirs = 0, creatable = 0;
  mdcudfsr_cache_get_object_count(mnt, 1, &files, &dirs);
  mdcudfsr_cache_get_free_object_count(mnt, 0, &creatable);
  if (attr->f_active & VFSATTR_VOL_NAME) {
    const int nerr = volume_name(mnt, attr);
    if (nerr) return nerr;
  }
  fill(mnt, attr, files, dirs, creatable);
  const std::uint64_t unsupported = attr->f_active & ~attr->f_supported;
  if (unsupported)
    VFS_LOG(KEL_LOG_INFO, "[%s](tid=%08x) %s:%d not supported=0x%llx\n", mnt->volume_name, static_cast<unsigned>(KEL_THREAD_ID()), __func__, __LINE__,
            static_cast<unsigned long long>(unsupported));
  VFS_LOG(KEL_LOG_DEBG, "f_active=0x%llx f_supported=0x%llx err=%d", static_cast<unsigned long long>(attr->f_active),
          static_cast<unsigned long long>(attr->f_supported), err);
  return err;
}

int mdcudfsr_vfsop_setattr(mount_t mp, vfs_attr* attr, vfs_context_t ctx) {
  mdcudfsr_mount* mnt = record_of(mp);
  if (!mnt || !attr) return KEL_EINVAL;
  if (!(attr->f_active & VFSATTR_VOL_NAME)) return 0;
  if (mnt->mount_ext_flags & kMntExtNoEdit) {
    VFS_LOG(KEL_LOG_ERR, "[vfsop_setattr] not operation for noedit mode\n");
    return 1;
  }
  const std::size_t raw = attr->f_vol_name ? strnlen(attr->f_vol_name, VFSATTR_VOL_NAME_SIZE) : 0;
  if (raw == 0) return KEL_EINVAL;
  std::uint8_t name[256] = {};
  std::size_t len = 0;
  int err = utf8_normalizestr(reinterpret_cast<const std::uint8_t*>(attr->f_vol_name), raw, name, &len,
                              sizeof name - 1, 0);
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "utf8_normalizestr to NFC\n");
  } else if ((err = check_label(name, len)) == 0) {
    err = relabel(mnt, name, len, attr, ctx);
  }
  mdcudfsr_log_label(mnt, reinterpret_cast<const char*>(name), err, ctx);
  return err;
}

void mdcudfsr_init_attr_cache(mdcudfsr_mount* mnt) {
  vfs_attr& c = mnt->attr_cache;
  c = vfs_attr{};
  c.f_iosize = 0x10000;
  c.f_bsize = mnt->logical_block_size;
  c.f_fsid[0] = mnt->dev_number;
  c.f_fsid[1] = 0;
  const std::uint32_t caps[8] = {0x2E80, 0x380, 0, 0, 0x3FFF, 0x13FF, 0, 0};
  std::memcpy(c.f_capabilities, caps, sizeof caps);
  const std::uint32_t attrs[10] = {0x279EBF, 0x4002FFFD, 5, 0x362F, 0, 0x2796BF, 0x4002FFFD, 0, 0x362E, 0};
  std::memcpy(c.f_attributes, attrs, sizeof attrs);
  nanotime(&c.f_create_time);
  c.f_fssubtype = 0;
}
