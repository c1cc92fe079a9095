// The mount record's own helpers.
#include "udf/udf_mount.h"

#include <cstdlib>
#include <cstring>

mdcudfsr_udf_fields::mdcudfsr_udf_fields() {
  std::memset(lvid_block, 0, sizeof lvid_block);
  for (auto& p : part) mdcudfsr_extent_list_init(&p.list);
}

mdcudfsr_udf_fields::~mdcudfsr_udf_fields() {
  std::free(vds_cache_image[0]);
  std::free(vds_cache_image[1]);
  std::free(lvid_cache_image);
  std::free(metadata_efe_image);
  for (auto& p : part) mdcudfsr_extent_list_free(&p.list);
}

uint32_t mdcudfsr_expected_slot(const mdcudfsr_mount* mnt) {
  return mnt->loaded_slot == SLOT_LAST_WRITTEN ? mnt->current_disc : mnt->loaded_slot;
}
