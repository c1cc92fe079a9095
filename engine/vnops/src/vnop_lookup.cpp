// Lookup of one name in a directory, the name conversion and the hiding of
// parity files.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_vnops.h"
#include "vnop_frame.h"

#include <cstring>
#include <strings.h>

namespace {
constexpr std::size_t kRawNormal = 976;
constexpr std::uint32_t kMediumF2 = 0xF2;

bool contains(const char* name, std::size_t len, const char* what) {
  const std::size_t n = std::strlen(what);
  for (std::size_t i = 0; i + n <= len; ++i)
    if (std::memcmp(name + i, what, n) == 0) return true;
  return false;
}
}  // namespace

int mdcudfsr_convert_filename(const char* name, std::size_t length, char** out, std::size_t* out_len) {
  auto* raw = static_cast<std::uint8_t*>(OSMalloc(kRawNormal, nullptr));
  if (raw == nullptr) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "raw_normal");
    return KEL_ENOMEM;
  }
  std::size_t len = 0;
  int err = utf8_normalizestr(reinterpret_cast<const std::uint8_t*>(name), length, raw, &len, kRawNormal, 1);
  if (err) {
    VN_LOG(KEL_LOG_ERR, "err=%d\n", err);
    OSFree(raw, kRawNormal, nullptr);
    return err;
  }
  char* s = static_cast<char*>(OSMalloc(static_cast<std::uint32_t>(len + 1), nullptr));
  if (s == nullptr) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "outstr");
    OSFree(raw, kRawNormal, nullptr);
    return KEL_ENOMEM;
  }
  std::memcpy(s, raw, len);
  s[len] = '\0';
  OSFree(raw, kRawNormal, nullptr);
  *out = s;
  *out_len = len;
  return 0;
}

int mdcudfsr_check_parity_access(mdcudfsr_cache_node* dir, const char* name, vfs_context_t ctx) {
  mdcudfsr_mount* mnt = dir->mdcudfsrmp;
  if (mnt->medium_type != kMediumF2 || std::strcmp(mdcudfsr_node_name(dir), "$") == 0) return 0;
  const kel_pid_t pid = vfs_context_pid(ctx);
  if (pid == proc_selfpid()) {
    VN_LOG(KEL_LOG_ERR, "pid %d mdcudfsrcnp->vfs_name:%s name %s\n", pid, mdcudfsr_node_name(dir), name);
    return 0;
  }
  const std::size_t len = std::strlen(name);
  if (len > 1 && contains(name, len, "#*ECC_Parity_")) {
    VN_LOG(KEL_LOG_WARN, "pid %d mdcudfsrcnp->vfs_name:%s name %s\n", pid, mdcudfsr_node_name(dir), name);
    return KEL_ENOENT;
  }
  return 0;
}

namespace {

int lookup_in_dir(vn_frame& f, vnop_lookup_args* ap, componentname* cn) {
  const char* name = cn->cn_nameptr;
  const std::size_t len = static_cast<std::size_t>(cn->cn_namelen);
  if (len > 1 && contains(name, len, "#*") && f.cnp->kind == MDCUDFSR_NODE_MASTER) return KEL_ENOENT;
  if (mdcudfsr_check_parity_access(f.cnp, name, ap->a_context)) return KEL_ENOENT;
  vnode_t vp = mdcudfsr_cache_get_vnode(f.mnt, f.cnp, cn, ap->a_context, 1);
  *ap->a_vpp = vp;
  if (vp) return 0;
  if ((cn->cn_flags & ISLASTCN) && (cn->cn_nameiop == CREATE || cn->cn_nameiop == RENAME)) return -2;
  if ((cn->cn_flags & MAKEENTRY) && cn->cn_nameiop != CREATE) cache_enter(ap->a_dvp, nullptr, cn);
  return KEL_ENOENT;
}

}  // namespace

int mdcudfsr_vnop_lookup(void* a) {
  auto* ap = static_cast<vnop_lookup_args*>(a);
  vn_frame f{"vnop_lookup", ap->a_dvp, ap->a_context};
  componentname* cnp = ap->a_cnp;
  if (ap->a_vpp == nullptr || cnp == nullptr) return KEL_EINVAL;
  *ap->a_vpp = nullptr;
  // The host layer never passes an empty component; one is refused.
  if (cnp->cn_nameptr == nullptr || cnp->cn_namelen <= 0) return vn_leave(f, KEL_EINVAL);
  char* conv = nullptr;
  std::size_t conv_len = 0;
  if (int err = mdcudfsr_convert_filename(cnp->cn_nameptr, static_cast<std::size_t>(cnp->cn_namelen), &conv,
                                          &conv_len)) {
    VN_LOG(KEL_LOG_ERR, "err=%d\n", err);
    return vn_leave(f, err);
  }
  componentname cn = *cnp;
  cn.cn_nameptr = conv;
  cn.cn_namelen = static_cast<int>(conv_len);
  VN_LOG(KEL_LOG_DEBG, "[vnop_lookup] [%s] \n", conv);
  int err = 0;
  if (strncasecmp(conv, ".Trash", 6) == 0 && ap->a_dvp && vnode_isvroot(ap->a_dvp)) {
    err = KEL_ENOTSUP;
  } else {
    const int hit = cache_lookup(ap->a_dvp, ap->a_vpp, &cn);
    if (hit == -1 || hit == 2) {
      err = hit == -1 ? 0 : KEL_ENOENT;
    } else {
      *ap->a_vpp = nullptr;
      if (ap->a_dvp == nullptr || vnode_fsnode(ap->a_dvp) == nullptr) {
        VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsrcnp");
        err = KEL_EINVAL;
      } else {
        err = vn_enter(f, true);
      }
      if (err == 0) err = lookup_in_dir(f, ap, &cn);
    }
  }
  if (f.locked) mdcudfsr_cache_unlock_node(f.cnp);
  f.locked = false;
  OSFree(conv, static_cast<std::uint32_t>(conv_len + 1), nullptr);
  KEL_LOG_AS("vnop_lookup", KEL_LOG_INFO, KEL_MOD_FUSE, KEL_MARK_EXIT, "*vpp=%p err=%d",
             static_cast<void*>(*ap->a_vpp), err);
  return err;
}
