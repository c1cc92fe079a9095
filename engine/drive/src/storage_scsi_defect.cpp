// Defect structures of rewritable discs: translation of physical sector
// numbers into logical ones, the bitmap of defective 32-block clusters and
// the search for a defect-free next writable address.
#include "kelhost/kern_errno.h"
#include "storage_scsi_internal.h"
#include "storage_scsi_log.h"

#include <cstring>
#include <memory>
#include <new>
#include <vector>

using namespace drv_err;

namespace {

constexpr UInt32 kNone = 0xFFFFFFFFu;
constexpr UInt32 kClusters = 0x200000;  // clusters covered by the bitmap
constexpr UInt32 kLastCoveredLsn = 0x400001F;

std::uint32_t host32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// Notes a user of the bitmap; logs when another one is still inside.
class BitmapUse {
 public:
  BitmapUse(std::atomic<int>& users, const char* name) : users_(users) {
    const int n = ++users_;
    if (n > 1)
      DRV_LOG(WARN, "%s was called during processing searchAndFindNwa or rebuildDefectBitmap. Count = %d\n", name,
              n);
  }
  ~BitmapUse() { --users_; }
  BitmapUse(const BitmapUse&) = delete;
  BitmapUse& operator=(const BitmapUse&) = delete;

 private:
  std::atomic<int>& users_;
};

}  // namespace

UInt32 storage_scsi::convertPSNtoLSN(UInt32 psn, UInt32* l1start, UInt32* l1end, UInt32* l2start) {
  std::uint8_t dds[100] = {};
  dds[0] = m_medium_type;
  errno_t res = get_dds(reinterpret_cast<caddr_t>(dds));
  if (res != 0 || m_dds_error != 0) {
    DRV_LOG(ERR_, "Can't Get DDS[%08X]\n", m_dds_error != 0 ? m_dds_error : static_cast<std::uint32_t>(res));
    return kNone;
  }
  const UInt32 d36 = host32(dds + 36);
  const UInt32 d40 = host32(dds + 40);
  const UInt32 d44 = host32(dds + 44);
  const UInt32 d48 = host32(dds + 48);
  const std::uint8_t type = m_medium_type;
  UInt32 r = (m_FAA[1] + 4 * d48) * 8;
  UInt32 u = (m_FAA[2] + 4 * d44) * 8;
  if (type == 0 || (type >= 0x50 && type <= 0x53) || type == 0xE2) {
    r = u = kNone;
  } else if ((type >= 0x55 && type <= 0x57) || type == 0xE4) {
    u = kNone;
  }
  if (l1start) *l1start = r;
  if (l1end) *l1end = 8 * m_LAA[1] - 32 * d44 + 15;
  if (l2start) *l2start = u;
  if (psn < d36) return kNone;
  UInt32 lsn;
  if (psn < r) {
    const UInt32 last_l0 = m_LAA[0] * 8 - 32 * d48 + 15;
    if (psn > last_l0) {
      DRV_LOG(ERR_, "PSN invalid PSN=0x%08X, LastPSN_L0=0x%08X\n", psn, last_l0);
      return kNone;
    }
    lsn = psn - d36;
  } else {
    const UInt32 v = (m_LAA[0] - m_FAA[0] - 4 * d48 - 4 * d44 + 2) * 8;
    if (psn < u)
      lsn = psn + v - r;
    else
      lsn = psn + 8 * m_LAA[1] + v - 8 * m_FAA[1] - 32 * (d44 + d48) - u + 16;
  }
  if (lsn > d40) return kNone;
  return lsn;
}

