// Tagged pool with per-tag failure injection and a count of live blocks.
#include "internal.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace kmode {
namespace {

struct Block {
  SIZE_T size;
  ULONG tag;
};

struct Injection {
  ULONG tag;
  ULONG skip;
  ULONG count;
};

struct Pool {
  std::mutex mu;
  std::unordered_map<void*, Block> live;
  std::unordered_map<ULONG, SIZE_T> allocations;
  std::vector<Injection> injections;
};

Pool& pool() {
  static Pool* p = new Pool;  // outlives every static object that frees pool
  return *p;
}

std::atomic<SIZE_T> g_faults{0};

// True when an injected failure claims this allocation.
bool take_injection(Pool& p, ULONG tag) {
  for (auto it = p.injections.begin(); it != p.injections.end(); ++it) {
    if (it->tag != tag) continue;
    if (it->skip > 0) {
      --it->skip;
      return false;
    }
    if (--it->count == 0) p.injections.erase(it);
    return true;
  }
  return false;
}

}  // namespace

namespace detail {
void bug_check(const char* what) {
  g_faults.fetch_add(1);
  std::fprintf(stderr, "kernel fault: %s\n", what);
}
}  // namespace detail

PVOID ExAllocatePoolWithTag(POOL_TYPE /*type*/, SIZE_T bytes, ULONG tag) {
  Pool& p = pool();
  std::lock_guard<std::mutex> lk(p.mu);
  if (take_injection(p, tag)) return nullptr;
  // Cache-line alignment for every block; the size is rounded up for
  // aligned_alloc only.
  const SIZE_T rounded = bytes == 0 ? 64 : (bytes + 63) / 64 * 64;
  if (rounded < bytes) return nullptr;
  void* mem = std::aligned_alloc(64, rounded);
  if (!mem) return nullptr;
  // Fresh pool is not zeroed: a pattern shows reads of unwritten bytes.
  std::memset(mem, 0xCD, rounded);
  p.live.emplace(mem, Block{bytes, tag});
  ++p.allocations[tag];
  return mem;
}

PVOID ExAllocatePool(POOL_TYPE type, SIZE_T bytes) {
  return ExAllocatePoolWithTag(type, bytes, kUntaggedPoolTag);
}

void ExFreePoolWithTag(PVOID mem, ULONG tag) {
  if (!mem) {
    detail::bug_check("freeing a null pool block");
    return;
  }
  Pool& p = pool();
  std::unique_lock<std::mutex> lk(p.mu);
  auto it = p.live.find(mem);
  if (it == p.live.end()) {
    lk.unlock();
    detail::bug_check("freeing a pool block that is not allocated");
    return;
  }
  if (tag != 0 && tag != it->second.tag) {
    lk.unlock();
    detail::bug_check("freeing a pool block with the wrong tag");
    return;
  }
  std::memset(mem, 0xDD, it->second.size);
  p.live.erase(it);
  lk.unlock();
  std::free(mem);
}

void ExFreePool(PVOID mem) { ExFreePoolWithTag(mem, 0); }

namespace sim {

void pool_fail(ULONG tag, ULONG skip, ULONG count) {
  if (count == 0) return;
  Pool& p = pool();
  std::lock_guard<std::mutex> lk(p.mu);
  p.injections.push_back(Injection{tag, skip, count});
}

void pool_clear_failures() {
  Pool& p = pool();
  std::lock_guard<std::mutex> lk(p.mu);
  p.injections.clear();
}

SIZE_T pool_outstanding(ULONG tag) {
  Pool& p = pool();
  std::lock_guard<std::mutex> lk(p.mu);
  if (tag == 0) return p.live.size();
  SIZE_T n = 0;
  for (const auto& [mem, block] : p.live)
    if (block.tag == tag) ++n;
  return n;
}

SIZE_T pool_allocations(ULONG tag) {
  Pool& p = pool();
  std::lock_guard<std::mutex> lk(p.mu);
  if (tag != 0) {
    auto it = p.allocations.find(tag);
    return it == p.allocations.end() ? 0 : it->second;
  }
  SIZE_T n = 0;
  for (const auto& [t, count] : p.allocations) n += count;
  return n;
}

SIZE_T faults() { return g_faults.load(); }
void reset_faults() { g_faults.store(0); }

}  // namespace sim
}  // namespace kmode
