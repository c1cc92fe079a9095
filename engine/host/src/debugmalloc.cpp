// The debugging allocator: every block carries a header with a magic word,
// its size and tag and a front guard, and a trailer guard; live blocks are
// kept in 256 lists so that unfreed ones can be listed at module end.
#include "kelhost/kern.h"

#include <cstring>
#include <mutex>

namespace {

constexpr std::uint64_t kMagic = 0xEFBEADDEBEBAFECAull;
constexpr std::uint64_t kFreedMagic = 0xFEFEFEFEFEFEFEFEull;
constexpr unsigned char kFrontGuard = 0xBB;
constexpr unsigned char kBackGuard = 0xAB;
constexpr std::size_t kGuard = 1024;

struct BlockHeader {
  std::uint64_t magic;
  BlockHeader* next;
  BlockHeader** pprev;  // the previous block's next field (or the list head)
  std::uint32_t size;
  char tag[60];
  unsigned char guard[kGuard];
};
static_assert(sizeof(BlockHeader) == KEL_DEBUG_MALLOC_HEADER, "debug block header is 1112 bytes");
static_assert(offsetof(BlockHeader, size) == 24 && offsetof(BlockHeader, tag) == 28 &&
              offsetof(BlockHeader, guard) == 88);
constexpr std::size_t kOverhead = KEL_DEBUG_MALLOC_HEADER + KEL_DEBUG_MALLOC_TRAILER;  // 2136

// The lists are guarded by a real mutex: the emulated spin lock does nothing.
std::mutex g_mutex;
bool g_initialised = false;
bool g_trace = false;
BlockHeader* g_lists[256];

BlockHeader** list_for(const BlockHeader* h) {
  return &g_lists[(reinterpret_cast<std::uintptr_t>(h) >> 3) & 0xFF];
}

void unlink_locked(BlockHeader* h) {
  if (h->pprev != nullptr) *h->pprev = h->next;
  if (h->next != nullptr) h->next->pprev = h->pprev;
  h->next = nullptr;
  h->pprev = nullptr;
}

}  // namespace

void* mdcudfsr_debug_malloc(std::uint32_t size, const char* tag) {
  if (size == 0) {
    KEL_LOG_AS("void* mdcudfsr_debug_malloc(uint32_t, const char*)", KEL_LOG_ERR, KEL_MOD_KELC, KEL_MARK_NOTE,
               "%s\n", "size");
    return nullptr;
  }
  if (size > UINT32_MAX - kOverhead) return nullptr;
  auto* h = static_cast<BlockHeader*>(OSMalloc(static_cast<std::uint32_t>(size + kOverhead), nullptr));
  if (h == nullptr) return nullptr;
  h->magic = kMagic;
  h->size = size;
  strlcpy(h->tag, tag != nullptr ? tag : "", sizeof h->tag);
  std::memset(h->guard, kFrontGuard, kGuard);
  {
    std::lock_guard<std::mutex> lk(g_mutex);
    BlockHeader** head = list_for(h);
    h->next = *head;
    h->pprev = head;
    if (*head != nullptr) (*head)->pprev = &h->next;
    *head = h;
  }
  unsigned char* data = reinterpret_cast<unsigned char*>(h) + KEL_DEBUG_MALLOC_HEADER;
  std::memset(data + size, kBackGuard, KEL_DEBUG_MALLOC_TRAILER);
  return data;
}

void mdcudfsr_free_debug(void* pointer, std::uint32_t size) {
  if (pointer == nullptr) {
    KEL_LOG_AS("void mdcudfsr_free_debug(void*, uint32_t)", KEL_LOG_ERR, KEL_MOD_KELC, KEL_MARK_NOTE,
               "Invalid argument");
    return;
  }
  auto* h = reinterpret_cast<BlockHeader*>(static_cast<unsigned char*>(pointer) - KEL_DEBUG_MALLOC_HEADER);
  if (h->magic != kMagic) {
    panic("mdcudfsr_free_debug:block header is invalid.%llx\n", static_cast<unsigned long long>(h->magic));
    return;
  }
  if (size != h->size)
    panic("mdcudfsrr_free_debug:invalid size %d.shuld be %d.:%s\n", static_cast<int>(size),
          static_cast<int>(h->size), h->tag);
  for (std::size_t i = 0; i < kGuard; ++i) {
    if (h->guard[i] != kFrontGuard) {
      panic("mdcudfsrr_free_debug:buffer overwrite %d bytes before block starts\n", static_cast<int>(kGuard - i));
      break;
    }
  }
  // The trailer is found from the stored size, never from the caller's.
  const unsigned char* trailer = static_cast<unsigned char*>(pointer) + h->size;
  for (std::size_t i = KEL_DEBUG_MALLOC_TRAILER; i-- > 0;) {
    if (trailer[i] != kBackGuard) {
      panic("mdcudfsrr_free_debug:buffer overwrite %d bytes after block ends\n", static_cast<int>(i + 1));
      break;
    }
  }
  h->magic = kFreedMagic;
  {
    std::lock_guard<std::mutex> lk(g_mutex);
    unlink_locked(h);
  }
  OSFree(h, static_cast<std::uint32_t>(h->size + kOverhead), nullptr);
}

int mdcudfsr_debug_malloc_init() {
  std::lock_guard<std::mutex> lk(g_mutex);
  if (g_initialised) {
    KEL_LOG_AS("int mdcudfsr_debug_malloc_init()", KEL_LOG_ERR, KEL_MOD_KELC, KEL_MARK_NOTE, "%s\n",
               "!lck_malloc_hash");
    return KEL_EBUSY;
  }
  g_initialised = true;
  for (auto& head : g_lists) head = nullptr;
  return 0;
}

void mdcudfsr_debug_malloc_term() {
  static const char kFn[] = "void mdcudfsr_debug_malloc_term()";
  std::lock_guard<std::mutex> lk(g_mutex);
  if (g_trace) {
    KEL_LOG_AS(kFn, KEL_LOG_INFO, KEL_MOD_KELC, KEL_MARK_NOTE, "---------Memory block trace----------\n");
    int count = 0;
    for (auto& head : g_lists) {
      while (head != nullptr) {
        BlockHeader* h = head;
        KEL_LOG_AS(kFn, KEL_LOG_INFO, KEL_MOD_KELC, KEL_MARK_NOTE, "%p %d %s[%s]\n",
                   static_cast<void*>(reinterpret_cast<unsigned char*>(h) + KEL_DEBUG_MALLOC_HEADER),
                   static_cast<int>(h->size), h->tag, h->magic == kMagic ? "OK " : "BAD");
        unlink_locked(h);
        ++count;
      }
    }
    KEL_LOG_AS(kFn, KEL_LOG_INFO, KEL_MOD_KELC, KEL_MARK_NOTE, "---------%d blocks is unfreed----------\n", count);
  }
  g_initialised = false;
}

void mdcudfsr_debug_malloc_set_trace(bool on) {
  std::lock_guard<std::mutex> lk(g_mutex);
  g_trace = on;
}
