// The UDF code on the real volume and vnode routines: a builder volume on
// slot 0 of a simulated cartridge, served by the simulated host service and
// drive through the real pipe client, and a mount record read from it as a
// mount reads it. Everything below the UDF code is the system's own; the
// log lines it writes are kept for the tests.
#pragma once

#include "engine/udf/support_image.h"
#include "kelhost/kern_types.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "platform/sync.h"
#include "support/instant_clock.h"
#include "sim/harness.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace udf_real {

constexpr uint32_t kSector = 2048;

struct LogLine {
  unsigned level;
  int module;  // index of the header's module tag (10: "KELC")
  std::string function;
  std::string text;
};
std::vector<LogLine> logs();
void clear_logs();
bool logged(const std::string& text);
size_t count_logged(const std::string& text);

using InstantClock = kel_test::InstantClock;

// One SCSI command the drive received.
struct Command {
  uint8_t op;
  uint32_t lba;     // bytes 2-5 of a 10-byte command (D2h: bytes 4-7)
  uint32_t blocks;  // bytes 7-8 of a 10-byte command
  bool good;        // answered GOOD
};

class RealVolume {
 public:
  // `build`: false leaves slot 0 blank (formatted, nothing written).
  explicit RealVolume(udf_test::MediumClass cls, uint32_t slot = 0, bool build = true);
  ~RealVolume();
  RealVolume(const RealVolume&) = delete;
  RealVolume& operator=(const RealVolume&) = delete;

  // Anchors, sequence, partitions, integrity descriptor and the cartridge memory read into the
  // mount record as a mount reads them; the transcript and the log cleared.
  void mount();
  mdcudfsr_mount* m() { return mnt_.get(); }
  // A new record mounted as mount() mounts the volume's own (the next mount).
  std::unique_ptr<mdcudfsr_mount> mount_again();
  // A new record of the same disc, as the volume's next mount starts it.
  std::unique_ptr<mdcudfsr_mount> record();
  kelsim::SimHarness& sim() { return *sim_; }

  // The real cache agent thread with the local cache file, and the write
  // clusters that stage metadata writes in it (after mount()). From here on
  // waits are on the process clock.
  void start_agent();
  // The agent's cache directory (its "Fs Cache File Path").
  std::string cache_root() const { return dir_ + "/KELFS"; }
  // A file of the agent's local cache directory opened for reading and
  // writing (after start_agent()); its handle.
  int32_t open_cache_file(const char* name);
  // Bytes of an open cache file, read through the agent.
  std::vector<uint8_t> cache_file_read(int32_t handle, uint64_t offset, uint32_t length);
  // Puts the staged sectors of every write cluster onto the disc at their
  // own blocks, read from the images in the agent's local cache file (on
  // write-once media the data track's next writable address moves past
  // them), and drops the clusters: what the UDF code staged, readable by the
  // readers through the drive.
  void commit_staged();
  // Writes every staged cluster from `first_lsn` on, synced and verified.
  int flush_clusters(uint32_t first_lsn);

  // Sectors of the loaded disc as the drive holds them.
  std::vector<uint8_t> read(uint32_t lsn, uint32_t count = 1);
  void write(uint32_t lsn, const std::vector<uint8_t>& bytes);
  // Reads `count` sectors at lsn, lets `f` change them, writes them back.
  template <class F>
  void edit(uint32_t lsn, uint32_t count, F f) {
    std::vector<uint8_t> b = read(lsn, count);
    f(b.data());
    write(lsn, b);
  }
  // The cartridge-memory record read from the drive (host order).
  std::vector<uint8_t> attribute_record();
  // Another slot's disc formatted and empty: on write-once media one open
  // track from block 0 whose next writable address is `nwa` (the blocks
  // before it recorded, zeros).
  void blank_disc(uint32_t slot, uint32_t nwa = 0);
  // The next writable address of the loaded write-once disc's first track.
  void set_track_nwa(uint32_t nwa);
  // A sector that the drive answers with a medium error.
  void unreadable(uint32_t lsn);
  // The metadata block (through the mount's main extents).
  std::vector<uint8_t> metadata_block(uint32_t lbn) { return metadata_block(mnt_.get(), lbn); }
  std::vector<uint8_t> metadata_block(mdcudfsr_mount* mnt, uint32_t lbn);
  // The whole loaded disc.
  std::vector<uint8_t> disc_image() { return read(0, spec.sectors); }
  // The next writable address of the loaded write-once disc's first track.
  uint32_t track_nwa();

  // Commands since the last clear.
  std::vector<Command> commands() const;
  std::vector<uint8_t> opcodes() const;
  size_t count(uint8_t op) const;
  void clear();

  udf_test::ImageSpec spec;
  udf_test::ImageLayout layout{};

 private:
  InstantClock clock_;
  std::unique_ptr<platform::ScopedClock> clock_scope_;
  std::string dir_;
  std::unique_ptr<kelsim::SimHarness> sim_;
  std::unique_ptr<mdcudfsr_mount> mnt_;
  struct mount mp_ {};
  std::vector<std::string> argv_;
  std::vector<char*> argp_;
  void stop_agent();
  void mount_record(mdcudfsr_mount* m);
};

// Nodes of the real node cache, counted in the mount as the cache counts
// what it adds: the root directory at once, then each directory and file
// added below it. Released at the end of the scope.
class CacheNodes {
 public:
  explicit CacheNodes(mdcudfsr_mount* mnt);
  ~CacheNodes();
  CacheNodes(const CacheNodes&) = delete;
  CacheNodes& operator=(const CacheNodes&) = delete;
  void add(const char* name, bool dir);

 private:
  mdcudfsr_mount* mnt_;
  mdcudfsr_cache_node* top_ = nullptr;
  mdcudfsr_cache_node* root_ = nullptr;
};

// The integrity descriptor flush as its callers make it: under lvid_mutex.
int flush_lvid_locked(mdcudfsr_mount* mnt, int no_write, int verify);

// SCSI operation codes the tests look for.
constexpr uint8_t kRead10 = 0x28, kWrite10 = 0x2A, kVerify10 = 0x2F, kSyncCache = 0x35, kReserve = 0xD2,
                  kLoad = 0xA6, kReadAttribute = 0x8C, kWriteAttribute = 0x8D, kTrackInfo = 0x52;

}  // namespace udf_real
