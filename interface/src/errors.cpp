#include "kel/errors.h"

#include <string>

namespace kel {

DWORD Win32FromEngineResult(int r) {
  switch (r) {
    case 0: return 0;
    case 1: return 5;
    case 2: return 2;
    case 6: return 110;
    case 7: return 122;
    case 11: return 554;
    case 12: return 8;
    case 13: return 21;
    case 14: case 57: case 84: return 13;
    case 16: return 170;
    case 17: return 80;
    case 19: return 20;
    case 20: case 21: return 1359;
    case 22: return 87;
    case 24: return 4;
    case 25: case 30: return 19;
    case 27: return 223;
    case 28: return 112;
    case 34: return 9;
    case 36: return 206;
    case 37: return GetLastError();
    case 38: case 56: return 1;
    case 39: return 145;
    case 61: return 259;
    case 95: return 50;
    case 105: return 1784;
    case 110: return 121;
    case 112: return 1067;
    case 115: return 997;
    case 123: return 4300;
    case 125: return 1223;
    default: return 1117;
  }
}

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
