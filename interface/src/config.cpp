#include "kel/config.h"

#include "platform/registry.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>

namespace {

struct Value {
  kel::ConfigType type = kel::kConfigAbsent;
  std::string text;
  std::uint32_t number = 0;
  kel::ConfigComputeFn compute = nullptr;
};

// One lock over the registry cache and the set values: readers may meet a
// first read of a name or a write on another thread.
std::mutex g_mu;
std::map<std::string, Value> g_registry;  // name -> value read (absent too)
std::map<std::string, Value> g_set;       // name -> value set at run time
std::string g_cache_directory;

int compute_fs_cache_path(int* size, char* buffer) {
  std::string path;
  {
    std::lock_guard<std::mutex> g(g_mu);
    path = g_cache_directory + "/KELFS";
  }
  if (!size) return 0;
  const int len = static_cast<int>(path.size());
  if (buffer && len < *size) {
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return len;
  }
  *size = len + 1;
  return 0;
}

const kel::ConfigDefault kDefaults[] = {
    {"Scsi Device", kel::kConfigString, 0, "sg0", nullptr},
    {"Drive Type", kel::kConfigString, 0, "normal", nullptr},
    {"Mount Status", kel::kConfigU32, 0, nullptr, nullptr},
    {"Write Protect Reason", kel::kConfigU32, 0, nullptr, nullptr},
    {"Access Mode", kel::kConfigU32, 0, nullptr, nullptr},
    {"Medium Type", kel::kConfigU8, 0, nullptr, nullptr},
    {"Volume Status", kel::kConfigU8, 0, nullptr, nullptr},
    {"Information Version", kel::kConfigU8, 0, nullptr, nullptr},
    {"Mount Point", kel::kConfigString, 0, "", nullptr},
    {"Volume Name", kel::kConfigString, 0, "", nullptr},
    {"Default Fs Flush Policy", kel::kConfigU8, 1, nullptr, nullptr},
    {"Generate Parity", kel::kConfigU8, 0, nullptr, nullptr},
    {"Medium Condition", kel::kConfigU32, 0, nullptr, nullptr},
    {"Medium Presence", kel::kConfigU32, 0, nullptr, nullptr},
    {"Media Status", kel::kConfigU8, 0, nullptr, nullptr},
    {"Logging Level", kel::kConfigU32, 0, nullptr, nullptr},
    {"Zone Information", kel::kConfigU8, 0, nullptr, nullptr},
    {"Current Slot", kel::kConfigU8, 0, nullptr, nullptr},
    {"Last Written Slot", kel::kConfigU8, 0, nullptr, nullptr},
    {"Unmount", kel::kConfigU8, 0, nullptr, nullptr},
    {"Product Serial Number", kel::kConfigString, 0, "0", nullptr},
    {"Medium Unique ID", kel::kConfigString, 0, "00 00 00 00", nullptr},
    {"Rollback Slot Number", kel::kConfigU32, 0, nullptr, nullptr},
    {"Rollback Metadata FE LSN", kel::kConfigU32, 0, nullptr, nullptr},
    {"Rollback FSD LSN", kel::kConfigU32, 0, nullptr, nullptr},
    {"Disc Change Threshold", kel::kConfigU32, 0, nullptr, nullptr},
    {"Verify On Write", kel::kConfigU32, 1, nullptr, nullptr},
    {"RE Reformat", kel::kConfigU32, 0, nullptr, nullptr},
    {"Before Access Mode", kel::kConfigU32, 0, nullptr, nullptr},
    {"1500H_FAILREAD_OR_CRC", kel::kConfigU8, 0, nullptr, nullptr},
    {"Volume Type", kel::kConfigU8, 0, nullptr, nullptr},
    {"Max Fs Mata Flg", kel::kConfigU32, 1000, nullptr, nullptr},
    {"Rec Inhibit", kel::kConfigU32, 0, nullptr, nullptr},
    {"Fs Cache File Path", kel::kConfigComputed, 0, nullptr, &compute_fs_cache_path},
    {"LmtFsCchTtlBlks", kel::kConfigU32, 0x20000, nullptr, nullptr},
    {"Max Write Retry R", kel::kConfigU32, 9, nullptr, nullptr},
    {"Disc Span Threshold", kel::kConfigU32, 0, nullptr, nullptr},
    {"Disc Span Inhibit", kel::kConfigU8, 0, nullptr, nullptr},
    {"Write Buffer MB", kel::kConfigU32, 0, nullptr, nullptr},
    {nullptr, kel::kConfigAbsent, 0, nullptr, nullptr},
};

constexpr DWORD kRegistryStringBuffer = 2048;

// Reads one name from the registry (64-bit view, else the 32-bit view).
Value read_registry(const std::string& name) {
  Value v;
  const std::string key_path =
      std::string(kel::kConfigRegistryPath) + "\\" + kel::kConfigRegistrySection;
  HKEY key = nullptr;
  LSTATUS r = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path.c_str(), 0,
                            KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
  if (r == ERROR_FILE_NOT_FOUND)
    r = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY,
                      &key);
  if (r != ERROR_SUCCESS) return v;
  DWORD type = 0;
  if (RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS) {
    if (type == REG_SZ) {
      // One byte more than the read may fill, so the text always ends.
      char buf[kRegistryStringBuffer + 1] = {};
      DWORD size = kRegistryStringBuffer;
      if (RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) ==
              ERROR_SUCCESS &&
          type == REG_SZ) {
        v.type = kel::kConfigString;
        v.text = buf;
      }
    } else if (type == REG_DWORD) {
      DWORD d = 0, size = sizeof d;
      if (RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&d), &size) ==
              ERROR_SUCCESS &&
          type == REG_DWORD && size == sizeof d) {
        v.type = kel::kConfigU32;
        v.number = d;
      }
    }
  }
  RegCloseKey(key);
  return v;
}

