// Rename and move.
#include "kelagent/mdc_channel.h"
#include "kelagent/vfam_client.h"
#include "kelcache/cache.h"
#include "kelcache/cache_flush.h"
#include "kelcache/lookup.h"
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_event_log.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_session.h"
#include "kelvfs/mdcudfsr_time.h"
#include "kelvnops/mdcudfsr_namespace.h"
#include "kelvnops/mdcudfsr_process.h"
#include "namespace_common.h"
#include "vnops_log.h"

#include <cstring>
#include <string>
#include <strings.h>

using namespace vnops_ns;

namespace {

constexpr const char* kExclusive = "The volume is used exclusively. File:";
constexpr const char* kTooLong =
    "Changing the filename failed because the length of file names are over the limitation. File:";
constexpr const char* kBadName = "Changing the filename failed because the name violate the naming rules.";
constexpr const char* kTooDeep = "Moving the file failed because the depth of folder hierarchy exceeds the limit.";
constexpr int kPathSize = 261;

bool proxy_name(const char* name) { return name && strncasecmp(name, "@@proxy", 7) == 0; }

// The node's path from the root; empty when it cannot be built.
std::string path_of(mdcudfsr_cache_node* n) {
  const std::uint32_t len = mdcudfsr_cache_get_full_path_len(n);
  if (!len) return {};
  std::string p(len, '\0');
  const int err = mdcudfsr_cache_get_path(n, p.data(), len);
  if (err) {
    VN_LOG(KEL_LOG_DEBG, "cache get path failed. Status = %d\n", err);
    return {};
  }
  p.resize(std::strlen(p.c_str()));
  return p;
}

std::string root_vnode_path(mdcudfsr_mount* mnt, int* err) {
  char buf[kPathSize] = {};
  int len = kPathSize;
  *err = vn_getpath(mnt->root_vnode, buf, &len);
  return *err ? std::string() : std::string(buf);
}

// One rename in progress.
struct Ren {
  vnop_rename_args* a;
  mdcudfsr_mount* mnt = nullptr;
  vfs_context_t ctx = nullptr;
  kel_pid_t pid = -1;
  mdcudfsr_cache_node* from = nullptr;  // source parent, locked
  mdcudfsr_cache_node* node = nullptr;  // the object, locked
  mdcudfsr_cache_node* to = nullptr;    // target parent, locked for a move
  char* name = nullptr;                 // converted new name
  std::size_t len = 0;
  bool same_dir = false;
  bool all_locked = false;
  bool event_written = false;  // one of the failures with its own rename line
  std::string old_path{}, new_path{};
};

void errlog(Ren& r, int err, const char* message, mdcudfsr_cache_node* to) {
  mdcudfsr_vnop_print_rename_errlog(r.from, to, err, name_of(r.node), r.name, message, r.ctx);
  r.event_written = true;
}

// Refusals and the two nodes.
int first_checks(Ren& r) {
  if (read_only(r.mnt)) {
    VN_LOG(KEL_LOG_NOTI, "[vnop_rename] read only mount mode\n");
    return mdcudfsr_readonly_error(r.mnt);
  }
  if (no_edit(r.mnt)) {
    VN_LOG(KEL_LOG_INFO, "[vnop_rename] not operation for noedit mode\n");
    return 1;
  }
  int err = mdcudfsr_wait_vfam_mounted(r.mnt, nullptr, r.ctx);
  if (err) return err;
  r.from = mdcudfsr_cache_get_real_parent(r.a->a_fdvp);
  if (!r.from) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "parent_from");
    return KEL_ENOENT;
  }
  r.node = mdcudfsr_cache_get_node(r.a->a_fvp, 1);
  if (!usable(r.node)) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsrcnp && mdcudfsrcnp->status != MDCUDFSR_NODE_STATUS_INACTIVE");
    return KEL_ENOENT;
  }
  if (r.same_dir && r.from->kind == MDCUDFSR_NODE_SHADOW && !proxy_name(r.node->vfs_name)) {
    VN_LOG(KEL_LOG_ERR, "invalid parent target for shadow node \n");
    return KEL_EINVAL;
  }
  const componentname* t = r.a->a_tcnp;
  if (!t || !t->cn_nameptr || t->cn_namelen <= 0) return KEL_EINVAL;
  err = mdcudfsr_convert_filename(t->cn_nameptr, static_cast<std::size_t>(t->cn_namelen), &r.name, &r.len);
  if (err) return err;
  if (!mdcudfsr_pass_limited_access_mode(r.mnt, r.pid)) {
    VN_LOG(KEL_LOG_INFO, "[vnop_rename] not operation for limited access mode\n");
    mdcudfsr_vnop_print_errlog(r.from, 16, name_of(r.node), kExclusive, r.ctx);
    return KEL_EBUSY;
  }
  if (r.node->stream_owner) {
    VN_LOG(KEL_LOG_ERR, "[%s]parity file rename or move is not support \n", name_of(r.node));
    return KEL_ENOTSUP;
  }
  if (r.node->kind == MDCUDFSR_NODE_MASTER && r.node->write_open) {
    VN_LOG(KEL_LOG_ERR, "File is busy. mdcudfsrcnp->write_open is %d.\n", r.node->write_open);
    return KEL_EBUSY;
  }
  return 0;
}

