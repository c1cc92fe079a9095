// Creation of nodes while the volume is mounted: on-disc files and
// directories, parity files, dollar proxies, proxies, the shadow directory
// and virtual nodes; and the parity suffix of a parity node's name.
#include "cache_internal.h"

#include "kelhost/kern_errno.h"
#include "udf/udf_efe.h"
#include "udf/udf_names.h"

#include <cstdio>
#include <cstring>

using namespace kelcache;

namespace {

constexpr uint32_t kProxyNameSize = 1025;

enum class Origin { Ordinary, Parity, DollarProxy, Virtual };

// The state of a node that has never been written.
void init_new_entry(mdcudfsr_cache_node* n, uint32_t perm, bool assign_uid) {
  mdcudfsr_mount* m = n->mdcudfsrmp;
  mdcudfsr_udf_data* d = n->udf_data;
  n->recorded_length = 0;
  n->last_disc = m->current_disc + 1;
  n->disc_mask = 0;
  n->multi_disc = 0;
  n->open_mark = 0;
  d->fid_imp_use.l_iu = 0;
  d->fid_imp_use.imp_use = nullptr;
  d->efe_loc = MDCUDFSR_INVALID_LBN;
  d->replace_efe_loc = MDCUDFSR_INVALID_LBN;
  d->std_loc = d->replace_std_loc = MDCUDFSR_INVALID_LBN;
  d->ad_writable = 1;
  d->nlink = 1;
  d->write_lbn = MDCUDFSR_INVALID_LBN;
  d->partial_flag = d->first_placement = d->flush_pending = d->flush_pending2 = 0;
  mdcudfsr_extent_list_init(&d->extents);
  mdcudfsr_init_extended_file_entry(m, perm, &d->efe, assign_uid ? 1 : 0);
  d->efe.icbtag.file_type = mdcudfsr_is_dir(n) ? UDF_FILE_TYPE_DIRECTORY : UDF_FILE_TYPE_REGULAR;
}

uint64_t next_proxy_objid(mdcudfsr_mount* m) {
  return static_cast<uint32_t>(MDCUDFSR_OBJID_PROXY_BASE + m->proxy_count);
}

// Gives up a node that was allocated: it leaves every list it entered.
void give_up(mdcudfsr_cache_node* n, mdcudfsr_cache_node** out, int* failed) {
  mdcudfsr_cache_free_node(n);
  *out = nullptr;
  if (failed) *failed = 1;
}

// The name buffer a new node starts with: the caller's (take_name) or a copy
// of its first `len` bytes.
char* name_for_node(char* name, int64_t len, int take_name) {
  if (take_name) return name;
  const size_t n = len < 0 ? std::strlen(name) : strnlen(name, static_cast<size_t>(len));
  return copy_name(name, n);
}

int attach(mdcudfsr_cache_node* parent, mdcudfsr_cache_node* n, Origin origin) {
  const bool ordinary = origin == Origin::Ordinary;
  const int err = mdcudfsr_cache_add_child(parent, n, ordinary ? 1 : 0, 1);
  if (err || !ordinary) return err;
  const int lerr = mdcudfsr_insert_list_by_unique_id(parent, n);
  if (lerr) CACHE_LOG(ERR, "faile insert unique id list:%d\n", lerr);
  parent->uid_root = mdcudfsr_avl_insert(parent, parent->uid_root, n, n->objid, 1);
  return 0;
}

void finish(mdcudfsr_cache_node* parent, mdcudfsr_cache_node* n) {
  if (mdcudfsr_is_dir(n) && parent->udf_data) atomicInc32Gnrc(&parent->udf_data->nlink);
  mdcudfsr_cache_lock_node(n, MDCUDFSR_WAIT_FOREVER);
  CACHE_TRACE(3, 3, "[%s](tid=%08x) %s:%d name=%s (%p) attributes=0x%08x file_char=0x%08x\n",
              volume_name(n->mdcudfsrmp), tid32(), __func__, __LINE__, name_of(n), static_cast<void*>(n),
              n->attributes, n->file_char);
}

// The steps the constructors of on-disc, parity, dollar-proxy and virtual
// nodes share once the name is checked.
int create_node(mdcudfsr_cache_node* parent, char* name, int64_t len, int take_name, uint8_t file_char,
                uint32_t perm, mdcudfsr_cache_node** out, int* failed, Origin origin) {
  mdcudfsr_mount* m = parent->mdcudfsrmp;
  char* node_name = name_for_node(name, len, take_name);
  const uint32_t kind = origin == Origin::Virtual ? MDCUDFSR_NODE_VIRTUAL : MDCUDFSR_NODE_UDF;
  mdcudfsr_cache_node* n = node_name ? mdcudfsr_cache_alloc_node(m, parent, node_name, 1, file_char, 0, kind) : nullptr;
  if (!n) {
    if (!take_name) free_name(node_name);
    CACHE_LOGK(ERR, "%s\n", "*new_node");
    return KEL_ENOMEM;
  }
  mdcudfsr_cache_set_parent_dirty(n);
  init_new_entry(n, perm, origin == Origin::Ordinary);
  if (origin == Origin::Ordinary) n->objid = n->udf_data->efe.unique_id;
  else if (origin == Origin::Parity) n->objid = MDCUDFSR_OBJID_STREAM_BASE + m->stream_node_count++;
  if (origin == Origin::DollarProxy) {
    n->objid = next_proxy_objid(m);
    ++m->proxy_count;
  }
  int err = attach(parent, n, origin);
  if (err) {
    CACHE_LOG(ERR, origin == Origin::Virtual ? " faile to add child err:%d \n" : "err=%d\n", err);
  } else if (origin == Origin::Virtual) {
    err = mdcudfsr_cache_alloc_vfam_data(m, n);
    if (err) {
      CACHE_LOG(ERR, " not allocate vfam_data err:%d\n", err);
      std::lock_guard<std::mutex> lk(m->cache_mutex);
      mdcudfsr_name_avl_delete(parent, parent->name_root, n, n->name_key, &parent->name_root);
    }
  }
  if (err) {
    give_up(n, out, failed);
    return err;
  }
  finish(parent, n);
  *out = n;
  return 0;
}

int check_name(mdcudfsr_cache_node* parent, const char* name, int64_t len, int parity) {
  const int err = mdcudfsr_cache_is_valid_filename(name, len, parent, 1, parity);
  CACHE_LOG(INFO, "file name check : %s\n", name);
  if (err) CACHE_LOG(ERR, "err=%d\n", err);
  return err;
}

// Copies a name into an exact buffer after normalising it; 0 or the error.
int normalized_name(const char* text, char** out) {
  char norm[kProxyNameSize];
  size_t len = 0;
  const int err = utf8_normalizestr(reinterpret_cast<const uint8_t*>(text), std::strlen(text),
                                    reinterpret_cast<uint8_t*>(norm), &len, sizeof norm, 1);
  if (err) {
    CACHE_LOG(ERR, "err=%d\n", err);
    return err;
  }
  *out = copy_name(norm, len);
  if (!*out) {
    CACHE_LOG(ERR, "can't allocate name.name_len=%d\n", static_cast<int>(len));
    return KEL_ENOMEM;
  }
  return 0;
}

// The name of a proxy; advances the counter for an ordinary one.
int proxy_name(mdcudfsr_mount* m, mdcudfsr_cache_node* master, const char* suffix, char* buf) {
  if (suffix) {
    mdcudfsr_cache_node* owner = master->stream_owner;
    if (!owner || !owner->proxy) {
      CACHE_LOG(ERR, "not master_node or master node to proxy file\n");
      return KEL_ENOTSUP;
    }
    std::snprintf(buf, kProxyNameSize, "%s#%s", name_of(owner->proxy), suffix);
    CACHE_LOG(INFO, "proxy is parity\n");
  } else {
    std::snprintf(buf, kProxyNameSize, "@PXO%05u", m->proxy_count);
    ++m->proxy_count;
    CACHE_LOG(INFO, "proxy is normal\n");
  }
  return 0;
}

// The fields a proxy shares with its master.
void make_proxy_of(mdcudfsr_cache_node* p, mdcudfsr_cache_node* master, uint64_t objid) {
  mdcudfsr_cache_free_udf_data(&p->udf_data);
  p->udf_data = master->udf_data;
  p->recorded_length = master->recorded_length;
  p->file_char = 0;
  p->attributes = 0;
  p->objid = objid;
  p->proxy = p;
  p->master = master;
}

}  // namespace

