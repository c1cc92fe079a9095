// The questions the vnode operations ask of a node: may the process write
// it, is the directory empty, how large is the file.
#include "cache_internal.h"

#include "cache_neighbours.h"
#include "kelhost/kern_errno.h"

#include <cstring>

using namespace kelcache;

int mdcudfsr_cache_is_authorized(mdcudfsr_cache_node* n, int mode, vfs_context_t ctx) {
  mdcudfsr_mount* m = n ? n->mdcudfsrmp : nullptr;
  if (!m) {
    CACHE_LOGK(ERR, "%s\n", "mdcudfsrmp");
    return KEL_EINVAL;
  }
  const kel_pid_t pid = vfs_context_pid(ctx);
  if (!(mode & 0x002) && !(mode & 0x100)) return 0;
  if (vfs_flags(m->mp) & 0x1) return KEL_EROFS;
  if (m->mount_ext_flags & 0x1) return 0;
  if (m->privileged_mode && mdcudfsr_is_privileged_process(m, pid)) return 0;
  CACHE_LOG(DEBG, "mdcudfsrcnp->vfs_name=%s\n", name_of(n));
  CACHE_LOG(DEBG, "mdcudfsrcnp->attributes=%08x\n", n->attributes);
  CACHE_LOG(DEBG, "mdcudfsrmp->privileged_mode=%u\n", m->privileged_mode.load());
  CACHE_LOG(DEBG, "mdcudfsrmp->privileged_pid=%d current_pid=%d\n", static_cast<int>(m->privileged_pid.load()), pid);
  return 1;
}

int mdcudfsr_cache_is_dir_empty(mdcudfsr_cache_node* n) {
  if (!mdcudfsr_is_dir(n)) {
    CACHE_LOGK(ERR, "%s\n", "mdcudfsrcnp->file_char & UDF_FILE_CHAR_DIR");
    return 0;
  }
  for (mdcudfsr_cache_node* c = n->children.first; c; c = c->sibling.next) {
    if (!mdcudfsr_is_inactive(c)) {
      CACHE_LOG(INFO, "%s stil exsits\n", name_of(c));
      return 0;
    }
  }
  return 1;
}

uint64_t mdcudfsr_cache_get_file_size(mdcudfsr_cache_node* n) {
  if (!n || mdcudfsr_is_dir(n)) return 0;
  if (n->symlink_target) return std::strlen(n->symlink_target);
  const uint64_t efe_size = n->udf_data ? n->udf_data->efe.inf_len : 0;
  switch (n->kind) {
    case MDCUDFSR_NODE_UDF:
    case MDCUDFSR_NODE_PROXY:
      return efe_size;
    case MDCUDFSR_NODE_MASTER:
      return n->vfam_data ? static_cast<uint64_t>(n->vfam_data->file_size) : efe_size;
    case MDCUDFSR_NODE_VIRTUAL:
      return n->vfam_data ? static_cast<uint64_t>(n->vfam_data->file_size) : 0;
    default:
      return 0;
  }
}
