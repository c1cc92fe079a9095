// Types of the kernel programming interface that the engine is written
// against, as this host layer emulates it in user space.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

using errno_t = int;
using off64_kel_t = std::int64_t;
using user_addr_t = std::uint64_t;
using user_size_t = std::uint64_t;
using kel_pid_t = std::int32_t;
using clock_sec_t = std::uint32_t;   // seconds since 1970 as a 32-bit unsigned value
using clock_usec_t = std::uint32_t;
// Sector number of the block calls; kept in 32 bits by the drive layer.
using daddr64_t = std::int64_t;

struct vnode;
struct mount;
struct vfs_context;
struct uio;
struct pxo_buf;  // the drive layer's buffer record
using vnode_t = vnode*;
using mount_t = mount*;
using vfs_context_t = vfs_context*;
using uio_t = uio*;
using buf_t = pxo_buf*;

// In-memory time: struct timespec with 64-bit seconds, so that a time after
// 2038 never turns into 1970.
static_assert(sizeof(time_t) == 8, "64-bit time_t required");

// The caller's request context: its first word is the caller's process id.
struct vfs_context {
  std::uint64_t vc_pid;
};
static_assert(offsetof(vfs_context, vc_pid) == 0);

// Volume statistics record embedded in the mount record.
struct vfsstatfs {
  std::uint32_t f_bsize;
  std::uint64_t f_iosize;
  std::uint64_t f_blocks;
  std::uint64_t f_bfree;
  std::uint64_t f_bavail;
  std::uint64_t f_bused;
  std::uint64_t f_files;
  std::uint64_t f_ffree;
  std::int32_t f_fsid[2];
  std::uint32_t f_owner;
  std::uint64_t f_flags;
  char f_fstypename[16];
  char f_mntonname[1024];
  char f_mntfromname[1024];
  std::uint32_t f_fssubtype;
  void* f_reserved[2];
};

// The emulation's one mount record; zeroed by every Mount.
// Volume attributes the host layer asks of a file system (getattr) or sets
// (setattr). Bit n of the masks stands for the n-th member from f_objcount on:
// 0 objcount .. 11 ffree, 12 fsid, 14 capabilities, 15 attributes,
// 16 create_time, 20 subtype, 21 vol_name.
struct vfs_attr {
  std::uint64_t f_supported;
  std::uint64_t f_active;
  std::uint64_t f_objcount;
  std::uint64_t f_filecount;
  std::uint64_t f_dircount;
  std::uint64_t f_maxobjcount;
  std::uint32_t f_bsize;
  std::uint64_t f_iosize;
  std::uint64_t f_blocks;
  std::uint64_t f_bfree;
  std::uint64_t f_bavail;
  std::uint64_t f_bused;
  std::uint64_t f_files;
  std::uint64_t f_ffree;
  std::uint32_t f_fsid[2];
  std::uint32_t f_capabilities[8];  // four capability words, then their four valid words
  std::uint32_t f_attributes[10];   // valid common, volume, dir, file, fork; native the same
  struct timespec f_create_time;
  std::uint32_t f_fssubtype;
  char* f_vol_name;                 // 260 bytes, the caller's
};
constexpr std::uint64_t VFSATTR_VOL_NAME = 1ull << 21;
constexpr std::uint32_t VFSATTR_VOL_NAME_SIZE = 260;

struct mount {
  std::uint32_t mnt_flag;  // bit 0x1: mounted read-only
  void* mnt_data;          // file-system private record
  vfsstatfs mnt_vfsstat;
};
constexpr std::uint32_t MNT_RDONLY = 0x1;

// uio: a scatter list with an offset, a residual count and a direction.
struct iovec_kel {
  void* iov_base;
  std::uint64_t iov_len;
};
struct uio {
  iovec_kel* uio_iovs;          // next iovec to use
  std::uint64_t uio_iovcnt;     // iovecs in use from uio_iovs on
  std::int64_t uio_offset;
  std::int64_t uio_resid;
  std::int32_t uio_rw;          // UIO_READ or UIO_WRITE
  // Book-keeping of this emulation (not read by the engine).
  iovec_kel* uio_array;         // the array as allocated
  std::uint64_t uio_capacity;   // iovecs the array holds
};
enum : int {
  UIO_READ = 0,   // data goes from the engine's buffer into the iovecs
  UIO_WRITE = 1,  // data goes from the iovecs into the engine's buffer
};
enum : int { UIO_SYSSPACE = 2, UIO_USERSPACE = 0 };