int mdcudfsr_cache_create_udf_node(mdcudfsr_cache_node* parent, char* name, int64_t name_len, int take_name,
                                   uint8_t file_char, uint32_t perm, mdcudfsr_cache_node** out, int parity,
                                   int* failed) {
  CACHE_LOG(INFO, "name=%s parity=%d", name ? name : "", parity);
  *out = nullptr;
  if (failed) *failed = 0;
  if (!parent || !parent->mdcudfsrmp || !name) {
    CACHE_LOGK(ERR, "%s\n", "mdcudfsrmp");
    return KEL_EINVAL;
  }
  int err = check_name(parent, name, name_len, parity);
  if (!err)
    err = create_node(parent, name, name_len, take_name, file_char, perm, out, failed,
                      parity ? Origin::Parity : Origin::Ordinary);
  CACHE_LOG(INFO, "err=%d", err);
  return err;
}

int mdcudfsr_cache_create_dollar_proxy_node(mdcudfsr_cache_node* parent, char* name, int64_t name_len,
                                            int take_name, uint8_t file_char, uint32_t perm,
                                            mdcudfsr_cache_node** out, int* failed) {
  CACHE_LOG(INFO, "name=%s", name ? name : "");
  *out = nullptr;
  if (failed) *failed = 0;
  if (!parent || !parent->mdcudfsrmp || !name) {
    CACHE_LOGK(ERR, "%s\n", "mdcudfsrmp");
    return KEL_EINVAL;
  }
  const int err =
      create_node(parent, name, name_len, take_name, file_char, perm, out, failed, Origin::DollarProxy);
  CACHE_LOG(INFO, "err=%d", err);
  return err;
}

