// File set descriptor (see udf_fsd.h).
#include "udf/udf_fsd.h"
#include "kelhost/kern_errno.h"
#include "udf/udf_efe.h"
#include "udf/udf_metadata.h"
#include "udf/udf_mount.h"
#include "udf/udf_tag.h"
#include "udf_io.h"
#include "udf_log.h"

#include <cstring>

using namespace udf_io;

namespace {

int refuse(mdcudfsr_mount* mnt) {
  mdcudfsr_set_mntinfo_state(mnt, MNTINFO_ACCESS_REFUSED, MNTINFO_RULES_BROKEN, WRPROT_READONLY);
  return KEL_EINVAL;
}

void mark_read_only(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  mnt->mntinfo.MountStatus = MNTINFO_RULES_BROKEN;
  mdcudfsr_set_mntinfo_wrprot_reason(mnt, WRPROT_READONLY, 1, ctx);
}

}  // namespace

int mdcudfsr_read_file_set_desc(mdcudfsr_mount* mnt, const uint8_t* raw, fileset_desc* fsd, vfs_context_t ctx) {
  UDF_TRACE_ENTRY();
  std::memcpy(fsd, raw, sizeof *fsd);
  mdcudfsr_swap_le2host_fileset_desc(fsd);
  if (fsd->tag.id != TAG_ID_FSD) {
    UDF_LOG(ERR, "Tag id(%d) is not FSD.\n", fsd->tag.id);
    return refuse(mnt);
  }
  uint16_t next;
  std::memcpy(&next, raw + mnt->logical_sector_size, 2);
  next = mdcudfsr_le16_to_host(next);
  if (next != TAG_ID_TD) {
    if (next == TAG_ID_FSD)
      UDF_LOG(ERR, "Second FSD.\n");
    else
      UDF_LOG(ERR, "FSD is not terminated with TD\n");
    return refuse(mnt);
  }
  if (!mdcudfsr_check_udf_tag_checksum(raw)) {
    UDF_LOG(ERR, "Tag Checksum is Invalid. \n");
    return refuse(mnt);
  }
  if (!mdcudfsr_check_udf_tag_crc(raw, mnt->logical_sector_size)) {
    UDF_LOG(ERR, "Tag CRC is Invalid. \n");
    return refuse(mnt);
  }
  if (fsd->max_ichg_lvl < 3) {
    UDF_LOG(WARN, "FSD max interchange level(%d) is invalid.\n", fsd->max_ichg_lvl);
    mark_read_only(mnt, ctx);
  }
  if (fsd->ichg_lvl != 3) {
    UDF_LOG(WARN, "FSD interchange level(%d) is invalid.\n", fsd->ichg_lvl);
    mark_read_only(mnt, ctx);
  }
  if (fsd->rootdir_icb.len == 0) {
    UDF_LOG(WARN, "FSD root dir ICB length is zero\n");
    mark_read_only(mnt, ctx);
  }
  if (fsd->streamdir_icb.len != 0) {
    UDF_LOG(WARN, "fsdp->streamdir_icb.len is not zero(%d).\n", fsd->streamdir_icb.len);
    mark_read_only(mnt, ctx);
  }
  UDF_TRACE_EXIT_ERR(0);
  return 0;
}

int mdcudfsr_flush_file_set_desc(mdcudfsr_mount* mnt, fileset_desc* fsd, vfs_context_t ctx) {
  UDF_TRACE_ENTRY();
  const uint32_t b = mnt->logical_block_size;
  const uint32_t l = mnt->vds.lvd.fsd_loc.loc.lb_num;
  const uint32_t n = mdcudfsr_allocate_metadata_blocks(mnt, 2);
  if (n == MDCUDFSR_INVALID_LBN) {
    UDF_LOG(ERR, "can't allocate block on metadata partition.\n");
    UDF_TRACE_EXIT_ERR(28);
    return KEL_ENOSPC;
  }
  uint8_t* buf = zalloc(b);
  if (!buf) {
    UDF_LOG(ERR, "can't allocate fsd memory.\n");
    UDF_TRACE_EXIT_ERR(12);
    return KEL_ENOMEM;
  }
  mnt->vds.lvd.fsd_loc.loc.part_num = MDCUDFSR_PARTITION_METADATA;
  mnt->vds.lvd.fsd_loc.len = 2 * b;
  uint32_t t;
  if (mnt->fsd_relocation) {
    mnt->vds.lvd.fsd_loc.loc.lb_num = n;
    t = n;
  } else {
    t = l;
  }
  mnt->fsd_new_loc = n;
  mdcudfsr_init_udf_tag(mnt, &fsd->tag, TAG_ID_FSD, t);
  timespec now{};
  nanotime(&now);
  mdcudfsr_timespec2udftime_local(mnt, &now, &fsd->time);
  fileset_desc le = *fsd;
  mdcudfsr_swap_host2le_fileset_desc(&le);
  std::memcpy(buf, &le, sizeof le);
  mdcudfsr_set_udf_tag_crc_and_checksum(buf, sizeof le);
  // The descriptor is written at its new metadata block; its logical block
  // is t, which the cache mirror uses.
  int err = mdcudfsr_write_metadata_block(mnt, MDCUDFSR_PARTITION_METADATA, mnt->fsd_relocation ? n : t, n, buf, ctx);
  if (!err) {
    std::memset(buf, 0, 512);
    desc_tag td{};
    mdcudfsr_init_udf_tag(mnt, &td, TAG_ID_TD, t + 1);
    mdcudfsr_swap_host2le_desc_tag(&td);
    std::memcpy(buf, &td, sizeof td);
    mdcudfsr_set_udf_tag_crc_and_checksum(buf, 512);
    err = mdcudfsr_write_metadata_block(mnt, MDCUDFSR_PARTITION_METADATA, mnt->fsd_relocation ? n + 1 : t + 1, n + 1,
                                        buf, ctx);
  }
  zfree(buf);
  UDF_TRACE_EXIT_ERR(err);
  return err;
}
