// Create, mkdir and symlink: a new name in a directory.
#include "kelagent/vfam_client.h"
#include "kelcache/cache.h"
#include "kelcache/lookup.h"
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_event_log.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_session.h"
#include "kelvfs/mdcudfsr_time.h"
#include "kelvnops/mdcudfsr_namespace.h"
#include "kelvnops/mdcudfsr_process.h"
#include "kelvnops/mdcudfsr_vnops.h"
#include "namespace_common.h"
#include "udf/udf_neighbour_calls.h"
#include "udf/udf_path.h"
#include "vnops_log.h"

#include <cstring>
#include <string>
#include <strings.h>

using namespace vnops_ns;

namespace {

// The event-log messages of one operation.
struct Messages {
  const char* op;  // "vnop_create", ...
  const char* depth;
  const char* count;
  const char* length;
  const char* rules;
};
constexpr Messages kCreate{"vnop_create",
                           "Creating the file failed because the depth of folder hierarchy exceeds the limit. File:",
                           "Creating the file failed because the number of files/folders exceeds the limit. File:",
                           "Creating the file failed because the length of file names are over the limitation. File:",
                           "Creating the file failed because the name violate the naming rules. File:"};
constexpr Messages kMkdir{"vnop_mkdir",
                          "Failed to create the folder because the depth of folder hierarchy exceeds the limit. File:",
                          "Failed to create the folder because the number of files/folders exceeds the limit. File:",
                          "Failed to create the folder because the length of file names are over the limitation. File:",
                          "Failed to create the folder because the name violate the naming rules. File:"};
constexpr Messages kSymlink{
    "vnop_symlink",
    "Failed to create the symbolic link because the depth of folder hierarchy exceeds the limit. File:",
    "Failed to create the symbolic link because the number of files/folders exceeds the limit. File:",
    "Failed to create the symbolic link because the length of file names are over the limitation. File:",
    "Failed to create the symbolic link because the name violate the naming rules. File:"};
constexpr const char* kExclusive = "The volume is used exclusively. File:";

// One creation in progress.
struct Op {
  const Messages& msg;
  mdcudfsr_mount* mnt = nullptr;
  vnode_t dvp = nullptr;
  mdcudfsr_cache_node* dir = nullptr;
  vfs_context_t ctx = nullptr;
  kel_pid_t pid = -1;
  char* name = nullptr;  // converted
  std::size_t len = 0;
  bool node_owns_name = false;
  std::string event_name{};  // mkdir's copy of the name for its event line
  bool logged = false;  // an event-log line of the table was written
  bool gate = false;
  bool dir_locked = false;
  mdcudfsr_cache_node* node = nullptr;
};

void event(Op& op, int err, const char* message) {
  mdcudfsr_vnop_print_errlog(op.dir, err, op.name, message, op.ctx);
  op.logged = true;
}

int convert(Op& op, const componentname* cnp) {
  if (!cnp || !cnp->cn_nameptr || cnp->cn_namelen <= 0) return KEL_EINVAL;
  const int err =
      mdcudfsr_convert_filename(cnp->cn_nameptr, static_cast<std::size_t>(cnp->cn_namelen), &op.name, &op.len);
  if (err) VN_LOG(KEL_LOG_ERR, "err=%d\n", err);
  return err;
}

int limited_access(Op& op) {
  if (mdcudfsr_pass_limited_access_mode(op.mnt, op.pid)) return 0;
  VN_LOG(KEL_LOG_INFO, "[%s] not operation for limited access mode\n", op.msg.op);
  event(op, 16, kExclusive);
  return KEL_EBUSY;
}

int name_rules(Op& op, mdcudfsr_cache_node* dir) {
  const int err = mdcudfsr_cache_is_valid_filename(op.name, static_cast<int64_t>(op.len), dir, 1, 0);
  if (err) event(op, err, err == KEL_ENAMELIMIT ? op.msg.length : op.msg.rules);
  return err;
}

// The creation gate and the directory's lock.
int lock_dir(Op& op) {
  int err = mdcudfsr_cache_lock_udf_obj_creation(op.mnt, MDCUDFSR_WAIT_FOREVER);
  if (!err) {
    op.gate = true;
    err = mdcudfsr_cache_lock_node(op.dir, MDCUDFSR_WAIT_FOREVER);
    op.dir_locked = err == 0;
  }
  if (err) VN_LOG(KEL_LOG_ERR, "udf cache lock failed \n");
  return err;
}

void unlock_all(Op& op) {
  if (op.node) mdcudfsr_cache_unlock_node(op.node);
  if (op.dir_locked) mdcudfsr_cache_unlock_node(op.dir);
  if (op.gate) mdcudfsr_cache_unlock_udf_obj_creation(op.mnt);
  op.dir_locked = op.gate = false;
}

int depth(Op& op) {
  if (level_of(op.mnt, op.dir) + 1 <= kMaxDepth) return 0;
  event(op, 36, op.msg.depth);
  return KEL_ENAMELIMIT;
}

// No free object: 28 with the count message. `privileged` asks with the
// reserved objects left out.
int object_count(Op& op, bool privileged) {
  std::uint32_t free_objects = 0;
  mdcudfsr_cache_get_free_object_count(op.mnt, privileged ? 0 : 1, &free_objects);
  if (free_objects) return 0;
  event(op, 28, op.msg.count);
  return KEL_ENOSPC;
}

// The node of the new name, the name handed over under the node cache's rule.
int make_node(Op& op, uint8_t file_char, uint32_t mode, bool dollar) {
  int failed = 0;
  const int err = dollar ? mdcudfsr_cache_create_dollar_proxy_node(op.dir, op.name, static_cast<int64_t>(op.len), 1,
                                                                   file_char, mode, &op.node, &failed)
                         : mdcudfsr_cache_create_udf_node(op.dir, op.name, static_cast<int64_t>(op.len), 1, file_char,
                                                          mode, &op.node, 0, &failed);
  op.node_owns_name = err == 0 || failed;
  if (err) {
    if (!op.node) VN_LOG(KEL_LOG_WARN, "newname release is Complete. (err=%d)\n", err);
    return err;
  }
  if (!op.node) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "new_node");
    return KEL_ENOMEM;
  }
  return 0;
}

