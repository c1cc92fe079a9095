#include "namespace_support.h"

#include "kelhost/kern.h"

#include <cstring>
#include "kelvfs/mdcudfsr_session.h"
#include "kelvnops/mdcudfsr_modes.h"
#include "udf/udf_lvid.h"

extern "C" proc_t __real__Z9proc_findi(int pid);
extern "C" int __real__Z9proc_ppidi(int pid);
extern "C" int __real__Z13vnode_isinuseP5vnodei(vnode_t vp, int refcnt);

namespace ns_test {

Processes& processes() {
  static Processes p;
  return p;
}

}  // namespace ns_test

extern "C" int __wrap__Z13vnode_isinuseP5vnodei(vnode_t vp, int refcnt) {
  return ns_test::processes().in_use.count(vp) ? 1 : __real__Z13vnode_isinuseP5vnodei(vp, refcnt);
}

extern "C" proc_t __wrap__Z9proc_findi(int pid) {
  return ns_test::processes().vanished.count(pid) ? nullptr : __real__Z9proc_findi(pid);
}
extern "C" int __wrap__Z9proc_ppidi(int pid) {
  auto& parents = ns_test::processes().parent;
  const auto it = parents.find(pid);
  return it == parents.end() ? __real__Z9proc_ppidi(pid) : it->second;
}

