// Cartridge-memory attributes: the record, its byte order, the mount's cache
// and writing only the attributes that changed.
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_cm.h"

#include "drive/cm_data.h"
#include "drive/device_control.h"
#include "drive/storage_scsi_records.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_time.h"
#include "udf/udf_records.h"
#include "vfs_log.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr std::uint32_t kMask = cm_attr::kMaskAll;
constexpr std::uint32_t kBit1500 = 0x080;
constexpr std::uint32_t kBitDate = 0x010;
constexpr std::uint32_t kV = cm_attr::k1500Value;
constexpr const char* kConstants[3] = {"TARN    ", "Velmaro Software                ", "1.0.0   "};

void swap_at(std::uint8_t* p, int width) {
  for (int i = 0; i < width / 2; ++i) std::swap(p[i], p[width - 1 - i]);
}

std::uint8_t* cache_of(mdcudfsr_mount* mnt) { return mnt->attr_record + MDCUDFSR_CM_CACHE_OFFSET; }

// Value offset of attribute i in the record.
std::uint32_t value_at(int i) { return cm_attr::kOffsets[i] + 5; }

void set_header(std::uint8_t* r, int i, bool big_endian) {
  std::uint8_t* h = r + cm_attr::kOffsets[i];
  const std::uint16_t id = cm_attr::kIds[i], len = cm_attr::kLengths[i];
  if (big_endian) {
    h[0] = static_cast<std::uint8_t>(id >> 8), h[1] = static_cast<std::uint8_t>(id);
    h[3] = static_cast<std::uint8_t>(len >> 8), h[4] = static_cast<std::uint8_t>(len);
  } else {
    std::memcpy(h, &id, 2);
    std::memcpy(h + 3, &len, 2);
  }
  h[2] = cm_attr::kFormats[i];
}

// Device control 0x405855E6 for the list from `id`, into a zeroed buffer.
int read_list(mdcudfsr_mount* mnt, std::uint16_t id, std::vector<std::uint8_t>& buf, vfs_context_t ctx) {
  std::fill(buf.begin(), buf.end(), 0);
  pxo_attribute_request_t rq{id, static_cast<std::uint16_t>(buf.size()), 0, buf.data()};
  return VNOP_IOCTL(mnt->devvp, PXOIOREADATTRIBUTE, reinterpret_cast<char*>(&rq), 0, ctx);
}

std::uint32_t be32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

void go_read_only(mdcudfsr_mount* mnt, vfs_context_t ctx, const char* line) {
  VFS_LOG(KEL_LOG_WARN, "%s", line);
  mdcudfsr_set_readonly_mount(mnt, 0x80000030u, 0x4000, ctx);
  mdcudfsr_report_error(mnt, 0, ctx);
}

int read_from_drive(mdcudfsr_mount* mnt, std::uint8_t* r, vfs_context_t ctx, int on_mount) {
  std::vector<std::uint8_t> a(292), b(184);
  int err = read_list(mnt, 0x0800, a, ctx);
  if (!err) {
    std::memcpy(r + 4, a.data() + 4, cm_attr::kGroupA);
    err = read_list(mnt, 0x1500, b, ctx);
    if (err && !on_mount) {
      VFS_LOG(KEL_LOG_ERR, "ReadAttributeForCMData(1500H) failed except for mounting err = %d \n", err);
      go_read_only(mnt, ctx, "read attribute failed. do read only mount\n");
      return err;
    }
  } else if (!on_mount) {
    VFS_LOG(KEL_LOG_ERR, "ReadAttributeForCMData(800H) failed except for mounting err = %d \n", err);
    go_read_only(mnt, ctx, "read attribute failed. do read only mount\n");
    return err;
  }
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "ReadAttributeForCMData failed. on mounting err = %d\n", err);
    return err;
  }
  std::memcpy(r + 292, b.data() + 4, cm_attr::kGroupB - 3);
  const std::uint32_t len = be32(a.data()) + be32(b.data()) + 3;
  r[0] = static_cast<std::uint8_t>(len >> 24), r[1] = static_cast<std::uint8_t>(len >> 16);
  r[2] = static_cast<std::uint8_t>(len >> 8), r[3] = static_cast<std::uint8_t>(len);
  std::memcpy(cache_of(mnt), r, MDCUDFSR_CM_RECORD_SIZE);
  mnt->attr_update_mask &= ~kMask;
  return 0;
}

// 0804h: the current time as twelve digits.
void stamp_date(mdcudfsr_mount* mnt, std::uint8_t* r) {
  timespec now{};
  nanotime(&now);
  timestamp ts{};
  mdcudfsr_timespec2udftime(mnt, &now, &ts, 0);
  char text[16];
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d", ts.year % 10000, ts.month % 100, ts.day % 100,
                ts.hour % 100, ts.minute % 100);
  std::memcpy(r + value_at(4), text, 12);
  mnt->attr_update_mask |= kBitDate;
}

int write_failed(mdcudfsr_mount* mnt, int err, vfs_context_t ctx, int on_mount) {
  if (on_mount) {
    VFS_LOG(KEL_LOG_ERR, "write attribute failed on mounting err = %d\n", err);
    return err;
  }
  VFS_LOG(KEL_LOG_ERR, "write attribute failed except for mounting err = %d\n", err);
  go_read_only(mnt, ctx, "write attribute failed. do read only mount\n");
  return err;
}

}  // namespace

