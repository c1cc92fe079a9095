// Node locks (owned by one thread, recursive by owner, with bounded or
// endless waits), locks of a subtree and of the whole tree, and the gate
// that serialises the creation of UDF objects.
#include "cache_internal.h"

#include "kelhost/kern_errno.h"
#include "platform/sync.h"

using namespace kelcache;

namespace {

bool lockable(const mdcudfsr_cache_node* n) { return n->kind >= MDCUDFSR_NODE_UDF && n->kind <= MDCUDFSR_NODE_SHADOW; }

const char* matches(const mdcudfsr_cache_node* n, uint32_t mask) { return (n->attributes & mask) ? "Yes" : "No"; }

void take_owner(mdcudfsr_cache_node* n, uint64_t self) {
  if (!atomicCas64Gnrc(0, self, &n->lock_owner)) panic("lock owner");
  n->lock_count = 1;
}

uint64_t deadline_after(uint64_t now, uint32_t ms) {
  return ms == MDCUDFSR_WAIT_FOREVER ? (now / 1000 + 3) * 1000 : now + ms;
}

// Waits for the owner to let go; 0 once the node is free, else the error.
// A deadline holds until it passes, or until the lock changes hands.
int wait_for_owner(mdcudfsr_cache_node* n, std::unique_lock<std::mutex>& lk, uint32_t ms) {
  platform::Clock& clock = platform::clock();
  uint64_t deadline = 0, owner = 0;
  while (n->lock_owner != 0) {
    if (!deadline || n->lock_owner != owner) {
      deadline = deadline_after(clock.now_ms(), ms);
      owner = n->lock_owner;
    }
    clock.wait_until(lk, n->lock_cond, deadline);
    if (n->lock_owner == 0 || clock.now_ms() < deadline) continue;
    if (ms != MDCUDFSR_WAIT_FOREVER) {
      CACHE_TRACE(0, 0, "(tid=%08x) %s:%d LOCK msleep timeout err=%d\n", tid32(), __func__, __LINE__,
                  MDCUDFSR_ETIMEDOUT);
      return MDCUDFSR_ETIMEDOUT;
    }
    CACHE_TRACE(0, 2, "(tid=%08x) %s:%d LOCK leave msleep err=%d lock_owner=%p\n", tid32(), __func__, __LINE__,
                MDCUDFSR_ETIMEDOUT, reinterpret_cast<void*>(static_cast<uintptr_t>(n->lock_owner)));
    deadline = 0;
  }
  return 0;
}

int lock_self(mdcudfsr_cache_node* n, uint32_t ms) {
  std::unique_lock<std::mutex> lk(n->lock_mutex);
  if (!lockable(n)) return 0;
  const uint64_t self = getThreadIdGnrc();
  if (n->lock_owner == self) {
    ++n->lock_count;
    CACHE_TRACE(0, 2, "(tid=%08x) %s:%d LOCK already locked count=%d\n", tid32(), __func__, __LINE__, n->lock_count);
    return 0;
  }
  if (n->lock_owner == 0) {
    take_owner(n, self);
    CACHE_TRACE(0, 2, "(tid=%08x) %s:%d LOCK locked node\n", tid32(), __func__, __LINE__);
    return 0;
  }
  CACHE_TRACE(0, 2, "(tid=%08x) %s:%d LOCK node is owned thread(%p)\n", tid32(), __func__, __LINE__,
              reinterpret_cast<void*>(static_cast<uintptr_t>(n->lock_owner)));
  const int err = wait_for_owner(n, lk, ms);
  if (err) return err;
  take_owner(n, self);
  CACHE_TRACE(0, 2, "(tid=%08x) %s:%d LOCK change owner to thread(%p)\n", tid32(), __func__, __LINE__,
              reinterpret_cast<void*>(static_cast<uintptr_t>(self)));
  return 0;
}

void unlock_self(mdcudfsr_cache_node* n) {
  std::lock_guard<std::mutex> lk(n->lock_mutex);
  if (!lockable(n)) return;
  const uint64_t self = getThreadIdGnrc();
  if (n->lock_owner != self) {
    CACHE_TRACE(0, 2, "[%s](tid=%08x) %s:%d UNLOCK node is locked by other[%p]\n", volume_name(n->mdcudfsrmp),
                tid32(), __func__, __LINE__, reinterpret_cast<void*>(static_cast<uintptr_t>(n->lock_owner)));
    return;
  }
  if (n->lock_count > 0) --n->lock_count;
  else CACHE_LOG(ERR, "owned lock has zero count: node=%p name=%s", static_cast<void*>(n), name_of(n));
  if (n->lock_count == 0) {
    if (!atomicCas64Gnrc(self, 0, &n->lock_owner)) panic("lock owner");
    n->lock_cond.notify_one();
  } else {
    CACHE_TRACE(0, 2, "[%s](tid=%08x) %s:%d UNLOCK still locked count=%d\n", volume_name(n->mdcudfsrmp), tid32(),
                __func__, __LINE__, n->lock_count);
  }
}

int lock_all(mdcudfsr_mount* mnt, uint32_t mask, uint32_t ms) {
  if (!mnt || !mnt->root_node) return KEL_EINVAL;
  uint32_t spent = 0;
  for (;;) {
    const int err = mdcudfsr_cache_lock_node_internal(mnt->root_node, mask, 1, 100);
    if (!err) return 0;
    CACHE_TRACE(0, 2, "[%s](tid=%08x) %s:%d LOCK mdcudfsr_cache_lock_node_internal() returns err(%d)\n",
                volume_name(mnt), tid32(), __func__, __LINE__, err);
    spent += 100;
    const bool again = ms == MDCUDFSR_WAIT_FOREVER || (err == MDCUDFSR_ETIMEDOUT && spent < ms);
    if (!again) {
      CACHE_LOG(INFO, "err=%d", err);
      return err;
    }
  }
}

}  // namespace

