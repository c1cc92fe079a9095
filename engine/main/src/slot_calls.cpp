// The vnode operations as the slots call them, and the helpers they share.
#include "slot_calls.h"

#include "kelhost/kern_errno.h"
#include "platform/sync.h"

namespace kelmain::slot {
namespace {

// Calls a resolved handler with its argument record.
template <class Args>
int call(vnop_handler_t handler, vnode_t vp, Args args) {
  if (handler == nullptr || vp == nullptr) return KEL_EINVAL;
  return handler(&args);
}

}  // namespace

vfs_context caller_context() { return vfs_context{static_cast<std::uint64_t>(GetCurrentProcessId())}; }

ComponentName::ComponentName(const char* folder, const char* name)
    : folder_(folder ? folder : ""), name_(name ? name : "") {
  cn_.cn_flags = MAKEENTRY;
  cn_.cn_pnbuf = folder_.data();
  cn_.cn_pnlen = static_cast<int>(folder_.size());
  cn_.cn_nameptr = name_.data();
  cn_.cn_namelen = static_cast<int>(name_.size());
}

std::string join_path(const char* folder, const char* name) {
  return std::string(folder ? folder : "") + "/" + (name ? name : "");
}

EntryPtr resolve(const char* path, vfs_context* ctx) {
  if (path == nullptr) return nullptr;
  if (EntryPtr e = get_entry(path, ctx)) return e;
  // The writer names the proxies the engine hands out (they live in "$")
  // from the volume root, with the "$" cut off: an object the root lacks is
  // looked for in "$".
  const std::string p = path;
  if (p.size() < 2 || p[0] != '/' || p.rfind("/$/", 0) == 0 || p == "/$") return nullptr;
  return get_entry(("/$" + p).c_str(), ctx);
}

vnode_t parent_vnode(const EntryPtr& entry) {
  EntryPtr parent = entry ? entry->parent.lock() : nullptr;
  return parent ? parent->vn.get() : nullptr;
}

int vn_create(vnode_t dvp, vnode_t* out, componentname* cn, vnode_attr* va, vfs_context_t ctx) {
  return call(kel_vnops.create, dvp, vnop_create_args{nullptr, dvp, out, cn, va, ctx});
}

int vn_mkdir(vnode_t dvp, vnode_t* out, componentname* cn, vnode_attr* va, vfs_context_t ctx) {
  return call(kel_vnops.mkdir, dvp, vnop_create_args{nullptr, dvp, out, cn, va, ctx});
}

int vn_open(vnode_t vp, int mode, vfs_context_t ctx) {
  return call(kel_vnops.open, vp, vnop_open_args{nullptr, vp, mode, ctx});
}

int vn_close(vnode_t vp, int flags, vfs_context_t ctx) {
  return call(kel_vnops.close, vp, vnop_close_args{nullptr, vp, flags, ctx});
}

int vn_read(vnode_t vp, uio_t uio, int flags, vfs_context_t ctx) {
  return call(kel_vnops.read, vp, vnop_read_args{nullptr, vp, uio, flags, ctx});
}

int vn_write(vnode_t vp, uio_t uio, int flags, vfs_context_t ctx) {
  return call(kel_vnops.write, vp, vnop_write_args{nullptr, vp, uio, flags, ctx});
}

int vn_getattr(vnode_t vp, vnode_attr* va, vfs_context_t ctx) {
  return call(kel_vnops.getattr, vp, vnop_getattr_args{nullptr, vp, va, ctx});
}

int vn_setattr(vnode_t vp, vnode_attr* va, vfs_context_t ctx) {
  return call(kel_vnops.setattr, vp, vnop_setattr_args{nullptr, vp, va, ctx});
}

int vn_remove(vnode_t dvp, vnode_t vp, componentname* cn, std::uint32_t flags, vfs_context_t ctx) {
  if (dvp == nullptr) return KEL_EINVAL;
  return call(kel_vnops.remove, vp, vnop_remove_args{nullptr, dvp, vp, cn, flags, ctx});
}

int vn_rmdir(vnode_t dvp, vnode_t vp, componentname* cn, vfs_context_t ctx) {
  if (dvp == nullptr) return KEL_EINVAL;
  return call(kel_vnops.rmdir, vp, vnop_rmdir_args{nullptr, dvp, vp, cn, ctx});
}

int vn_rename(const vnop_rename_args& args) {
  if (args.a_fdvp == nullptr || args.a_tdvp == nullptr) return KEL_EINVAL;
  return call(kel_vnops.rename, args.a_fvp, args);
}

int vn_readdir(vnode_t vp, uio_t uio, std::uint32_t flags, int* eof, int* count, vfs_context_t ctx) {
  return call(kel_vnops.readdir, vp, vnop_readdir_args{nullptr, vp, uio, flags, eof, count, ctx});
}

int vn_inactive(vnode_t vp, vfs_context_t ctx) {
  return call(kel_vnops.inactive, vp, vnop_inactive_args{nullptr, vp, ctx});
}

int make_object(const char* folder, const char* name, bool directory, vfs_context* ctx, vnode_t* out) {
  EntryPtr dir = resolve(folder, ctx);
  if (!dir) return KEL_ENOENT;
  ComponentName cn(folder, name);
  vnode_attr va{};
  return directory ? vn_mkdir(dir->vn.get(), out, cn.get(), &va, ctx) : vn_create(dir->vn.get(), out, cn.get(), &va, ctx);
}

int leave_privileged_if(bool entered) { return entered ? Fsctl(kFsctlLeavePrivileged, nullptr) : 0; }

int set_visibility(vnode_t vp, bool visible) {
  if (const int err = Fsctl(kFsctlRegisterPrivileged, nullptr)) return err;
  const bool entered = Fsctl(kFsctlEnterPrivileged, nullptr) == 0;
  vfs_context ctx = caller_context();
  std::uint32_t value = visible ? 1 : 0;
  const int err = vnode_ioctl(vp, kIoctlSetVisibility, &value, 0, &ctx);
  if (err == 0) qvutil_update_hidden_flag(vp, !visible);
  const int left = leave_privileged_if(entered);
  return err != 0 ? err : left;
}

}  // namespace kelmain::slot