// The value of a name from the first source that holds it.
Value lookup(const char* name) {
  if (!name) return {};
  const std::string n = name;
  {
    std::unique_lock<std::mutex> lk(g_mu);
    auto it = g_registry.find(n);
    if (it == g_registry.end()) {
      lk.unlock();
      Value read = read_registry(n);
      lk.lock();
      it = g_registry.emplace(n, std::move(read)).first;  // a racing first read keeps its own
    }
    if (it->second.type != kel::kConfigAbsent) return it->second;
    auto s = g_set.find(n);
    if (s != g_set.end()) return s->second;
  }
  for (const kel::ConfigDefault* d = kDefaults; d->type != kel::kConfigAbsent; ++d) {
    if (n == d->name) {
      Value v;
      v.type = d->type;
      v.number = d->number;
      if (d->text) v.text = d->text;
      v.compute = d->compute;
      return v;
    }
  }
  return {};
}

bool is_number(const Value& v) { return v.type == kel::kConfigU32 || v.type == kel::kConfigU8; }

void store_set(const char* name, Value v) {
  if (!name) return;
  std::lock_guard<std::mutex> g(g_mu);
  g_set[name] = std::move(v);
}

}  // namespace

// ------------------------------------------------------------------ reads

int config_get_string(int, const char* name, int* size, char* buffer) {
  const Value v = lookup(name);
  if (v.type == kel::kConfigComputed) return v.compute(size, buffer);
  if (v.type != kel::kConfigString || !size) return -1;
  const int len = static_cast<int>(v.text.size());
  if (buffer && len < *size) {
    std::memcpy(buffer, v.text.c_str(), v.text.size() + 1);
    return len;
  }
  *size = len + 1;
  return -1;
}

int config_get_uint32(int, const char* name, int* size, std::uint32_t* value) {
  const Value v = lookup(name);
  if (v.type == kel::kConfigComputed) return v.compute(size, reinterpret_cast<char*>(value));
  if (!is_number(v) || !value) return -1;
  *value = v.number;
  return 4;
}

int config_get_long32(int handle, const char* name, int* size, std::int32_t* value) {
  return config_get_uint32(handle, name, size, reinterpret_cast<std::uint32_t*>(value));
}

int config_get_uint8(int, const char* name, int* size, std::uint8_t* value) {
  const Value v = lookup(name);
  if (v.type == kel::kConfigComputed) return v.compute(size, reinterpret_cast<char*>(value));
  if (!is_number(v) || !value) return -1;
  *value = static_cast<std::uint8_t>(v.number);
  return 1;
}

int config_get_binary(int, const char* name, std::uint32_t* size, std::uint8_t* buffer) {
  const Value v = lookup(name);
  if (v.type == kel::kConfigComputed) {
    if (!size) return -1;
    int s = static_cast<int>(*size);
    const int r = v.compute(&s, reinterpret_cast<char*>(buffer));
    *size = static_cast<std::uint32_t>(s);
    return r;
  }
  if (v.type != kel::kConfigString || !size || (!buffer && *size)) return -1;
  // Hexadecimal numbers, each followed by one separator character. An empty
  // string holds no bytes.
  const char* p = v.text.c_str();
  std::uint32_t count = 0;
  while (count < *size && *p) {
    char* end = nullptr;
    const long n = std::strtol(p, &end, 16);
    buffer[count++] = static_cast<std::uint8_t>(n);
    if (*end == '\0') break;
    p = end + 1;
  }
  return static_cast<int>(count);
}

