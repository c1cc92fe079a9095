// Error mapping: engine results (errno style) to Win32 codes, drive SDK
// result codes to HRESULTs, and Win32 codes to the HRESULTs the host sees.
#pragma once

#include "kel/fsops.h"
#include "platform/win32.h"

#include <cstdint>

namespace kel {

// HRESULTs of the request loop and its handlers.
constexpr HRESULT kHrInternalError = static_cast<HRESULT>(0x8007054Fu);   // 1359
constexpr HRESULT kHrInvalidRequest = static_cast<HRESULT>(0x800705B9u);  // 1465
constexpr HRESULT kHrOutOfMemory = static_cast<HRESULT>(0x80070008u);

// Engine result used where a slot of the operation table is missing (no
// device).
constexpr int kEngineNoDevice = 19;

// A positive Win32 code c becomes 0x80070000 | (c & 0xFFFF); 0 and negative
// values pass unchanged.
constexpr HRESULT HResultFromWin32Code(std::int64_t code) {
  return code > 0 ? static_cast<HRESULT>(0x80070000u | (static_cast<std::uint32_t>(code) & 0xFFFFu))
                  : static_cast<HRESULT>(code);
}

// The Win32 code of an engine result without side effects: 0 for 0, the
// fixed table for 1..125, 1117 for everything else. 37 answers the calling
// thread's last error (0 when none is pending).
DWORD Win32FromEngineResult(int engine_result);

// Maps an engine result and, when it is not 0, logs "KelInterface_Error=<code>"
// through slot 0 of ops (level 4, kind 0, the given source file and line).
// ops may be null (nothing is logged then).
DWORD ReportEngineErrorThrough(const FileSystemOperations* ops, int engine_result,
                               const char* source_file, unsigned source_line);

// HRESULT of a drive SDK result code.
HRESULT MapDriveSdkResult(std::uint64_t sdk_result);

}  // namespace kel
