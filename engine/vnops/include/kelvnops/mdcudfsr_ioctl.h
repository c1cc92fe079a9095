// The single entry of every file-system control request: the code table
// (codes compared with the length bits below 128 bytes cleared), the
// pre-checks of its rows and the locks its rows take around their handlers.
#pragma once

#include "kelhost/kern_types.h"

#include <cstddef>
#include <cstdint>

struct mdcudfsr_mount;
struct mdcudfsr_cache_node;

// The argument record of the ioctl operation.
struct vnop_ioctl_args {
  vnodeop_desc* a_desc;
  vnode_t a_vp;
  std::uint32_t a_command;
  void* a_data;
  int a_fflag;
  vfs_context_t a_context;
};
static_assert(sizeof(vnop_ioctl_args) == 48, "ioctl argument record");

int mdcudfsr_vnop_ioctl(void* args);

// What a handler of the table gets: the mount, the node of the vnode (the
// root node for GET_STATFS_SIZEINFO), the caller's record, context and pid.
struct mdcudfsr_fsctl_call {
  mdcudfsr_mount* mnt;
  mdcudfsr_cache_node* node;
  std::uint32_t code;
  void* data;
  vfs_context_t ctx;
  kel_pid_t pid;
};
using mdcudfsr_fsctl_handler = int (*)(const mdcudfsr_fsctl_call& call);

enum class mdcudfsr_fsctl_vnode : std::uint8_t { any, volume, file };
enum class mdcudfsr_fsctl_check : std::uint8_t { none, privileged_access, privileged_process };
enum class mdcudfsr_fsctl_action : std::uint8_t {
  none,
  root_locked,     // the root node is locked instead of the vnode's node
  slot_lock,       // the handler runs under the mount's slot lock
  slot_lock_last,  // ... after the current disc was confirmed loaded
  node_released,   // the vnode's node is unlocked before the handler
};

struct mdcudfsr_fsctl_row {
  std::uint32_t code;  // masked with 0xFF80FFFF
  const char* name;
  mdcudfsr_fsctl_vnode vnode;
  mdcudfsr_fsctl_check check;
  mdcudfsr_fsctl_action action;
  mdcudfsr_fsctl_handler handler;
  std::uint32_t sent_as;           // the code as its senders send it; 0 when none does
};

constexpr std::uint32_t MDCFSCTL_CODE_MASK = 0xFF80FFFFu;
constexpr std::uint32_t MDCFSCTL_GET_STATFS_SIZEINFO = 0x40007063u;
constexpr std::uint32_t MDCFSCTL_FLUSH_VOLUME_BUFFERS = 0x80007062u;
constexpr std::uint32_t MDCFSCTL_DEBUG_NOP = 0x800070F0u;

// The 86 rows, in table order, each with its handler; fixed when the engine
// is built.
const mdcudfsr_fsctl_row* mdcudfsr_fsctl_rows();
std::size_t mdcudfsr_fsctl_row_count();

// The ioctl operation over a given table: mdcudfsr_vnop_ioctl runs it over
// the engine's rows (tests run it over rows whose handlers record).
int mdcudfsr_fsctl_dispatch(void* args, const mdcudfsr_fsctl_row* rows, std::size_t count);

int mdcudfsr_mdcfsctrl_debug_nop(mdcudfsr_mount* mnt, const void* data, kel_pid_t pid);
