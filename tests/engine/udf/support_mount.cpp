// Mounts of builder images on the fake medium.
#include "engine/udf/support_mount.h"
#include "engine/udf/support_fakes.h"

#include "udf/udf_anchor_vds.h"
#include "udf/udf_extent.h"
#include "udf/udf_mount.h"
#include "udf/udf_names.h"
#include "udf/udf_tag.h"

#include <cstring>
#include <string>
#include <vector>

namespace udf_test {

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
