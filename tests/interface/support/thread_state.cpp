#include "thread_state.h"

#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace testsupport {

bool IsBlocked(DWORD thread_id) {
  std::ifstream stat("/proc/self/task/" + std::to_string(thread_id) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return false;
  // "tid (name) S ...": the state follows the last ')'.
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos || close + 2 >= text.size()) return false;
  const char state = text[close + 2];
  return state == 'S';  // asleep in a wait (not 'D', which a page fault also gives)
}

bool DoneOrBlocked(const std::atomic<DWORD>& thread_id, const std::atomic<bool>& about_to_call,
                   const std::function<bool()>& done) {
  for (;;) {
    if (done()) return true;
    if (about_to_call.load() && IsBlocked(thread_id.load())) return done();
    std::this_thread::yield();
  }
}

}  // namespace testsupport
