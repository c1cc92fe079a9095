// The UDF code against the real drive client: a volume of the image builder
// on slot 0 of a simulated cartridge, served by the simulated host service
// and drive through the real pipe. While one exists, the stand-ins of
// support_fakes.cpp pass the drive layer's calls on to the drive client, and
// the volume and vnode layer stand-ins (block writes, drive cache sync,
// verify, track information, cluster reads) use the drive client instead of
// the in-memory medium.
#pragma once

#include "engine/udf/support_image.h"
#include "engine/udf/support_mount.h"
#include "udf/udf_neighbour_calls.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kelsim {
class SimHarness;
}

namespace udf_test {

// Calls passed on to the real drive layer (used by support_fakes.cpp).
namespace drive {
int meta_bread(vnode_t vp, daddr64_t blkno, int size, buf_t* bpp);
buf_t getblk(vnode_t vp, daddr64_t blkno, int size, int operation);
uintptr_t dataptr(buf_t bp);
void setflags(buf_t bp, int32_t flags);
int bwrite(buf_t bp);
void brelse(buf_t bp);
int invalidateblks(vnode_t vp);
int ioctl(vnode_t vp, uint32_t command, char* data, int fflag, vfs_context_t ctx);
int config_string(int handle, const char* name, int* size, char* buffer);
int config_uint32(int handle, const char* name, int* size, uint32_t* value);

// The volume and vnode layer routines over the drive client. Whole 64 KiB
// units are read, changed and written back, as the write clusters do.
int write_sectors(uint32_t lsn, const void* data, uint32_t bytes);  // data null: zeros
int read_sectors(uint32_t lsn, void* out, uint32_t bytes);
int sync_cache();
int verify(uint32_t first, uint32_t count);
// The next writable address of the first open track.
int track_nwa(uint32_t* nwa);
// The 472-byte cartridge-memory record: attributes 0800h-0806h and
// 1500h-1504h read from the drive (host order when `convert`), and the
// attributes the update mask flags written back (1500h with its CRC).
int read_attribute_record(uint8_t* record, int convert);
int write_attribute_record(const uint8_t* record, uint32_t mask);
}  // namespace drive

class SimVolume {
 public:
  explicit SimVolume(MediumClass cls);
  ~SimVolume();
  SimVolume(const SimVolume&) = delete;
  SimVolume& operator=(const SimVolume&) = delete;

  kelsim::SimHarness& sim() { return *sim_; }
  // The disc of slot 0 as the simulated drive holds it.
  std::vector<uint8_t> disc_image();
  // A mount of the volume read through the drive client as a mount reads it:
  // anchors, sequence, partitions, integrity descriptor.
  std::unique_ptr<mdcudfsr_mount> mount();
  // A metadata block of a mount, read through the drive client.
  std::vector<uint8_t> metadata_block(mdcudfsr_mount* mnt, uint32_t lbn);

  ImageSpec spec;
  ImageLayout layout;
  bool started = false;  // the drive client came up

 private:
  struct Clock;
  std::string dir_;
  std::unique_ptr<Clock> clock_;
  std::unique_ptr<kelsim::SimHarness> sim_;
};

}  // namespace udf_test
