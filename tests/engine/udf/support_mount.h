// Builder images mounted on the fake medium of support_fakes.h.
#pragma once

#include "engine/udf/support_image.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct mdcudfsr_mount;

namespace udf_test {

// A mounted image: the builder's volume on the fake medium, anchors and
// sequence read, partitions set up, calls and log lines cleared.
struct MountedImage {
  ImageSpec spec;
  ImageLayout layout;
  std::unique_ptr<mdcudfsr_mount> mnt;
  void load(MediumClass cls, uint32_t slot = 0);
  // The fake medium's bytes of metadata block `lbn` (through the main list).
  uint8_t* metadata_block(uint32_t lbn);
};

}  // namespace udf_test
