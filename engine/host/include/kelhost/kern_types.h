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
// The data at the offset starts `offset` bytes into `sector`; the run counts
// bytes from the offset.
struct blockmap_result {
  std::int32_t sector;  // -1: nothing mapped
  std::uint64_t run;    // bytes
  std::int32_t offset = 0;
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
// Attributes of a file as the vnode operations exchange them: va_active
// says what is asked, va_supported what was returned.
struct vnode_attr {
  std::uint64_t va_supported;
  std::uint64_t va_active;
  std::uint32_t va_rdev;
  std::uint64_t va_nlink;
  std::uint64_t va_total_size;
  std::uint64_t va_total_alloc;
  std::uint64_t va_data_size;
  std::uint64_t va_data_alloc;
  std::uint32_t va_iosize;
  std::uint32_t va_uid;
  std::uint32_t va_gid;
  std::uint16_t va_mode;
  std::uint32_t va_flags;
  struct timespec va_create_time;
  struct timespec va_access_time;
  struct timespec va_modify_time;
  struct timespec va_change_time;
  std::uint64_t va_fileid;
  std::uint64_t va_linkid;
  std::uint64_t va_parentid;
  std::uint32_t va_fsid;
  std::uint64_t va_filerev;
  std::uint32_t va_gen;
  std::uint32_t va_encoding;
  std::uint32_t va_type;
  char* va_name;  // 260 bytes, the caller's
  std::uint64_t va_nchildren;
  std::uint64_t va_dirlinkcount;
};
enum : std::uint64_t {
  VATTR_RDEV = 0x1, VATTR_NLINK = 0x2, VATTR_TOTAL_SIZE = 0x4, VATTR_TOTAL_ALLOC = 0x8,
  VATTR_DATA_SIZE = 0x10, VATTR_DATA_ALLOC = 0x20, VATTR_IOSIZE = 0x40, VATTR_UID = 0x80,
  VATTR_GID = 0x100, VATTR_MODE = 0x200, VATTR_FLAGS = 0x400, VATTR_CREATE_TIME = 0x1000,
  VATTR_ACCESS_TIME = 0x2000, VATTR_MODIFY_TIME = 0x4000, VATTR_CHANGE_TIME = 0x8000,
  VATTR_FILEID = 0x20000, VATTR_LINKID = 0x40000, VATTR_PARENTID = 0x80000, VATTR_FSID = 0x100000,
  VATTR_FILEREV = 0x200000, VATTR_GEN = 0x400000, VATTR_ENCODING = 0x800000, VATTR_TYPE = 0x1000000,
  VATTR_NAME = 0x2000000, VATTR_NCHILDREN = 0x10000000, VATTR_DIRLINKCOUNT = 0x20000000,
};
constexpr std::uint32_t VATTR_NAME_SIZE = 260;

// Open modes and I/O flags.
enum : int { FREAD = 0x1, FWRITE = 0x2 };
enum : int { IO_APPEND = 0x2, IO_SYNC = 0x4 };
enum : std::uint32_t { VNODE_READDIR_EXTENDED = 0x1 };

struct vnop_open_args {
  vnodeop_desc* a_desc;
  vnode_t a_vp;
  int a_mode;
  vfs_context_t a_context;
};
struct vnop_close_args {
  vnodeop_desc* a_desc;
  vnode_t a_vp;
  int a_fflag;
  vfs_context_t a_context;
};
// read and write take the same record.
struct vnop_read_args {
  vnodeop_desc* a_desc;
  vnode_t a_vp;
  uio_t a_uio;
  int a_ioflag;
  vfs_context_t a_context;
};
using vnop_write_args = vnop_read_args;
// getattr and setattr take the same record.
struct vnop_getattr_args {
  vnodeop_desc* a_desc;
  vnode_t a_vp;
  vnode_attr* a_vap;
  vfs_context_t a_context;
};
using vnop_setattr_args = vnop_getattr_args;
struct vnop_readdir_args {
  vnodeop_desc* a_desc;
  vnode_t a_vp;
  uio_t a_uio;
  std::uint32_t a_flags;
  int* a_eofflag;
  int* a_numdirent;
  vfs_context_t a_context;
};
struct vnop_readlink_args {
  vnodeop_desc* a_desc;
  vnode_t a_vp;
  uio_t a_uio;
  vfs_context_t a_context;
};
struct vnop_pathconf_args {
  vnodeop_desc* a_desc;
  vnode_t a_vp;
  int a_name;
  std::int32_t* a_retval;
  vfs_context_t a_context;
};
struct vnop_offtoblk_args {
  vnodeop_desc* a_desc;
  vnode_t a_vp;
  off64_kel_t a_offset;
  daddr64_t* a_lblkno;
};
struct vnop_blktooff_args {
  vnodeop_desc* a_desc;
  vnode_t a_vp;
  daddr64_t a_lblkno;
  off64_kel_t* a_offset;
};
struct vnop_strategy_args {
  vnodeop_desc* a_desc;
  buf_t a_bp;
};
// pagein and pageout take the same record.
struct vnop_pagein_args {
  vnodeop_desc* a_desc;
  vnode_t a_vp;
  void* a_pl;
  std::uint32_t a_pl_offset;
  off64_kel_t a_f_offset;
  std::uint64_t a_size;
  int a_flags;
  vfs_context_t a_context;
};
using vnop_pageout_args = vnop_pagein_args;
// The volume figures of statfs, in the order they are filled.
struct kel_vnop_statfs {
  std::uint32_t f_bsize;
  std::uint32_t f_iosize;
  std::uint32_t f_blocks;
  std::uint32_t f_bfree;
  std::uint32_t f_bavail;
  std::uint32_t f_files;
  std::uint32_t f_ffree;
  std::uint32_t f_favail;
  std::uint32_t f_zero;
  std::uint32_t f_readonly;
  std::uint32_t f_word975;
};
static_assert(sizeof(kel_vnop_statfs) == 44, "eleven 32-bit values");
struct vnop_statfs_args {
  vnodeop_desc* a_desc;
  vnode_t a_vp;
  kel_vnop_statfs* a_sbp;
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
