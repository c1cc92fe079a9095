// Page-allocated data buffers of the user-data writer.
//
// AdjestBinaryBuffer owns one block of read-write pages that only grows;
// BufferUserData adds the fill level and the flags that say who holds the
// buffer (the producer filling it or the writer thread writing it). A block
// a buffer gives up is kept for the next buffer that asks for a block of
// the same size (KeptBlocks), so that writers made for each file do not
// map and unmap their rings' blocks file after file.
#pragma once

#include "kel/util_sync.h"

#include <cstdint>
#include <new>

namespace AnnulusFileIO {

// Thrown when the page allocator refuses a block.
class PageAllocationError : public std::bad_alloc {
 public:
  const char* what() const noexcept override { return "page allocation failed"; }
};

// The blocks buffers gave up, each kept for the next buffer that asks for
// a block of its size, up to a bound in bytes (the oldest go first; the
// writer's ring sets it, none are kept before). A kept block holds whatever
// its last buffer left in it.
class KeptBlocks {
 public:
  // Keeps at most `bytes` (and a few dozen blocks); 0 keeps none. Blocks
  // above the new bound are given back at once.
  static void setBound(std::uint64_t bytes);
  static std::uint64_t bound();
  // Gives every kept block back to the system.
  static void releaseAll();
  static std::uint64_t bytes();
  static std::size_t count();
};

class AdjestBinaryBuffer {
 public:
  AdjestBinaryBuffer() = default;
  virtual ~AdjestBinaryBuffer();
  AdjestBinaryBuffer(const AdjestBinaryBuffer&) = delete;
  AdjestBinaryBuffer& operator=(const AdjestBinaryBuffer&) = delete;

  virtual std::uint8_t* getBuffer() { return m_data; }
  virtual std::int64_t size() const { return m_capacity; }
  // Makes the block at least size bytes. A size not above the capacity
  // keeps the block and its content; a larger one replaces the block (the
  // content is not kept: a kept block of that size, or new pages). Throws
  // PageAllocationError when no block can be had; the buffer is then
  // without a block.
  virtual void setSize(std::uint64_t size);
  // Gives the block up (to KeptBlocks, or back to the system).
  void release();

 private:
  std::uint8_t* m_data = nullptr;
  std::int64_t m_capacity = 0;
};

template <class Block>
class BufferBase {
 public:
  BufferBase() = default;
  virtual ~BufferBase() = default;
  BufferBase(const BufferBase&) = delete;
  BufferBase& operator=(const BufferBase&) = delete;

  virtual void resize(std::uint64_t size) { m_block.setSize(size); }
  Block& block() { return m_block; }
  const Block& block() const { return m_block; }

 protected:
  Block m_block;
};

class BufferUserData : public BufferBase<AdjestBinaryBuffer> {
 public:
  BufferUserData();
  // A private copy of size bytes of data (as many as the block takes).
  BufferUserData(const void* data, std::uint64_t size);
  ~BufferUserData() override = default;

  // True while the buffer belongs to the writer thread.
  virtual bool isBusy();
  // Grows the block (never shrinks it) and empties the buffer.
  void resize(std::uint64_t size) override;
  // Empties the buffer and gives it back to the producer.
  virtual void clear();

  std::uint8_t* data() { return m_block.getBuffer(); }
  std::int64_t capacity() const { return m_block.size(); }
  bool hasBlock() { return m_block.getBuffer() != nullptr; }

  std::uint64_t used();
  // Appends as many bytes as fit; returns the number taken.
  std::uint64_t append(const void* data, std::uint64_t size);
  void setUsed(std::uint64_t used);
  void setBusy(bool busy);
  std::uint64_t preReadSize();
  void setPreReadSize(std::uint64_t size);
  bool isDirty();
  // Bytes of the buffer already written out (the write controller's
  // cursor); cleared by clear().
  std::uint64_t writePosition();
  void setWritePosition(std::uint64_t position);
  bool m_isWhenClose = false;
  // Flag bytes of the write controller, cleared by clear().
  std::uint8_t m_flags[7] = {};

 private:
  std::uint64_t m_used = 0;
  bool m_busy = false;
  Util::CriticalSection m_lock;
  std::uint64_t m_preReadSize = 0;
  bool m_dirty = false;
  std::uint64_t m_writePosition = 0;
};

}  // namespace AnnulusFileIO
