// Lock and event wrappers of the Util toolkit.
//
// Util::SyncBase is the common base of the locks the user-data writer holds
// through a base pointer (a scoped guard, for example). Time-outs are in
// milliseconds on the process clock (platform::clock()); INFINITE (all bits
// set) waits without limit.
#pragma once

#include "platform/sync.h"
#include "platform/win32.h"

namespace Util {

class SyncBase {
 public:
  virtual ~SyncBase() = default;
  // Releases the object; true on success.
  virtual bool unlock() = 0;
  // Acquires the object within timeout milliseconds; true when acquired.
  virtual bool lock(DWORD timeout) = 0;

 protected:
  SyncBase() = default;
  SyncBase(const SyncBase&) = default;
  SyncBase& operator=(const SyncBase&) = default;
};

// A recursive lock: the owning thread may lock it again and must unlock it
// as many times.
class CriticalSection final : public SyncBase {
 public:
  CriticalSection() = default;
  ~CriticalSection() override = default;
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  bool unlock() override;
  // The time-out is ignored: the call waits until the lock is free.
  bool lock(DWORD timeout = INFINITE) override;

 private:
  platform::CriticalSection m_cs;
};

// An event. An auto-reset event lets one waiter through per set and resets
// itself; a manual-reset event stays set until resetEvent().
class Event final : public SyncBase {
 public:
  explicit Event(bool initialState = false, bool manualReset = false);
  ~Event() override = default;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  // Sets the event (same as setEvent()).
  bool unlock() override;
  // Waits for the event; true only when it was set within the time-out.
  bool lock(DWORD timeout = INFINITE) override;

  bool setEvent();
  // Wakes the threads waiting now and leaves the event not set.
  bool pulseEvent();
  bool resetEvent();

 private:
  platform::Event m_event;
};

// Base of reference-counted objects: the count is 1 after construction,
// addRef() adds one and release() drops one and deletes the object when the
// count reaches 0. The count is guarded by its own lock.
class NullClass {};

template <class Base = NullClass>
class Countable : public Base {
 public:
  Countable() = default;
  virtual ~Countable() = default;
  Countable(const Countable&) = delete;
  Countable& operator=(const Countable&) = delete;

  // Returns the new count.
  unsigned addRef() {
    m_countLock.lock(INFINITE);
    const unsigned n = ++m_refCount;
    m_countLock.unlock();
    return n;
  }
  // Returns the new count; the object is gone when it is 0.
  unsigned release() {
    m_countLock.lock(INFINITE);
    const unsigned n = --m_refCount;
    m_countLock.unlock();
    if (n == 0) delete this;
    return n;
  }
  unsigned refCount() {
    m_countLock.lock(INFINITE);
    const unsigned n = m_refCount;
    m_countLock.unlock();
    return n;
  }

 private:
  std::uint32_t m_refCount = 1;
  CriticalSection m_countLock;
};

}  // namespace Util
