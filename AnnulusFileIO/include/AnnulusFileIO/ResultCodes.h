// Result codes of the user-data writer and the Win32 errors the host sees
// for them. 0 is success. The high byte names the family: 81h and 82h the
// file writer and its implementation, 86h the volume object, 88h volume
// requests, 8Bh the file entry and its writers.
#pragma once

#include <cstdint>

namespace AnnulusFileIOErrors {

constexpr std::uint32_t QVE_RESULT_SUCCESS = 0;
constexpr std::uint32_t QVE_RESULT_ERROR_NO_FREE_BLOCKS = 0x81000005;
constexpr std::uint32_t QVE_RESULT_ERROR_INVALID_ARGUMENT = 0x82000001;
constexpr std::uint32_t QVE_RESULT_ERROR_OPEN_ERROR = 0x82000005;
constexpr std::uint32_t QVE_RESULT_ERROR_ADD_FILE_ALLOCATION = 0x8200000C;
constexpr std::uint32_t QVE_RESULT_ERROR_WRITE = 0x8200000D;
constexpr std::uint32_t QVE_RESULT_ERROR_SYNC_CACHE = 0x82000015;
constexpr std::uint32_t QVE_RESULT_ERROR_DEFECT_COUNTER = 0x82000016;
constexpr std::uint32_t QVE_RESULT_ERROR_REWRITE_PREPARE = 0x82000017;
constexpr std::uint32_t QVE_RESULT_ERROR_RETRY_OVER = 0x82000019;
constexpr std::uint32_t QVE_RESULT_ERROR_GET_FILE_SIZE = 0x8200001C;
constexpr std::uint32_t QVE_RESULT_ERROR_1D = 0x8200001D;
constexpr std::uint32_t QVE_RESULT_ERROR_SETENDOFFILE = 0x8200001E;
constexpr std::uint32_t QVE_RESULT_ERROR_READ = 0x8200001F;
constexpr std::uint32_t QVE_RESULT_ERROR_SETFILEPOINTER = 0x82000020;
constexpr std::uint32_t QVE_RESULT_ERROR_21 = 0x82000021;
constexpr std::uint32_t QVE_RESULT_ERROR_SET_FILE_TIME = 0x82000022;
constexpr std::uint32_t QVE_RESULT_ERROR_DISC_FULL = 0x82000023;
constexpr std::uint32_t QVE_RESULT_ERROR_MARK_VOLUME_DIRTY = 0x82000026;
constexpr std::uint32_t QVE_RESULT_ERROR_DELETE_ON_CLOSE = 0x82000029;
constexpr std::uint32_t QVE_RESULT_ERROR_2A = 0x8200002A;
constexpr std::uint32_t QVE_RESULT_ERROR_FILE_INFORMATION = 0x8200002B;
constexpr std::uint32_t QVE_RESULT_ERROR_TRACK_INFORMATION = 0x8200002E;
constexpr std::uint32_t QVE_RESULT_ERROR_CREATE_NEW_TRACK = 0x8200002F;
constexpr std::uint32_t QVE_RESULT_ERROR_30 = 0x82000030;
constexpr std::uint32_t QVE_RESULT_ERROR_WRITE_RESOURCE = 0x82000032;
constexpr std::uint32_t QVE_RESULT_ERROR_NOT_SEQUENTIAL = 0x82000033;
constexpr std::uint32_t QVE_RESULT_ERROR_WRITE_ERROR_POSITION = 0x82000034;
constexpr std::uint32_t QVE_RESULT_ERROR_DELETE_FAILED_RANGE = 0x82000035;
constexpr std::uint32_t QVE_RESULT_ERROR_VOLUME_OBJECT = 0x86000001;
constexpr std::uint32_t QVE_RESULT_ERROR_RESERVE_FILE_CREATION = 0x86000014;
constexpr std::uint32_t QVE_RESULT_ERROR_ENTER_PRIVILEGED = 0x88000011;
constexpr std::uint32_t QVE_RESULT_ERROR_MOUNT_INFORMATION = 0x88000012;
constexpr std::uint32_t QVE_RESULT_ERROR_PRIVILEGE_REFUSED = 0x88000013;
constexpr std::uint32_t QVE_RESULT_ERROR_VOLUME_QUERY = 0x8800001C;
constexpr std::uint32_t QVE_RESULT_ERROR_8800001E = 0x8800001E;
constexpr std::uint32_t QVE_RESULT_ERROR_NO_CREATEFILE = 0x8B000001;
constexpr std::uint32_t QVE_RESULT_ERROR_NO_BUFFER = 0x8B000002;
constexpr std::uint32_t QVE_RESULT_ERROR_OPEN_STREAM = 0x8B000003;
constexpr std::uint32_t QVE_RESULT_ERROR_PARAMETERS = 0x8B000005;
constexpr std::uint32_t QVE_RESULT_ERROR_OBJECT_TYPE = 0x8B000007;
constexpr std::uint32_t QVE_RESULT_ERROR_OPEN_MISSING = 0x8B00000A;
constexpr std::uint32_t QVE_RESULT_ERROR_CREATE_EXISTING = 0x8B00000B;
constexpr std::uint32_t QVE_RESULT_ERROR_NOT_LAST_FILE = 0x8B00000C;
constexpr std::uint32_t QVE_RESULT_ERROR_PARITY = 0xFFFFFFFD;

// Win32 error answered for codes without a number of their own, and for a
// kept value of 0.
constexpr std::uint32_t kWin32Default = 1117;

// Where the Win32 error of a code comes from.
enum class Win32Source {
  Fixed,        // the table's number
  LastError,    // the raising thread's last Win32 error
  ErrorRecord,  // the engine's errno-style result kept by the volume wrapper
};

struct Win32Rule {
  Win32Source source;
  std::uint32_t win32;  // Fixed only
};

// The rule of a code; unlisted codes and 0 are Fixed 1117.
Win32Rule win32RuleOf(std::uint32_t code);

// A code as it is recorded, with its Win32 error settled on the raising
// thread: the thread's last error for LastError codes, the engine result
// mapped to Win32 for ErrorRecord codes (a kept 0 gives 1117).
struct RecordedError {
  std::uint32_t code = 0;
  std::uint32_t win32 = kWin32Default;

  // engine_result: the volume wrapper's m_dwErrorCode at the time (used by
  // ErrorRecord codes only).
  static RecordedError capture(std::uint32_t code, std::uint32_t engine_result);
};

}  // namespace AnnulusFileIOErrors
