#include "volfilter/registry_support.h"

#include "platform/codepage.h"
#include "platform/registry.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace regfix {

TempRegistry::TempRegistry() {
  char tmpl[] = "/tmp/kelvolfXXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
  dir_ = tmpl;
  setenv("KEL_REGISTRY", (dir_ + "/registry.reg").c_str(), 1);
}

TempRegistry::~TempRegistry() {
  unsetenv("KEL_REGISTRY");
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

namespace {
std::u16string wide(const std::string& s) { return platform::utf8_to_utf16(s); }
}  // namespace

// The wide calls store and return the bytes exactly as given.
bool create_key(const std::string& key) {
  HKEY k = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, wide(key).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      &k, nullptr) != ERROR_SUCCESS)
    return false;
  RegCloseKey(k);
  return true;
}

bool write_value(const std::string& key, const std::string& name, std::uint32_t type,
                 const std::vector<std::uint8_t>& data) {
  HKEY k = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, wide(key).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      &k, nullptr) != ERROR_SUCCESS)
    return false;
  const LSTATUS e = RegSetValueExW(k, wide(name).c_str(), 0, type, data.data(),
                                   static_cast<DWORD>(data.size()));
  RegCloseKey(k);
  return e == ERROR_SUCCESS;
}

std::optional<std::pair<std::uint32_t, std::vector<std::uint8_t>>> read_value(
    const std::string& key, const std::string& name) {
  HKEY k = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, wide(key).c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS)
    return std::nullopt;
  DWORD type = 0;
  DWORD size = 0;
  const std::u16string n = wide(name);
  LSTATUS e = RegQueryValueExW(k, n.c_str(), nullptr, &type, nullptr, &size);
  std::vector<std::uint8_t> data(size);
  if (e == ERROR_SUCCESS) e = RegQueryValueExW(k, n.c_str(), nullptr, &type, data.data(), &size);
  RegCloseKey(k);
  if (e != ERROR_SUCCESS) return std::nullopt;
  data.resize(size);
  return std::make_pair(static_cast<std::uint32_t>(type), data);
}

std::vector<std::uint8_t> utf16(const std::string& text) {
  std::vector<std::uint8_t> out;
  for (char16_t u : platform::utf8_to_utf16(text)) {
    out.push_back(static_cast<std::uint8_t>(u & 0xFF));
    out.push_back(static_cast<std::uint8_t>(u >> 8));
  }
  return out;
}

std::vector<std::uint8_t> multi_sz(const std::vector<std::string>& strings) {
  std::vector<std::uint8_t> out;
  for (const auto& s : strings) {
    const auto bytes = utf16(s);
    out.insert(out.end(), bytes.begin(), bytes.end());
    out.push_back(0);
    out.push_back(0);
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

}  // namespace regfix
