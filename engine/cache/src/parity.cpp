// Parity nodes and parity information: a master's parity stream as a hidden
// node beside it, or folded into information kept in the master.
#include "cache_internal.h"

#include "cache_neighbours.h"
#include "kelhost/kern_errno.h"
#include "udf/udf_efe.h"
#include "udf/udf_extent.h"

#include <cstring>
#include <new>

using namespace kelcache;

namespace {

constexpr uint32_t kParityNameSize = 1023;
constexpr uint32_t kParityPerm = 0777;

// A copy of an allocation extent descriptor list; nullptr (logged) when
// memory runs out.
mdcudfsr_aed_info* copy_aed_info(const mdcudfsr_aed_info* from, const char* what) {
  mdcudfsr_aed_info* to = mdcudfsr_aed_info_alloc();
  if (!to) {
    CACHE_LOGK(ERR, "%s\n", what);
    return nullptr;
  }
  for (uint32_t i = 0; i < from->count; ++i) {
    mdcudfsr_aed_info* grown = mdcudfsr_aed_info_add(to, from->values[i]);
    if (!grown) {
      CACHE_LOGK(ERR, "%s\n", "mdcudfsraip");
      mdcudfsr_free_aed_info(to);
      return nullptr;
    }
    to = grown;
  }
  return to;
}

int copy_extents(const mdcudfsr_extent_list* from, mdcudfsr_extent_list* to) {
  for (const mdcudfsr_extent_entry* e = from->first; e; e = e->next) {
    const int err = mdcudfsr_extent_list_add(to, e, 0);
    if (err) {
      CACHE_LOGK(ERR, "err=%d\n", err);
      return err;
    }
  }
  return 0;
}

int build_info(mdcudfsr_cache_node* parity, mdcudfsr_parity_info* info) {
  const mdcudfsr_udf_data* d = parity->udf_data;
  if (!d) {
    CACHE_LOGK(ERR, "%s\n", "parity->udf_data");
    return KEL_EINVAL;
  }
  if (d->aed_info && !(info->aed_info = copy_aed_info(d->aed_info, "(*parity_info)->aed_info"))) return KEL_ENOMEM;
  const int err = copy_extents(&d->extents, &info->extents);
  if (err) return err;
  info->cache_flags = parity->cache_flags;
  info->unique_id = parity->objid;
  info->efe_loc = d->efe_loc;
  info->size = d->efe.inf_len;
  return 0;
}

// Takes the parity node out of the directory's name index and frees it.
int remove_parity_node(mdcudfsr_mount* m, mdcudfsr_cache_node* dir, mdcudfsr_cache_node** parity) {
  {
    std::lock_guard<std::mutex> lk(m->cache_mutex);
    mdcudfsr_cache_node* root = nullptr;
    const int err = mdcudfsr_name_avl_delete(dir, dir->name_root, *parity, (*parity)->name_key, &root);
    if (err) {
      CACHE_LOGK(ERR, "err=%d\n", err);
      return err;
    }
    dir->name_root = root;
  }
  mdcudfsr_cache_free_node(*parity);
  *parity = nullptr;
  return 0;
}

// The fields a parity node takes from its master's parity information.
int fill_from_info(mdcudfsr_cache_node* p, const mdcudfsr_parity_info* info) {
  mdcudfsr_udf_data* d = p->udf_data;
  if (info->aed_info && !(d->aed_info = copy_aed_info(info->aed_info, "parity_node->udf_data->aed_info"))) return KEL_ENOMEM;
  const int err = copy_extents(&info->extents, &d->extents);
  if (err) return err;
  p->cache_flags = info->cache_flags;
  p->objid = info->unique_id;
  d->efe_loc = info->efe_loc;
  d->efe.inf_len = info->size;
  d->efe.object_size = info->size;
  return 0;
}

// A temporary parity node: allocated beside the master, in no index.
mdcudfsr_cache_node* temporary_node(mdcudfsr_mount* m, mdcudfsr_cache_node* master, char* name) {
  mdcudfsr_cache_node* p = mdcudfsr_cache_alloc_node(m, mdcudfsr_parent(master), name, 0, 0, 0, MDCUDFSR_NODE_UDF);
  if (!p) {
    CACHE_LOGK(ERR, "%s\n", "parity_node");
    return nullptr;
  }
  mdcudfsr_udf_data* d = p->udf_data;
  p->recorded_length = 0;
  p->multi_disc = 0;
  p->disc_mask = 0;
  p->last_disc = m->current_disc + 1;
  d->efe_loc = d->replace_efe_loc = d->write_lbn = MDCUDFSR_INVALID_LBN;
  d->std_loc = d->replace_std_loc = MDCUDFSR_INVALID_LBN;
  d->ad_writable = 1;
  mdcudfsr_init_extended_file_entry(m, kParityPerm, &d->efe, 0);
  d->efe.icbtag.file_type = UDF_FILE_TYPE_REGULAR;
  return p;
}

// The real parity node of the setup-parity request, created in the tree.
int real_node(mdcudfsr_cache_node* master, char* name, mdcudfsr_cache_node** out) {
  CACHE_LOG(INFO, "Parity File name:%s len:%d\n", name, static_cast<int>(std::strlen(name)));
  mdcudfsr_cache_node* p = nullptr;
  const int err =
      mdcudfsr_cache_create_udf_node(mdcudfsr_parent(master), name, -1, 0, 0, kParityPerm, &p, 1, nullptr);
  if (err) {
    CACHE_LOGK(ERR, "err=%d\n", err);
    return err;
  }
  if (!p) {
    CACHE_LOGK(ERR, "%s\n", "parity_node");
    return KEL_ENOMEM;
  }
  // The node comes back locked from its creation; the caller locks what it needs.
  mdcudfsr_cache_unlock_node(p);
  master->parity_node = p;
  *out = p;
  return 0;
}

}  // namespace

