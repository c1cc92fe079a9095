// Parity, proxy and dummy-file controls.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_fsctl_parity.h"

#include "drive/client_if.h"
#include "fsctl_common.h"
#include "kelcache/cache.h"
#include "kelcache/lookup.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_disc_change.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvnops/mdcudfsr_fsctl_allocation.h"
#include "kelvnops/mdcudfsr_fsctl_volume.h"
#include "udf/udf_names.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

// Dummy open and close of a node (the open and close operations).
int mdcudfsr_vnop_dummy_open(mdcudfsr_cache_node* node, int mode, vfs_context_t ctx);
int mdcudfsr_vnop_dummy_close(mdcudfsr_cache_node* node, int fflag);

using namespace kelvnops;

namespace {

int refuse_type(mdcudfsr_cache_node* node) {
  VN_LOGK(KEL_LOG_ERR, "Invalid node type[%s] :%d\n", mdcudfsr_node_name(node), static_cast<int>(node->kind));
  return KEL_EINVAL;
}

}  // namespace

int mdcudfsr_mdcfsctrl_get_read_pxofilename(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, MDCFS_REAL_FILENAME* rec,
                                            vfs_context_t) {
  if (!mnt) return refuse("mdcudfsrmp");
  if (!node) return refuse("mdcudfsrcnp");
  if (node->kind != MDCUDFSR_NODE_PROXY) return refuse_type(node);
  VN_LOGK(KEL_LOG_INFO, "[MDCFSCTL_GET_REAL_PXOFILENAME] start\n");
  if (!node->master) return refuse("mdcudfsrcnp_master");
  if (!rec) return KEL_EINVAL;
  NodeLockGuard lock(node->master);
  const std::uint32_t size = mdcudfsr_cache_get_full_path_len(node->master);
  if (!size) return KEL_EINVAL;
  if (!rec->BufferSize) {
    rec->BufferSize = size;
    return 0;
  }
  std::vector<char> path(size, '\0');
  if (int err = mdcudfsr_cache_get_path(node->master, path.data(), size)) {
    VN_LOGK(KEL_LOG_ERR, "cache_get_path error.err = %d\n", err);
    return err;
  }
  std::uint32_t n = size;
  if (rec->BufferSize < size) {
    n = rec->BufferSize;
    path[n - 1] = '\0';
  }
  return copyout(path.data(), user_ptr(rec->Buffer), n);
}

int mdcudfsr_mdcfsctrl_get_virtualfile_info(mdcudfsr_mount*, void*, vfs_context_t) { return 0; }

// ---------------------------------------------------------------- setup parity

