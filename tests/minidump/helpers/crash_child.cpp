// Loads the interface library, installs its crash handler and crashes as
// told:  crash_child <path of the library> <mode>
// Mode "wait-segv" first writes "ready" and waits for a byte on standard
// input; "thread-overflow" overflows the stack of a thread started as the
// engine starts its threads.
// Exit codes: the handler's result when it is not 0; 3 when the library or
// its export cannot be loaded; 4 for an unknown mode; 5 when a forked child
// did not die by its signal; 0 if it did not crash.
#include "platform/thread_start.h"
#include "support/stack_overflow.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <csignal>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

volatile int g_zero = 0;
volatile int g_seven = 7;
std::atomic<int> g_ready{0};

// The division traps; the sanitizers are told not to catch it first.
__attribute__((no_sanitize("undefined"))) int divideByZero() { return g_seven / g_zero; }

volatile std::uintptr_t g_badAddress = 0x10;
void writeToBadAddress() { *reinterpret_cast<volatile int*>(g_badAddress) = 1; }

void* crashTogether(void*) {
  ++g_ready;
  while (g_ready.load() < 2) {
  }
  writeToBadAddress();
  return nullptr;
}

void* crashAlone(void*) {
  writeToBadAddress();
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 4;
  void* lib = dlopen(argv[1], RTLD_NOW);
  if (!lib) {
    std::fprintf(stderr, "%s\n", dlerror());
    return 3;
  }
  using SetHandler = std::uint32_t (*)();
  auto set = reinterpret_cast<SetHandler>(dlsym(lib, "SetExceptionHandler"));
  if (!set) return 3;
  const std::uint32_t rc = set();
  if (rc != 0) {
    std::printf("%u\n", rc);
    return static_cast<int>(rc & 0xFF);
  }
  const char* mode = argv[2];
  if (!std::strcmp(mode, "segv")) {
    writeToBadAddress();
  } else if (!std::strcmp(mode, "abort")) {
    std::abort();
  } else if (!std::strcmp(mode, "fpe")) {
    std::printf("%d\n", divideByZero());
  } else if (!std::strcmp(mode, "ill")) {
    __builtin_trap();
  } else if (!std::strcmp(mode, "bus")) {
    char path[] = "/tmp/kel-crash-bus-XXXXXX";
    const int fd = mkstemp(path);
    unlink(path);
    auto* p = static_cast<volatile char*>(mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0));
    std::printf("%d\n", p[0]);  // beyond the end of the empty file
  } else if (!std::strcmp(mode, "overflow")) {
    return kel_test::overflow_stack();
  } else if (!std::strcmp(mode, "thread-overflow")) {
    std::thread t = platform::start_thread([] { kel_test::overflow_stack(); });
    t.join();
  } else if (!std::strcmp(mode, "wait-segv")) {
    std::printf("ready\n");
    std::fflush(stdout);
    char c;
    if (read(0, &c, 1) == 1) writeToBadAddress();
  } else if (!std::strcmp(mode, "thread")) {
    pthread_t t;
    pthread_create(&t, nullptr, crashAlone, nullptr);
    pthread_join(t, nullptr);
  } else if (!std::strcmp(mode, "two")) {
    pthread_t a, b;
    pthread_create(&a, nullptr, crashTogether, nullptr);
    pthread_create(&b, nullptr, crashTogether, nullptr);
    pthread_join(a, nullptr);
    pthread_join(b, nullptr);
  } else if (!std::strcmp(mode, "fork")) {
    // A child made by fork() crashes: it has no watcher and must simply
    // die by its signal; this process then ends with 0.
    const pid_t child = fork();
    if (child == 0) writeToBadAddress();
    int status = 0;
    waitpid(child, &status, 0);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV ? 0 : 5;
  } else {
    return 4;
  }
  return 0;
}
