// Helpers of the namespace operations.
#include "namespace_common.h"

#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_session.h"
#include "kelvfs/mdcudfsr_time.h"
#include "vnops_log.h"

#include <cstring>
#include <strings.h>

namespace vnops_ns {

bool is_dollar_name(const char* name) {
  if (!name || name[0] != '$') return false;
  const char* rest = name[1] == '$' ? name + 2 : name + 1;
  return *rest == '\0' || *rest == '/';
}

bool is_trash_name(const char* name) { return name && strncasecmp(name, ".Trash", 6) == 0; }

int open_session_before_change(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  const int err = mdcudfsr_update_session(mnt, ctx, 1);
  if (read_only(mnt)) {
    VN_LOG(KEL_LOG_ERR, "the session could not be opened: the change is refused\n");
    return mdcudfsr_readonly_error(mnt);
  }
  return err;
}

std::uint32_t level_of(const mdcudfsr_mount* mnt, const mdcudfsr_cache_node* node) {
  std::uint32_t level = 0;
  for (const mdcudfsr_cache_node* n = node; n && n != mnt->root_node; n = mdcudfsr_parent(n)) ++level;
  return level;
}

void touch_times(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node) {
  if (!node || !node->udf_data) return;
  struct timespec now {};
  nanotime(&now);
  mdcudfsr_timespec2udftime_local(mnt, &now, &node->udf_data->efe.mtime);
  node->udf_data->efe.attrtime = node->udf_data->efe.mtime;
}

componentname private_name(const componentname* cnp, char* converted, std::size_t length) {
  componentname c{};
  if (cnp) c = *cnp;
  c.cn_nameptr = converted;
  c.cn_namelen = static_cast<int>(length);
  return c;
}

void release_name(char*& name, std::size_t length) {
  if (name) OSFree(name, static_cast<std::uint32_t>(length + 1), nullptr);
  name = nullptr;
}

void trace_enter(const char* op, vnode_t vp, vfs_context_t ctx) {
  if (!mdcudfsr_debug_level_check(3, 1, kTraceCategory)) return;
  auto* n = vp ? static_cast<mdcudfsr_cache_node*>(vnode_fsnode(vp)) : nullptr;
  KEL_LOG_AS(op, KEL_LOG_WARN, KEL_MOD_FUSE, KEL_MARK_NOTE,
             "********Enter [%s vnode=%p mdcudfsr_cache_node=%p name=%s attr=0x%08x](pid=%d tid=%08x)********\n", op,
             static_cast<void*>(vp), static_cast<void*>(n), name_of(n), n ? n->attributes : 0u, vfs_context_pid(ctx),
             static_cast<unsigned>(KEL_THREAD_ID()));
}

}  // namespace vnops_ns
