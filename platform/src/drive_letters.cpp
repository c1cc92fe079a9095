#include "platform/drive_letters.h"

#include "platform/registry.h"

#include <vector>

namespace platform {

const char* const kDriveLetterKey = "SYSTEM\\Kel\\DriveLetters";

namespace {

bool keyOf(char16_t letter, std::string& key) {
  if (letter >= u'a' && letter <= u'z') letter = static_cast<char16_t>(letter - u'a' + u'A');
  if (letter < u'A' || letter > u'Z') return false;
  key = std::string(kDriveLetterKey) + "\\" + static_cast<char>(letter);
  return true;
}

bool readString(HKEY key, const char* name, std::string& out) {
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ) return false;
  std::vector<char> data(size + 1, '\0');
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) != ERROR_SUCCESS)
    return false;
  out.assign(data.data());
  return !out.empty();
}

bool writeString(HKEY key, const char* name, const std::string& value) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
}

}  // namespace

bool drive_letter_lookup(char16_t letter, DriveLetter& entry) {
  std::string path;
  if (!keyOf(letter, path)) return false;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  DriveLetter found;
  const bool ok = readString(key, "Device", found.device) && readString(key, "Directory", found.directory);
  RegCloseKey(key);
  if (ok) entry = found;
  return ok;
}

bool drive_letter_assign(char16_t letter, const DriveLetter& entry) {
  std::string path;
  if (!keyOf(letter, path)) return false;
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    return false;
  const bool ok = writeString(key, "Device", entry.device) && writeString(key, "Directory", entry.directory);
  RegCloseKey(key);
  return ok;
}

bool drive_letter_remove(char16_t letter) {
  std::string path;
  if (!keyOf(letter, path)) return false;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_WRITE, &key) != ERROR_SUCCESS) return true;
  const bool ok = RegDeleteValueA(key, "Device") == ERROR_SUCCESS && RegDeleteValueA(key, "Directory") == ERROR_SUCCESS;
  RegCloseKey(key);
  return ok;
}

}  // namespace platform
