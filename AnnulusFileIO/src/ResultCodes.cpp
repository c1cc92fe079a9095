#include "AnnulusFileIO/ResultCodes.h"

#include "kel/errors.h"
#include "platform/win32.h"

namespace AnnulusFileIOErrors {

namespace {

struct Row {
  std::uint32_t code;
  Win32Source source;
  std::uint32_t win32;
};

constexpr Win32Source F = Win32Source::Fixed;
constexpr Win32Source L = Win32Source::LastError;
constexpr Win32Source R = Win32Source::ErrorRecord;

constexpr Row kTable[] = {
    {QVE_RESULT_ERROR_NO_FREE_BLOCKS, F, 112},
    {QVE_RESULT_ERROR_INVALID_ARGUMENT, F, 87},
    {QVE_RESULT_ERROR_OPEN_ERROR, F, 110},
    {QVE_RESULT_ERROR_ADD_FILE_ALLOCATION, F, 223},
    {QVE_RESULT_ERROR_WRITE, F, 29},
    {QVE_RESULT_ERROR_SYNC_CACHE, F, 1117},
    {QVE_RESULT_ERROR_DEFECT_COUNTER, F, 1117},
    {QVE_RESULT_ERROR_REWRITE_PREPARE, F, 110},
    {QVE_RESULT_ERROR_RETRY_OVER, F, 110},
    {QVE_RESULT_ERROR_GET_FILE_SIZE, L, 0},
    {QVE_RESULT_ERROR_1D, F, 1117},
    {QVE_RESULT_ERROR_SETENDOFFILE, F, 1117},
    {QVE_RESULT_ERROR_READ, F, 1117},
    {QVE_RESULT_ERROR_SETFILEPOINTER, F, 110},
    {QVE_RESULT_ERROR_21, F, 1117},
    {QVE_RESULT_ERROR_SET_FILE_TIME, F, 120},
    {QVE_RESULT_ERROR_DISC_FULL, F, 112},
    {QVE_RESULT_ERROR_MARK_VOLUME_DIRTY, R, 0},
    {QVE_RESULT_ERROR_DELETE_ON_CLOSE, L, 0},
    {QVE_RESULT_ERROR_2A, F, 1117},
    {QVE_RESULT_ERROR_FILE_INFORMATION, L, 0},
    {QVE_RESULT_ERROR_TRACK_INFORMATION, R, 0},
    {QVE_RESULT_ERROR_CREATE_NEW_TRACK, R, 0},
    {QVE_RESULT_ERROR_30, R, 0},
    {QVE_RESULT_ERROR_WRITE_RESOURCE, R, 0},
    {QVE_RESULT_ERROR_NOT_SEQUENTIAL, F, 1117},
    {QVE_RESULT_ERROR_WRITE_ERROR_POSITION, F, 1117},
    {QVE_RESULT_ERROR_DELETE_FAILED_RANGE, F, 1117},
    {QVE_RESULT_ERROR_VOLUME_OBJECT, L, 0},
    {QVE_RESULT_ERROR_RESERVE_FILE_CREATION, L, 0},
    {QVE_RESULT_ERROR_ENTER_PRIVILEGED, L, 0},
    {QVE_RESULT_ERROR_MOUNT_INFORMATION, L, 0},
    {QVE_RESULT_ERROR_PRIVILEGE_REFUSED, F, 19},
    {QVE_RESULT_ERROR_VOLUME_QUERY, L, 0},
    {QVE_RESULT_ERROR_8800001E, F, 1117},
    {QVE_RESULT_ERROR_NO_CREATEFILE, F, 110},
    {QVE_RESULT_ERROR_NO_BUFFER, F, 1359},
    {QVE_RESULT_ERROR_OPEN_STREAM, F, 82},
    {QVE_RESULT_ERROR_PARAMETERS, F, 87},
    {QVE_RESULT_ERROR_OBJECT_TYPE, F, 1117},
    {QVE_RESULT_ERROR_OPEN_MISSING, F, 1117},
    {QVE_RESULT_ERROR_CREATE_EXISTING, F, 1117},
    {QVE_RESULT_ERROR_NOT_LAST_FILE, F, 1117},
    {QVE_RESULT_ERROR_PARITY, F, 1117},
};

}  // namespace

Win32Rule win32RuleOf(std::uint32_t code) {
  for (const Row& r : kTable)
    if (r.code == code) return {r.source, r.win32};
  return {Win32Source::Fixed, kWin32Default};
}

RecordedError RecordedError::capture(std::uint32_t code, std::uint32_t engine_result) {
  const Win32Rule rule = win32RuleOf(code);
  std::uint32_t w = rule.win32;
  if (rule.source == Win32Source::LastError) w = GetLastError();
  // The engine result is an errno-style int kept unsigned by the wrapper.
  else if (rule.source == Win32Source::ErrorRecord)
    w = kel::Win32FromEngineResult(static_cast<int>(engine_result));
  return {code, w != 0 ? w : kWin32Default};
}

}  // namespace AnnulusFileIOErrors