int mdcudfsr_cache_lock_node_internal(mdcudfsr_cache_node* n, uint32_t mask, int recursive, uint32_t ms) {
  if (!n) return KEL_EINVAL;
  CACHE_LOG(INFO, "node=%p name=%s (recursive=%d) (matches=%s)", static_cast<void*>(n), name_of(n), recursive,
            matches(n, mask));
  int err = lock_self(n, ms);
  if (err || !recursive || !mdcudfsr_is_dir(n)) return err;
  for (mdcudfsr_cache_node* c = n->children.first; c; c = c->sibling.next) {
    err = mdcudfsr_cache_lock_node_internal(c, mask, 1, ms);
    if (!err) continue;
    CACHE_TRACE(0, 0, "(tid=%08x) %s:%d LOCK show_stopper! (%s) %p\n", tid32(), __func__, __LINE__, name_of(c),
                static_cast<void*>(c));
    for (mdcudfsr_cache_node* d = n->children.first; d != c; d = d->sibling.next)
      mdcudfsr_cache_unlock_node_internal(d, mask, 1);
    mdcudfsr_cache_unlock_node_internal(n, mask, 0);
    return err;
  }
  return 0;
}

int mdcudfsr_cache_unlock_node_internal(mdcudfsr_cache_node* n, uint32_t mask, int recursive) {
  if (!n) {
    CACHE_LOG(ERR, "invalid parameter. mdcudfsrcnp == NULL");
    return KEL_EINVAL;
  }
  CACHE_LOG(INFO, "node=%p name=%s (recursive=%d) (matches=%s)", static_cast<void*>(n), name_of(n), recursive,
            matches(n, mask));
  if (recursive && mdcudfsr_is_dir(n))
    for (mdcudfsr_cache_node* c = n->children.first; c; c = c->sibling.next)
      mdcudfsr_cache_unlock_node_internal(c, mask, 1);
  unlock_self(n);
  return 0;
}

int mdcudfsr_cache_lock_node(mdcudfsr_cache_node* n, uint32_t ms) {
  return mdcudfsr_cache_lock_node_internal(n, 0xFFFFFFFFu, 0, ms);
}
int mdcudfsr_cache_lock_node_recursive(mdcudfsr_cache_node* n, uint32_t ms) {
  return mdcudfsr_cache_lock_node_internal(n, 0xFFFFFFFFu, 1, ms);
}
int mdcudfsr_cache_unlock_node(mdcudfsr_cache_node* n) { return mdcudfsr_cache_unlock_node_internal(n, 0xFFFFFFFFu, 0); }
int mdcudfsr_cache_unlock_node_recursive(mdcudfsr_cache_node* n) {
  return mdcudfsr_cache_unlock_node_internal(n, 0xFFFFFFFFu, 1);
}
int mdcudfsr_cache_lock_all_nodes(mdcudfsr_mount* mnt, uint32_t ms) { return lock_all(mnt, 0xFFFFFFFFu, ms); }
int mdcudfsr_cache_lock_all_udf_nodes(mdcudfsr_mount* mnt, uint32_t ms) { return lock_all(mnt, 1, ms); }
int mdcudfsr_cache_unlock_all_nodes(mdcudfsr_mount* mnt) {
  return mnt ? mdcudfsr_cache_unlock_node_internal(mnt->root_node, 0xFFFFFFFFu, 1) : KEL_EINVAL;
}
int mdcudfsr_cache_unlock_all_udf_nodes(mdcudfsr_mount* mnt) {
  return mnt ? mdcudfsr_cache_unlock_node_internal(mnt->root_node, 1, 1) : KEL_EINVAL;
}

int mdcudfsr_cache_lock_udf_obj_creation(mdcudfsr_mount* mnt, uint32_t ms) {
  if (!mnt) return KEL_EINVAL;
  platform::Clock& clock = platform::clock();
  int err = 0;
  std::unique_lock<std::mutex> lk(mnt->udf_obj_creation_mutex);
  uint64_t deadline = 0;
  while (mnt->udf_obj_creation_flags & 1) {
    if (!deadline) deadline = clock.now_ms() + (ms == MDCUDFSR_WAIT_FOREVER ? 3000 : ms);
    clock.wait_until(lk, mnt->udf_obj_creation_cond, deadline);
    if (!(mnt->udf_obj_creation_flags & 1) || clock.now_ms() < deadline) continue;
    if (ms != MDCUDFSR_WAIT_FOREVER) {
      err = MDCUDFSR_ETIMEDOUT;
      break;
    }
    CACHE_TRACE(0, 0, "[%s](tid=%08x) %s:%d LOCK waiting for lock....\n", volume_name(mnt), tid32(), __func__,
                __LINE__);
    deadline = 0;
  }
  if (!err) mnt->udf_obj_creation_flags |= 1;
  lk.unlock();
  CACHE_LOG(INFO, "err=%d", err);
  return err;
}

int mdcudfsr_cache_unlock_udf_obj_creation(mdcudfsr_mount* mnt) {
  if (!mnt) return KEL_EINVAL;
  std::lock_guard<std::mutex> lk(mnt->udf_obj_creation_mutex);
  mnt->udf_obj_creation_flags &= ~1u;
  mnt->udf_obj_creation_cond.notify_all();
  return 0;
}