// The two paths and the new name's rules in one directory.
int paths_and_name(Ren& r) {
  r.old_path = path_of(r.node);
  mdcudfsr_cache_node* tdir = mdcudfsr_cache_get_node(r.a->a_tdvp, 0);
  if (tdir) {
    if (is_root(r.mnt, tdir) && is_dollar_name(r.name)) {
      VN_LOG(KEL_LOG_ERR, "cant rename to $ or $$\n");
      return KEL_ENOTSUP;
    }
    const std::string dir = is_root(r.mnt, tdir) ? std::string() : path_of(tdir);
    r.new_path = dir + "/" + r.name;
  }
  if (!r.same_dir) return 0;
  const int err = mdcudfsr_cache_is_valid_filename(r.name, static_cast<int64_t>(r.len), nullptr, 1, 0);
  if (err) errlog(r, err, err == KEL_ENAMELIMIT ? kTooLong : kBadName, r.from);
  return err;
}

// The object may not go into itself or below itself.
int relation_check(Ren& r) {
  int err = 0;
  const std::string root = root_vnode_path(r.mnt, &err);
  if (err) return err;
  const auto size = [&](mdcudfsr_cache_node* n) {
    return static_cast<std::uint32_t>(root.size() + mdcudfsr_cache_get_full_path_len(n) + 2);
  };
  int relationship = 3;
  mdcudfsr_cache_node* tdir = mdcudfsr_cache_get_node(r.a->a_tdvp, 0);
  err = mdcudfsr_relationship(r.a->a_fvp, r.a->a_tdvp, &relationship, size(r.node), size(tdir));
  if (err || relationship == 0 || relationship == 2) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "(err == 0) && (relationship != Parent)");
    return err ? KEL_ENOTSUP : KEL_EINVAL;
  }
  return 0;
}

// The checks of a move between directories.
int move_checks(Ren& r) {
  if (r.node->kind >= MDCUDFSR_NODE_UDF && r.node->kind <= MDCUDFSR_NODE_MASTER) {
    mdcudfsr_cache_lock_all_nodes(r.mnt, MDCUDFSR_WAIT_FOREVER);
    r.all_locked = true;
  }
  if (!usable(mdcudfsr_cache_get_node(r.a->a_tdvp, 0))) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "cnbt && cnbt->status != MDCUDFSR_NODE_STATUS_INACTIVE");
    return KEL_ENOENT;
  }
  int err = relation_check(r);
  if (err) return err;
  r.to = mdcudfsr_cache_get_node(r.a->a_tdvp, 1);
  if (!usable(r.to)) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "parent_to && parent_to->status != MDCUDFSR_NODE_STATUS_INACTIVE");
    return KEL_ENOENT;
  }
  VN_LOG(KEL_LOG_DEBG, "[vnop_rename for move] from:[%s] to:[%s] form_file[%s] to_file:[%s]\n", name_of(r.from),
         name_of(r.to), name_of(r.node), r.name);
  if (r.to->kind == MDCUDFSR_NODE_SHADOW && !proxy_name(r.node->vfs_name)) {
    VN_LOG(KEL_LOG_ERR, "invaild parent target for shadow node \n");
    return KEL_ENOTSUP;
  }
  if (level_of(r.mnt, r.to) + mdcudfsr_cache_get_dir_depth(r.node) > kMaxDepth) {
    errlog(r, 95, kTooDeep, r.to);
    return KEL_ENOTSUP;
  }
  err = mdcudfsr_cache_is_valid_filename(r.name, static_cast<int64_t>(r.len), nullptr, 1, 0);
  if (err) errlog(r, err, err == KEL_ENAMELIMIT ? kTooLong : kBadName, r.to);
  return err;
}

