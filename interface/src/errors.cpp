#include "kel/errors.h"

#include <string>

namespace kel {

DWORD ReportEngineErrorThrough(const FileSystemOperations* ops, int engine_result,
                               const char* source_file, unsigned source_line) {
  if (engine_result == 0) return 0;
  const DWORD code = Win32FromEngineResult(engine_result);
  if (code == 0) return 0;
  if (ops && ops->LogMessage) {
    std::u16string text = u"KelInterface_Error=";
    for (char c : std::to_string(code)) text += static_cast<char16_t>(c);
    ops->LogMessage(4, 0, source_file, static_cast<int>(source_line), text.c_str());
  }
  return code;
}

HRESULT MapDriveSdkResult(std::uint64_t r) {
  switch (r) {
    case 0: return S_OK;
    case 0x8100000000000001ull: return static_cast<HRESULT>(0x8007054Fu);
    case 0x8100000000000002ull: return static_cast<HRESULT>(0x800710D2u);
    case 0x8100000000000005ull: return static_cast<HRESULT>(0x80070057u);
    case 0x8100000000000006ull:
    case 0x8100000000000007ull: return static_cast<HRESULT>(0x80070032u);
    case 0x8200000000000002ull: return static_cast<HRESULT>(0x80070052u);
    default: return static_cast<HRESULT>(0x8007045Du);
  }
}

}  // namespace kel
