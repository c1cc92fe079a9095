// The dump file written by QvMiniDump.
//
// All numbers are little-endian; every record is packed. The file starts
// with a DumpHeader; the header points to the stream directory, an array of
// DumpDirectoryEntry; each entry locates one stream. Records refer to text
// by its offset in the strings stream (kNoString for none). Captured memory
// lies anywhere in the file, located by the memory regions.
//
//   DumpHeader (64 bytes, offset 0)
//     magic "KELDUMP\0", version 1, headerSize 64, dumpType (0x1926),
//     streamCount, directoryOffset, processId, threadId ("-t"),
//     exceptionPointers ("-e"), timeStamp (seconds since 1970 UTC),
//     machine (ELF machine: 62 x86-64, 183 AArch64), flags (bit 0: the
//     file has an exception stream).
//   DumpDirectoryEntry (24 bytes): type, count of records, offset, size.
//
//   Streams:
//   kStreamStrings    NUL-terminated UTF-8 strings.
//   kStreamThreads    DumpThread records (552 bytes), one per thread of the
//                     process, with its registers in the layout the kernel
//                     uses for NT_PRSTATUS; flag kThreadIsExceptionThread
//                     marks the thread named by "-t".
//   kStreamMemory     DumpMemoryRegion records (56 bytes), one per line of
//                     /proc/PID/maps, in address order, with the bytes that
//                     could be read (dataSize may be below end - start: a
//                     region that cannot be read, or that the process
//                     excluded from dumps, has dataSize 0).
//   kStreamModules    DumpModule records (32 bytes): every mapped file (and
//                     the vDSO) with its lowest address and extent.
//   kStreamHandles    DumpHandle records (8 bytes): open file descriptors and
//                     what they refer to.
//   kStreamException  one DumpException record (728 bytes): the thread id
//                     from "-t", the address from "-e" and the crash record
//                     read from the process there (kel/crash_record.h).
//                     Present only when "-e" was not 0.
#pragma once

#include "kel/crash_record.h"

#include <cstddef>
#include <cstdint>

namespace qvminidump {

constexpr char kDumpMagic[8] = {'K', 'E', 'L', 'D', 'U', 'M', 'P', '\0'};
constexpr std::uint32_t kDumpVersion = 1;
constexpr std::uint32_t kDumpType = 0x1926;
constexpr std::uint32_t kNoString = 0xFFFFFFFFu;
constexpr std::uint32_t kHeaderHasException = 1;

enum StreamType : std::uint32_t {
  kStreamStrings = 1,
  kStreamThreads = 2,
  kStreamMemory = 3,
  kStreamModules = 4,
  kStreamHandles = 5,
  kStreamException = 6,
};

constexpr std::uint32_t kThreadIsExceptionThread = 1;

// Protection bits of a memory region.
constexpr std::uint32_t kProtRead = 1;
constexpr std::uint32_t kProtWrite = 2;
constexpr std::uint32_t kProtExec = 4;
constexpr std::uint32_t kProtShared = 8;
// The process excluded the region from dumps (MADV_DONTDUMP), or it is
// device memory: its bytes are not in the dump.
constexpr std::uint32_t kProtNotDumped = 16;

#pragma pack(push, 1)
struct DumpHeader {
  char magic[8];
  std::uint32_t version;
  std::uint32_t headerSize;
  std::uint32_t dumpType;
  std::uint32_t streamCount;
  std::uint64_t directoryOffset;
  std::uint32_t processId;
  std::uint32_t threadId;
  std::uint64_t exceptionPointers;
  std::uint64_t timeStamp;
  std::uint32_t machine;
  std::uint32_t flags;
};

struct DumpDirectoryEntry {
  std::uint32_t type;
  std::uint32_t count;
  std::uint64_t offset;
  std::uint64_t size;
};

struct DumpThread {
  std::uint32_t threadId;
  std::uint32_t flags;
  std::uint32_t machine;
  std::uint32_t registersSize;
  std::uint32_t nameOffset;
  std::uint32_t state;  // the state letter of /proc/PID/task/TID/stat ('S', 'R', ...)
  std::uint8_t registers[kel::crash::kMaxRegistersSize];
};

struct DumpMemoryRegion {
  std::uint64_t start;
  std::uint64_t end;
  std::uint64_t fileOffset;  // offset of the mapping in its file
  std::uint64_t inode;
  std::uint32_t protection;
  std::uint32_t nameOffset;
  std::uint64_t dataOffset;  // where the captured bytes lie in the dump
  std::uint64_t dataSize;    // bytes captured from start
};

struct DumpModule {
  std::uint64_t base;
  std::uint64_t size;
  std::uint64_t inode;
  std::uint32_t nameOffset;
  std::uint32_t reserved;
};

struct DumpHandle {
  std::uint32_t fd;
  std::uint32_t nameOffset;
};

struct DumpException {
  std::uint32_t threadId;
  std::uint32_t reserved;
  std::uint64_t address;
  kel::crash::CrashRecord record;
};
#pragma pack(pop)

static_assert(sizeof(DumpHeader) == 64, "dump header layout");
static_assert(sizeof(DumpDirectoryEntry) == 24, "dump directory layout");
static_assert(sizeof(DumpThread) == 552, "dump thread layout");
static_assert(sizeof(DumpMemoryRegion) == 56, "dump memory region layout");
static_assert(sizeof(DumpModule) == 32, "dump module layout");
static_assert(sizeof(DumpHandle) == 8, "dump handle layout");
static_assert(sizeof(DumpException) == 728, "dump exception layout");

}  // namespace qvminidump
