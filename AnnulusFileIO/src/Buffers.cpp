#include "AnnulusFileIO/Buffers.h"

#include "kel/kel_trace.h"
#include "platform/win32.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>
#include <sys/mman.h>

namespace AnnulusFileIO {

namespace {
// Largest block asked of the page allocator (keeps the signed capacity).
constexpr std::uint64_t kMaxBlock = 0x7FFFFFFFFFFFF000ull;
// Blocks of this size and more are asked to use large pages.
constexpr std::uint64_t kLargePagesFrom = std::uint64_t{4} << 20;
// The most blocks kept at once, whatever their sizes.
constexpr std::size_t kMaxKeptBlocks = 32;

void unmapBlock(void* block, std::uint64_t size) {
  if (::munmap(block, static_cast<std::size_t>(size)) != 0)
    KelTrace(0, 3, 0, __FILE__, u"AnnulusFileIO::AdjestBinaryBuffer::release", __LINE__,
             u"::VirtualFree error GetLastError=0x%08X", 87u);
}

// The kept blocks, oldest first. Unmapping a block stops every CPU the
// process runs on to drop the mapping from its address cache, and new pages
// fault in one by one: a block taken from here costs neither.
class Pool {
 public:
  static Pool& instance() {
    static Pool p;
    return p;
  }
  void* take(std::uint64_t size) {
    std::lock_guard<std::mutex> lk(m_mu);
    for (auto it = m_kept.rbegin(); it != m_kept.rend(); ++it) {
      if (it->first != size) continue;
      void* block = it->second;
      m_bytes -= size;
      m_kept.erase(std::next(it).base());
      return block;
    }
    return nullptr;
  }
  // Keeps the block, or gives it back when it is larger than the bound.
  void keep(void* block, std::uint64_t size) {
    std::vector<std::pair<std::uint64_t, void*>> gone;
    {
      std::lock_guard<std::mutex> lk(m_mu);
      if (size <= m_bound) {
        m_kept.emplace_back(size, block);
        m_bytes += size;
        block = nullptr;
      }
      trimLocked(gone);
    }
    if (block) unmapBlock(block, size);
    for (const auto& [bytes, b] : gone) unmapBlock(b, bytes);
  }
  void setBound(std::uint64_t bytes) {
    std::vector<std::pair<std::uint64_t, void*>> gone;
    {
      std::lock_guard<std::mutex> lk(m_mu);
      m_bound = bytes;
      trimLocked(gone);
    }
    for (const auto& [size, b] : gone) unmapBlock(b, size);
  }
  std::uint64_t bound() {
    std::lock_guard<std::mutex> lk(m_mu);
    return m_bound;
  }
  void releaseAll() {
    std::vector<std::pair<std::uint64_t, void*>> gone;
    {
      std::lock_guard<std::mutex> lk(m_mu);
      gone.swap(m_kept);
      m_bytes = 0;
    }
    for (const auto& [size, b] : gone) unmapBlock(b, size);
  }
  std::uint64_t bytes() {
    std::lock_guard<std::mutex> lk(m_mu);
    return m_bytes;
  }
  std::size_t count() {
    std::lock_guard<std::mutex> lk(m_mu);
    return m_kept.size();
  }

 private:
  // The oldest blocks leave until the rest fit the bounds.
  void trimLocked(std::vector<std::pair<std::uint64_t, void*>>& gone) {
    std::size_t n = 0;
    while (n < m_kept.size() && (m_bytes > m_bound || m_kept.size() - n > kMaxKeptBlocks)) {
      m_bytes -= m_kept[n].first;
      gone.push_back(m_kept[n++]);
    }
    m_kept.erase(m_kept.begin(), m_kept.begin() + static_cast<std::ptrdiff_t>(n));
  }

