// A worker thread with its own message queue.
//
// One or more producers post opaque message pointers; the thread (a derived
// class's threadFunction) takes them in order with waitMessage(). The queue
// never owns or frees the messages. With a queue maximum set, a producer
// waits in postThreadMessage() while the queue holds that many messages.
// Waits with a time-out run on the process clock.
#pragma once

#include "kel/util_sync.h"

#include <deque>
#include <memory>

namespace Util {

class ThreadManager {
 public:
  // Creation flag accepted by beginThread() besides 0: the stack size is a
  // reservation (it makes no difference here).
  static constexpr unsigned kStackSizeIsReservation = 0x00010000;

  ThreadManager();
  // The thread's body; the base does nothing and returns 0.
  virtual unsigned threadFunction(void* argument);
  // Releases the thread handle without waiting for the thread, and the queue
  // without the messages in it. A derived class must have ended its thread
  // before it is destroyed.
  virtual ~ThreadManager();

  ThreadManager(const ThreadManager&) = delete;
  ThreadManager& operator=(const ThreadManager&) = delete;

  // Starts a thread that runs threadFunction(argument). security is not
  // used; stackSize 0 takes the default size; initFlag must be 0 or
  // kStackSizeIsReservation (a thread cannot be created suspended here).
  // False with the last error set when no thread was created, also while an
  // earlier thread of this object still runs (ERROR_BUSY).
  bool beginThread(void* security, unsigned stackSize, void* argument, unsigned initFlag);
  // True when the thread has ended within the time-out; false without a thread.
  bool waitForEndThread(DWORD timeout);

  // Waits without limit until the queue has room, then appends the message
  // and signals that messages are available.
  bool postThreadMessage(void* message);
  // Waits up to the time-out for a message and removes the first one.
  bool waitMessage(void*& message, DWORD timeout);
  // The first message without removing it; false when the queue is empty.
  bool peekMessage(void*& message);
  // Waits up to the time-out for a message, then as peekMessage().
  bool waitPeekMessage(void*& message, DWORD timeout);
  // Maximum number of queued messages; 0 means no limit.
  void setQueueMax(unsigned max);
  // Waits without limit until the queue has room.
  void waitPostEnable();

  DWORD threadId() const { return m_threadId; }
  bool hasThread() const { return m_thread != nullptr; }

 private:
  struct ThreadState;
  static void* threadEntry(void* state);
  // Removes the first message under the queue lock; false when empty.
  bool takeFirst(void*& message, bool remove);

  std::deque<void*> m_queue;
  Event m_messagesAvailable{false, true};
  std::uint32_t m_queueMax = 0;
  Event m_postEnabled{true, true};
  CriticalSection m_queueLock;
  std::shared_ptr<ThreadState> m_thread;
  DWORD m_threadId = 0;
};

}  // namespace Util