const char* mdcudfsr_cache_default_parity_suffix(const mdcudfsr_mount* m) {
  if (m->parity_stream_suffix[0]) return m->parity_stream_suffix;
  return m->medium_type == 0xF2 ? "*ECC_Parity_V100_N=516_K=512" : "*ECC_Parity_V100_N=2064_K=2048";
}

int mdcudfsr_cache_parity_info_creating_from_parity(mdcudfsr_mount* m, mdcudfsr_cache_node* dir,
                                                    mdcudfsr_cache_node** parity, mdcudfsr_parity_info** info,
                                                    int remove) {
  if (!parity || !*parity) {
    CACHE_LOG(WARN, "(*parity) NULL.\n");
    return 0;
  }
  mdcudfsr_cache_free_parity_info(info);
  void* mem = cache_alloc(sizeof(mdcudfsr_parity_info));
  if (!mem) {
    CACHE_LOGK(ERR, "%s\n", "(*parity_info)");
    return KEL_ENOMEM;
  }
  auto* fresh = new (mem) mdcudfsr_parity_info();
  int err = build_info(*parity, fresh);
  if (!err && remove && (*parity)->name_key) err = remove_parity_node(m, dir, parity);
  if (err) {
    mdcudfsr_cache_free_parity_info(&fresh);
    return err;
  }
  *info = fresh;
  return 0;
}

int mdcudfsr_cache_parity_creating_from_parity_info(mdcudfsr_mount* m, mdcudfsr_cache_node* master,
                                                    const mdcudfsr_parity_ctl* ctl, int mode,
                                                    mdcudfsr_cache_node** parity) {
  // In mode 1 the node is reached through the master; the out pointer may be absent.
  mdcudfsr_cache_node* unused = nullptr;
  if (!parity && mode == 1) parity = &unused;
  if (!m || !master || !parity) return KEL_EINVAL;
  *parity = nullptr;
  auto* name = static_cast<char*>(cache_alloc(kParityNameSize));
  if (!name) {
    CACHE_LOGK(ERR, "%s\n", "new_parity_name");
    return KEL_ENOMEM;
  }
  strlcpy(name, name_of(master), kParityNameSize);
  strlcat(name, "#", kParityNameSize);
  strlcat(name, ctl ? ctl->parity_suffix : mdcudfsr_cache_default_parity_suffix(m), kParityNameSize);
  mdcudfsr_cache_node* p = nullptr;
  int err = 0;
  if (mode == 1) {
    err = real_node(master, name, &p);
  } else if (!(p = temporary_node(m, master, name))) {
    err = KEL_ENOMEM;
  }
  cache_free(name, kParityNameSize);
  if (err) return err;
  p->stream_owner = master;
  mdcudfsr_mdcfsctrl_set_file_visibility(p, 0);
  p->file_flags |= MDCUDFSR_FILE_FLAG_HIDDEN;
  if (master->parity_info) err = fill_from_info(p, master->parity_info);
  if (!err) {
    *parity = p;
    return 0;
  }
  if (mode == 1) {
    p->status = MDCUDFSR_NODE_INACTIVE;
    mdcudfsr_cache_clean_up_inactive_node(p);
    master->parity_node = nullptr;
  } else {
    mdcudfsr_cache_free_node(p);
  }
  *parity = nullptr;
  return err;
}

int mdcudfsr_cache_parity_info_enabled_decision(mdcudfsr_cache_node* n) {
  if (!n || !n->mdcudfsrmp) return 0;
  return n->mdcudfsrmp->medium_type == 0xF2 && n->parity_info && !n->parity_node ? 1 : 0;
}

int mdcudfsr_cache_temporary_parity_creating_or_deletion(mdcudfsr_cache_node* master, mdcudfsr_cache_node** parity,
                                                         int del) {
  if (!master || !master->parity_info) {
    CACHE_LOG(ERR, "%s\n", "mdcudfsrcnp->parity_info");
    return KEL_ENOMEM;
  }
  mdcudfsr_mount* m = master->mdcudfsrmp;
  int err;
  if (!del) {
    err = mdcudfsr_cache_parity_creating_from_parity_info(m, master, nullptr, 0, parity);
  } else {
    err = mdcudfsr_cache_parity_info_creating_from_parity(m, mdcudfsr_parent(master), parity, &master->parity_info, 0);
    if (!err && *parity) {
      mdcudfsr_cache_free_node(*parity);
      *parity = nullptr;
    }
  }
  if (err) CACHE_LOG(ERR, "err=%d\n", err);
  return err;
}