void relock(Ren& r) {
  if (r.to) mdcudfsr_cache_lock_node(r.to, MDCUDFSR_WAIT_FOREVER);
  mdcudfsr_cache_lock_node(r.from, MDCUDFSR_WAIT_FOREVER);
  mdcudfsr_cache_lock_node(r.node, MDCUDFSR_WAIT_FOREVER);
}

// An existing target other than the object itself is removed.
int replace_target(Ren& r) {
  vnode_t tvp = r.a->a_tvp;
  if (!tvp || tvp == r.a->a_fvp) return 0;
  auto* target = static_cast<mdcudfsr_cache_node*>(vnode_fsnode(tvp));
  int err;
  if (vnode_isdir(tvp)) {
    vnop_rmdir_args d{nullptr, r.a->a_tdvp, tvp, r.a->a_tcnp, r.ctx};
    err = mdcudfsr_vnop_rmdir(&d);
  } else {
    mdcudfsr_cache_unlock_node(r.node);
    mdcudfsr_cache_unlock_node(r.from);
    if (r.to) mdcudfsr_cache_unlock_node(r.to);
    vnop_remove_args d{nullptr, r.a->a_tdvp, tvp, r.a->a_tcnp, 0, r.ctx};
    err = mdcudfsr_vnop_remove(&d);
    relock(r);
  }
  if (!err && r.all_locked && target) mdcudfsr_cache_unlock_node(target);
  if (err) VN_LOG(KEL_LOG_ERR, "err=%d\n", err);
  return err;
}

// A folder's move goes to the VFAM agent first, unless no agent has the
// channel open (then nobody could answer it).
int vfam_move(Ren& r) {
  if (!r.mnt->vfamdev || !mdcudfsr_vfamdev_is_opened(r.mnt->vfamdev)) return 0;
  if (r.all_locked) mdcudfsr_cache_unlock_all_nodes(r.mnt);
  const int err = mdcudfsr_vfam_move(r.from, r.to, r.node, r.name, static_cast<std::uint32_t>(r.len));
  if (r.all_locked) mdcudfsr_cache_lock_all_nodes(r.mnt, MDCUDFSR_WAIT_FOREVER);
  return err;
}

// The rename or move itself; *done false when nothing moved.
int perform(Ren& r, bool* done) {
  const bool is_virtual = r.node->kind == MDCUDFSR_NODE_VIRTUAL;
  *done = !is_virtual || r.node->vfam_data;
  if (!*done) return 0;
  int err = 0;
  if (r.same_dir) {
    VN_LOG(KEL_LOG_DEBG, "[vnop_rename for rename] from:[%s] form_file[%s] to_file:[%s]\n", name_of(r.from),
           name_of(r.node), r.name);
    if (is_virtual && mdcudfsr_user_layer_block(r.mnt, r.pid)) return KEL_EINVAL;
    if (is_virtual) err = mdcudfsr_vfam_rename(r.from, r.node, r.name, static_cast<std::uint32_t>(r.len));
    return err ? err : mdcudfsr_cache_rename_node(r.from, r.node, r.name, static_cast<int64_t>(r.len));
  }
  if (is_virtual) {
    if (r.all_locked) mdcudfsr_cache_unlock_all_nodes(r.mnt);
    err = mdcudfsr_vfam_move(r.from, r.to, r.node, r.name, static_cast<std::uint32_t>(r.len));
    if (r.all_locked) mdcudfsr_cache_lock_all_nodes(r.mnt, MDCUDFSR_WAIT_FOREVER);
  } else if (mdcudfsr_is_dir(r.node)) {
    err = vfam_move(r);
  }
  return err ? err : mdcudfsr_cache_move_node(r.from, r.to, r.node, r.name, static_cast<int64_t>(r.len));
}