int mdcudfsr_cache_create_virtual_node(mdcudfsr_cache_node* parent, char* name, int64_t name_len, int take_name,
                                       uint8_t file_char, uint32_t perm, mdcudfsr_cache_node** out, int* failed) {
  *out = nullptr;
  if (failed) *failed = 0;
  if (!parent || !parent->mdcudfsrmp || !name) {
    CACHE_LOGK(ERR, "%s\n", "mdcudfsrmp");
    return KEL_EINVAL;
  }
  int err = check_name(parent, name, name_len, 0);
  if (!err) err = create_node(parent, name, name_len, take_name, file_char, perm, out, failed, Origin::Virtual);
  CACHE_LOG(INFO, "err=%d", err);
  return err;
}

int mdcudfsr_cache_create_proxy_node(mdcudfsr_mount* m, mdcudfsr_cache_node* master, int, const char* suffix) {
  if (!master || !m) {
    CACHE_LOGK(ERR, "%s\n", master ? "mdcudfsrmp" : "mdcudfsrcnp");
    return KEL_EINVAL;
  }
  if (mdcudfsr_is_dir(master)) {
    CACHE_LOG(ERR, " can't create proxy node for master node is dirctory err:%d\n", 95);
    master->proxy = nullptr;
    return KEL_ENOTSUP;
  }
  if (master->kind != MDCUDFSR_NODE_MASTER) return 0;
  const uint64_t objid = next_proxy_objid(m);
  const uint32_t saved_count = m->proxy_count;
  char buf[kProxyNameSize] = {};
  char* name = nullptr;
  int err = proxy_name(m, master, suffix, buf);
  if (!err) err = normalized_name(buf, &name);
  if (!err && !m->shadow_node) {
    CACHE_LOG(ERR, "dont fine shadow node\n");
    err = KEL_ENOTSUP;
  }
  mdcudfsr_cache_node* p = nullptr;
  if (!err) {
    p = mdcudfsr_cache_alloc_node(m, m->shadow_node, name, 1, 0, 0, MDCUDFSR_NODE_PROXY);
    if (!p) {
      CACHE_LOGK(ERR, "%s\n", "proxy");
      err = KEL_ENOMEM;
    }
  }
  if (err) {
    free_name(name);
    m->proxy_count = saved_count;
    master->proxy = nullptr;
    return err;
  }
  make_proxy_of(p, master, objid);
  CACHE_LOG(INFO, "proxy name:%s\n", name_of(p));
  err = mdcudfsr_cache_add_child(m->shadow_node, p, 0, 1);
  if (err) {
    p->master = nullptr;
    p->udf_data = nullptr;
    mdcudfsr_cache_free_node(p);
    master->proxy = nullptr;
    return err;
  }
  master->proxy = p;
  return 0;
}

int mdcudfsr_cache_create_shadow_node(mdcudfsr_mount* m, int) {
  if (!m) {
    CACHE_LOGK(ERR, "%s\n", "mdcudfsrmp");
    return KEL_EINVAL;
  }
  if (m->shadow_node) return 0;
  char* name = nullptr;
  int err = normalized_name("$", &name);
  if (err) return err;
  mdcudfsr_cache_node* s = mdcudfsr_cache_alloc_node(m, m->root_node, name, 1, UDF_FILE_CHAR_DIR, 0,
                                                     MDCUDFSR_NODE_SHADOW);
  if (!s) {
    free_name(name);
    CACHE_LOGK(ERR, "%s\n", "shadow");
    return KEL_ENOMEM;
  }
  mdcudfsr_cache_free_udf_data(&s->udf_data);
  s->objid = MDCUDFSR_OBJID_SHADOW;
  CACHE_LOG(INFO, "Shadow Name:%s\n", name_of(s));
  m->shadow_node = s;
  return 0;
}

int mdcudfsr_cache_get_parity_suffix_name(mdcudfsr_cache_node* n, char** suffix) {
  *suffix = nullptr;
  if (!n) {
    CACHE_LOG(ERR, "%s\n", "mdcudfsrcnp");
    return KEL_EINVAL;
  }
  if (!n->stream_owner) {
    CACHE_LOG(ERR, " not parity file [%s]\n", name_of(n));
    return KEL_EINVAL;
  }
  CACHE_LOG(INFO, "parity node:[%s]\n", name_of(n));
  const char* star = nullptr;
  for (const char* p = name_of(n); *p; ++p)
    if (p[0] == '#' && p[1] == '*') {
      star = p + 1;
      break;
    }
  if (!star) {
    CACHE_LOG(ERR, " not parity file name [%s]\n", name_of(n));
    return KEL_EINVAL;
  }
  auto* buf = static_cast<char*>(cache_alloc(MDCUDFSR_PARITY_SUFFIX_SIZE));
  if (!buf) {
    CACHE_LOG(ERR, "%s\n", "*parity_suffix_name");
    return KEL_ENOMEM;
  }
  strlcpy(buf, star, MDCUDFSR_PARITY_SUFFIX_SIZE);
  CACHE_LOG(INFO, "suffix name:[%s]\n", buf);
  *suffix = buf;
  return 0;
}