// The vnode of the new name, looked up again.
int new_vnode(Op& op, const componentname* cnp, vnode_t* vpp, const char* missing) {
  componentname pcn = private_name(cnp, op.name, op.len);
  vnode_t vp = mdcudfsr_cache_get_vnode(op.mnt, op.dir, &pcn, op.ctx, 1);
  if (!vp) {
    VN_LOGK(KEL_LOG_ERR, "%s", missing);
    return KEL_ENOENT;
  }
  *vpp = vp;
  cache_purge_negatives(op.dvp);
  return 0;
}

void finish(Op& op) {
  if (!op.node_owns_name) release_name(op.name, op.len);
}

// The parent's bookkeeping of mkdir and symlink.
int parent_bookkeeping(Op& op) {
  touch_times(op.mnt, op.dir);
  int err = mdcudfsr_cache_set_parent_dirty(op.node);
  if (err) return err;
  mdcudfsr_update_vol_last_modification_time(op.mnt);
  if (!op.dir->dir_dirty) op.dir->dir_dirty = 1;
  err = mdcudfsr_update_session(op.mnt, op.ctx, 1);
  if (!err) mdcudfsr_update_vol_last_partial_flush_time(op.mnt);
  return err;
}

// The directory's node unlocked; 2 when missing or inactive.
int find_dir(Op& op) {
  op.dir = mdcudfsr_cache_get_node(op.dvp, 0);
  if (usable(op.dir)) return 0;
  VN_LOGK(KEL_LOG_ERR, "%s\n", "parent && parent->status != MDCUDFSR_NODE_STATUS_INACTIVE");
  return KEL_ENOENT;
}

// ---- create

void apply_create_attributes(Op& op, const vnode_attr* vap, uint32_t mode) {
  touch_times(op.mnt, op.dir);
  if (!op.node->udf_data || !vap) return;
  if (vap->va_active & VATTR_MODE) op.node->udf_data->efe.perm = mdcudfsr_perm_unix2udf(mode);
  if (vap->va_active & VATTR_CREATE_TIME)
    mdcudfsr_timespec2udftime_local(op.mnt, &vap->va_create_time, &op.node->udf_data->efe.ctime);
}