  std::mutex m_mu;
  std::vector<std::pair<std::uint64_t, void*>> m_kept;
  std::uint64_t m_bytes = 0;
  std::uint64_t m_bound = 0;  // set by the writer's ring
};

}  // namespace

void KeptBlocks::setBound(std::uint64_t bytes) { Pool::instance().setBound(bytes); }
std::uint64_t KeptBlocks::bound() { return Pool::instance().bound(); }
void KeptBlocks::releaseAll() { Pool::instance().releaseAll(); }
std::uint64_t KeptBlocks::bytes() { return Pool::instance().bytes(); }
std::size_t KeptBlocks::count() { return Pool::instance().count(); }

AdjestBinaryBuffer::~AdjestBinaryBuffer() { release(); }

void AdjestBinaryBuffer::setSize(std::uint64_t size) {
  if (size <= static_cast<std::uint64_t>(m_capacity)) return;
  release();
  KelTrace(0, 2, 0, __FILE__, u"AnnulusFileIO::AdjestBinaryBuffer::setSize", __LINE__,
           u"alloc %llu 0x%08llX", size, size);
  void* p = size > kMaxBlock ? MAP_FAILED : Pool::instance().take(size);
  auto map = [size] {
    void* block = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    // A large block is filled page by page as data comes: large pages make
    // that a fault per 2 MiB instead of one per 4 KiB (only a hint).
    if (block != MAP_FAILED && size >= kLargePagesFrom) ::madvise(block, size, MADV_HUGEPAGE);
    return block;
  };
  if (!p) p = map();
  if (p == MAP_FAILED && size <= kMaxBlock && Pool::instance().bytes() != 0) {
    // The kept blocks make room before the allocation is refused.
    Pool::instance().releaseAll();
    p = map();
  }
  if (p == MAP_FAILED) {
    const DWORD error = size > kMaxBlock ? 8 : (errno == ENOMEM ? 8 : 87);
    KelTrace(0, 3, 0, __FILE__, u"AnnulusFileIO::AdjestBinaryBuffer::setSize", __LINE__,
             u"::VirtualAlloc error GetLastError=0x%08X size=%llu(0x%08llX)", error, size, size);
    SetLastError(error);
    throw PageAllocationError();
  }
  m_data = static_cast<std::uint8_t*>(p);
  m_capacity = static_cast<std::int64_t>(size);
}

void AdjestBinaryBuffer::release() {
  if (!m_data) return;
  KelTrace(0, 2, 0, __FILE__, u"AnnulusFileIO::AdjestBinaryBuffer::release", __LINE__,
           u"release %llu 0x%08llX", m_capacity, m_capacity);
  Pool::instance().keep(m_data, static_cast<std::uint64_t>(m_capacity));
  m_data = nullptr;
  m_capacity = 0;
}

BufferUserData::BufferUserData() { clear(); }

BufferUserData::BufferUserData(const void* data, std::uint64_t size) {
  clear();
  resize(size);
  append(data, size);
}

bool BufferUserData::isBusy() {
  m_lock.lock();
  const bool b = m_busy;
  m_lock.unlock();
  return b;
}

void BufferUserData::resize(std::uint64_t size) {
  m_block.setSize(size);
  clear();
}

void BufferUserData::clear() {
  m_lock.lock();
  m_used = 0;
  m_busy = false;
  m_preReadSize = 0;
  m_dirty = false;
  m_writePosition = 0;
  m_isWhenClose = false;
  std::memset(m_flags, 0, sizeof m_flags);
  m_lock.unlock();
}

std::uint64_t BufferUserData::used() {
  m_lock.lock();
  const std::uint64_t u = m_used;
  m_lock.unlock();
  return u;
}

std::uint64_t BufferUserData::append(const void* data, std::uint64_t size) {
  m_lock.lock();
  const std::uint64_t room = static_cast<std::uint64_t>(capacity()) - m_used;
  const std::uint64_t n = std::min(room, size);
  if (n) {
    std::memcpy(m_block.getBuffer() + m_used, data, n);
    m_used += n;
    m_dirty = true;
  }
  m_lock.unlock();
  return n;
}

void BufferUserData::setUsed(std::uint64_t used) {
  m_lock.lock();
  m_used = std::min<std::uint64_t>(used, static_cast<std::uint64_t>(capacity()));
  m_lock.unlock();
}

void BufferUserData::setBusy(bool busy) {
  m_lock.lock();
  m_busy = busy;
  m_lock.unlock();
}

std::uint64_t BufferUserData::preReadSize() {
  m_lock.lock();
  const std::uint64_t s = m_preReadSize;
  m_lock.unlock();
  return s;
}

void BufferUserData::setPreReadSize(std::uint64_t size) {
  m_lock.lock();
  m_preReadSize = size;
  m_lock.unlock();
}

bool BufferUserData::isDirty() {
  m_lock.lock();
  const bool d = m_dirty;
  m_lock.unlock();
  return d;
}

std::uint64_t BufferUserData::writePosition() {
  m_lock.lock();
  const std::uint64_t p = m_writePosition;
  m_lock.unlock();
  return p;
}

void BufferUserData::setWritePosition(std::uint64_t position) {
  m_lock.lock();
  m_writePosition = position;
  m_lock.unlock();
}

}  // namespace AnnulusFileIO
