// Stand-ins for the interface library calls the agent and the logger make:
// the log sink (lines are kept for assertions) and the two configuration
// values the agent reads.
#include "support_interface.h"

#include "platform/win32.h"

#include <cstring>
#include <mutex>

namespace {
std::mutex g_mu;
std::vector<std::string> g_lines;
std::string g_cache_path;
std::uint32_t g_limit = 0;
bool g_has_limit = false;
}  // namespace

void fake_config_set(const std::string& cache_path, std::uint32_t limit_blocks, bool has_limit) {
  std::lock_guard<std::mutex> g(g_mu);
  g_cache_path = cache_path;
  g_limit = limit_blocks;
  g_has_limit = has_limit;
}

std::vector<std::string> fake_log_lines() {
  std::lock_guard<std::mutex> g(g_mu);
  return g_lines;
}

void fake_log_clear() {
  std::lock_guard<std::mutex> g(g_mu);
  g_lines.clear();
}

bool fake_log_contains(const std::string& text) {
  std::lock_guard<std::mutex> g(g_mu);
  for (const auto& l : g_lines)
    if (l.find(text) != std::string::npos) return true;
  return false;
}

extern "C" {

bool CheckLogLevel(int level) { return level <= 7; }

void SendDebugStringA(int, const char* text) {
  std::lock_guard<std::mutex> g(g_mu);
  g_lines.emplace_back(text ? text : "");
}

void SendDebugStringW(int, const WCHAR*) {}

int config_get_string(int, const char* name, int* size, char* buffer) {
  std::lock_guard<std::mutex> g(g_mu);
  if (std::strcmp(name, "Fs Cache File Path") != 0 || g_cache_path.empty()) return -1;
  if (static_cast<int>(g_cache_path.size()) >= *size) {
    *size = static_cast<int>(g_cache_path.size()) + 1;
    return 0;
  }
  std::memcpy(buffer, g_cache_path.c_str(), g_cache_path.size() + 1);
  return static_cast<int>(g_cache_path.size());
}

int config_get_uint32(int, const char* name, int*, std::uint32_t* value) {
  std::lock_guard<std::mutex> g(g_mu);
  if (std::strcmp(name, "LmtFsCchTtlBlks") != 0 || !g_has_limit) return -1;
  *value = g_limit;
  return 4;
}

void ConfigLock() {}
void ConfigUnlock() {}

}  // extern "C"
