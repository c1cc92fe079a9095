// Mounts of builder images on the fake medium.
#include "engine/udf/support_mount.h"
#include "engine/udf/support_fakes.h"

#include "udf/udf_anchor_vds.h"
#include "udf/udf_extent.h"
#include "udf/udf_mount.h"
#include "udf/udf_names.h"

namespace udf_test {

void setup_partitions(mdcudfsr_mount* mnt, const ImageLayout& l) {
  mnt->part[2].start_sector = l.partition_start;
  mnt->part[2].length = static_cast<uint64_t>(l.partition_len) * kSector;
  mnt->partition_length = mnt->part[2].length;
  mnt->partition_blocks = l.partition_len;
  for (uint32_t i = 0; i < 2; ++i) {
    mdcudfsr_extent_list_remove_all(&mnt->part[i].list);
    mdcudfsr_extent_entry e;
    e.extent.len = 65536;
    e.extent.loc = lb_addr{l.metadata_extent, 2};
    mdcudfsr_extent_list_add(&mnt->part[i].list, &e, kSector);
    mnt->part[i].length = 65536;
    mnt->part[i].start_sector = l.partition_start + l.metadata_extent;
  }
  mnt->part[0].efe_block = l.metadata_file_loc;
  mnt->part[1].efe_block = l.mirror_file_loc;
  mnt->metadata_main_partition_length = 65536;
  mnt->metadata_mirr_partition_length = 65536;
  mnt->metadata_block_count = 3;
  mnt->metadata_file_loc = l.metadata_file_loc;
  mnt->metadata_mirror_loc = l.mirror_file_loc;
  mnt->first_physical_lsn = l.partition_start;
}

void MountedImage::load(MediumClass cls, uint32_t slot) {
  spec = spec_for(cls, slot);
  env().reset(spec.sectors);
  layout = build_volume(spec, env().medium);
  mnt = std::make_unique<mdcudfsr_mount>();
  init_mount(mnt.get(), spec.sectors, spec.medium_type, slot);
  mdcudfsr_read_avdp(mnt.get(), nullptr, 1, 0, nullptr);
  mdcudfsr_read_vds(mnt.get(), nullptr, 0, 1, 0, nullptr);
  setup_partitions(mnt.get(), layout);
  env().calls.clear();
  env().logs.clear();
}

uint8_t* MountedImage::metadata_block(uint32_t lbn) {
  const uint32_t lsn = mdcudfsr_lbn2lsn(mnt.get(), 0, lbn, nullptr);
  return lsn == 0xFFFFFFFFu ? nullptr : env().sector(lsn);
}

}  // namespace udf_test