namespace {

struct ParitySetup {
  mdcudfsr_mount* mnt;
  mdcudfsr_cache_node* proxy;   // the request's node
  mdcudfsr_cache_node* master;
  const char* suffix;           // the parity path
  mdcudfsr_cache_node* parity = nullptr;
  mdcudfsr_cache_node* parity_proxy = nullptr;
  bool created = false;         // this call made the parity node
};

// A master whose parity lives in its parity information gets its
// parity file back first.
int parity_from_info(ParitySetup& s) {
  if (!mdcudfsr_cache_parity_info_enabled_decision(s.master)) return 0;
  mdcudfsr_parity_ctl ctl{};
  std::strncpy(ctl.parity_suffix, s.suffix, sizeof ctl.parity_suffix - 1);
  mdcudfsr_cache_unlock_node(s.master);
  const int err = mdcudfsr_cache_parity_creating_from_parity_info(s.mnt, s.master, &ctl, 1, nullptr);
  if (err) VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
  mdcudfsr_cache_lock_node(s.master, MDCUDFSR_WAIT_FOREVER);
  return err;
}

// The parity node the master has already.
void reuse_parity(ParitySetup& s) {
  mdcudfsr_cache_node* p = mdcudfsr_cnp(s.master->parity_node);
  VN_LOGK(KEL_LOG_INFO, "Already Parity file exsit :%s \n", mdcudfsr_node_name(p));
  const std::uint64_t size = p->udf_data ? p->udf_data->efe.inf_len : 0;
  p->recorded_length = size;
  if (p->vfam_data) p->vfam_data->file_size = static_cast<std::int64_t>(size);
  p->kind = MDCUDFSR_NODE_MASTER;
  if (!p->stream_owner) p->stream_owner = s.master;
  mdcudfsr_cache_lock_node(p, MDCUDFSR_WAIT_FOREVER);
  s.parity = p;
}

void log_parity(const char* step, const ParitySetup& s) {
  VN_LOGK(KEL_LOG_INFO, "[%p]Master Parity%s node:%s[%p] len:%d\n", static_cast<void*>(s.master), step,
          mdcudfsr_node_name(s.parity), static_cast<void*>(s.parity),
          static_cast<int>(std::strlen(mdcudfsr_node_name(s.parity))));
}

// A hidden, invisible parity file beside the master. The master is
// unlocked on return.
int create_parity(ParitySetup& s) {
  std::string name = std::string(mdcudfsr_node_name(s.master)) + "#" + s.suffix;
  if (name.size() > MDCUDFSR_PARITY_NAME_MAX) name.resize(MDCUDFSR_PARITY_NAME_MAX);
  mdcudfsr_cache_node* dir = mdcudfsr_parent(s.master);
  mdcudfsr_cache_unlock_node(s.master);
  VN_LOGK(KEL_LOG_INFO, "Parity File name:%s len:%d\n", name.c_str(), static_cast<int>(name.size()));
  if (!dir) return refuse("parity_master_node");
  mdcudfsr_cache_node* p = nullptr;
  int err = mdcudfsr_cache_create_udf_node(dir, name.data(), static_cast<std::int64_t>(name.size()), 0, 0, 0777, &p, 1,
                                           nullptr);
  if (err) return VN_LOGK(KEL_LOG_ERR, "err=%d\n", err), err;
  if (!p) return VN_LOGK(KEL_LOG_ERR, "%s\n", "parity_master_node"), 12;
  s.parity = p;
  s.created = true;
  log_parity("1", s);
  p->kind = MDCUDFSR_NODE_MASTER;
  p->stream_owner = s.master;
  s.master->parity_node = p;
  mdcudfsr_mdcfsctrl_set_file_visibility(p, 0);
  p->file_flags |= MDCUDFSR_FILE_FLAG_HIDDEN;
  err = mdcudfsr_cache_alloc_vfam_data(s.mnt, p);
  if (err) {
    VN_LOGK(KEL_LOG_ERR, " not allocate vfam_data [%d]\n", err);
    p->kind = MDCUDFSR_NODE_UDF;
    return err;
  }
  log_parity("2", s);
  return 0;
}

// The parity node's proxy, linked to the master and the request proxy.
int make_parity_proxy(ParitySetup& s) {
  const int err = mdcudfsr_cache_create_proxy_node(s.mnt, s.parity, 0, s.suffix);
  if (err || !s.parity->proxy) {
    VN_LOGK(KEL_LOG_ERR, " failed to proxy node err:%d\n", err ? err : 12);
    if (s.created) s.parity->kind = MDCUDFSR_NODE_UDF;
    return err ? err : KEL_ENOMEM;
  }
  s.parity_proxy = s.parity->proxy;
  s.parity_proxy->stream_owner = s.master;
  s.proxy->parity_node = s.parity_proxy;
  VN_LOGK(KEL_LOG_INFO, "Proxy Parity node:%s [%p]\n", mdcudfsr_node_name(s.parity_proxy),
          static_cast<void*>(s.parity_proxy));
  return 0;
}

// On failure only what this call made is undone; a reused parity file stays.
void undo_setup(ParitySetup& s, int err) {
  VN_LOGK(KEL_LOG_ERR, "mdcudfsr_mdcfsctrl_setup_parity failed err:%d\n", err);
  if (s.parity_proxy) {
    s.proxy->parity_node = nullptr;
    if (s.parity) s.parity->proxy = nullptr;
    mdcudfsr_cache_inactivate_node(s.parity_proxy, 0);
    if (s.mnt->shadow_node) mdcudfsr_cache_clean_up_inactive_node(s.mnt->shadow_node);
  }
  if (!s.parity) return;
  mdcudfsr_cache_unlock_node(s.parity);
  if (!s.created) return;
  s.master->parity_node = nullptr;
  s.parity->stream_owner = nullptr;
  mdcudfsr_cache_node* dir = mdcudfsr_parent(s.parity);
  mdcudfsr_cache_inactivate_node(s.parity, 0);
  if (dir) mdcudfsr_cache_clean_up_inactive_node(dir);
}

int check_setup_nodes(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node) {
  if (!mnt) return refuse("mdcudfsrmp");
  if (!node) return refuse("mdcudfsrcnp_proxy");
  if (node->kind != MDCUDFSR_NODE_PROXY) return refuse_type(node);
  if (mdcudfsr_is_dir(node)) return VN_LOGK(KEL_LOG_ERR, "dirctory is not support\n"), 22;
  if (!node->master) return refuse("mdcudfsrcnp_master");
  if (node->master->kind != MDCUDFSR_NODE_MASTER) return refuse_type(node->master);
  return 0;
}

}  // namespace

