// The mount record's own helpers.
#include "udf/udf_mount.h"

#include <cstdlib>

mdcudfsr_udf_fields::~mdcudfsr_udf_fields() {
  std::free(vds_cache_image[0]);
  std::free(vds_cache_image[1]);
}

uint32_t mdcudfsr_expected_slot(const mdcudfsr_mount* mnt) {
  return mnt->loaded_slot == SLOT_LAST_WRITTEN ? mnt->current_disc : mnt->loaded_slot;
}