// After success: the name cache, the parents' times and marks, the session.
int after_success(Ren& r) {
  cache_purge(r.a->a_fvp);
  componentname pcn = private_name(r.a->a_tcnp, r.name, r.len);
  cache_enter(r.a->a_tdvp, r.a->a_fvp, &pcn);
  if (r.from->kind == MDCUDFSR_NODE_UDF) touch_times(r.mnt, r.from);
  if (r.to && r.to->kind == MDCUDFSR_NODE_UDF) touch_times(r.mnt, r.to);
  int err = 0;
  if (r.node->kind == MDCUDFSR_NODE_UDF) {
    mdcudfsr_update_vol_last_modification_time(r.mnt);
    err = mdcudfsr_update_session(r.mnt, r.ctx, 1);
    mdcudfsr_update_vol_last_partial_flush_time(r.mnt);
  }
  r.from->dir_dirty = 2;
  if (r.to) r.to->dir_dirty = 2;
  return err;
}

int run(Ren& r) {
  int err = first_checks(r);
  if (!err) err = paths_and_name(r);
  if (!err && !r.same_dir) err = move_checks(r);
  if (!err && r.node->kind == MDCUDFSR_NODE_UDF) err = open_session_before_change(r.mnt, r.ctx);
  if (!err) err = replace_target(r);
  bool done = false;
  if (!err) err = perform(r, &done);
  if (!err && done) err = after_success(r);
  return err;
}

void finish(Ren& r, int err) {
  if (r.node) mdcudfsr_cache_unlock_node(r.node);
  if (r.from) mdcudfsr_cache_unlock_node(r.from);
  if (r.to) mdcudfsr_cache_unlock_node(r.to);
  if (r.all_locked) mdcudfsr_cache_unlock_all_nodes(r.mnt);
  if (r.node && r.node->kind == MDCUDFSR_NODE_UDF && !r.event_written && !r.old_path.empty() &&
      !r.new_path.empty())
    mdcudfsr_log_rename(r.mnt, r.same_dir, r.old_path.c_str(), r.new_path.c_str(),
                        err ? static_cast<int>(KELUDFS_ERR_RENAME) : 0);
  release_name(r.name, r.len);
}

int do_rename(vnop_rename_args* a) {
  if (!a->a_fdvp) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "fdvp");
    return KEL_EINVAL;
  }
  Ren r{a};
  r.mnt = mount_of(a->a_fdvp);
  if (!r.mnt) return KEL_EINVAL;
  r.ctx = a->a_context;
  r.pid = vfs_context_pid(r.ctx);
  r.same_dir = a->a_fdvp == a->a_tdvp;
  const int err = run(r);
  finish(r, err);
  return err;
}

}  // namespace

int mdcudfsr_vnop_rename(void* args) {
  auto* a = static_cast<vnop_rename_args*>(args);
  if (!a || !a->a_fvp || !a->a_tdvp) return KEL_EINVAL;
  trace_enter("mdcudfsr_vnop_rename", a->a_fvp, a->a_context);
  const int err = do_rename(a);
  KEL_LOG_AS("mdcudfsr_vnop_rename", KEL_LOG_INFO, KEL_MOD_FUSE, KEL_MARK_EXIT, "err=%d", err);
  return err;
}

void mdcudfsr_vnop_print_rename_errlog(mdcudfsr_cache_node* from_parent, mdcudfsr_cache_node* to_parent, int error,
                                       const char* old_name, const char* new_name, const char* message,
                                       vfs_context_t ctx) {
  if (!from_parent || !to_parent) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", !from_parent ? "src" : "dest");
    return;
  }
  mdcudfsr_mount* mnt = from_parent->mdcudfsrmp;
  if (!mnt) return;
  int err = 0;
  const std::string root = root_vnode_path(mnt, &err);
  if (err) return;
  const auto dir = [&](mdcudfsr_cache_node* n) { return is_root(mnt, n) ? std::string() : path_of(n); };
  const std::string from = dir(from_parent), to = dir(to_parent);
  if ((!is_root(mnt, from_parent) && from.empty()) || (!is_root(mnt, to_parent) && to.empty())) return;
  (void)ctx;
  mdcudfsr_log_print(mnt, 3, error, nullptr, "%s Old file: %s%s/%s -> New file: %s%s/%s", message, root.c_str(),
                     from.c_str(), old_name ? old_name : "", root.c_str(), to.c_str(), new_name ? new_name : "");
}
