#include "qvminidump/tool.h"

#include <cerrno>

namespace qvminidump {
namespace {

bool equalsNoCase(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i]; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return i == a.size() && b[i] == '\0';
}

// Hexadecimal digits only (an optional "0x" when allowPrefix), at most max.
bool parseHex(const std::string& s, bool allowPrefix, std::uint64_t max, std::uint64_t* out) {
  std::size_t i = 0;
  if (allowPrefix && s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) i = 2;
  if (i >= s.size()) return false;
  std::uint64_t v = 0;
  for (; i < s.size(); ++i) {
    const char c = s[i];
    unsigned d;
    if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
    else return false;
    if (v > (max >> 4)) return false;
    v = (v << 4) | d;
    if (v > max) return false;
  }
  *out = v;
  return true;
}

}  // namespace

DWORD ParseOptions(const std::vector<std::string>& args, Options* out) {
  Options o;
  for (std::size_t i = 0; i < args.size(); i += 2) {
    const std::string& opt = args[i];
    if (i + 1 >= args.size()) return ERROR_INVALID_PARAMETER;  // no value
    const std::string& value = args[i + 1];
    std::uint64_t v = 0;
    if (equalsNoCase(opt, "-p")) {
      if (!parseHex(value, false, 0xFFFFFFFFu, &v)) return ERROR_INVALID_PARAMETER;
      o.processId = static_cast<std::uint32_t>(v);
      o.hasProcess = true;
    } else if (equalsNoCase(opt, "-t")) {
      if (!parseHex(value, false, 0xFFFFFFFFu, &v)) return ERROR_INVALID_PARAMETER;
      o.threadId = static_cast<std::uint32_t>(v);
      o.hasThread = true;
    } else if (equalsNoCase(opt, "-e")) {
      if (!parseHex(value, true, ~std::uint64_t{0}, &v)) return ERROR_INVALID_PARAMETER;
      o.exceptionPointers = v;
    } else if (equalsNoCase(opt, "-f")) {
      if (value.empty()) return ERROR_INVALID_PARAMETER;
      o.file = value;
      o.hasFile = true;
    } else {
      return ERROR_INVALID_PARAMETER;
    }
  }
  if (!o.hasProcess || !o.hasThread || !o.hasFile) return ERROR_INVALID_PARAMETER;
  *out = o;
  return ERROR_SUCCESS;
}

DWORD RunTool(const std::vector<std::string>& args) {
  Options o;
  const DWORD rc = ParseOptions(args, &o);
  if (rc != ERROR_SUCCESS) return rc;
  return WriteDump(o);
}

int ExitStatusFor(DWORD result) { return result < 255 ? static_cast<int>(result) : 255; }

DWORD Win32ErrorFromErrno(int err) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES: case EPERM: case EROFS: case EISDIR: case EEXIST: return ERROR_ACCESS_DENIED;
    case ESRCH: return ERROR_INVALID_PARAMETER;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENOSPC: case EDQUOT: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EIO: return ERROR_WRITE_FAULT;
    case EFAULT: return ERROR_NOACCESS;
    case EMFILE: case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    default: return ERROR_GEN_FAILURE;
  }
}

}  // namespace qvminidump
