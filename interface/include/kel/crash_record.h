// The crash record: what the crash handler keeps inside the crashed process
// for the crash-dump tool, which reads it at the address given with "-e".
//
// Layout (little-endian, packed, 712 bytes):
//
//   offset size  field
//        0    4  magic            kCrashRecordMagic ("KCRX")
//        4    4  version          kCrashRecordVersion
//        8    4  size             sizeof(CrashRecord)
//       12    4  threadId         kernel thread id of the crashing thread
//       16    4  signal           the fatal signal (SIGSEGV, ...)
//       20    4  signalCode       si_code of the signal
//       24    8  faultAddress     si_addr of the signal
//       32  144  exception        CrashExceptionRecord (below)
//      176    4  machine          ELF machine of the register set (62 x86-64, 183 AArch64)
//      180    4  registersSize    bytes used in registers
//      184  528  registers        the thread's registers at the fault, in the layout
//                                 the kernel uses for NT_PRSTATUS (struct user_regs_struct)
//
// CrashExceptionRecord mirrors a Windows exception record with fixed widths:
//   code (Windows exception code, see crash_handler.h), flags (1: the
//   exception cannot be continued), address (the instruction that faulted),
//   numberParameters and information[15]. For an access violation
//   information[0] is 0 for a read, 1 for a write and 8 for an instruction
//   fetch, and information[1] the address that was accessed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kel::crash {

constexpr std::uint32_t kCrashRecordMagic = 0x5852434Bu;  // "KCRX"
constexpr std::uint32_t kCrashRecordVersion = 1;
constexpr std::uint32_t kExceptionNoncontinuable = 1;
constexpr std::uint32_t kMaxExceptionParameters = 15;
constexpr std::uint32_t kMaxRegistersSize = 528;

constexpr std::uint32_t kMachineX86_64 = 62;
constexpr std::uint32_t kMachineAArch64 = 183;

#pragma pack(push, 1)
struct CrashExceptionRecord {
  std::uint32_t code;
  std::uint32_t flags;
  std::uint64_t address;
  std::uint32_t numberParameters;
  std::uint32_t reserved;
  std::uint64_t information[kMaxExceptionParameters];
};

struct CrashRecord {
  std::uint32_t magic;
  std::uint32_t version;
  std::uint32_t size;
  std::uint32_t threadId;
  std::int32_t signal;
  std::int32_t signalCode;
  std::uint64_t faultAddress;
  CrashExceptionRecord exception;
  std::uint32_t machine;
  std::uint32_t registersSize;
  std::uint8_t registers[kMaxRegistersSize];
};
#pragma pack(pop)

static_assert(sizeof(CrashExceptionRecord) == 144, "exception record layout");
static_assert(offsetof(CrashRecord, exception) == 32, "crash record layout");
static_assert(offsetof(CrashRecord, machine) == 176, "crash record layout");
static_assert(offsetof(CrashRecord, registers) == 184, "crash record layout");
static_assert(sizeof(CrashRecord) == 712, "crash record layout");

}  // namespace kel::crash
