// Cartridge attribute requests of clients.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_cm_requests.h"

#include "drive/device_control.h"
#include "drive/storage_scsi_records.h"
#include "kel/mdcfs.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "fsctl_common.h"
#include "vnops_log.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

using kelvnops::user_ptr;

constexpr std::uint32_t kHeader = 9;          // available length u32, then the attribute header
constexpr std::uint32_t kMaxAllocation = 0xFFFC;
constexpr std::uint32_t kListSize = 4096;

std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
std::uint32_t be32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}
void put_be16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}
void put_be32(std::uint8_t* p, std::uint32_t v) {
  put_be16(p, v >> 16);
  put_be16(p + 2, v);
}

int read_request(mdcudfsr_mount* mnt, std::uint16_t id, std::uint8_t action, std::vector<std::uint8_t>& reply,
                 vfs_context_t ctx) {
  pxo_attribute_request_t rq{id, static_cast<std::uint16_t>(reply.size()), action, reply.data()};
  return VNOP_IOCTL(mnt->devvp, PXOIOREADATTRIBUTE, reinterpret_cast<char*>(&rq), 0, ctx);
}

bool writable_id(std::uint16_t id) { return id == 0x0806 || id == 0x1505 || (id >= 0x1580 && id <= 0x15FF); }

}  // namespace

int mdcudfsr_mdcfsctrl_read_attribute(mdcudfsr_mount* mnt, MDCFS_ATTRIBUTE_DATA* record, vfs_context_t ctx) {
  if (!mnt || !record || !record->Value) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", !mnt ? "mdcudfsrmp" : !record ? "mdcfs_attr_data" : "mdcfs_attr_data->Value");
    return KEL_EINVAL;
  }
  if (record->Length > MDCUDFSR_ATTR_READ_MAX) {
    VN_LOGK(KEL_LOG_ERR, "AttrID[0x%x]: length %u is too large\n", record->Id, record->Length);
    return KEL_EINVAL;
  }
  // The drive layer states the reply size in 16 bits.
  const std::uint32_t size = std::min((record->Length + kHeader + 3) & ~3u, kMaxAllocation);
  std::vector<std::uint8_t> reply(size, 0);
  if (read_request(mnt, record->Id, 0, reply, ctx) != 0) {
    VN_LOGK(KEL_LOG_ERR, "Read Attribute is failed err:%d\n", 5);
    return KEL_EIO;
  }
  const std::uint32_t length = be16(reply.data() + 7);
  if (length > record->Length || length + kHeader > size) {
    VN_LOGK(KEL_LOG_ERR, "AttrID[0x%x]: insufficient buffer. length=%d expected=%d \n", record->Id,
            static_cast<int>(record->Length), static_cast<int>(length));
    return KEL_EINVAL;
  }
  record->Length = length;
  record->Format = reply[6];
  record->Id = be16(reply.data() + 4);
  const int err = copyout(reply.data() + kHeader, user_ptr(record->Value), length);
  if (err) VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
  return err;
}

int mdcudfsr_mdcfsctrl_write_attribute(mdcudfsr_mount* mnt, const MDCFS_ATTRIBUTE_DATA* record, vfs_context_t ctx) {
  if (!mnt || !record) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", !mnt ? "mdcudfsrmp" : "mdcfs_attr_write_data");
    return KEL_EINVAL;
  }
  const std::uint16_t id = record->Id;
  if (!writable_id(id)) {
    VN_LOGK(KEL_LOG_INFO, "AttrID[0x%x]: STATUS_INVALID_PARAMETER\n", id);
    return KEL_EINVAL;
  }
  if ((id == 0x0806 && record->Length < 32) || record->Length > MDCUDFSR_ATTR_WRITE_MAX) {
    VN_LOGK(KEL_LOG_ERR, "AttrID[0x%x]: STATUS_INVALID_PARAMETER\n", id);
    return KEL_EINVAL;
  }
  const std::uint32_t size = (record->Length + kHeader + 3) & ~3u;
  std::vector<std::uint8_t> list(size, 0);
  put_be32(list.data(), size - 4);
  put_be16(list.data() + 4, id);
  list[6] = id >= 0x1580 ? record->Format : 1;
  put_be16(list.data() + 7, record->Length);
  int err = record->Length ? copyin(user_ptr(record->Value), list.data() + kHeader, record->Length) : 0;
  if (err) {
    VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  }
  err = VNOP_IOCTL(mnt->devvp, PXOIOWRITEATTRIBUTE, reinterpret_cast<char*>(list.data()), 0, ctx);
  if (err) {
    VN_LOGK(KEL_LOG_ERR, "write attribute failed. err = %d\n", 5);
    return KEL_EIO;
  }
  return 0;
}

int mdcudfsr_mdcfsctrl_enum_attribute(mdcudfsr_mount* mnt, MDCFS_ENUM_ATTRIBUTE* record, vfs_context_t ctx) {
  if (!mnt || !record) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", !mnt ? "mdcudfsrmp" : "enum_attr");
    return KEL_EINVAL;
  }
  std::vector<std::uint8_t> reply(kListSize, 0);
  int err = read_request(mnt, 0, 1, reply, ctx);
  if (err) {
    VN_LOGK(KEL_LOG_ERR, "failed scsi cmd[READ ATTRIBUTE LIST] status=%d\n", err);
    return err;
  }
  const std::uint32_t length = be32(reply.data());
  if (length > kListSize - 4) {
    VN_LOGK(KEL_LOG_ERR, "Attribute List size is invalid %d %dStatus %08X\n", static_cast<int>(length),
            static_cast<int>(length), 22);
    return KEL_EINVAL;
  }
  record->Count = length / 2;
  if (record->BufferSize == 0) return 0;
  const std::uint32_t n = std::min(record->BufferSize, length) & ~1u;
  err = n ? copyout(reply.data() + 4, user_ptr(record->Buffer), n) : 0;
  if (err) VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
  return err;
}
