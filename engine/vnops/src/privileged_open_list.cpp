// The privileged open list of a mount, under its own mutex.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_privileged_open_list.h"

#include "kelcache/cache.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_mount.h"

#include <mutex>
#include <new>

namespace {

using Guard = std::lock_guard<std::mutex>;

// Unlinks and frees an entry; its node forgets it. Under the list mutex.
void drop_entry(mdcudfsr_mount* mnt, mdcudfsr_proxy_write_entry* e) {
  (e->prev ? e->prev->next : mnt->proxy_write_first) = e->next;
  (e->next ? e->next->prev : mnt->proxy_write_last) = e->prev;
  if (e->node && e->node->write_list_entry == e) e->node->write_list_entry = nullptr;
  OSFree(e, sizeof *e, nullptr);
}

}  // namespace

int mdcudfsr_privileged_open_list_add(mdcudfsr_mount* mnt, mdcudfsr_cache_node* proxy) {
  mdcudfsr_cache_node* master = proxy->master;
  Guard g(mnt->privileged_open_mutex);
  if (proxy->write_list_entry || (master && master->write_list_entry) || proxy->stream_owner) return 0;
  void* mem = OSMalloc(sizeof(mdcudfsr_proxy_write_entry), nullptr);
  if (!mem) return KEL_ENOMEM;
  auto* e = new (mem) mdcudfsr_proxy_write_entry{};
  e->unique_id = master ? mdcudfsr_node_unique_id(master) : 0;
  e->node = master;
  e->prev = mnt->proxy_write_last;
  (mnt->proxy_write_last ? mnt->proxy_write_last->next : mnt->proxy_write_first) = e;
  mnt->proxy_write_last = e;
  if (master) master->write_list_entry = e;
  mnt->vfam_mode = 1;
  return 0;
}

void mdcudfsr_privileged_open_list_remove(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node) {
  Guard g(mnt->privileged_open_mutex);
  if (auto* e = static_cast<mdcudfsr_proxy_write_entry*>(node->write_list_entry)) drop_entry(mnt, e);
}

void mdcudfsr_privileged_open_list_clear(mdcudfsr_mount* mnt) {
  Guard g(mnt->privileged_open_mutex);
  while (mnt->proxy_write_first) drop_entry(mnt, mnt->proxy_write_first);
  mnt->vfam_mode = 0;
}

bool mdcudfsr_privileged_open_list_has(mdcudfsr_mount* mnt, const mdcudfsr_cache_node* node) {
  Guard g(mnt->privileged_open_mutex);
  return node->write_list_entry != nullptr;
}

int mdcudfsr_privileged_open_list_first_from(mdcudfsr_mount* mnt, std::uint64_t index, mdcudfsr_cache_node** node) {
  *node = nullptr;
  Guard g(mnt->privileged_open_mutex);
  while (mnt->proxy_write_first && mnt->proxy_write_first->unique_id < index) drop_entry(mnt, mnt->proxy_write_first);
  const mdcudfsr_proxy_write_entry* e = mnt->proxy_write_first;
  if (!e) {
    mnt->vfam_mode = 0;
    return 0;
  }
  if (e->unique_id > index || !e->node) return KEL_ENOENT;
  *node = e->node;
  return 0;
}

void mdcudfsr_privileged_open_list_settle(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node) {
  Guard g(mnt->privileged_open_mutex);
  if (node && node->write_list_entry) drop_entry(mnt, static_cast<mdcudfsr_proxy_write_entry*>(node->write_list_entry));
  if (!mnt->proxy_write_first) mnt->vfam_mode = 0;
}
