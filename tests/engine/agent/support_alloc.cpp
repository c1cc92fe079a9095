// Allocation failure on demand: the next allocation of one size made by the
// calling thread throws std::bad_alloc. Every plain form of new and delete is
// replaced, so that all of them pair with one another.
#include "support_alloc.h"

#include <cstdlib>
#include <new>

namespace {
thread_local std::size_t t_fail_size = 0;
}  // namespace

void fail_next_allocation_of(std::size_t size) { t_fail_size = size; }

void* operator new(std::size_t size) {
  if (size != 0 && size == t_fail_size) {
    t_fail_size = 0;
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size != 0 ? size : 1)) return p;
  throw std::bad_alloc();
}

void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
