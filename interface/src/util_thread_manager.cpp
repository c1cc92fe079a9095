#include "kel/util_thread_manager.h"

#include "platform/thread_start.h"

#include <pthread.h>

#include <algorithm>
#include <climits>
#include <unistd.h>

namespace Util {

// Shared by the object and its thread, so that the thread can report its end
// even after the object let go of its handle.
struct ThreadManager::ThreadState {
  pthread_t thread{};
  ThreadManager* owner = nullptr;
  void* argument = nullptr;
  platform::Event started{true, false};
  platform::Event ended{true, false};
  DWORD id = 0;
  unsigned result = 0;
  bool joined = false;
  bool detached = false;
  // Keeps the state alive while the thread runs.
  std::shared_ptr<ThreadState> self;
};

void* ThreadManager::threadEntry(void* p) {
  auto* state = static_cast<ThreadState*>(p);
  std::shared_ptr<ThreadState> keep = std::move(state->self);
  state->id = ::GetCurrentThreadId();
  ThreadManager* owner = state->owner;
  void* argument = state->argument;
  state->started.set();
  state->result = owner->threadFunction(argument);
  state->ended.set();
  return nullptr;
}

ThreadManager::ThreadManager() = default;

unsigned ThreadManager::threadFunction(void* /*argument*/) { return 0; }

ThreadManager::~ThreadManager() {
  if (m_thread && !m_thread->joined && !m_thread->detached) {
    pthread_detach(m_thread->thread);
    m_thread->detached = true;
  }
}

bool ThreadManager::beginThread(void* /*security*/, unsigned stackSize, void* argument,
                                unsigned initFlag) {
  if ((initFlag & ~kStackSizeIsReservation) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (m_thread) {
    if (!m_thread->ended.is_set()) {
      SetLastError(ERROR_BUSY);
      return false;
    }
    if (!m_thread->joined && !m_thread->detached) pthread_join(m_thread->thread, nullptr);
    m_thread.reset();
    m_threadId = 0;
  }

  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  if (stackSize != 0) {
    const long page = sysconf(_SC_PAGESIZE) > 0 ? sysconf(_SC_PAGESIZE) : 4096;
    std::size_t size = std::max<std::size_t>(stackSize, PTHREAD_STACK_MIN);
    size = (size + static_cast<std::size_t>(page) - 1) / static_cast<std::size_t>(page) *
           static_cast<std::size_t>(page);
    if (pthread_attr_setstacksize(&attr, size) != 0) {
      pthread_attr_destroy(&attr);
      SetLastError(ERROR_INVALID_PARAMETER);
      return false;
    }
  }

  auto state = std::make_shared<ThreadState>();
  state->owner = this;
  state->argument = argument;
  state->self = state;
  const int rc = platform::create_thread(&state->thread, &attr, threadEntry, state.get());
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    state->self.reset();
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  state->started.wait(INFINITE);
  m_threadId = state->id;
  m_thread = std::move(state);
  return true;
}

bool ThreadManager::waitForEndThread(DWORD timeout) {
  if (!m_thread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (m_thread->ended.wait(timeout) != WAIT_OBJECT_0) return false;
  if (!m_thread->joined && !m_thread->detached) {
    pthread_join(m_thread->thread, nullptr);
    m_thread->joined = true;
  }
  return true;
}

bool ThreadManager::postThreadMessage(void* message) {
  for (;;) {
    if (!m_postEnabled.lock(INFINITE)) return false;
    m_queueLock.lock(INFINITE);
    // Another producer may have filled the queue since the wait: wait again.
    if (m_queueMax != 0 && m_queue.size() >= m_queueMax) {
      m_postEnabled.resetEvent();
      m_queueLock.unlock();
      continue;
    }
    m_queue.push_back(message);
    if (!m_messagesAvailable.setEvent()) {
      m_queue.pop_back();
      m_queueLock.unlock();
      return false;
    }
    if (m_queueMax != 0 && m_queue.size() >= m_queueMax) m_postEnabled.resetEvent();
    m_queueLock.unlock();
    return true;
  }
}

bool ThreadManager::takeFirst(void*& message, bool remove) {
  m_queueLock.lock(INFINITE);
  if (m_queue.empty()) {
    m_messagesAvailable.resetEvent();
    m_queueLock.unlock();
    return false;
  }
  message = m_queue.front();
  if (remove) {
    m_queue.pop_front();
    if (m_queue.empty()) m_messagesAvailable.resetEvent();
    if (m_queueMax == 0 || m_queue.size() < m_queueMax) m_postEnabled.setEvent();
  }
  m_queueLock.unlock();
  return true;
}

bool ThreadManager::waitMessage(void*& message, DWORD timeout) {
  const std::uint64_t start = platform::clock().now_ms();
  for (;;) {
    DWORD left = timeout;
    if (timeout != INFINITE) {
      const std::uint64_t spent = platform::clock().now_ms() - start;
      left = spent >= timeout ? 0 : static_cast<DWORD>(timeout - spent);
    }
    if (!m_messagesAvailable.lock(left)) return false;
    // With several consumers another one may have taken the message.
    if (takeFirst(message, true)) return true;
    if (left == 0) return false;
  }
}

bool ThreadManager::peekMessage(void*& message) { return takeFirst(message, false); }

bool ThreadManager::waitPeekMessage(void*& message, DWORD timeout) {
  if (!m_messagesAvailable.lock(timeout)) return false;
  return peekMessage(message);
}

void ThreadManager::setQueueMax(unsigned max) {
  m_queueLock.lock(INFINITE);
  m_queueMax = max;
  if (m_queueMax == 0 || m_queue.size() < m_queueMax) m_postEnabled.setEvent();
  m_queueLock.unlock();
}

void ThreadManager::waitPostEnable() { m_postEnabled.lock(INFINITE); }

}  // namespace Util
