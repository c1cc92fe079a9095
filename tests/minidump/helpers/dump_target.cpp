// A process to be dumped: two extra threads wait on a pipe; a marker buffer
// and a crash record lie on the heap. It prints, in hexadecimal,
//   <marker address> <record address> <thread 1 id> <thread 2 id>
// and ends when its standard input closes.
#include "kel/crash_record.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

int g_block[2];
std::atomic<int> g_tids[2];

void* worker(void* arg) {
  const auto i = reinterpret_cast<std::uintptr_t>(arg);
  g_tids[i].store(static_cast<int>(syscall(SYS_gettid)));
  char c;
  while (read(g_block[0], &c, 1) < 0) {
  }
  return nullptr;
}

}  // namespace

int main() {
  if (pipe(g_block) != 0) return 2;
  static const char kMarker[] = "KEL-DUMP-MARKER-0123456789abcdef";
  auto* marker = new char[4096];
  for (int i = 0; i < 4096; ++i) marker[i] = kMarker[i % (sizeof kMarker - 1)];

  pthread_t threads[2];
  for (std::uintptr_t i = 0; i < 2; ++i)
    if (pthread_create(&threads[i], nullptr, worker, reinterpret_cast<void*>(i)) != 0) return 2;
  while (g_tids[0] == 0 || g_tids[1] == 0) sched_yield();

  auto* record = new kel::crash::CrashRecord{};
  record->magic = kel::crash::kCrashRecordMagic;
  record->version = kel::crash::kCrashRecordVersion;
  record->size = sizeof *record;
  record->threadId = static_cast<std::uint32_t>(g_tids[1]);
  record->signal = 11;
  record->exception.code = 0xC0000005u;
  record->exception.numberParameters = 2;
  record->exception.information[0] = 1;
  record->exception.information[1] = 0x10;

  std::printf("%lx %lx %x %x\n", reinterpret_cast<unsigned long>(marker),
              reinterpret_cast<unsigned long>(record), g_tids[0].load(), g_tids[1].load());
  std::fflush(stdout);
  char buf[64];
  while (read(0, buf, sizeof buf) > 0) {
  }
  close(g_block[1]);  // ends the workers
  for (auto& t : threads) pthread_join(t, nullptr);
  delete record;
  delete[] marker;
  return 0;
}
