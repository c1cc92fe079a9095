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

// One file identifier descriptor at `out` (name null: the parent entry)
// pointing at metadata block `icb`; its length padded to 4.
uint32_t put_fid(mdcudfsr_mount* mnt, uint8_t* out, uint32_t tag_loc, uint8_t chars, const char* name, uint32_t icb,
                 uint64_t uid = 0);
// The entries of a directory whose identifier descriptors are held in its
// entry block (allocation type 3), read with the system's converters; empty
// when a descriptor fails its tag or CRC.
struct DirEntry {
  std::string name;  // empty for the parent entry
  uint8_t chars;
  uint32_t icb;
  uint32_t uid;
};
std::vector<DirEntry> read_dir_in_icb(const uint8_t* efe_block, uint32_t l_ea, uint32_t l_ad);

}  // namespace udf_test