int mdcudfsr_mdcfsctrl_setup_parity(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, MDCFS_SETUP_PARITY* rec,
                                    vfs_context_t) {
  VN_LOGK(KEL_LOG_INFO, "[MDCFSCTL_SETUP_PROXY] start\n");
  if (int err = check_setup_nodes(mnt, node)) return err;
  if (!rec) return KEL_EINVAL;
  char suffix[sizeof rec->ParityName + 1] = {};
  std::memcpy(suffix, rec->ParityName, sizeof rec->ParityName);
  ParitySetup s{mnt, node, node->master, suffix};
  mdcudfsr_cache_lock_node(s.master, MDCUDFSR_WAIT_FOREVER);
  int err = parity_from_info(s);
  if (err) {
    mdcudfsr_cache_unlock_node(s.master);
    return err;
  }
  if (s.master->parity_node) {
    reuse_parity(s);
    mdcudfsr_cache_unlock_node(s.master);
  } else {
    err = create_parity(s);
  }
  if (!err) err = make_parity_proxy(s);
  if (err) {
    undo_setup(s, err);
    return err;
  }
  log_parity("3", s);
  mdcudfsr_cache_unlock_node(s.parity);
  return 0;
}

// ---------------------------------------------------------------- streams

int mdcudfsr_mdcfsctrl_get_alt_stream_info(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, MDCFS_ALT_STREAM_INFO* rec,
                                           vfs_context_t) {
  if (!mnt || !rec) return KEL_EINVAL;
  if (!node) return refuse("mdcudfsrcnp");
  if (int err = check_kind_file_or_proxy(node)) return err;
  if (mdcudfsr_is_dir(node)) return VN_LOGK(KEL_LOG_ERR, "dirctory is not support\n"), 22;
  std::string name;
  if (mdcudfsr_cache_parity_info_enabled_decision(node)) {
    if (!node->parity_info) return VN_LOGK(KEL_LOG_ERR, " file is not parity [%s]\n", mdcudfsr_node_name(node)), 95;
    name = mdcudfsr_cache_default_parity_suffix(mnt);
  } else {
    if (!node->parity_node) return VN_LOGK(KEL_LOG_ERR, " file is not parity [%s]\n", mdcudfsr_node_name(node)), 95;
    char* suffix = nullptr;
    if (int err = mdcudfsr_cache_get_parity_suffix_name(mdcudfsr_cnp(node->parity_node), &suffix)) {
      VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
      return err;
    }
    name = suffix;
    OSFree(suffix, MDCUDFSR_PARITY_SUFFIX_SIZE, nullptr);
  }
  rec->TotalStreams = 1;
  rec->StreamIndex = 0;
  std::memset(rec->Name, 0, sizeof rec->Name);
  if (name.size() <= 256) std::memcpy(rec->Name, name.data(), name.size());
  rec->NameSize = static_cast<std::uint32_t>(name.size() + 1);
  VN_LOGK(KEL_LOG_INFO, "get Alt_stream_inf total:%d index:%d name:%s, name_size:%d\n", 1, 0, rec->Name,
          static_cast<int>(rec->NameSize));
  return 0;
}

// ---------------------------------------------------------------- dummy files

int mdcudfsr_mdcfsctrl_dummy_create(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, char* rec, vfs_context_t ctx) {
  if (!mnt || !node || !rec) return KEL_EINVAL;
  const int err = mdcudfsr_vnop_dummy_open(node, 2, ctx);
  if (err) {
    VN_LOGK(KEL_LOG_ERR, "failed to mdcudfsr_vnop_dummy_open err:%d\n", err);
    return err;
  }
  const char* name = node->proxy ? mdcudfsr_node_name(node->proxy) : "";
  const std::size_t len = std::strlen(name);
  if (len <= MDCFS_DUMMY_NAME_SIZE) std::memcpy(rec, name, len);
  return 0;
}