errno_t storage_scsi::makeDefectBitmap(UInt8* bitmap, UInt32 length) {
  DRV_TRACE_FN();
  if (bitmap == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. bitmap=0x%p\n", static_cast<void*>(bitmap));
    return kInvalid;
  }
  errno_t res = updateMediaInformation();
  if (res != 0) {
    DRV_LOG(ERR_, "updateMediaInformation err:0x%x\n", res);
    return res;
  }
  constexpr UInt32 kPiece = 32768;
  std::vector<std::uint8_t> dfl;
  try {
    dfl.resize(4 + kPiece);
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  }
  UInt32 total = 1;
  for (UInt32 index = 0; index < total; ++index) {
    char type = 0;
    res = get_medium_type(&type);
    if (res != 0) {
      DRV_LOG(ERR_, "get MediumType failed err:0x%x\n", res);
      return res;
    }
    std::fill(dfl.begin(), dfl.end(), 0);
    dfl[0] = static_cast<std::uint8_t>(type);
    UInt32 count = 0;
    res = get_dfl(dfl.data(), kPiece, index, &total, &count);
    if (res != 0) {
      DRV_LOG(ERR_, "get_dfl failed err:0x%x\n", res);
      return res;
    }
    const std::size_t header = index == 0 ? (static_cast<std::uint8_t>(type) == 0xE6 ? 128 : 64) : 0;
    for (UInt32 i = 0; i < count; ++i) {
      std::uint64_t e;
      std::memcpy(&e, dfl.data() + 4 + header + 8 * i, 8);
      const unsigned status = static_cast<unsigned>(e >> 60);
      const UInt32 psn = static_cast<UInt32>((e >> 32) & 0x0FFFFFFFu);
      UInt32 len;
      if (status == 4) {
        len = static_cast<UInt32>(e & 0x7FFFFFFu) * 32;
        if (len == 0) continue;
      } else if (status == 0 || status == 1 || (status >= 5 && status <= 8)) {
        len = 1;
      } else {
        continue;
      }
      UInt32 l1s = 0, l1e = 0, l2s = 0;
      const UInt32 lsn = convertPSNtoLSN(psn, &l1s, &l1e, &l2s);
      if (lsn == kNone) continue;
      if (psn >= l1s && psn < l2s) {
        if (psn + len > l2s)
          len += l1e - l2s + 1;
        else if (psn + len > l1e)
          len = l1e - psn + 1;
      }
      DRV_LOG(DEBG, "find Defect secter LSN:0x%x lengh:%d\n", lsn, static_cast<int>(len));
      UInt32 clusters = len / 32 + (len % 32 != 0 ? 1 : 0);
      if (clusters == 0) clusters = 1;
      const std::uint64_t first = lsn / 32;
      for (std::uint64_t c = first; c < first + clusters; ++c) {
        if (c / 8 >= length) break;
        bitmap[c / 8] = static_cast<UInt8>(bitmap[c / 8] | (1u << (c % 8)));
      }
    }
  }
  return 0;
}

errno_t storage_scsi::rebuildDefectBitmap() {
  DRV_TRACE_FN();
  BitmapUse use(m_bitmap_users, "rebuildDefectBitmap");
  std::lock_guard<std::mutex> lk(m_bitmap_mutex);
  pxo_slot_info_t si{};
  errno_t res = get_slot_info(reinterpret_cast<caddr_t>(&si));
  if (res != 0 && res != kIO) {
    DRV_LOG(ERR_, "get_slot_info err=%d\n", res);
    return res;
  }
  if (si.current_slot == 255 || si.current_slot < si.last_written_slot) return 0;
  // The old map belongs to the disc loaded before; a map that could not be
  // built is not installed, so that a search answers "no map" rather than
  // "no defect".
  m_DFLBitmap.reset();
  std::unique_ptr<std::uint8_t[]> fresh(new (std::nothrow) std::uint8_t[kDefectBitmapSize]());
  if (!fresh) return kNoMemory;
  res = makeDefectBitmap(fresh.get(), kDefectBitmapSize);
  if (res != 0) {
    DRV_LOG(ERR_, "makeDefectBitmap failed. err=%d, no defect map\n", res);
    return res;
  }
  m_DFLBitmap = std::move(fresh);
  return 0;
}

