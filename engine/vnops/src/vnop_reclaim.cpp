// The release of vnodes: inactive (the vnode recycled once its node is
// inactive) and reclaim.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_vnops.h"
#include "vnop_frame.h"

#include "kelagent/mdc_channel.h"

#include <cstring>

int mdcudfsr_vnop_inactive(void* a) {
  auto* ap = static_cast<vnop_inactive_args*>(a);
  VN_LOG(KEL_LOG_DEBG, "vnode=%p", static_cast<void*>(ap->a_vp));
  const kel_pid_t pid = vfs_context_pid(ap->a_context);
  char name[128] = {};
  proc_name(pid, name, sizeof name);
  int lock = 1;
  mdcudfsr_cache_node* probe = ap->a_vp ? static_cast<mdcudfsr_cache_node*>(vnode_fsnode(ap->a_vp)) : nullptr;
  if (std::strcmp(name, "umount") == 0) {
    lock = 0;
  } else if (std::strcmp(name, "KelFsCacheAgent") == 0 && probe && probe->mdcudfsrmp) {
    mdc_channel* ch = probe->mdcudfsrmp->metacachedev;
    if (ch && mdcudfsr_metacache_get_agent_pid(ch) == pid) lock = 0;
    else VN_LOG(KEL_LOG_DEBG, "other fscache %x %x", pid, ch ? static_cast<int>(mdcudfsr_metacache_get_agent_pid(ch)) : 0);
  }
  if (!lock) VN_LOG(KEL_LOG_DEBG, "unlock inactive %s", name);
  int locked = 0;
  mdcudfsr_cache_node* n = ap->a_vp ? mdcudfsr_cache_get_node_ex(ap->a_vp, lock, &locked, 60, 1000, 0xFFFFFFFFu)
                                    : nullptr;
  if (n == nullptr) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsrcnp");
    return KEL_ENOENT;
  }
  VN_LOG(KEL_LOG_DEBG, "[vnop_inactive] [%s] type:%d\n", mdcudfsr_node_name(n), n->kind);
  if (mdcudfsr_is_inactive(n)) vnode_recycle(ap->a_vp);
  if (locked) mdcudfsr_cache_unlock_node(n);
  return 0;
}

int mdcudfsr_vnop_reclaim(void* a) {
  auto* ap = static_cast<vnop_reclaim_args*>(a);
  VN_LOG(KEL_LOG_DEBG, "vnode=%p", static_cast<void*>(ap->a_vp));
  mdcudfsr_cache_reclaim_vnode(ap->a_vp, ap->a_context);
  return 0;
}