// Creates the object in a UDF directory.
int create_in_udf_dir(Op& op, const vnode_attr* vap, uint32_t mode) {
  int err = lock_dir(op);
  if (!err) err = depth(op);
  if (!err && !mdcudfsr_check_privileged_access(op.mnt, op.pid)) err = object_count(op, false);
  vfamstat st{};
  if (!err && vap) err = mdcudfsr_vnodeattr2vfamstat(vap, &st);
  if (!err && vap)
    VN_LOG(KEL_LOG_DEBG, "[%s](tid=%08x) %s:%d vap->va_mode=0x%x stat.mode=0x%x\n", op.mnt->volume_name,
           static_cast<unsigned>(KEL_THREAD_ID()), __func__, __LINE__, vap->va_mode, static_cast<unsigned>(st.mode));
  if (!err && mdcudfsr_user_layer_block(op.mnt, op.pid)) err = KEL_EINVAL;
  if (!err) err = make_node(op, 0, mode, false);
  if (!err) {
    apply_create_attributes(op, vap, mode);
    VN_LOG(KEL_LOG_DEBG, "[%s](tid=%08x) %s:%d file=%s objid=%u\n", op.mnt->volume_name,
           static_cast<unsigned>(KEL_THREAD_ID()), __func__, __LINE__, op.name, static_cast<unsigned>(op.node->objid));
  }
  return err;
}

int create_in(Op& op, const vnode_attr* vap, uint32_t mode, bool* made) {
  switch (op.dir->kind) {
    case MDCUDFSR_NODE_UDF:
      *made = true;
      return create_in_udf_dir(op, vap, mode);
    case MDCUDFSR_NODE_SHADOW:
      if (mdcudfsr_check_privileged_access(op.mnt, op.pid) && mdcudfsr_cache_is_hidden_temp_name(op.name, op.dir)) {
        int err = lock_dir(op);
        if (!err) err = make_node(op, 0, mode, true);
        *made = err == 0;
        return err;
      }
      [[fallthrough]];
    default:
      VN_LOG(KEL_LOG_ERR, " [%s] parent:[%s] unsupport type:%d\n", op.name, name_of(op.dir),
             static_cast<int>(op.dir->kind));
      return KEL_ENOTSUP;
  }
}

int create_checks(Op& op, const componentname* cnp) {
  if (read_only(op.mnt)) {
    VN_LOG(KEL_LOG_NOTI, "[vnop_create] read only mount mode\n");
    return mdcudfsr_readonly_error(op.mnt);
  }
  if (no_edit(op.mnt)) {
    VN_LOG(KEL_LOG_INFO, "[vnop_create] not operation for noedit mode\n");
    return 1;
  }
  int err = mdcudfsr_wait_vfam_mounted(op.mnt, nullptr, op.ctx);
  if (!err) err = find_dir(op);
  if (!err) err = convert(op, cnp);
  if (!err) err = limited_access(op);
  if (err) return err;
  VN_LOG(KEL_LOG_DEBG, "[vnop_create] [%s] parent:%s parent type:%d\n", op.name, name_of(op.dir),
         static_cast<int>(op.dir->kind));
  if (is_root(op.mnt, op.dir) && is_dollar_name(op.name)) {
    VN_LOG(KEL_LOG_ERR, "cant make $ or $$ file\n");
    return KEL_ENOTSUP;
  }
  return name_rules(op, op.dir);
}

int do_create(vnop_create_args* a) {
  Op op{kCreate};
  op.dvp = a->a_dvp;
  op.ctx = a->a_context;
  op.pid = vfs_context_pid(op.ctx);
  op.mnt = mount_of(op.dvp);
  if (!op.mnt) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsrmp");
    return KEL_EINVAL;
  }
  int err = create_checks(op, a->a_cnp);
  std::uint32_t mode = 0666;
  if (!err) {
    if (a->a_vap) {
      mode = (a->a_vap->va_mode & 0x40) ? 0777 : 0666;
      a->a_vap->va_mode = static_cast<std::uint16_t>(mode);
    }
    if (is_root(op.mnt, op.dir) && is_trash_name(op.name)) err = KEL_ENOTSUP;
  }
  bool made = false;
  if (!err) err = create_in(op, a->a_vap, mode, &made);
  if (op.node) mdcudfsr_cache_node_debug(op.node);
  unlock_all(op);
  if (!err && made) err = new_vnode(op, a->a_cnp, a->a_vpp, "Can't create vnode \n");
  finish(op);
  return err;
}

