// The growable stack of directory nodes that whole-tree walks use.
#include "cache_internal.h"

#include "kelhost/kern_errno.h"
#include "udf/udf_metadata.h"

#include <cstring>

using namespace kelcache;

namespace {

constexpr uint32_t kStep = 500;

// The push limit: the extended format's for `large`, else the UDF code's
// rule of the medium.
uint32_t push_limit(const mdcudfsr_mount* m, int large) {
  if (large & 0xFF) return 240000;
  return mdcudfsr_dirstack_limit(m);
}

}  // namespace

int mdcudfsr_dirstack_init(mdcudfsr_dirstack* s) {
  s->count = 0;
  s->error = 0;
  s->entries = static_cast<mdcudfsr_cache_node**>(cache_alloc(kStep * sizeof(mdcudfsr_cache_node*)));
  if (!s->entries) {
    s->capacity = 0;
    return KEL_ENOMEM;
  }
  s->capacity = kStep;
  return 0;
}

void mdcudfsr_dirstack_free(mdcudfsr_dirstack* s) {
  if (!s->entries) return;
  cache_free(s->entries, s->capacity * static_cast<uint32_t>(sizeof(mdcudfsr_cache_node*)));
  s->entries = nullptr;
  s->capacity = 0;
  s->count = 0;
}

uint32_t mdcudfsr_dirstack_push(mdcudfsr_dirstack* s, mdcudfsr_cache_node* n, int large) {
  if (!n || !n->mdcudfsrmp) {
    s->error = KEL_EINVAL;
    return 1;
  }
  const uint32_t limit = push_limit(n->mdcudfsrmp, large);
  if (s->count >= s->capacity) {
    if (s->capacity >= limit) {
      s->error = 24;
      return limit + 1;
    }
    const uint32_t grown = s->capacity + kStep;
    auto* entries = static_cast<mdcudfsr_cache_node**>(cache_alloc(grown * sizeof(mdcudfsr_cache_node*)));
    if (!entries) {
      s->error = KEL_ENOMEM;
      return limit + 1;
    }
    std::memset(entries, 0, grown * sizeof(mdcudfsr_cache_node*));
    const uint32_t count = s->count;
    if (count) std::memcpy(entries, s->entries, count * sizeof(mdcudfsr_cache_node*));
    mdcudfsr_dirstack_free(s);
    s->entries = entries;
    s->count = count;
    s->capacity = grown;
  }
  s->entries[s->count++] = n;
  return s->count;
}

mdcudfsr_cache_node* mdcudfsr_dirstack_pop(mdcudfsr_dirstack* s) {
  if (s->count == 0) return nullptr;
  return s->entries[--s->count];
}
