// Whether another thread of this process is blocked, as the kernel reports
// it. A test that needs a thread to wait inside a call first lets the thread
// publish that it is about to make the call, then waits until the kernel
// shows it asleep: from then on it waits inside the call.
#pragma once

#include "platform/win32.h"

#include <atomic>
#include <functional>

namespace testsupport {

// True while the thread (its GetCurrentThreadId) sleeps in the kernel.
bool IsBlocked(DWORD thread_id);

// Yields until done() holds or the thread, after `about_to_call` became
// true, is blocked. Returns done(); false means the thread waits.
bool DoneOrBlocked(const std::atomic<DWORD>& thread_id, const std::atomic<bool>& about_to_call,
                   const std::function<bool()>& done);

}  // namespace testsupport
