// Events, the calling thread's kernel identity, interlocked counters and
// counted strings.
#include "internal.h"

#include <atomic>
#include <cstring>
#include <thread>

namespace kmode {
namespace {

std::atomic_ref<LONG> state_of(KEVENT* event) { return std::atomic_ref<LONG>(event->SignalState); }

std::atomic<ULONG> g_next_thread_id{100};
std::atomic<SIZE_T> g_blocked_waits{0};

struct ThreadIdentity {
  ETHREAD thread{4, 0};
  ThreadIdentity() { thread.ThreadId = g_next_thread_id.fetch_add(4); }
};

ETHREAD& current_thread() {
  thread_local ThreadIdentity identity;
  return identity.thread;
}

char fold(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

void KeInitializeEvent(KEVENT* event, EVENT_TYPE type, BOOLEAN state) {
  std::memset(event, 0, sizeof(*event));
  event->Type = type;
  state_of(event).store(state ? 1 : 0);
}

LONG KeSetEvent(KEVENT* event, KPRIORITY /*increment*/, BOOLEAN /*wait*/) {
  auto state = state_of(event);
  const LONG previous = state.exchange(1);
  state.notify_all();
  return previous;
}

void KeClearEvent(KEVENT* event) { state_of(event).store(0); }

LONG KeReadStateEvent(KEVENT* event) { return state_of(event).load(); }

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON /*reason*/, KPROCESSOR_MODE /*mode*/,
                               BOOLEAN /*alertable*/, LARGE_INTEGER* timeout) {
  auto* event = static_cast<KEVENT*>(object);
  auto state = state_of(event);
  const bool poll = timeout != nullptr;
  if (poll && timeout->QuadPart != 0) return STATUS_INVALID_PARAMETER;
  for (;;) {
    if (event->Type == SynchronizationEvent) {
      LONG expected = 1;
      if (state.compare_exchange_strong(expected, 0)) return STATUS_SUCCESS;
    } else if (state.load() != 0) {
      return STATUS_SUCCESS;
    }
    if (poll) return STATUS_TIMEOUT;
    g_blocked_waits.fetch_add(1);
    state.wait(0);
    g_blocked_waits.fetch_sub(1);
  }
}

PETHREAD PsGetCurrentThread() { return &current_thread(); }
ULONG PsGetCurrentProcessId() { return current_thread().ProcessId; }

LONG InterlockedIncrement(LONG* target) { return std::atomic_ref<LONG>(*target).fetch_add(1) + 1; }
LONG InterlockedDecrement(LONG* target) { return std::atomic_ref<LONG>(*target).fetch_sub(1) - 1; }

void RtlInitUnicodeString(UNICODE_STRING* dst, const WCHAR* src) {
  dst->Buffer = const_cast<WCHAR*>(src);
  if (!src) {
    dst->Length = dst->MaximumLength = 0;
    return;
  }
  std::size_t n = 0;
  while (src[n]) ++n;
  if (n > 0x7FFE) n = 0x7FFE;
  dst->Length = static_cast<USHORT>(n * sizeof(WCHAR));
  dst->MaximumLength = static_cast<USHORT>(dst->Length + sizeof(WCHAR));
}

void RtlInitAnsiString(ANSI_STRING* dst, const CHAR* src) {
  dst->Buffer = const_cast<CHAR*>(src);
  if (!src) {
    dst->Length = dst->MaximumLength = 0;
    return;
  }
  std::size_t n = std::strlen(src);
  if (n > 0xFFFE) n = 0xFFFE;
  dst->Length = static_cast<USHORT>(n);
  dst->MaximumLength = static_cast<USHORT>(n + 1);
}

BOOLEAN RtlEqualString(const ANSI_STRING* a, const ANSI_STRING* b, BOOLEAN case_insensitive) {
  if (a->Length != b->Length) return 0;
  for (USHORT i = 0; i < a->Length; ++i) {
    const char x = a->Buffer[i];
    const char y = b->Buffer[i];
    if (case_insensitive ? fold(x) != fold(y) : x != y) return 0;
  }
  return 1;
}

namespace sim {

SIZE_T blocked_waits() { return g_blocked_waits.load(); }

ScopedProcess::ScopedProcess(ULONG pid) : saved_(current_thread().ProcessId) {
  current_thread().ProcessId = pid;
}
ScopedProcess::~ScopedProcess() { current_thread().ProcessId = saved_; }

}  // namespace sim
}  // namespace kmode
