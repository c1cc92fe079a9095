// Shared helpers of the node cache: log lines, node lists and memory.
#pragma once

#include "kelcache/cache.h"
#include "kelhost/gnrc.h"
#include "kelhost/kern.h"
#include "kelhost/log.h"
#include "kelvfs/mdcudfsr_mount.h"

#include <cstdint>

#define CACHE_LOGM(level, module, ...) \
  LogPrint(KEL_LOG_##level, (module), KEL_MARK_NOTE, __func__, __LINE__, getThreadIdGnrc(), __VA_ARGS__)
#define CACHE_LOG(level, ...) CACHE_LOGM(level, KEL_MOD_FS, __VA_ARGS__)
#define CACHE_LOGK(level, ...) CACHE_LOGM(level, KEL_MOD_KELC, __VA_ARGS__)
// Optional trace lines of the debug-trace table (column 3).
#define CACHE_TRACE(category, threshold, ...) \
  do {                                                                     \
    if (mdcudfsr_debug_level_check(3, (threshold), (category))) CACHE_LOG(WARN, __VA_ARGS__); \
  } while (0)

namespace kelcache {

inline const char* name_of(const mdcudfsr_cache_node* n) { return mdcudfsr_node_name(n); }
inline const char* volume_name(const mdcudfsr_mount* m) {
  return m && m->volume_name[0] ? m->volume_name : "UNKNOWN";
}
inline uint32_t tid32() { return static_cast<uint32_t>(getThreadIdGnrc()); }

// Lists of nodes linked through one of the node's links.
using Link = mdcudfsr_link mdcudfsr_cache_node::*;

inline void list_insert_tail(mdcudfsr_list* head, mdcudfsr_cache_node* n, Link l) {
  (n->*l).next = nullptr;
  (n->*l).prev = head->last;
  if (head->last) (head->last->*l).next = n;
  else head->first = n;
  head->last = n;
}
inline void list_insert_head(mdcudfsr_list* head, mdcudfsr_cache_node* n, Link l) {
  (n->*l).prev = nullptr;
  (n->*l).next = head->first;
  if (head->first) (head->first->*l).prev = n;
  else head->last = n;
  head->first = n;
}
inline void list_insert_after(mdcudfsr_list* head, mdcudfsr_cache_node* at, mdcudfsr_cache_node* n, Link l) {
  (n->*l).prev = at;
  (n->*l).next = (at->*l).next;
  if ((at->*l).next) ((at->*l).next->*l).prev = n;
  else head->last = n;
  (at->*l).next = n;
}
inline void list_remove(mdcudfsr_list* head, mdcudfsr_cache_node* n, Link l) {
  if ((n->*l).prev) ((n->*l).prev->*l).next = (n->*l).next;
  else head->first = (n->*l).next;
  if ((n->*l).next) ((n->*l).next->*l).prev = (n->*l).prev;
  else head->last = (n->*l).prev;
  (n->*l) = mdcudfsr_link{};
}
// Whether a node stands in the list (a node is in at most one list of a kind).
inline bool list_contains(const mdcudfsr_list* head, const mdcudfsr_cache_node* n, Link l) {
  return (n->*l).prev || (n->*l).next || head->first == n;
}

// The children of a directory in unique-id order (the UDF code's list).
inline mdcudfsr_cache_node* uid_first(const mdcudfsr_cache_node* dir) {
  return dir->uid_first ? mdcudfsr_cnp(dir->uid_first) : nullptr;
}
inline mdcudfsr_cache_node* uid_next(const mdcudfsr_cache_node* n) {
  return n->uid_next ? mdcudfsr_cnp(n->uid_next) : nullptr;
}

// Releases every child of a directory (its indexes and lists emptied),
// leaving the directory.
void release_children_of(mdcudfsr_cache_node* dir);
// Cuts every link between the shadow folder's nodes and the volume tree.
void detach_shadow_nodes(mdcudfsr_mount* m);
// After a pass that wrote everything it placed: no entry below `root` counts
// as placed by a pass that may still be undone.
void placement_written(mdcudfsr_cache_node* root);

// A file identifier descriptor names its file in at most 255 bytes of OSTA
// CS0 (its identifier length is one byte, ECMA-167 4/14.4.5).
constexpr uint32_t kMaxIdentifier = 255;
// The CS0 identifier of a name as a directory's descriptor carries it
// (normalised, then compressed) into `out` (kMaxIdentifier bytes): 0 with
// its length, 36 when it needs more bytes, or the conversion's error.
int name_identifier(const char* name, size_t len, uint8_t* out, uint32_t* out_len);

// Memory of the engine heap.
void* cache_alloc(uint32_t size);
void cache_free(void* p, uint32_t size);
// A copy of `len` bytes of text and a terminator; nullptr when memory runs out.
char* copy_name(const char* text, uint64_t len);
void free_name(char* name);

}  // namespace kelcache
