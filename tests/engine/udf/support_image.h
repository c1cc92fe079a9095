// A builder of volume images in the system's layout: slot k of a write-once,
// a rewritable or an F2h cartridge, with the recognition sequence, both
// anchors, both descriptor sequences, the integrity descriptor, the metadata
// file and its mirror, the file set descriptor and the root directory.
#pragma once

#include "udf/udf_records.h"

#include <cstdint>
#include <iosfwd>
#include <string>

struct mdcudfsr_mount;
#include <vector>

namespace udf_test {

enum class MediumClass { WriteOnce, Rewritable, F2 };
// The class by its name, as test listings and failures print it.
void PrintTo(MediumClass cls, std::ostream* os);

struct ImageSpec {
  MediumClass cls = MediumClass::WriteOnce;
  uint32_t medium_type = 0xE1;
  uint32_t sectors = 8192;
  uint32_t slot = 0;
  uint16_t serial = 7;          // tag serial number
  uint32_t metadata_lsn = 4352;  // where the metadata file's extent starts
  uint8_t volume_type = 0;       // non-zero: extended volume type
};

struct ImageLayout {
  uint32_t main_vds;
  uint32_t reserve_vds;
  uint32_t vds_len;
  uint32_t avdp2;
  uint32_t lvid;
  uint32_t partition_start;
  uint32_t partition_len;
  uint32_t metadata_file_loc;  // partition blocks
  uint32_t mirror_file_loc;
  uint32_t metadata_extent;    // partition block of the metadata content
};

ImageSpec spec_for(MediumClass cls, uint32_t slot = 0);
ImageLayout layout_for(const ImageSpec& spec);
// Writes the volume into `medium` (spec.sectors × 2048 bytes).
ImageLayout build_volume(const ImageSpec& spec, std::vector<uint8_t>& medium);
// Six sectors (PVD, IUVD, PD, LVD, USD, TD) of one sequence copy tagged at loc.
std::vector<uint8_t> build_vds_copy(const ImageSpec& spec, uint32_t loc);
// Recomputes CRC (over the stored CRC length) and checksum of a descriptor.
void reseal(uint8_t* desc);
// Rewrites the tag location of a descriptor and reseals it.
void relocate(uint8_t* desc, uint32_t loc);

// Fills the mount's partition entries as a mount of that image does: the
// physical partition (entry 2) and the metadata file and mirror (entries 0
// and 1, one 32-block extent), the allocation cursor after the root.
void setup_partitions(mdcudfsr_mount* mnt, const ImageLayout& layout);

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

// The content of a large metadata file, built block by block for a volume
// of the image builder: its blocks 0 and 1 (file set descriptor and
// terminator) taken from the built medium, then entries and identifier
// descriptors placed where the caller allocates them.
class MetadataContent {
 public:
  MetadataContent(const std::vector<uint8_t>& medium, uint32_t metadata_lsn);
  // n zeroed blocks at the end; the first one's metadata block number.
  uint32_t alloc(uint32_t n = 1);
  // Appends one identifier descriptor to `out` (name "": the parent entry)
  // pointing at metadata block `icb`, padded to 4 bytes.
  static void add_fid(std::vector<uint8_t>& out, uint8_t chars, const std::string& name, uint32_t icb);
  // An extended file entry at block lbn with l_ad bytes of allocation
  // descriptors (ad_type: 0 short, 1 long).
  void entry(uint32_t lbn, uint8_t type, uint64_t uid, uint64_t len, const void* ad, uint32_t l_ad,
             uint16_t ad_type);
  // A directory entry at lbn whose identifier descriptors lie in blocks of
  // their own, allocated after everything so far.
  void directory(uint32_t lbn, uint64_t uid, const std::vector<uint8_t>& fids);
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// Points the metadata file's (or mirror's) entry at `block` at one extent of
// `bytes` from partition block `extent`, and reseals it.
void repoint_metadata_file(uint8_t* block, uint64_t bytes, uint32_t extent);

}  // namespace udf_test
