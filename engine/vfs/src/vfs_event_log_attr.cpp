// The operator event line of a file's attribute change.
#include "kelvfs/mdcudfsr_event_log.h"

#include "kelcache/cache_node.h"
#include "kelhost/log.h"
#include "kelhost/vnode.h"
#include "kelvfs/mdcudfsr_mount.h"

#include <string>

void mdcudfsr_log_set_attribute(mdcudfsr_mount* mnt, const mdcudfsr_cache_node* node, int code) {
  if (!mnt || !node) return;
  char root[261] = {};
  int len = sizeof root;
  if (const int err = vn_getpath(mnt->root_vnode, root, &len)) {
    KEL_LOG_AS("mdcudfsr_log_set_attribute", KEL_LOG_ERR, KEL_MOD_KELC, KEL_MARK_NOTE, "err=%d\n", err);
    return;
  }
  // The node's path from the volume root: "/" before each name.
  std::string path;
  for (const mdcudfsr_cache_node* n = node; n && n != mnt->root_node && (!n->vp || n->vp != mnt->root_vnode);
       n = mdcudfsr_parent(n))
    path.insert(0, std::string("/") + (n->vfs_name ? n->vfs_name : ""));
  std::string text = code ? "Changing attribute of the file failed. " : "Changing the attribute of the file finished. ";
  text += "File: ";
  text += root;
  text += path;
  if (code) {
    char err[80] = {};
    mdcudfsr_log_error_text(err, sizeof err, code);
    text += " ";
    text += err;
  }
  mdcudfsr_print_keludfslog(mnt, code ? KELUDFS_LOG_FAILED : KELUDFS_LOG_DONE, text.c_str());
}