namespace ns_test {

void NsVolume::SetUp() {
  SimVolume::SetUp();
  processes() = Processes{};
  open_volume(udf_test::MediumClass::WriteOnce);
}

void NsVolume::open_volume(udf_test::MediumClass cls) {
  close_volume();
  layout_ = start_volume(cls);
  mdcudfsr_mount* m = mnt_.get();
  ASSERT_EQ(0, mdcudfsr_read_lvid(m, nullptr, 0, 1, 0, 0));
  m->coherency_refreshed = 1;  // no management cache file here
  m->mount_ext_flags |= MDCUDFSR_MNT_AGENT_STOPPED;
  m->next_unique_id = 16;
  vfs_setfsprivate(&mp_, m);
  char name[] = "";
  root_ = mdcudfsr_cache_alloc_node(m, nullptr, name, 0, UDF_FILE_CHAR_DIR, 0, MDCUDFSR_NODE_UDF);
  ASSERT_NE(nullptr, root_);
  root_->objid = MDCUDFSR_OBJID_ROOT;
  m->root_node = root_;
  m->udf_root = root_;
  devvp_ = kel_make_vnode(&mp_, nullptr, VBLK, 0);
  kel_tree_make_root(devvp_);
  rootvp_ = mdcudfsr_cache_get_vnode(m, nullptr, nullptr, &ctx_, 0);
  ASSERT_NE(nullptr, rootvp_);
  m->root_vnode = rootvp_;
  vfs_test::clear_log();
}

// The nodes go before the host tree, as at the engine's unmount: a freed
// node cuts its vnode's link, so the vnodes must still be there.
void NsVolume::close_volume() {
  if (mnt_ && root_) {
    mnt_->root_node = nullptr;
    mnt_->udf_root = nullptr;
    if (mnt_->shadow_node) mdcudfsr_cache_free_shadow_node(mnt_->shadow_node);
    mnt_->shadow_node = nullptr;
    mdcudfsr_cache_free_node(root_);
  }
  kel_tree_set_root(nullptr);
  root_ = nullptr;
  rootvp_ = nullptr;
  devvp_.reset();
}

void NsVolume::TearDown() {
  close_volume();
  SimVolume::TearDown();
}

vfs_context_t NsVolume::as(kel_pid_t pid) {
  contexts_.push_back(std::make_unique<vfs_context>(vfs_context{static_cast<std::uint64_t>(pid)}));
  return contexts_.back().get();
}

std::string NsVolume::root_path() {
  char buf[261] = {};
  int len = sizeof buf;
  EXPECT_EQ(0, vn_getpath(rootvp_, buf, &len));
  return buf;
}

namespace {
// The component as the host's lookup hands it: the folder's path in the
// path buffer (the vnode tree places a new vnode by it).
componentname component(vnode_t dvp, const std::string& name, std::uint32_t op) {
  static thread_local char folder[1024];
  int len = sizeof folder;
  if (!dvp || vn_getpath(dvp, folder, &len) != 0) folder[0] = '\0';
  componentname cn{};
  cn.cn_pnbuf = folder;
  cn.cn_pnlen = static_cast<int>(std::strlen(folder));
  cn.cn_nameiop = op;
  cn.cn_flags = ISLASTCN;
  cn.cn_nameptr = const_cast<char*>(name.c_str());
  cn.cn_namelen = static_cast<int>(name.size());
  return cn;
}
}  // namespace

vnode_t NsVolume::lookup(vnode_t dvp, const std::string& name) {
  componentname cn = component(dvp, name, LOOKUP);
  return mdcudfsr_cache_get_vnode(mnt_.get(), node(dvp), &cn, as(pid_), 1);
}

int NsVolume::create(vnode_t dvp, const std::string& name, vnode_t* out, std::uint16_t mode) {
  componentname cn = component(dvp, name, CREATE);
  vnode_attr va{};
  va.va_active = VATTR_MODE;
  va.va_mode = mode;
  vnode_t vp = nullptr;
  vnop_create_args a{&vnop_create_desc, dvp, &vp, &cn, &va, as(pid_)};
  const int err = mdcudfsr_vnop_create(&a);
  if (out) *out = vp;
  return err;
}

int NsVolume::mkdir(vnode_t dvp, const std::string& name, vnode_t* out) {
  componentname cn = component(dvp, name, CREATE);
  vnode_attr va{};
  vnode_t vp = nullptr;
  vnop_mkdir_args a{&vnop_mkdir_desc, dvp, &vp, &cn, &va, as(pid_)};
  const int err = mdcudfsr_vnop_mkdir(&a);
  if (out) *out = vp;
  return err;
}

int NsVolume::symlink(vnode_t dvp, const std::string& name, const char* target, vnode_t* out) {
  componentname cn = component(dvp, name, CREATE);
  vnode_attr va{};
  va.va_mode = 0644;
  vnode_t vp = nullptr;
  vnop_symlink_args a{&vnop_symlink_desc, &vp, const_cast<char*>(target), dvp, &cn, &va, as(pid_)};
  const int err = mdcudfsr_vnop_symlink(&a);
  if (out) *out = vp;
  return err;
}

int NsVolume::remove(vnode_t dvp, const std::string& name, std::uint32_t flags) {
  vnode_t vp = lookup(dvp, name);
  if (!vp) return 2;
  componentname cn = component(dvp, name, DELETE);
  vnop_remove_args a{&vnop_remove_desc, dvp, vp, &cn, flags, as(pid_)};
  return mdcudfsr_vnop_remove(&a);
}

int NsVolume::rmdir(vnode_t dvp, const std::string& name) {
  vnode_t vp = lookup(dvp, name);
  if (!vp) return 2;
  componentname cn = component(dvp, name, DELETE);
  vnop_rmdir_args a{&vnop_rmdir_desc, dvp, vp, &cn, as(pid_)};
  return mdcudfsr_vnop_rmdir(&a);
}

int NsVolume::rename(vnode_t fdvp, const std::string& from, vnode_t tdvp, const std::string& to) {
  vnode_t fvp = lookup(fdvp, from);
  if (!fvp) return 2;
  vnode_t tvp = lookup(tdvp, to);
  componentname fcn = component(fdvp, from, RENAME);
  std::string from_folder = fcn.cn_pnbuf;
  fcn.cn_pnbuf = from_folder.data();
  componentname tcn = component(tdvp, to, RENAME);
  vnop_rename_args a{&vnop_rename_desc, fdvp, fvp, &fcn, tdvp, tvp, &tcn, as(pid_)};
  return mdcudfsr_vnop_rename(&a);
}

void NsVolume::limit_to_other(kel_pid_t owner) {
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_enter_limitted_access_mode(mnt_.get(), owner));
}

void NsVolume::unlimit(kel_pid_t owner) {
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_exit_limitted_access_mode(mnt_.get(), owner));
}

vnode_t NsVolume::folders(vnode_t dvp, int levels) {
  for (int i = 0; i < levels && dvp; ++i) {
    vnode_t next = nullptr;
    if (mkdir(dvp, "d" + std::to_string(i), &next) != 0) return nullptr;
    dvp = next;
  }
  return dvp;
}

}  // namespace ns_test
