// The volume label controls: the logical volume identifier set in the
// descriptors and read back from the cartridge memory or the descriptors.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_fsctl_volume.h"

#include "drive/cm_data.h"
#include "fsctl_common.h"
#include "kelvfs/mdcudfsr_cm.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_volume_attr.h"
#include "udf/udf_names.h"

#include <cstring>

using namespace kelvnops;

namespace {

bool forbidden_label_char(std::uint16_t c) {
  if (c < 32) return true;
  return c < 256 && std::strchr("\"*/:<>?\\|\x7F", static_cast<int>(c)) != nullptr;
}

// 22 for a name the label refuses.
int check_label(const std::uint16_t* units, std::uint32_t count) {
  char shown[64] = {};
  for (std::uint32_t i = 0; i < count && i < 63; ++i) shown[i] = static_cast<char>(units[i] < 128 ? units[i] : '?');
  if (units[0] == '.') {
    VN_LOGK(KEL_LOG_ERR, "invalid string '%s'\n", shown);
    return KEL_EINVAL;
  }
  for (std::uint32_t i = 0; i < count && units[i]; ++i) {
    if (!forbidden_label_char(units[i])) continue;
    VN_LOGK(KEL_LOG_ERR, "file name '%s' contains '%c'(%0x)\n", shown, static_cast<char>(units[i]),
            static_cast<unsigned>(units[i]));
    return KEL_EINVAL;
  }
  return 0;
}

}  // namespace

int mdcudfsr_mdcfsctrl_set_logical_volume_identifier(mdcudfsr_mount* mnt, MDCFS_VOLUME_LABEL* rec,
                                                    vfs_context_t ctx) {
  if (!mnt) return refuse("mdcudfsrmp");
  if (!rec) return refuse("volume_label");
  if (!rec->NameLen) return refuse("volume_label->NameLen");
  std::uint16_t units[64] = {};
  std::memcpy(units, rec->Name, rec->NameLen < 128 ? rec->NameLen : 128);
  const std::uint32_t count = rec->NameLen > 126 ? 63 : rec->NameLen / 2u;
  if (int err = check_label(units, count)) return err;
  std::uint8_t dstring[128] = {};
  std::uint32_t len = 127;
  if (int err = mdcudfsr_unicode_utf162udf(units, static_cast<std::int32_t>(count), dstring, &len)) {
    VN_LOGK(KEL_LOG_ERR, "unicode compression err=%d\n", err);
    return err;
  }
  if (len > 127) return KEL_EINVAL;
  dstring[127] = static_cast<std::uint8_t>(len);
  std::memcpy(mnt->vds.lvd.logvol_id, dstring, 128);
  std::memcpy(mnt->fsd.logvol_id, dstring, 128);
  std::memcpy(mnt->logvol_id, dstring, 128);
  mnt->logvol_id_len = len;
  mdcudfsr_set_volume_name(mnt, ctx);
  return open_session_for_change(mnt, ctx);
}

namespace {

// The label kept in attribute 0803h; false when the attributes cannot be read.
bool label_from_cm(mdcudfsr_mount* mnt, MDCFS_VOLUME_LABEL* rec, vfs_context_t ctx) {
  pxo_attribute_data_t cm{};
  if (mdcudfsr_read_attribute(mnt, &cm, sizeof cm, 1, 1, ctx, 0)) return false;
  const auto* at = reinterpret_cast<const std::uint8_t*>(&cm) + cm_attr::kOffsets[3] + 5;
  std::memset(rec, 0, sizeof *rec);
  std::uint32_t n = 0;
  for (; n < 63; ++n) {
    std::uint16_t u = 0;
    std::memcpy(&u, at + 2 * n, 2);
    if (!u) break;
    rec->Name[n] = u;
  }
  rec->NameLen = static_cast<std::uint8_t>(2 * n);
  return true;
}

}  // namespace

int mdcudfsr_mdcfsctrl_get_logical_volume_identifier(mdcudfsr_mount* mnt, MDCFS_VOLUME_LABEL* rec,
                                                    vfs_context_t ctx) {
  if (!mnt) return refuse("mdcudfsrmp");
  if (!rec) return refuse("volume_label");
  if (label_from_cm(mnt, rec, ctx)) return 0;
  VN_LOGK(KEL_LOG_WARN, "could not read Logical Volume ID from CM. read from FSD.\n");
  const std::uint8_t* id = mnt->vds.lvd.logvol_id;
  const std::uint32_t len = id[127] < 127 ? id[127] : 127;
  std::uint16_t units[128] = {};
  const std::uint32_t n = len ? mdcudfsr_cs0_to_unicode(len, id, units) : 0;
  if (n == 0xFFFFFFFFu) {
    VN_LOGK(KEL_LOG_ERR, "could not uncompress unicode - invalid compressionID=%d", id[0]);
    return KEL_EINVAL;
  }
  std::memset(rec, 0, sizeof *rec);
  const std::uint32_t bytes = 2 * n < 126 ? 2 * n : 126;
  std::memcpy(rec->Name, units, bytes);
  rec->NameLen = static_cast<std::uint8_t>(bytes);
  return 0;
}