int mdcudfsr_mdcfsctrl_dummy_close(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, void*, vfs_context_t) {
  if (!mnt || !node) return KEL_EINVAL;
  const int err = mdcudfsr_vnop_dummy_close(node, 2);
  if (err) VN_LOGK(KEL_LOG_ERR, "failed to mdcudfsr_vnop_dummy_close err:%d\n", err);
  return err;
}

// ---------------------------------------------------------------- parity data

namespace {

// The checks shared by the parity allocation and data requests.
// `no_parity` is the answer for a node without parity information.
int check_parity_source(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, const char* stream_name, int no_parity) {
  if (node->write_open) {
    VN_LOGK(KEL_LOG_ERR, " invalid node type:%d[%s] mdcudfsrcnp->write_open:%d\n", static_cast<int>(node->kind),
            mdcudfsr_node_name(node), node->write_open);
    return 1;
  }
  if (!node->parity_info) {
    if (no_parity == 2) VN_LOGK(KEL_LOG_ERR, " There is no parity:[%s]\n", mdcudfsr_node_name(node));
    else VN_LOGK(KEL_LOG_ERR, " parity_info is not exist\n");
    return no_parity;
  }
  if (strncmp(stream_name, mdcudfsr_cache_default_parity_suffix(mnt), MDCFS_PARITY_STREAM_NAME_SIZE) != 0) {
    VN_LOGK(KEL_LOG_ERR, " target name is not found. name:%.*s \n", static_cast<int>(MDCFS_PARITY_STREAM_NAME_SIZE),
            stream_name);
    return KEL_ENOENT;
  }
  return 0;
}

}  // namespace

int mdcudfsr_mdcfsctrl_get_parity_allocation(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node,
                                             MDCFS_PARITY_ALLOCATION* rec, vfs_context_t) {
  if (!mnt) return refuse("mdcudfsrmp");
  if (!node) return refuse("mdcudfsrcnp");
  if (!rec) return refuse("parity_space_entries_buffer");
  if (int err = check_parity_source(mnt, node, rec->StreamName, 2)) return err;
  const mdcudfsr_extent_list* list = &node->parity_info->extents;
  const std::uint32_t count = rec->SpaceEntries ? rec->TotalSpaceCount : 0;
  if (rec->SpaceEntries && !count) return KEL_EFAULT;  // no source to copy from
  const std::uint32_t bytes = count ? mdcudfsr_array_bytes(count, sizeof(MDCFS_SPACE_ENTRY)) : 0;
  auto* buf = bytes ? static_cast<MDCFS_SPACE_ENTRY*>(OSMalloc(bytes, nullptr)) : nullptr;
  if (count && !buf) return refuse("buf"), 12;
  if (buf) std::memset(buf, 0, bytes);
  std::uint32_t extents = 0;
  std::uint64_t total = 0;
  int err = collect_space_entries(mnt, list, buf, count, &extents, &total);
  if (!err) {
    rec->TotalLength = total;
    if (buf) {
      err = copyout(buf, user_ptr(rec->SpaceEntries), bytes);
      if (!err && count < extents) err = KEL_ENOBUFS;
    } else {
      rec->TotalSpaceCount = extents;
    }
    VN_LOGK(KEL_LOG_DEBG, "TotalSpaceCount=%d\n", static_cast<int>(extents));
  }
  if (buf) OSFree(buf, bytes, nullptr);
  return err;
}