// ---- mkdir

bool is_trash_500(const componentname* cnp) {
  return cnp && cnp->cn_nameptr && cnp->cn_namelen == 10 && strncasecmp(cnp->cn_nameptr, ".Trash-500", 10) == 0;
}

int mkdir_in_udf_dir(Op& op) {
  int err = lock_dir(op);
  if (!err) err = depth(op);
  if (!err) err = object_count(op, mdcudfsr_check_privileged_access(op.mnt, op.pid));
  if (!err) err = name_rules(op, nullptr);
  if (!err) err = make_node(op, UDF_FILE_CHAR_DIR, 0777, false);
  if (!err) err = parent_bookkeeping(op);
  return err;
}

int do_mkdir(vnop_mkdir_args* a) {
  Op op{kMkdir};
  op.dvp = a->a_dvp;
  op.ctx = a->a_context;
  op.pid = vfs_context_pid(op.ctx);
  int err = find_dir(op);
  op.mnt = op.dir ? op.dir->mdcudfsrmp : nullptr;
  if (!err && !op.mnt) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsrmp");
    return KEL_EINVAL;
  }
  if (err) return err;
  if (read_only(op.mnt)) {
    VN_LOG(KEL_LOG_NOTI, "[vnop_mkdir] read only mount mode\n");
    return mdcudfsr_readonly_error(op.mnt);
  }
  if (no_edit(op.mnt)) {
    VN_LOG(KEL_LOG_INFO, "[vnop_mkdir] not operation for noedit mode\n");
    return 1;
  }
  if (is_root(op.mnt, op.dir) && is_trash_500(a->a_cnp)) return KEL_ENOTSUP;
  if (a->a_vap) a->a_vap->va_mode = 0777;
  err = convert(op, a->a_cnp);
  if (!err) err = limited_access(op);
  if (!err) op.event_name.assign(op.name, op.len);  // the node may take the name itself
  if (!err && is_root(op.mnt, op.dir) && (is_trash_name(op.name) || is_dollar_name(op.name))) {
    if (is_dollar_name(op.name)) VN_LOG(KEL_LOG_ERR, "cant mkdir $ or $$ directory\n");
    err = KEL_ENOTSUP;
  }
  if (!err) {
    VN_LOG(KEL_LOG_DEBG, "[vnop_mkdir] [%s] parent:%s parent type:%d\n", op.name, name_of(op.dir),
           static_cast<int>(op.dir->kind));
    if (op.dir->kind == MDCUDFSR_NODE_UDF) err = mkdir_in_udf_dir(op);
  }
  mdcudfsr_cache_node* made = op.node;
  unlock_all(op);
  if (!err && (made || op.dir->kind != MDCUDFSR_NODE_UDF)) err = new_vnode(op, a->a_cnp, a->a_vpp, "*vpp");
  if (!op.logged && !op.event_name.empty())
    mdcudfsr_log_mk_dir(op.mnt, op.dir, op.event_name.c_str(), op.event_name.size(),
                        err ? static_cast<int>(KELUDFS_ERR_MKDIR) : 0);
  finish(op);
  return err;
}

// ---- symlink

// The target with runs of "/" collapsed; 1 when it does not fit in the
// link's entry.
int normalise_target(Op& op, const char* target, char** normal) {
  const std::size_t size = std::strlen(target) + 1;
  *normal = static_cast<char*>(OSMalloc(static_cast<std::uint32_t>(size), nullptr));
  if (!*normal) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "new_pathName");
    return KEL_ENOMEM;
  }
  std::uint32_t component_length = 0;
  const int err = mdcudfsr_inquiry_path_component(target, &component_length, *normal);
  if (err) return err;
  if (op.mnt->logical_block_size < component_length + 216) {
    VN_LOG(KEL_LOG_INFO, "[vnop_symlink] Length of target is over the limitation.\n");
    return 1;
  }
  return 0;
}

