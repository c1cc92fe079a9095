// Client side of the VFAM protocol: one operation per request to a VFAM
// user agent over the vfamdev channel (build the image, send, wait, unpack),
// the per-node table of open VFAM handles, block I/O of VFAM-backed buffers
// and the wait of a file-system call until the agent has mounted.
//
// Results are errno values (0 success). Every request operation takes its
// node locked and leaves it locked; the lock is dropped while the answer is
// awaited.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kelhost/kern_types.h"

struct mdcudfsr_mount;
struct mdcudfsr_cache_node;

// The attribute record exchanged with the agent: 96 bytes, packed, host
// byte order; 95 of them travel on the channel.
#pragma pack(push, 1)
struct vfamstat {
  std::uint32_t valid;
  std::uint8_t type;
  std::uint32_t uid;
  std::uint32_t gid;
  std::uint16_t mode;
  std::uint32_t flags;
  std::uint32_t fileid;
  std::int64_t atime_sec, atime_nsec;
  std::int64_t crtime_sec, crtime_nsec;
  std::int64_t mtime_sec, mtime_nsec;
  std::int64_t ctime_sec, ctime_nsec;
  std::uint64_t size;
  std::uint8_t unused;
};
#pragma pack(pop)
static_assert(sizeof(vfamstat) == 96, "vfamstat is 96 bytes");
static_assert(offsetof(vfamstat, mode) == 13 && offsetof(vfamstat, atime_sec) == 23 &&
                  offsetof(vfamstat, ctime_sec) == 71 && offsetof(vfamstat, size) == 87,
              "vfamstat member offsets");
constexpr std::uint32_t VFAMSTAT_WIRE_SIZE = 95;

// Request codes.
enum : std::uint32_t {
  VFAM_REQ_CREATE = 1,
  VFAM_REQ_OPEN = 2,
  VFAM_REQ_CLOSE = 3,
  VFAM_REQ_READDIR = 6,
  VFAM_REQ_READ = 7,
  VFAM_REQ_WRITE = 8,
  VFAM_REQ_RENAME = 9,
  VFAM_REQ_REMOVE = 10,
  VFAM_REQ_SET_ATTR = 11,
  VFAM_REQ_GET_ATTR = 12,
  VFAM_REQ_IOCTL = 13,
  VFAM_REQ_CACHE_READ = 14,
  VFAM_REQ_CACHE_WRITE = 15,
  VFAM_REQ_CACHE_DELETE = 16,
  VFAM_REQ_WRITE_POLICY = 17,
  VFAM_REQ_FLUSH_BUFFERS = 18,
  VFAM_REQ_VOLUME_SIZE = 19,
  VFAM_REQ_UNMOUNT = 0x8FFFFFFFu,
};

// The control code the agent serves (masked), and the code it receives.
constexpr std::uint32_t VFAM_IOCTL_MASKED_CODE = 0x80007086u;
constexpr std::uint32_t VFAM_IOCTL_WIRE_CODE = 0x80047086u;

// Slot index of no handle (wait_for_existing_handle).
constexpr int INVALID_VFAM_HANDLE_IDX = 0x0A0A0505;

// Requests.
int mdcudfsr_vfam_create(mdcudfsr_cache_node* parent, const char* name, std::uint32_t name_len, vfamstat* st);
int mdcudfsr_vfam_open(mdcudfsr_cache_node* node, int mode, std::uint64_t* handle);
int mdcudfsr_vfam_close(mdcudfsr_cache_node* node, std::uint64_t handle, int mode);
// Copies the entries only when all fit in dest_size bytes (else 105, the
// position unchanged).
int mdcudfsr_vfam_readdir(mdcudfsr_cache_node* node, std::uint64_t handle, std::uint64_t* position,
                          std::uint32_t count, void* dest, std::uint32_t dest_size, std::uint32_t* entries,
                          std::uint32_t* second_word);
int mdcudfsr_vfam_read(mdcudfsr_cache_node* node, std::uint64_t handle, std::uint64_t offset, std::uint32_t length,
                       void* dest, std::uint32_t* read_len);
int mdcudfsr_vfam_write(mdcudfsr_cache_node* node, std::uint64_t handle, std::uint64_t offset, std::uint32_t length,
                        const void* src, std::uint32_t* written);
int mdcudfsr_vfam_rename(mdcudfsr_cache_node* dir, mdcudfsr_cache_node* node, const char* name,
                         std::uint32_t name_len);
int mdcudfsr_vfam_move(mdcudfsr_cache_node* old_parent, mdcudfsr_cache_node* new_parent,
                       mdcudfsr_cache_node* node, const char* name, std::uint32_t name_len);
int mdcudfsr_vfam_remove(mdcudfsr_cache_node* node);
int mdcudfsr_vfam_set_file_attr(mdcudfsr_cache_node* node, vfamstat* st);
int mdcudfsr_vfam_get_file_attr(mdcudfsr_cache_node* node, vfamstat* st);
int mdcudfsr_vfam_ioctl(mdcudfsr_cache_node* node, std::uint32_t code, const void* data);
int mdcudfsr_vfam_cache_read(mdcudfsr_cache_node* node, std::uint64_t unique_id, std::uint64_t offset,
                             std::uint32_t length, void* dest, std::uint32_t* read_len, std::uint32_t* status);
int mdcudfsr_vfam_cache_write(mdcudfsr_cache_node* node, std::uint64_t unique_id, std::uint64_t offset,
                              std::uint32_t length, const void* src, std::uint32_t* written,
                              std::uint32_t* cache_error);
int mdcudfsr_vfam_cache_delete(mdcudfsr_cache_node* node, std::uint64_t unique_id, std::uint32_t* result);
int mdcudfsr_vfam_get_write_policy_info(mdcudfsr_mount* mp, std::uint64_t out[2]);
int mdcudfsr_vfam_flush_buffers(mdcudfsr_mount* mp, std::uint32_t flags);
void mdcudfsr_vfam_get_volume_size_info(mdcudfsr_mount* mp, std::uint64_t* total, std::uint64_t* remaining,
                                        std::uint64_t* buffered);
int mdcudfsr_vfam_unmount(mdcudfsr_mount* mp);

// Handle table.
int mdcudfsr_vfam_get_handle(mdcudfsr_cache_node* node, int mode, std::uint64_t* handle, int* opened_now);
int mdcudfsr_vfam_return_handle(mdcudfsr_cache_node* node, int mode);
int mdcudfsr_vfam_wait_for_existing_handle(mdcudfsr_cache_node* node, int mode, std::uint64_t* handle);
int mdcudfsr_vfam_return_existing_handle(mdcudfsr_cache_node* node, int slot, int mode);

// Block I/O of a VFAM-backed buffer; the buffer's result.
int mdcudfsr_vfam_strategy(mdcudfsr_cache_node* node, buf_t bp);

// Waits until the agent has mounted the volume; 0 or 6.
int mdcudfsr_wait_vfam_mounted(mdcudfsr_mount* mp, mdcudfsr_cache_node* node, vfs_context_t ctx);

// The agent's open and last close of the vfamdev channel.
int mdcudfsr_vfam_start(mdcudfsr_mount* mp);
int mdcudfsr_vfam_stop(mdcudfsr_mount* mp);
