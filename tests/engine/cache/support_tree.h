// Volumes with a directory tree for the node cache: the UDF test-image
// builder's volume with its root directory rewritten and directories,
// files, symbolic links, parity streams and hash attributes added in the
// metadata file; and a mount of such a volume on a simulated cartridge,
// read through the real drive client, with the real cache agent thread.
#pragma once

#include "engine/udf/support_image.h"
#include "kelcache/cache.h"
#include "kelvfs/mdcudfsr_mount.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kelsim {
class SimHarness;
}

namespace cache_test {

// One entry of the tree before it is written. Every field may be changed
// between adding the item and finish(), which writes the entries.
struct Item {
  int parent = -1;
  std::string name;
  uint8_t file_char = 0;  // characteristics of its FID in the parent
  uint32_t lbn = 0;       // metadata block of its entry
  uint8_t file_type = 5;
  uint16_t icb_flags = 1;  // allocation type (long ADs) and flag bits
  uint16_t strategy = 4;
  uint32_t perm = 0x7FFF;
  uint64_t unique_id = 0;
  uint64_t inf_len = 0;
  std::vector<long_ad> extents;  // data extents (long ADs)
  std::vector<uint8_t> data;     // in-entry data (allocation type 3), or raw ADs when raw_ads
  bool raw_ads = false;
  std::vector<uint8_t> ea;       // extended attribute area
  uint32_t stream_lbn = 0;       // stream directory entry; 0: none
  std::vector<std::vector<uint8_t>> fids;  // a directory's FIDs after its parent entry
  bool dir_in_extent = false;    // a directory's FIDs in a block of their own
  bool written = true;           // false: no entry is written at lbn
  int64_t inf_len_delta = 0;     // added to a directory's information length
  size_t cut = 0;                // bytes cut off the end of a directory's FIDs
};

class TreeImage {
 public:
  explicit TreeImage(udf_test::MediumClass cls = udf_test::MediumClass::WriteOnce);
  // The class's volume on a medium of another type (medium_type 0: the class's own).
  TreeImage(udf_test::MediumClass cls, uint32_t medium_type);

  static constexpr int kRoot = 0;
  int dir(int parent, const std::string& name, uint64_t uid);
  int file(int parent, const std::string& name, uint64_t uid, uint64_t length);
  int symlink(int parent, const std::string& name, uint64_t uid, const std::string& target);
  // A parity stream of the file: stream directory entry and stream entry.
  int parity(int file, const std::string& stream_name, uint64_t length);
  // A hash attribute {kind, hash} appended to the file's attribute area
  // (the header descriptor is added with the first).
  void hash(int file, uint16_t kind, const std::vector<uint8_t>& bytes);
  // An FID appended to a directory as given (name null: no identifier).
  std::vector<uint8_t> make_fid(uint8_t chars, const char* name, uint32_t icb, uint8_t compression = 8,
                                uint16_t l_iu = 0) const;
  uint32_t alloc();
  void finish();
  uint8_t* block(uint32_t lbn);

  udf_test::ImageSpec spec;
  udf_test::ImageLayout layout;
  std::vector<uint8_t> medium;
  std::vector<Item> items;
  std::vector<int> streams;  // stream-directory items (not listed in a directory)

 private:
  void write_entry(const Item& it);
  uint32_t next_ = 3;
};

// A mount of a tree volume on the simulated cartridge through the drive
// client; the real cache agent serves the local cache files.
class SimMount {
 public:
  SimMount();
  ~SimMount();
  // Writes the volume onto slot 0, starts the drive client and the agent,
  // and fills the mount as the volume code does before the node cache.
  void load(TreeImage& image);
  int init(int prepared = 0, int source = 0);
  kelsim::SimHarness& sim() { return *sim_; }
  std::filesystem::path local_dir() const;
  size_t reads_since_clear() const;  // READ(10) commands in the transcript
  mdcudfsr_mount* m() { return m_.get(); }
  mdcudfsr_cache_node* child(mdcudfsr_cache_node* dir, const std::string& name);

 private:
  void stop();
  std::filesystem::path dir_;
  std::unique_ptr<kelsim::SimHarness> sim_;
  std::unique_ptr<mdcudfsr_mount> m_;
  std::vector<std::string> argv_;
  std::vector<char*> argp_;
  long blocks_at_start_ = 0;
};

}  // namespace cache_test
