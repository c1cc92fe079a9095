// Parity, proxy and dummy-file controls: the parity file beside a master
// and its proxy, the master's name behind a proxy, the parity stream of a
// file, the parity file's allocation and data, and dummy open and close.
#pragma once

#include "kel/mdcfs.h"
#include "kelhost/kern_types.h"

#include <cstddef>
#include <cstdint>

struct mdcudfsr_mount;
struct mdcudfsr_cache_node;

#pragma pack(push, 1)
// MDCFSCTL_GET_REAL_PXOFILENAME, 12 bytes.
struct MDCFS_REAL_FILENAME {
  std::uint32_t BufferSize;  // 0 asks for the size (out: bytes needed, NUL included)
  std::uint64_t Buffer;
};
static_assert(sizeof(MDCFS_REAL_FILENAME) == 12, "real-name record is 12 bytes");

// MDCFSCTL_GET_ALT_STREAM_INFO, 269 bytes.
struct MDCFS_ALT_STREAM_INFO {
  std::uint32_t TotalStreams;  // always 1
  std::uint32_t StreamIndex;   // always 0
  std::uint32_t NameSize;      // length of the name + 1
  char Name[257];
};
static_assert(sizeof(MDCFS_ALT_STREAM_INFO) == 269, "alt-stream record is 269 bytes");

constexpr std::uint32_t MDCFS_PARITY_STREAM_NAME_SIZE = 260;

// MDCFSCTL_GET_PARITY_ALLOCATION, 280 bytes as the engine uses it.
struct MDCFS_PARITY_ALLOCATION {
  char StreamName[MDCFS_PARITY_STREAM_NAME_SIZE];
  std::uint64_t TotalLength;      // out: bytes of parity data
  std::uint32_t TotalSpaceCount;  // capacity (in) or number of extents (out, without array)
  std::uint64_t SpaceEntries;     // address of MDCFS_SPACE_ENTRY[], or 0
};
static_assert(sizeof(MDCFS_PARITY_ALLOCATION) == 280, "parity allocation record is 280 bytes");

// MDCFSCTL_GET_PARITY_DATA, 284 bytes as the engine uses it.
struct MDCFS_PARITY_DATA {
  char StreamName[MDCFS_PARITY_STREAM_NAME_SIZE];
  std::uint64_t Offset;
  std::uint64_t ReadSize;  // in: 1 to 0x8000000 bytes; out: bytes read
  std::uint64_t pReadDataBuffer;
};
static_assert(sizeof(MDCFS_PARITY_DATA) == 284, "parity data record is 284 bytes");
#pragma pack(pop)

constexpr std::uint32_t MDCFS_DUMMY_NAME_SIZE = 256;
constexpr std::uint64_t MDCFS_PARITY_READ_MAX = 0x8000000;
// Longest parity file name: master name, '#' and the parity path.
constexpr std::uint32_t MDCUDFSR_PARITY_NAME_MAX = 1023;

int mdcudfsr_mdcfsctrl_get_read_pxofilename(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, MDCFS_REAL_FILENAME* rec,
                                            vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_get_virtualfile_info(mdcudfsr_mount* mnt, void* rec, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_setup_parity(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, MDCFS_SETUP_PARITY* rec,
                                    vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_get_alt_stream_info(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, MDCFS_ALT_STREAM_INFO* rec,
                                           vfs_context_t ctx);
// Record: out, the dummy file's proxy name (at most 256 bytes, no terminator added).
int mdcudfsr_mdcfsctrl_dummy_create(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, char* rec, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_dummy_close(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, void* rec, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_get_parity_allocation(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node,
                                             MDCFS_PARITY_ALLOCATION* rec, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_get_parity_data(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, MDCFS_PARITY_DATA* rec,
                                       vfs_context_t ctx);