namespace {

constexpr std::uint32_t kUnit = 0x10000;
constexpr std::uint32_t kUnitBlocks = 32;

// Reads `want` bytes of one parity extent from `byte` of its unit at `lbn`
// into out; the slot lock is held by the caller.
int read_parity_extent(mdcudfsr_mount* mnt, const long_ad& ad, std::uint32_t lbn, std::uint32_t byte,
                       std::uint64_t want, std::uint8_t* out, vfs_context_t ctx) {
  const std::uint32_t lsn = mdcudfsr_lbn2lsn(mnt, MDCUDFSR_PARTITION_PHYSICAL, lbn, nullptr);
  if (lsn == MDCUDFSR_INVALID_LSN) {
    VN_LOGK(KEL_LOG_ERR, "lbn to lsn NG lbn %llu err %d. \n", static_cast<unsigned long long>(lbn), 22);
    return KEL_EINVAL;
  }
  const std::uint32_t slot = ad.loc.part_num ? ad.loc.part_num - 1u : 0u;
  if (int err = mdcudfsr_disc_change(mnt, slot, 0, ctx, 0); err) {
    VN_LOGK(KEL_LOG_ERR, "Failed to load last written slot with status %d. \n", err);
    return err;
  }
  const std::uint64_t units = (byte + want + kUnit - 1) / kUnit;
  for (std::uint64_t u = 0; u < units && want; ++u) {
    buf_t bp = nullptr;
    const int err = buf_meta_bread(mnt->devvp, lsn + u * kUnitBlocks, static_cast<int>(kUnit), nullptr, &bp);
    if (err || !bp) {
      VN_LOGK(KEL_LOG_ERR, "parity read err. err:%d\n", err ? err : 5);
      if (bp) buf_brelse(bp);
      return err ? err : KEL_EIO;
    }
    const std::uint32_t from = u == 0 ? byte : 0;
    const std::uint64_t n = std::min<std::uint64_t>(kUnit - from, want);
    std::memcpy(out, reinterpret_cast<const std::uint8_t*>(buf_dataptr(bp)) + from, n);
    buf_brelse(bp);
    out += n;
    want -= n;
  }
  return 0;
}

// Walks the parity extents from the record's offset; *got bytes gathered.
int gather_parity(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, const MDCFS_PARITY_DATA* rec, std::uint8_t* out,
                  std::uint64_t* got, vfs_context_t ctx) {
  std::uint64_t start = 0;
  *got = 0;
  for (const mdcudfsr_extent_entry* e = node->parity_info->extents.first; e && *got < rec->ReadSize; e = e->next) {
    const std::uint64_t len = EXTENT_LENGTH(e->extent.len);
    const std::uint64_t end = start + len;
    if (*got == 0 && rec->Offset >= end) {
      start = end;
      continue;
    }
    const std::uint64_t into = *got == 0 ? rec->Offset - start : 0;
    const std::uint32_t lbn = e->extent.loc.lb_num + static_cast<std::uint32_t>(into / kUnit) * kUnitBlocks;
    const std::uint64_t want = std::min<std::uint64_t>(len - into, rec->ReadSize - *got);
    if (int err = read_parity_extent(mnt, e->extent, lbn, static_cast<std::uint32_t>(into % kUnit), want, out + *got,
                                     ctx)) {
      return err;
    }
    *got += want;
    start = end;
  }
  return 0;
}

}  // namespace

int mdcudfsr_mdcfsctrl_get_parity_data(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, MDCFS_PARITY_DATA* rec,
                                       vfs_context_t ctx) {
  if (!mnt) return refuse("mdcudfsrmp");
  if (!node) return refuse("mdcudfsrcnp");
  if (!rec) return refuse("parity_data_buffer");
  if (int err = check_parity_source(mnt, node, rec->StreamName, 22)) return err;
  if (rec->ReadSize == 0 || rec->ReadSize > MDCFS_PARITY_READ_MAX || !rec->pReadDataBuffer) {
    VN_LOGK(KEL_LOG_ERR, " invalid parity_data_buffer->ReadSize:%d parity_data_buffer->pReadDataBuffer:%p\n",
            static_cast<int>(rec->ReadSize), user_ptr(rec->pReadDataBuffer));
    return 1;
  }
  const auto size = static_cast<std::uint32_t>(rec->ReadSize);
  auto* buf = static_cast<std::uint8_t*>(OSMalloc(size, nullptr));
  if (!buf) return refuse("buf"), 12;
  std::memset(buf, 0, size);
  std::uint64_t got = 0;
  int err = 0;
  {
    std::lock_guard<std::mutex> lk(mnt->slot_mutex);
    err = gather_parity(mnt, node, rec, buf, &got, ctx);
  }
  if (!err) err = copyout(buf, user_ptr(rec->pReadDataBuffer), got);
  if (err) VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
  else rec->ReadSize = got;
  OSFree(buf, size, nullptr);
  return err;
}
