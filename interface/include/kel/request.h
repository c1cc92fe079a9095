// The request wire format: opcode words, the parameters of a request, and the
// conversions of attribute text (numbers, names, file times).
#pragma once

#include "platform/win32.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace kel {

enum Opcode : std::uint32_t {
  kOpNone = 0,
  kOpCheck = 1,
  kOpRecognise = 2,
  kOpFormat = 3,
  kOpArchive = 4,
  kOpWriteStream = 5,
  kOpRestore = 6,
  kOpReadStream = 7,
  kOpVerify = 8,
  kOpGetOperation = 9,
  kOpRename = 10,
  kOpDelete = 11,
  kOpSetSecurity = 12,
  kOpCreateDirectory = 13,
  kOpRenameDirectory = 14,
  kOpDeleteDirectory = 15,
  kOpSync = 16,
  kOpReadDirectory = 17,
  kOpGetVolumeInfo = 18,
  kOpFailureCallback = 19,
  kOpOpenFragmentFileCallback = 20,
  kOpReadCallback = 21,
  kOpWriteCallback = 22,
  kOpGetRollbackInfo = 23,
  kOpRollbackMount = 24,
  kOpUpdateArchiveInfo = 25,
  kOpUnmountVolume = 26,
};

// The word of an opcode (1..26), or nullptr.
const char16_t* OpcodeWord(std::uint32_t opcode);
// The opcode of an exact, case-sensitive word; kOpNone when there is none.
std::uint32_t OpcodeFromWord(std::u16string_view word);

// The numeric parameters of a request. A request sets only those of its
// opcode; the others keep what the previous request left.
struct RequestParameters {
  std::uint32_t Replica = 0;
  std::uint32_t Fragment = 0;
  std::uint32_t Generation = 0;
  std::uint32_t Version = 0;
  std::uint32_t KernelInterface = 0;
  std::uint64_t BlockNumber = 0;
  std::uint64_t CreationTime = 0;      // seconds since 1970
  std::uint64_t ModificationTime = 0;  // seconds since 1970
  std::uint64_t FragmentOffset = 0;
  std::uint64_t Length = 0;
  std::int32_t TrackProgress = 0;
  std::uint32_t OldGeneration = 0;
  std::uint32_t OldVersion = 0;
  std::uint32_t NewGeneration = 0;
  std::uint32_t NewVersion = 0;
  std::uint64_t Bytes = 0;
  std::uint32_t ErrorCode = 0;
  std::uint32_t IOSize = 0;
  std::uint64_t FragmentFileSize = 0;
  std::uint32_t BytesToWrite = 0;
  std::uint32_t SlotNumber = 0;
  std::uint32_t MetaDataFE_LSN = 0;
  std::uint32_t FsdLsn = 0;
};

// One request: the current one of the loop, or one waiting in its queue.
struct RequestRecord {
  std::uint32_t Opcode = 0;
  std::uint64_t SequenceNumber = 0;
  std::string Name;     // Name, VolumeID or Reason (UTF-8)
  std::string NewName;  // UTF-8
  RequestParameters Params;
};

// Failures of the number conversion (as the platform's variant conversion
// reports them).
constexpr HRESULT kHrTypeMismatch = static_cast<HRESULT>(0x80020005u);  // not a number
constexpr HRESULT kHrOverflow = static_cast<HRESULT>(0x8002000Au);      // out of range
// A name whose character references cannot stand in a name (the Win32
// "invalid name" 123 as an HRESULT).
constexpr HRESULT kHrInvalidName = static_cast<HRESULT>(0x8007007Bu);

// Decimal numbers. Accepted: one or more ASCII digits, optionally preceded by
// one '+' (or, for the signed form, one '-'); nothing else, no blanks.
// Failures: kHrTypeMismatch for other text, kHrOverflow for a value out of
// range (a '-' on an unsigned number counts as out of range).
HRESULT ParseUInt32(std::u16string_view text, std::uint32_t* out);
HRESULT ParseUInt64(std::u16string_view text, std::uint64_t* out);
HRESULT ParseInt32(std::u16string_view text, std::int32_t* out);

// Undoes the host's second level of escaping in names: "&amp;" becomes "&",
// "&#n;" (n decimal digits only, at most 65535) the one UTF-16 unit n; every
// other entity stays as it is. A replacement is never unescaped again.
// A reference to 0 (which would cut the name short) or to a number above
// 65535 fails with kHrInvalidName. Controls, U+FFFE and unpaired surrogates
// come through: the responses write such characters of a name as references
// of this form, so a name the host sends back reads as it was listed.
HRESULT UnescapeName(std::u16string_view text, std::u16string* out);

// A file time (100 ns since 1601) as whole seconds since 1970. 0 stays 0,
// "no time given"; any other time up to 1970-01-01 00:00:00 gives 1, the
// earliest second that does not mean "no time", so a time the host gave is
// never replaced by the moment of the request.
std::uint64_t FileTimeToUnixTime(std::uint64_t file_time);

}  // namespace kel
