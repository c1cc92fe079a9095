// The kernel's registry calls over the platform registry: kernel paths
// "\Registry\Machine\<path>" name keys under HKEY_LOCAL_MACHINE.
#include "internal.h"

#include "platform/registry.h"

#include <cstring>
#include <string>
#include <vector>

namespace kmode {
namespace {

std::u16string from_counted(const UNICODE_STRING* s) {
  if (!s || !s->Buffer) return {};
  return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

WCHAR fold(WCHAR c) { return (c >= u'a' && c <= u'z') ? static_cast<WCHAR>(c - u'a' + u'A') : c; }

bool starts_with_nocase(const std::u16string& s, std::u16string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (fold(s[i]) != fold(prefix[i])) return false;
  return true;
}

NTSTATUS status_from_win32(LSTATUS e) {
  switch (e) {
    case ERROR_SUCCESS: return STATUS_SUCCESS;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return STATUS_OBJECT_NAME_NOT_FOUND;
    case ERROR_ACCESS_DENIED: return STATUS_ACCESS_DENIED;
    case ERROR_INVALID_HANDLE: return STATUS_INVALID_HANDLE;
    case ERROR_INVALID_PARAMETER: return STATUS_INVALID_PARAMETER;
    case ERROR_REGISTRY_CORRUPT: return STATUS_REGISTRY_CORRUPT;
    case ERROR_REGISTRY_IO_FAILED: return STATUS_REGISTRY_IO_FAILED;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return STATUS_INSUFFICIENT_RESOURCES;
    default: return STATUS_UNSUCCESSFUL;
  }
}

}  // namespace

NTSTATUS ZwOpenKey(HANDLE* key, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes) {
  *key = nullptr;
  if (!attributes || !attributes->ObjectName) return STATUS_INVALID_PARAMETER;
  const std::u16string name = from_counted(attributes->ObjectName);
  HKEY parent;
  std::u16string sub;
  if (attributes->RootDirectory) {
    parent = static_cast<HKEY>(attributes->RootDirectory);
    sub = name;
  } else {
    static constexpr std::u16string_view kMachine = u"\\Registry\\Machine";
    if (!starts_with_nocase(name, kMachine)) return STATUS_OBJECT_NAME_NOT_FOUND;
    sub = name.substr(kMachine.size());
    if (!sub.empty() && sub[0] != u'\\') return STATUS_OBJECT_NAME_NOT_FOUND;
    if (!sub.empty()) sub.erase(0, 1);
    parent = HKEY_LOCAL_MACHINE;
  }
  HKEY opened = nullptr;
  const LSTATUS e = RegOpenKeyExW(parent, sub.c_str(), 0, static_cast<REGSAM>(access), &opened);
  if (e != ERROR_SUCCESS) return status_from_win32(e);
  *key = opened;
  return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE key, UNICODE_STRING* value_name,
                         KEY_VALUE_INFORMATION_CLASS info_class, PVOID info, ULONG length,
                         ULONG* result_length) {
  *result_length = 0;
  if (info_class != KeyValuePartialInformation) return STATUS_INVALID_PARAMETER;
  const std::u16string name = from_counted(value_name);
  auto hk = static_cast<HKEY>(key);
  DWORD type = 0;
  DWORD size = 0;
  LSTATUS e = RegQueryValueExW(hk, name.c_str(), nullptr, &type, nullptr, &size);
  if (e != ERROR_SUCCESS) return status_from_win32(e);
  std::vector<BYTE> data(size);
  e = RegQueryValueExW(hk, name.c_str(), nullptr, &type, data.data(), &size);
  if (e != ERROR_SUCCESS) return status_from_win32(e);
  data.resize(size);

  constexpr ULONG kHeader = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
  const std::uint64_t needed = std::uint64_t{kHeader} + size;
  if (needed > 0xFFFFFFFFu) return STATUS_INSUFFICIENT_RESOURCES;
  *result_length = static_cast<ULONG>(needed);
  if (length < kHeader) return STATUS_BUFFER_TOO_SMALL;
  auto* out = static_cast<UCHAR*>(info);
  const ULONG header[3] = {0, type, static_cast<ULONG>(size)};
  std::memcpy(out, header, kHeader);
  if (length < needed) return STATUS_BUFFER_OVERFLOW;
  if (size) std::memcpy(out + kHeader, data.data(), size);
  return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE handle) {
  if (!handle) return STATUS_INVALID_HANDLE;
  return status_from_win32(RegCloseKey(static_cast<HKEY>(handle)));
}

}  // namespace kmode