std::uint32_t getGnrcConfigValue32(const char*, const char* name, std::uint32_t def) {
  const Value v = lookup(name);
  if (is_number(v)) return v.number;
  if (v.type == kel::kConfigComputed) {
    std::uint32_t out = 0;
    int size = 4;
    if (v.compute(&size, reinterpret_cast<char*>(&out)) >= 1) return out;
  }
  return def;
}

std::uint32_t getConfigLong(const char* name, std::uint32_t def) {
  return getGnrcConfigValue32(nullptr, name, def);
}

bool getConfigBinary(const char* name, bool def) {
  const Value v = lookup(name);
  if (is_number(v)) return (v.number & 0xFF) != 0;
  if (v.type == kel::kConfigComputed) {
    char b = 0;
    int size = 1;
    if (v.compute(&size, &b) >= 1) return b != 0;
  }
  return def;
}

int getConfigString(const char* name, char* buffer, int size, const char* def) {
  if (!buffer || size < 1 || !def) return -1;
  const Value v = lookup(name);
  if (v.type == kel::kConfigString && !v.text.empty() && v.text.size() < static_cast<std::size_t>(size)) {
    std::memcpy(buffer, v.text.c_str(), v.text.size() + 1);
    return 0;
  }
  if (v.type == kel::kConfigComputed) {
    int s = size;
    if (v.compute(&s, buffer) >= 1) return 0;
  }
  // The default, cut to the buffer.
  const std::size_t n = std::min(std::strlen(def), static_cast<std::size_t>(size - 1));
  std::memcpy(buffer, def, n);
  buffer[n] = '\0';
  return 0;
}

// ------------------------------------------------------------------ writes

int config_set_string(int, const char*, const char* name, const char* value, int* written) {
  int r = -1;
  try {
    Value v;
    v.type = kel::kConfigString;
    v.text = value ? value : "";
    r = static_cast<int>(v.text.size()) + 1;
    store_set(name, std::move(v));
  } catch (const std::bad_alloc&) {
    r = -1;
  }
  if (written) *written = r;
  return 0;
}

int config_set_uint8(int, const char*, const char* name, std::uint8_t value, int* written) {
  Value v;
  v.type = kel::kConfigU8;
  v.number = value;
  store_set(name, std::move(v));
  if (written) *written = 1;
  return 0;
}

int config_set_uint32(int, const char*, const char* name, std::uint32_t value, int* written) {
  Value v;
  v.type = kel::kConfigU32;
  v.number = value;
  store_set(name, std::move(v));
  if (written) *written = 4;
  return 0;
}

int config_set_binary(int, const char*, const char* name, const std::uint8_t* bytes, int count,
                      int* written) {
  int r = -1;
  try {
    Value v;
    v.type = kel::kConfigString;
    const int n = (bytes && count > 0) ? count : 0;
    v.text.reserve(static_cast<std::size_t>(n) * 3);
    char hex[4];
    for (int i = 0; i < n; ++i) {
      if (i) v.text += ' ';
      std::snprintf(hex, sizeof hex, "%2.2X", bytes[i]);
      v.text += hex;
    }
    store_set(name, std::move(v));
    r = n * 3;
  } catch (const std::bad_alloc&) {
    r = -1;
  }
  if (written) *written = r;
  return 0;
}

// ------------------------------------------------------------------ stubs

int config_create(const char*) { return -1; }
int config_open_sgdev(const char*) { return -1; }
int config_set_default(int) { return 0; }
void config_close(int) {}
void ConfigInitial(int, void*) {}
void ConfigLock() {}
void ConfigUnlock() {}
void set_sg_num(int) {}

// ------------------------------------------------------------------ kel

const kel::ConfigDefault* kel::ConfigDefaults() { return kDefaults; }

void kel::SetConfigCacheDirectory(const char* directory) {
  std::lock_guard<std::mutex> g(g_mu);
  g_cache_directory = directory ? directory : "";
}

void kel::ResetConfigCache() {
  std::lock_guard<std::mutex> g(g_mu);
  g_registry.clear();
  g_set.clear();
}