// Component name of a lookup or create.
struct componentname {
  std::uint32_t cn_nameiop;  // 0 look up, 1 create, 2 delete, 3 rename
  std::uint32_t cn_flags;    // 0x2000 "..", 0x4000 make a cache entry, 0x8000 last component
  vfs_context_t cn_context;  // reserved
  void* cn_ndp;              // reserved
  char* cn_pnbuf;            // path of the folder
  int cn_pnlen;
  char* cn_nameptr;          // the component
  int cn_namelen;            // bytes, no terminator
  std::uint32_t cn_hash;
  std::uint32_t cn_consume;
};
enum : std::uint32_t { LOOKUP = 0, CREATE = 1, DELETE = 2, RENAME = 3 };
enum : std::uint32_t { ISDOTDOT = 0x2000, MAKEENTRY = 0x4000, ISLASTCN = 0x8000 };

// Vnode types.
enum : std::uint32_t { VNON = 0, VREG = 1, VDIR = 2, VBLK = 3, VCHR = 4, VLNK = 5 };

// Vnode-operation descriptor: only its identity matters.
struct vnodeop_desc {
  char vdesc_unused;
};
using vnop_handler_t = int (*)(void*);
// One pair of the engine's vnode-operation vector, ended by a null descriptor.
struct vnodeopv_entry_desc {
  vnodeop_desc* opve_op;
  vnop_handler_t opve_impl;
};
struct vnodeopv_desc {
  vnop_handler_t** opv_desc_vector_p;
  vnodeopv_entry_desc* opv_desc_ops;
};

// Parameters of vnode_create (88 bytes).
struct vnode_fsparam {
  mount* vnfs_mp;
  std::uint32_t vnfs_vtype;
  const char* vnfs_str;
  vnode* vnfs_dvp;
  void* vnfs_fsnode;
  vnop_handler_t* vnfs_vops;
  int vnfs_markroot;
  int vnfs_marksystem;
  std::uint32_t vnfs_rdev;
  std::int64_t vnfs_filesize;
  componentname* vnfs_cnp;
  std::uint32_t vnfs_flags;
};
static_assert(sizeof(vnode_fsparam) == 88, "vnode_fsparam is 88 bytes");
constexpr std::uint32_t VNCREATE_FLAVOR = 0;
constexpr std::uint32_t VCREATESIZE = sizeof(vnode_fsparam);

// Result of vnode_blockmap.
struct blockmap_result {
  std::int32_t sector;  // -1: nothing mapped
  std::uint64_t run;    // bytes
};

// Argument records of the vnode operations the host layer calls itself.
struct vnop_lookup_args {
  vnodeop_desc* a_desc;
  vnode_t a_dvp;
  vnode_t* a_vpp;
  componentname* a_cnp;
  vfs_context_t a_context;
};
struct vnop_fsync_args {
  vnodeop_desc* a_desc;
  vnode_t a_vp;
  int a_waitfor;
  vfs_context_t a_context;
};
// inactive and reclaim take the same record.
struct vnop_inactive_args {
  vnodeop_desc* a_desc;
  vnode_t a_vp;
  vfs_context_t a_context;
};
using vnop_reclaim_args = vnop_inactive_args;
struct vnop_blockmap_args {
  vnodeop_desc* a_desc;
  vnode_t a_vp;
  std::int64_t a_foffset;
  std::uint64_t a_size;
  std::int32_t* a_bpn;
  std::uint64_t* a_run;
  std::int32_t* a_poff;
  std::int32_t a_flags;
  vfs_context_t a_context;
};
enum : std::int32_t { VNODE_READ = 0x40000000, VNODE_WRITE = static_cast<std::int32_t>(0x80000000u) };

// Dummy handles of the emulated allocation tags and lock groups.
struct kel_dummy_handle;
using OSMallocTag = kel_dummy_handle*;
using lck_grp_attr_t = kel_dummy_handle;
using lck_grp_t = kel_dummy_handle;
using lck_attr_t = kel_dummy_handle;
using lck_spin_t = kel_dummy_handle;
using proc_t = kel_dummy_handle*;