uint16_t mdcudfsr_cm_1500h_crc(const uint8_t* attribute) {
  const std::uint16_t crc = scsi_service_cm::calculate_crc(const_cast<std::uint8_t*>(attribute + 5), 126);
  return static_cast<std::uint16_t>((crc >> 8) | (crc << 8));
}

int mdcudfsr_conv_endian_cm_data(void* record, int convert_values) {
  auto* r = static_cast<std::uint8_t*>(record);
  swap_at(r, 4);
  for (int i = 0; i < cm_attr::kCount; ++i) {
    swap_at(r + cm_attr::kOffsets[i], 2);
    swap_at(r + cm_attr::kOffsets[i] + 3, 2);
  }
  if (!convert_values) return 0;
  for (int u = 0; u < 80; ++u) swap_at(r + value_at(3) + 2 * u, 2);
  swap_at(r + kV + cm1500::kRollbackVsn, 2);
  swap_at(r + kV + cm1500::kRollbackAddress, 8);
  for (int off : {cm1500::kVolumeSetNumber, cm1500::kPosition, cm1500::kLastUniqueId}) swap_at(r + kV + off, 4);
  for (int k = 0; k < cm1500::kListMax; ++k) swap_at(r + kV + cm1500::kList + 4 * k, 4);
  swap_at(r + kV + cm1500::kCrc, 2);
  swap_at(r + value_at(8), 8);
  swap_at(r + value_at(9), 8);
  swap_at(r + value_at(10), 4);
  swap_at(r + value_at(11), 4);
  return 0;
}

void mdcudfsr_update_cm_cache_data(mdcudfsr_mount* mnt, const void* record) {
  if (!mnt || !record) {
    VFS_LOGK(KEL_LOG_ERR, "%s\n", !mnt ? "mdcudfsrmp" : "write_attr_cm");
    return;
  }
  auto* cache = reinterpret_cast<pxo_attribute_data_t*>(cache_of(mnt));
  auto* from = const_cast<pxo_attribute_data_t*>(static_cast<const pxo_attribute_data_t*>(record));
  scsi_service_cm::updateCMCacheData(mnt->attr_update_mask & kMask, from, cache);
}

int mdcudfsr_read_attribute(mdcudfsr_mount* mnt, void* record, uint32_t, int convert_values, int from_drive,
                            vfs_context_t ctx, int on_mount) {
  if (!mnt || !record) return KEL_EINVAL;
  auto* r = static_cast<std::uint8_t*>(record);
  if (from_drive) {
    const int err = read_from_drive(mnt, r, ctx, on_mount);
    if (err) return err;
  } else {
    std::memcpy(r, cache_of(mnt), 4 + cm_attr::kBoth);
  }
  return mdcudfsr_conv_endian_cm_data(r, convert_values);
}

int mdcudfsr_write_attribute(mdcudfsr_mount* mnt, void* record, uint32_t, int convert_values, vfs_context_t ctx,
                             int on_mount) {
  if (!mnt || !record) return KEL_EINVAL;
  if (!(mnt->attr_update_mask & kMask)) return 0;
  auto* r = static_cast<std::uint8_t*>(record);
  for (int i = 0; i < 3; ++i) {
    if (std::memcmp(r + value_at(i), kConstants[i], cm_attr::kLengths[i]) == 0) continue;
    std::memcpy(r + value_at(i), kConstants[i], cm_attr::kLengths[i]);
    mnt->attr_update_mask |= 1u << i;
  }
  stamp_date(mnt, r);
  const std::uint32_t mask = mnt->attr_update_mask & kMask;
  pxo_attribute_data_t copy;
  std::memcpy(&copy, r, sizeof copy);
  auto* c = reinterpret_cast<std::uint8_t*>(&copy);
  for (int i = 0; i < cm_attr::kCount; ++i) set_header(c, i, false);
  copy.length = cm_attr::kBoth;
  mdcudfsr_conv_endian_cm_data(c, convert_values);
  if (mask & kBit1500) {
    const std::uint16_t crc = scsi_service_cm::calculate_crc(c + kV, 126);
    c[kV + cm1500::kCrc] = static_cast<std::uint8_t>(crc >> 8);
    c[kV + cm1500::kCrc + 1] = static_cast<std::uint8_t>(crc);
  }
  const std::uint32_t len = scsi_service_cm::calcAttrListDataSize(mask);
  if (len == 0) return 0;
  const std::uint32_t size = (len + 7) & ~3u;
  std::vector<std::uint8_t> list(size, 0);
  scsi_service_cm::makeAttrListDataForCMWA(mask, list.data(), size, &copy);
  const int err = VNOP_IOCTL(mnt->devvp, PXOIOWRITEATTRIBUTE, reinterpret_cast<char*>(list.data()), 0, ctx);
  if (err) return write_failed(mnt, err, ctx, on_mount);
  mdcudfsr_update_cm_cache_data(mnt, &copy);
  mnt->attr_update_mask &= ~kMask;
  return 0;
}

uint32_t mdcudfsr_create_volume_update_time_info(mdcudfsr_mount* mnt) {
  if (!mnt) {
    VFS_LOG(KEL_LOG_ERR, "%s\n", "mdcudfsrmp");
    return 0;
  }
  const timestamp& t = mnt->last_update_time;
  return (std::uint32_t{t.month} & 0xF) << 28 | (std::uint32_t{t.day} & 0x1F) << 23 |
         (std::uint32_t{t.hour} & 0x1F) << 18 | (std::uint32_t{t.minute} & 0x3F) << 12 |
         (std::uint32_t{t.second} & 0x3F) << 6 | ((std::uint32_t{t.centisec} >> 1) & 0x3F);
}