int symlink_in_udf_dir(Op& op, const char* normal, uint32_t mode) {
  int err = lock_dir(op);
  if (!err) err = depth(op);
  if (!err) err = object_count(op, mdcudfsr_check_privileged_access(op.mnt, op.pid));
  if (!err) err = name_rules(op, nullptr);
  if (!err) err = make_node(op, 0, mode, false);
  if (err) return err;
  op.node->udf_data->efe.icbtag.file_type = UDF_FILE_TYPE_SYMLINK;
  const std::size_t size = std::strlen(normal) + 1;
  op.node->symlink_target = static_cast<char*>(OSMalloc(static_cast<std::uint32_t>(size), nullptr));
  if (!op.node->symlink_target) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "new_node->symlink_target");
    return KEL_ENOMEM;
  }
  std::memcpy(op.node->symlink_target, normal, size);
  return parent_bookkeeping(op);
}

int symlink_checks(Op& op, vnop_symlink_args* a, char** normal) {
  int err = find_dir(op);
  op.mnt = op.dir ? op.dir->mdcudfsrmp : nullptr;
  if (err) return err;
  if (!op.mnt) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsrmp");
    return KEL_EINVAL;
  }
  if (read_only(op.mnt)) {
    VN_LOG(KEL_LOG_NOTI, "[vnop_symlink] read only mount mode\n");
    return mdcudfsr_readonly_error(op.mnt);
  }
  if (no_edit(op.mnt)) {
    VN_LOG(KEL_LOG_INFO, "[vnop_symlink] not operation for noedit mode\n");
    return 1;
  }
  err = convert(op, a->a_cnp);
  if (!err) err = limited_access(op);
  if (!err) err = normalise_target(op, a->a_target, normal);
  if (err) return err;
  if (is_root(op.mnt, op.dir) && (is_trash_name(op.name) || is_dollar_name(op.name))) {
    if (is_dollar_name(op.name)) VN_LOG(KEL_LOG_ERR, "cant ln $ or $$ link\n");
    return KEL_ENOTSUP;
  }
  return 0;
}

int do_symlink(vnop_symlink_args* a) {
  if (!a->a_target) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "ap->a_target");
    return KEL_ENOMEM;
  }
  Op op{kSymlink};
  op.dvp = a->a_dvp;
  op.ctx = a->a_context;
  op.pid = vfs_context_pid(op.ctx);
  char* normal = nullptr;
  int err = symlink_checks(op, a, &normal);
  std::uint32_t mode = 0;
  if (!err && a->a_vap) {
    a->a_vap->va_mode = static_cast<std::uint16_t>(a->a_vap->va_mode | 0400);
    mode = a->a_vap->va_mode;
  }
  if (!err) {
    VN_LOG(KEL_LOG_DEBG, "[vnop_symlink] [%s] parent:%s parent type:%d\n", op.name, name_of(op.dir),
           static_cast<int>(op.dir->kind));
    if (op.dir->kind == MDCUDFSR_NODE_UDF) err = symlink_in_udf_dir(op, normal, mode);
  }
  if (err && op.node && op.node->symlink_target) {
    OSFree(op.node->symlink_target, static_cast<std::uint32_t>(std::strlen(op.node->symlink_target) + 1), nullptr);
    op.node->symlink_target = nullptr;
  }
  mdcudfsr_cache_node* made = op.node;
  unlock_all(op);
  if (!err && (made || op.dir->kind != MDCUDFSR_NODE_UDF)) err = new_vnode(op, a->a_cnp, a->a_vpp, "*vpp");
  if (normal) OSFree(normal, static_cast<std::uint32_t>(std::strlen(a->a_target) + 1), nullptr);
  finish(op);
  return err;
}

template <typename Args, typename Fn>
int framed(const char* op, void* args, Fn fn) {
  auto* a = static_cast<Args*>(args);
  if (!a || !a->a_dvp || !a->a_vpp) return KEL_EINVAL;
  trace_enter(op, a->a_dvp, a->a_context);
  const int err = fn(a);
  KEL_LOG_AS(op, KEL_LOG_INFO, KEL_MOD_FUSE, KEL_MARK_EXIT, "err=%d", err);
  return err;
}

}  // namespace

int mdcudfsr_vnop_create(void* args) { return framed<vnop_create_args>("mdcudfsr_vnop_create", args, do_create); }
int mdcudfsr_vnop_mkdir(void* args) { return framed<vnop_mkdir_args>("mdcudfsr_vnop_mkdir", args, do_mkdir); }
int mdcudfsr_vnop_symlink(void* args) { return framed<vnop_symlink_args>("mdcudfsr_vnop_symlink", args, do_symlink); }