errno_t storage_scsi::getDefectBitmap(UInt8* bitmap, UInt32* length) {
  DRV_TRACE_FN();
  if (bitmap == nullptr || length == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. bitmap=0x%p, length=0x%p\n", static_cast<void*>(bitmap),
            static_cast<void*>(length));
    return kInvalid;
  }
  BitmapUse use(m_bitmap_users, "getDefectBitmap");
  std::lock_guard<std::mutex> lk(m_bitmap_mutex);
  if (*length != kDefectBitmapSize) {
    DRV_LOG(ERR_, "Invalid parameter *AllocationLength=%d(!=%d)\n", static_cast<int>(*length),
            static_cast<int>(kDefectBitmapSize));
    return kInvalid;
  }
  if (!m_DFLBitmap) {
    DRV_LOG(ERR_, "m_DFLBitmap is invalid\n");
    return KEL_EBUSY;
  }
  std::memcpy(bitmap, m_DFLBitmap.get(), kDefectBitmapSize);
  return 0;
}

errno_t storage_scsi::setDefectBitmap(UInt8* bitmap, UInt32* length) {
  DRV_TRACE_FN();
  if (bitmap == nullptr || length == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. bitmap=0x%p, length=0x%p\n", static_cast<void*>(bitmap),
            static_cast<void*>(length));
    return kInvalid;
  }
  BitmapUse use(m_bitmap_users, "getDefectBitmap");
  std::lock_guard<std::mutex> lk(m_bitmap_mutex);
  if (*length != kDefectBitmapSize) {
    DRV_LOG(ERR_, "Invalid parameter *AllocationLength=%d(!=%d)\n", static_cast<int>(*length),
            static_cast<int>(kDefectBitmapSize));
    return kInvalid;
  }
  if (!m_DFLBitmap) {
    m_DFLBitmap.reset(new (std::nothrow) std::uint8_t[kDefectBitmapSize]());
    if (!m_DFLBitmap) {
      DRV_LOG(ERR_, "m_DFLBitmap not allocated\n");
      return kNoMemory;
    }
  }
  std::memcpy(bitmap, m_DFLBitmap.get(), kDefectBitmapSize);
  return 0;
}

errno_t storage_scsi::searchAndFindNwa(UInt32 nwa, UInt32 length, UInt32* newNWA, Boolean* replaced) {
  DRV_TRACE_FN();
  if (newNWA == nullptr || replaced == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. newNWA=0x%p, replaced=0x%p\n", static_cast<void*>(newNWA),
            static_cast<void*>(replaced));
    return kInvalid;
  }
  BitmapUse use(m_bitmap_users, "searchAndFindNwa");
  std::lock_guard<std::mutex> lk(m_bitmap_mutex);
  if (!m_DFLBitmap) {
    DRV_LOG(INFO, "no defect map\n");
    *newNWA = nwa;
    return 255;
  }
  const std::uint8_t* map = m_DFLBitmap.get();
  std::uint64_t c = nwa;
  *replaced = false;
  for (;;) {
    const std::uint64_t first = c / 32;
    const std::uint64_t end = (c + length) / 32;
    if (first >= end) break;
    if (c > kLastCoveredLsn) {
      DRV_LOG(ERR_, "location is over defectmap\n");
      *newNWA = nwa;
      return 255;
    }
    bool moved = false;
    for (std::uint64_t n = first; n < end; ++n) {
      if (n >= kClusters) {
        DRV_LOG(ERR_, "location is over defectmap\n");
        *newNWA = nwa;
        return 255;
      }
      if (map[n / 8] & (1u << (n % 8))) {
        const std::uint64_t next = (n + 1) * 32;
        DRV_LOG(INFO, "Defect hit and change NWA:0x%x->0x%x\n", static_cast<unsigned>(c), static_cast<unsigned>(next));
        c = next;
        *replaced = true;
        moved = true;
        break;
      }
    }
    if (!moved) break;
  }
  *newNWA = static_cast<UInt32>(c);
  DRV_LOG(DEBG, "Result=%d\n", 0);
  return 0;
}
