// The proxy and parity teardown of a master's close and of a failed open.
#include "proxy_teardown.h"

#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_vnops.h"

#include <utility>

namespace {

// Whether a node stands among the shadow root's children (a node's sibling
// links belong to its parent's children list alone).
bool in_shadow(const mdcudfsr_cache_node* shadow, const mdcudfsr_cache_node* n) {
  return n && mdcudfsr_parent(n) == shadow && (n->sibling.prev || n->sibling.next || shadow->children.first == n);
}

// Whether a comes before b in the children list both stand in: searched
// from a both ways, so the cost is their distance, not the list's length.
bool comes_before(const mdcudfsr_cache_node* a, const mdcudfsr_cache_node* b) {
  for (const mdcudfsr_cache_node *ahead = a->sibling.next, *behind = a->sibling.prev; ahead || behind;) {
    if (ahead == b) return true;
    if (behind == b) return false;
    if (ahead) ahead = ahead->sibling.next;
    if (behind) behind = behind->sibling.prev;
  }
  return true;
}

// A proxy's vnode is released: the node inactive and its vnode recycled,
// the vnode detached from it, the node freed.
int release_proxy(vn_frame& f, mdcudfsr_cache_node* proxy) {
  int err = mdcudfsr_cache_inactivate_node(proxy, 0);
  if (err == 0 && proxy->vp) {
    vnop_inactive_args ia{&vnop_inactive_desc, proxy->vp, f.ctx};
    err = mdcudfsr_vnop_inactive(&ia);
  }
  if (err == 0 && proxy->vp) err = mdcudfsr_cache_reclaim_vnode(proxy->vp, f.ctx);
  if (err == 0) err = mdcudfsr_cache_clean_up_inactive_node(proxy);
  return err;
}

// Proxies the parity node had before (inactive, waiting in the shadow root
// for their vnodes' reclaim) share its entry data: they let go of it before
// the node is freed.
void detach_old_parity_proxies(vn_frame& f, mdcudfsr_cache_node* parity) {
  mdcudfsr_cache_node* shadow = f.mnt->shadow_node;
  if (shadow == nullptr) return;
  mdcudfsr_cache_lock_node(shadow, MDCUDFSR_WAIT_FOREVER);
  for (mdcudfsr_cache_node* c = shadow->children.first; c; c = c->sibling.next) {
    if (c->master != parity) continue;
    c->master = nullptr;
    if (c->udf_data == parity->udf_data) c->udf_data = nullptr;
  }
  mdcudfsr_cache_unlock_node(shadow);
}

}  // namespace

namespace vn_teardown {

void undo_master(mdcudfsr_cache_node* n) {
  if (n->proxy) {
    mdcudfsr_cache_node* proxy = n->proxy;
    n->proxy = nullptr;
    proxy->master = nullptr;
    mdcudfsr_cache_free_proxy_node(proxy);
  }
  n->kind = MDCUDFSR_NODE_UDF;
  n->write_open = 0;
  n->open_mode = 0;
}

void proxy_children(const mdcudfsr_cache_node* shadow, const mdcudfsr_cache_node* master,
                    mdcudfsr_cache_node* ours[2]) {
  ours[0] = ours[1] = nullptr;
  mdcudfsr_cache_node* proxy = master->proxy;
  if (proxy == nullptr) return;
  mdcudfsr_cache_node* parity = proxy->parity_node ? mdcudfsr_cnp(proxy->parity_node) : nullptr;
  std::size_t n = 0;
  if (in_shadow(shadow, proxy)) ours[n++] = proxy;
  if (parity && parity != proxy && in_shadow(shadow, parity)) ours[n++] = parity;
  if (n == 2 && !comes_before(proxy, parity)) std::swap(ours[0], ours[1]);
}

int release_proxy_children(vn_frame& f) {
  mdcudfsr_cache_node* shadow = f.mnt->shadow_node;
  if (shadow == nullptr) return KEL_ENOENT;
  mdcudfsr_cache_lock_node(shadow, MDCUDFSR_WAIT_FOREVER);
  mdcudfsr_cache_node* ours[2];
  proxy_children(shadow, f.cnp, ours);
  int last = 0;
  for (mdcudfsr_cache_node* c : ours) {
    if (c == nullptr) continue;
    mdcudfsr_cache_lock_node(c, MDCUDFSR_WAIT_FOREVER);
    if (c->vp) {
      if (int err = mdcudfsr_cache_inactivate_node(c, 0)) {
        VN_LOG(KEL_LOG_ERR, "failed to inactivate_node err:%d\n", err);
        last = err;
      }
    } else {
      VN_LOG(KEL_LOG_DEBG, "vnode is NULL\n");
    }
    mdcudfsr_cache_unlock_node(c);
  }
  mdcudfsr_cache_unlock_node(shadow);
  return last;
}

int parity_to_info(vn_frame& f) {
  mdcudfsr_cache_node* n = f.cnp;
  mdcudfsr_cache_node* parity = mdcudfsr_cnp(n->parity_node);
  mdcudfsr_cache_node* tmp = parity;
  int err = mdcudfsr_cache_parity_info_creating_from_parity(f.mnt, mdcudfsr_parent(n), &tmp, &n->parity_info, 0);
  if (err == 0 && parity->proxy) {
    mdcudfsr_cache_node* pp = parity->proxy;
    parity->proxy = nullptr;
    if (n->proxy && n->proxy->parity_node == pp) n->proxy->parity_node = nullptr;
    err = release_proxy(f, pp);
  }
  if (err == 0 && n->proxy) {
    mdcudfsr_cache_node* proxy = n->proxy;
    n->proxy = nullptr;
    proxy->master = nullptr;
    err = release_proxy(f, proxy);
  }
  if (err == 0) err = mdcudfsr_cache_inactivate_node(parity, 0);
  if (err == 0) {
    detach_old_parity_proxies(f, parity);
    parity->stream_owner = nullptr;
    n->parity_node = nullptr;
    err = mdcudfsr_cache_clean_up_inactive_node(parity);
  }
  if (err) VN_LOG(KEL_LOG_ERR, "err=%d\n", err);
  return err;
}

void forget_proxy(mdcudfsr_cache_node* n) {
  mdcudfsr_cache_node* proxy = n->proxy;
  n->proxy = nullptr;
  n->master = nullptr;
  if (proxy == nullptr) return;
  if (proxy->parity_node) {
    mdcudfsr_cache_node* pp = mdcudfsr_cnp(proxy->parity_node);
    if (pp->master && pp->master->proxy == pp) pp->master->proxy = nullptr;
    pp->master = nullptr;
    pp->stream_owner = nullptr;
    proxy->parity_node = nullptr;
  }
  proxy->master = nullptr;
  proxy->stream_owner = nullptr;
}

}  // namespace vn_teardown
