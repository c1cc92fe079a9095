// Recording stand-in for the interface library's logging calls.
#include "support_fake_log.h"

#include "kel/debug.h"

namespace fakelog {
namespace {
std::mutex g_mutex;
std::vector<Line> g_lines;
int g_threshold = 8;  // levels below this are accepted
std::vector<int> g_checked;
}  // namespace

void reset(int threshold) {
  std::lock_guard<std::mutex> lk(g_mutex);
  g_lines.clear();
  g_checked.clear();
  g_threshold = threshold;
}
std::vector<Line> lines() {
  std::lock_guard<std::mutex> lk(g_mutex);
  return g_lines;
}
std::vector<int> checked() {
  std::lock_guard<std::mutex> lk(g_mutex);
  return g_checked;
}
bool contains(const std::string& needle) {
  for (const Line& l : lines())
    if (l.text.find(needle) != std::string::npos) return true;
  return false;
}
}  // namespace fakelog

bool CheckLogLevel(int level) {
  std::lock_guard<std::mutex> lk(fakelog::g_mutex);
  fakelog::g_checked.push_back(level);
  return level < fakelog::g_threshold;
}

void SendDebugStringA(int level, const char* text) {
  std::lock_guard<std::mutex> lk(fakelog::g_mutex);
  fakelog::g_lines.push_back({level, false, text, {}});
}

void SendDebugStringW(int level, const WCHAR* text) {
  std::u16string w(text);
  std::lock_guard<std::mutex> lk(fakelog::g_mutex);
  fakelog::g_lines.push_back({level, true, platform::utf16_to_utf8(w), w});
}
