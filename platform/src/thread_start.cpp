#include "platform/thread_start.h"

#include <cerrno>
#include <new>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

namespace platform {
namespace {

constexpr std::size_t kMinimumStack = 64 * 1024;

std::size_t page_size() {
  const long page = sysconf(_SC_PAGESIZE);
  return page > 0 ? static_cast<std::size_t>(page) : 4096;
}

struct StartRecord {
  void* (*start)(void*);
  void* argument;
};

void* run_with_signal_stack(void* raw) {
  const StartRecord record = *static_cast<StartRecord*>(raw);
  delete static_cast<StartRecord*>(raw);
  SignalStack stack;
  return record.start(record.argument);
}

}  // namespace

std::size_t SignalStack::size() {
  std::size_t want = kMinimumStack;
#ifdef _SC_SIGSTKSZ
  const long system = sysconf(_SC_SIGSTKSZ);
  if (system > 0 && static_cast<std::size_t>(system) > want) want = static_cast<std::size_t>(system);
#endif
  const std::size_t page = page_size();
  return (want + page - 1) / page * page;
}

SignalStack::SignalStack() {
  stack_t current{};
  if (sigaltstack(nullptr, &current) != 0) return;
  if (!(current.ss_flags & SS_DISABLE)) return;  // the thread has one already
  const std::size_t guard = page_size();
  const std::size_t total = guard + size();
  void* p = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (p == MAP_FAILED) return;
  // The lowest page stays inaccessible: a handler that overruns the
  // alternate stack faults instead of writing over other memory.
  mprotect(p, guard, PROT_NONE);
  stack_t ss{};
  ss.ss_sp = static_cast<char*>(p) + guard;
  ss.ss_size = total - guard;
  if (sigaltstack(&ss, nullptr) != 0) {
    munmap(p, total);
    return;
  }
  mapping_ = p;
  mapping_size_ = total;
}

SignalStack::~SignalStack() {
  if (!mapping_) return;
  stack_t off{};
  off.ss_flags = SS_DISABLE;
  sigaltstack(&off, nullptr);
  munmap(mapping_, mapping_size_);
}

int create_thread(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                  void* argument) {
  auto* record = new (std::nothrow) StartRecord{start, argument};
  if (!record) return EAGAIN;
  const int rc = pthread_create(thread, attributes, run_with_signal_stack, record);
  if (rc != 0) delete record;
  return rc;
}

}  // namespace platform
