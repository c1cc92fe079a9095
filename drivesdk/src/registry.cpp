// The library's registry helpers (HKEY_LOCAL_MACHINE, 32-bit view).
#include "drive_ctrl.h"

#include "platform/registry.h"

namespace PxoUtilityLib {

const char* const kSettingsKey = "SOFTWARE\\Tarn Corporation\\Velmaro Software\\Settings";

bool setRegistory(const char* subKey, std::vector<RegistryValue>& values) {
  HKEY key = nullptr;
  const LSTATUS opened = RegCreateKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_32KEY,
                                         nullptr, &key, nullptr);
  if (opened != ERROR_SUCCESS) {
    KELSDK_LOG(kLogError, "RegCreateKeyExA error=%lu subKey=%s", static_cast<unsigned long>(opened), subKey);
    return false;
  }
  bool ok = true;
  for (RegistryValue& v : values) {
    const LSTATUS r = RegSetValueExA(key, v.name, 0, v.type, static_cast<const BYTE*>(v.data), v.size);
    if (r != ERROR_SUCCESS) {
      KELSDK_LOG(kLogError, "RegSetValueExA error=%lu subKey=%s valueName=%s type=%u size=%u",
                 static_cast<unsigned long>(r), subKey, v.name, static_cast<unsigned>(v.type),
                 static_cast<unsigned>(v.size));
      ok = false;
    }
  }
  RegCloseKey(key);
  return ok;
}

bool getRegistory(std::vector<RegistryValue>& values) {
  HKEY key = nullptr;
  const LSTATUS opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_READ | KEY_WOW64_32KEY, &key);
  if (opened != ERROR_SUCCESS) {
    KELSDK_LOG(kLogError, "RegOpenKeyExA error=%lu GetLastError=%u subKey=%s", static_cast<unsigned long>(opened),
               static_cast<unsigned>(GetLastError()), kSettingsKey);
    return false;
  }
  for (RegistryValue& v : values) {
    v.found = 0;
    DWORD type = 0;
    DWORD size = v.size;
    const LSTATUS r = RegQueryValueExA(key, v.name, nullptr, &type, static_cast<BYTE*>(v.data), &size);
    if (r == ERROR_SUCCESS && type == v.type) {
      v.found = 1;
    } else if (r == ERROR_SUCCESS) {
      KELSDK_LOG(kLogError, "RegQueryValueExA bad type(%u) requestType=%u subKey=%s valueName=%s size=%u",
                 static_cast<unsigned>(type), static_cast<unsigned>(v.type), kSettingsKey, v.name,
                 static_cast<unsigned>(v.size));
    } else if (r == ERROR_FILE_NOT_FOUND) {
      v.missing = 1;
      KELSDK_LOG(kLogError, "RegQueryValueExA not found subKey=%s valueName=%s size=%u", kSettingsKey, v.name,
                 static_cast<unsigned>(v.size));
    } else {
      KELSDK_LOG(kLogError, "RegQueryValueExA error=%lu subKey=%s valueName=%s size=%u", static_cast<unsigned long>(r),
                 kSettingsKey, v.name, static_cast<unsigned>(v.size));
    }
  }
  RegCloseKey(key);
  return true;
}

}  // namespace PxoUtilityLib
