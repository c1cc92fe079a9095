// The kernel services the disk filter driver is written against, as a small
// user-mode layer: driver and device objects, request packets (IRPs) with
// their stack locations, completion routines, memory descriptor lists,
// notification and synchronisation events, tagged pool, counted strings and
// the registry calls a driver makes.
//
// Everything lives in namespace kmode so that these names never meet the
// Win32 stand-ins of platform/. The driver includes only kmode headers.
//
// Faults that the real kernel answers with a bug check (completing a request
// twice, running out of stack locations, freeing pool twice or with the
// wrong tag, freeing a locked MDL) are counted by sim::faults() and reported
// on standard error; tests assert the count stays 0. A block or MDL whose
// release is such a fault is not released.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kmode {

using UCHAR = std::uint8_t;
using CHAR = char;
using CCHAR = std::int8_t;
using BOOLEAN = std::uint8_t;
using SHORT = std::int16_t;
using USHORT = std::uint16_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using ULONG_PTR = std::uintptr_t;
using SIZE_T = std::size_t;
using NTSTATUS = std::int32_t;
using WCHAR = char16_t;
using PVOID = void*;
using HANDLE = void*;
using ACCESS_MASK = ULONG;
using KPROCESSOR_MODE = CCHAR;
using KPRIORITY = LONG;

static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4 && sizeof(WCHAR) == 2, "LLP64 sizes");

union LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};
static_assert(sizeof(LARGE_INTEGER) == 8, "LARGE_INTEGER is 8 bytes");

// ---------------------------------------------------------------------------
// Status values

constexpr NTSTATUS nt(std::uint32_t v) { return static_cast<NTSTATUS>(v); }
constexpr bool NT_SUCCESS(NTSTATUS s) { return s >= 0; }

constexpr NTSTATUS STATUS_SUCCESS = 0;
constexpr NTSTATUS STATUS_TIMEOUT = 0x102;
constexpr NTSTATUS STATUS_PENDING = 0x103;
constexpr NTSTATUS STATUS_BUFFER_OVERFLOW = nt(0x80000005u);
constexpr NTSTATUS STATUS_DEVICE_BUSY = nt(0x80000011u);
constexpr NTSTATUS STATUS_UNSUCCESSFUL = nt(0xC0000001u);
constexpr NTSTATUS STATUS_NOT_IMPLEMENTED = nt(0xC0000002u);
constexpr NTSTATUS STATUS_INVALID_HANDLE = nt(0xC0000008u);
constexpr NTSTATUS STATUS_INVALID_PARAMETER = nt(0xC000000Du);
constexpr NTSTATUS STATUS_NO_SUCH_DEVICE = nt(0xC000000Eu);
constexpr NTSTATUS STATUS_INVALID_DEVICE_REQUEST = nt(0xC0000010u);
constexpr NTSTATUS STATUS_NO_MEDIA_IN_DEVICE = nt(0xC0000013u);
constexpr NTSTATUS STATUS_MORE_PROCESSING_REQUIRED = nt(0xC0000016u);
constexpr NTSTATUS STATUS_ACCESS_DENIED = nt(0xC0000022u);
constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = nt(0xC0000023u);
constexpr NTSTATUS STATUS_OBJECT_NAME_INVALID = nt(0xC0000033u);
constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND = nt(0xC0000034u);
constexpr NTSTATUS STATUS_DELETE_PENDING = nt(0xC0000056u);
constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = nt(0xC000009Au);
constexpr NTSTATUS STATUS_DEVICE_NOT_READY = nt(0xC00000A3u);
constexpr NTSTATUS STATUS_NOT_SUPPORTED = nt(0xC00000BBu);
constexpr NTSTATUS STATUS_CANCELLED = nt(0xC0000120u);
constexpr NTSTATUS STATUS_REGISTRY_CORRUPT = nt(0xC000014Cu);
constexpr NTSTATUS STATUS_REGISTRY_IO_FAILED = nt(0xC000014Du);
constexpr NTSTATUS STATUS_IO_DEVICE_ERROR = nt(0xC0000185u);

// ---------------------------------------------------------------------------
// Counted strings

struct UNICODE_STRING {
  USHORT Length;         // bytes, without a terminator
  USHORT MaximumLength;  // bytes
  WCHAR* Buffer;
};

struct ANSI_STRING {
  USHORT Length;  // characters
  USHORT MaximumLength;
  CHAR* Buffer;
};

void RtlInitUnicodeString(UNICODE_STRING* dst, const WCHAR* src);
void RtlInitAnsiString(ANSI_STRING* dst, const CHAR* src);
// Equal lengths and equal characters, ASCII letters compared ignoring case
// when case_insensitive is set.
BOOLEAN RtlEqualString(const ANSI_STRING* a, const ANSI_STRING* b, BOOLEAN case_insensitive);

// ---------------------------------------------------------------------------
// Pool

enum POOL_TYPE : ULONG {
  NonPagedPool = 0,
  PagedPool = 1,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
};

// A tag as it shows in memory: pool_tag("QVb0") keeps 'Q' in the low byte.
constexpr ULONG pool_tag(const char (&s)[5]) {
  return static_cast<ULONG>(static_cast<UCHAR>(s[0])) |
         (static_cast<ULONG>(static_cast<UCHAR>(s[1])) << 8) |
         (static_cast<ULONG>(static_cast<UCHAR>(s[2])) << 16) |
         (static_cast<ULONG>(static_cast<UCHAR>(s[3])) << 24);
}
constexpr ULONG kUntaggedPoolTag = pool_tag("None");

// Blocks are not zeroed. nullptr when memory cannot be had (or a failure was
// injected for the tag).
PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag);
PVOID ExAllocatePool(POOL_TYPE type, SIZE_T bytes);  // tag "None"
// Tag 0 frees a block of any tag; any other tag must match the block's.
void ExFreePoolWithTag(PVOID p, ULONG tag);
void ExFreePool(PVOID p);

// ---------------------------------------------------------------------------
// Events, threads, processes

enum EVENT_TYPE : UCHAR { NotificationEvent = 0, SynchronizationEvent = 1 };

struct KEVENT {
  UCHAR Type;
  UCHAR Reserved1[3];
  LONG SignalState;  // accessed atomically only
  ULONGLONG Reserved2[2];
};
static_assert(sizeof(KEVENT) == 24, "KEVENT is 24 bytes");

enum KWAIT_REASON : ULONG { Executive = 0 };
constexpr KPROCESSOR_MODE KernelMode = 0;
constexpr KPROCESSOR_MODE UserMode = 1;
constexpr KPRIORITY IO_NO_INCREMENT = 0;

void KeInitializeEvent(KEVENT* event, EVENT_TYPE type, BOOLEAN state);
// Returns the previous state.
LONG KeSetEvent(KEVENT* event, KPRIORITY increment, BOOLEAN wait);
void KeClearEvent(KEVENT* event);
LONG KeReadStateEvent(KEVENT* event);
// object is a KEVENT. timeout nullptr waits without limit; a time-out of 0
// only tests the state (STATUS_TIMEOUT when not signalled). Other time-outs
// are not offered: STATUS_INVALID_PARAMETER.
NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode,
                               BOOLEAN alertable, LARGE_INTEGER* timeout);

struct ETHREAD {
  ULONG ProcessId;
  ULONG ThreadId;
};
using PETHREAD = ETHREAD*;
// The calling thread's kernel thread object; its process id is 4 (the
// system process) unless a test sets another (sim::ScopedProcess).
PETHREAD PsGetCurrentThread();
ULONG PsGetCurrentProcessId();

LONG InterlockedIncrement(LONG* target);
LONG InterlockedDecrement(LONG* target);

// ---------------------------------------------------------------------------
// Driver and device objects

struct DRIVER_OBJECT;
struct DEVICE_OBJECT;
struct IRP;

using PDRIVER_DISPATCH = NTSTATUS (*)(DEVICE_OBJECT* device, IRP* irp);
using PDRIVER_ADD_DEVICE = NTSTATUS (*)(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo);
using PDRIVER_UNLOAD = void (*)(DRIVER_OBJECT* driver);
using PIO_COMPLETION_ROUTINE = NTSTATUS (*)(DEVICE_OBJECT* device, IRP* irp, PVOID context);

constexpr UCHAR IRP_MJ_CREATE = 0x00;
constexpr UCHAR IRP_MJ_CLOSE = 0x02;
constexpr UCHAR IRP_MJ_READ = 0x03;
constexpr UCHAR IRP_MJ_WRITE = 0x04;
constexpr UCHAR IRP_MJ_FLUSH_BUFFERS = 0x09;
constexpr UCHAR IRP_MJ_DEVICE_CONTROL = 0x0E;
constexpr UCHAR IRP_MJ_INTERNAL_DEVICE_CONTROL = 0x0F;
constexpr UCHAR IRP_MJ_SHUTDOWN = 0x10;
constexpr UCHAR IRP_MJ_CLEANUP = 0x12;
constexpr UCHAR IRP_MJ_POWER = 0x16;
constexpr UCHAR IRP_MJ_SYSTEM_CONTROL = 0x17;
constexpr UCHAR IRP_MJ_PNP = 0x1B;
constexpr UCHAR IRP_MJ_MAXIMUM_FUNCTION = 0x1B;

constexpr UCHAR IRP_MN_START_DEVICE = 0x00;
constexpr UCHAR IRP_MN_REMOVE_DEVICE = 0x02;
constexpr UCHAR IRP_MN_DEVICE_USAGE_NOTIFICATION = 0x16;

enum DEVICE_USAGE_NOTIFICATION_TYPE : ULONG {
  DeviceUsageTypeUndefined = 0,
  DeviceUsageTypePaging = 1,
  DeviceUsageTypeHibernation = 2,
  DeviceUsageTypeDumpFile = 3,
};

struct DRIVER_EXTENSION {
  DRIVER_OBJECT* DriverObject;
  PDRIVER_ADD_DEVICE AddDevice;
};

struct DRIVER_OBJECT {
  DEVICE_OBJECT* DeviceObject;  // the driver's devices, newest first
  DRIVER_EXTENSION* DriverExtension;
  PDRIVER_UNLOAD DriverUnload;
  PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
  DRIVER_EXTENSION Extension;  // what DriverExtension points at
};

// Device types and characteristics.
constexpr ULONG FILE_DEVICE_DISK = 0x07;
constexpr ULONG FILE_DEVICE_MASS_STORAGE = 0x2D;
constexpr ULONG FILE_DEVICE_CONTROLLER = 0x04;
constexpr ULONG FILE_REMOVABLE_MEDIA = 0x01;
constexpr ULONG FILE_READ_ONLY_DEVICE = 0x02;
constexpr ULONG FILE_FLOPPY_DISKETTE = 0x04;
constexpr ULONG FILE_WRITE_ONCE_MEDIA = 0x08;
constexpr ULONG FILE_DEVICE_SECURE_OPEN = 0x100;

// Device flags.
constexpr ULONG DO_BUFFERED_IO = 0x0004;
constexpr ULONG DO_DIRECT_IO = 0x0010;
constexpr ULONG DO_DEVICE_INITIALIZING = 0x0080;
constexpr ULONG DO_POWER_PAGABLE = 0x2000;
constexpr ULONG DO_POWER_INRUSH = 0x4000;

// Device extension flags (the object manager's view of a device).
constexpr ULONG DOE_DELETE_PENDING = 0x02;

struct DEVICE_OBJECT {
  DRIVER_OBJECT* DriverObject;
  DEVICE_OBJECT* NextDevice;      // next device of the same driver
  DEVICE_OBJECT* AttachedDevice;  // the device attached above this one
  DEVICE_OBJECT* AttachedTo;      // the device this one is attached to
  ULONG Flags;
  ULONG Characteristics;
  PVOID DeviceExtension;
  ULONG DeviceType;
  CCHAR StackSize;
  ULONG AlignmentRequirement;
  ULONG ExtensionFlags;
};

// A nameless device (device_name must be nullptr: names are not kept) with a
// zeroed extension, the initialising flag set and a stack size of 1.
NTSTATUS IoCreateDevice(DRIVER_OBJECT* driver, ULONG extension_size,
                        UNICODE_STRING* device_name, ULONG device_type,
                        ULONG characteristics, BOOLEAN exclusive, DEVICE_OBJECT** device);
void IoDeleteDevice(DEVICE_OBJECT* device);
// Attaches source on top of target's stack; returns the device it now sits
// on, or nullptr when a device of that stack is being deleted.
DEVICE_OBJECT* IoAttachDeviceToDeviceStack(DEVICE_OBJECT* source, DEVICE_OBJECT* target);
// Detaches whatever device is attached above target.
void IoDetachDevice(DEVICE_OBJECT* target);

// ---------------------------------------------------------------------------
// Memory descriptor lists

constexpr SHORT MDL_PAGES_LOCKED = 0x0002;
constexpr SHORT MDL_WRITE_OPERATION = 0x0080;

struct MDL {
  MDL* Next;
  SHORT Size;
  SHORT MdlFlags;
  PVOID StartVa;
  ULONG ByteCount;
  ULONG ByteOffset;
};

enum LOCK_OPERATION : ULONG { IoReadAccess = 0, IoWriteAccess = 1, IoModifyAccess = 2 };
enum MM_PAGE_PRIORITY : ULONG { LowPagePriority = 0, NormalPagePriority = 16, HighPagePriority = 32 };

// With an irp and secondary FALSE the MDL becomes the request's MdlAddress.
MDL* IoAllocateMdl(PVOID virtual_address, ULONG length, BOOLEAN secondary, BOOLEAN charge_quota,
                   IRP* irp);
void IoFreeMdl(MDL* mdl);
void MmProbeAndLockPages(MDL* mdl, KPROCESSOR_MODE mode, LOCK_OPERATION operation);
void MmUnlockPages(MDL* mdl);
// The buffer an MDL describes; nullptr unless its pages are locked.
PVOID MmGetSystemAddressForMdlSafe(MDL* mdl, MM_PAGE_PRIORITY priority);
inline ULONG MmGetMdlByteCount(const MDL* mdl) { return mdl->ByteCount; }

// ---------------------------------------------------------------------------
// Request packets

struct IO_STATUS_BLOCK {
  NTSTATUS Status;
  ULONG_PTR Information;
};

constexpr UCHAR SL_PENDING_RETURNED = 0x01;
constexpr UCHAR SL_INVOKE_ON_CANCEL = 0x20;
constexpr UCHAR SL_INVOKE_ON_SUCCESS = 0x40;
constexpr UCHAR SL_INVOKE_ON_ERROR = 0x80;

struct IO_STACK_LOCATION {
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  UCHAR Flags;
  UCHAR Control;
  union {
    struct {
      ULONG OutputBufferLength;
      ULONG InputBufferLength;
      ULONG IoControlCode;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
    struct {
      BOOLEAN InPath;
      BOOLEAN Reserved[3];
      DEVICE_USAGE_NOTIFICATION_TYPE Type;
    } UsageNotification;
    struct {
      ULONG Length;
      ULONG Key;
      LARGE_INTEGER ByteOffset;
    } ReadWrite;
    struct {
      PVOID Argument1;
      PVOID Argument2;
      PVOID Argument3;
      PVOID Argument4;
    } Others;
  } Parameters;
  DEVICE_OBJECT* DeviceObject;
  PVOID FileObject;
  PIO_COMPLETION_ROUTINE CompletionRoutine;
  PVOID Context;
};

struct IRP {
  MDL* MdlAddress;
  ULONG Flags;
  union {
    PVOID SystemBuffer;
  } AssociatedIrp;
  IO_STATUS_BLOCK IoStatus;
  KPROCESSOR_MODE RequestorMode;
  BOOLEAN PendingReturned;
  CCHAR StackCount;
  CCHAR CurrentLocation;  // StackCount + 1 before the first call
  BOOLEAN Cancel;
  IO_STATUS_BLOCK* UserIosb;  // filled when the request completes at the top
  KEVENT* UserEvent;          // signalled when the request completes at the top
  PVOID UserBuffer;
  struct {
    struct {
      PETHREAD Thread;
      IO_STACK_LOCATION* CurrentStackLocation;
    } Overlay;
  } Tail;
  BOOLEAN Completed;  // set when completion has reached the top
};

// A request with stack_size stack locations, or nullptr when memory cannot
// be had.
IRP* IoAllocateIrp(CCHAR stack_size, BOOLEAN charge_quota);
void IoFreeIrp(IRP* irp);

inline IO_STACK_LOCATION* IoGetCurrentIrpStackLocation(IRP* irp) {
  return irp->Tail.Overlay.CurrentStackLocation;
}
inline IO_STACK_LOCATION* IoGetNextIrpStackLocation(IRP* irp) {
  return irp->Tail.Overlay.CurrentStackLocation - 1;
}
inline void IoSkipCurrentIrpStackLocation(IRP* irp) {
  irp->CurrentLocation++;
  irp->Tail.Overlay.CurrentStackLocation++;
}
void IoCopyCurrentIrpStackLocationToNext(IRP* irp);
void IoSetCompletionRoutine(IRP* irp, PIO_COMPLETION_ROUTINE routine, PVOID context,
                            BOOLEAN on_success, BOOLEAN on_error, BOOLEAN on_cancel);
inline void IoMarkIrpPending(IRP* irp) {
  IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
}
// Moves to the next stack location and calls the device's dispatch routine.
NTSTATUS IoCallDriver(DEVICE_OBJECT* device, IRP* irp);
// Runs the completion routines from the current location upwards.
void IoCompleteRequest(IRP* irp, KPRIORITY boost);

// Raises (increment) or lowers a paging-path count atomically.
void IoAdjustPagingPathCount(LONG* count, BOOLEAN increment);

// A remove lock: every request a driver works on holds it, and the removal
// of the device waits until none does.
struct IO_REMOVE_LOCK {
  BOOLEAN Removed;  // accessed atomically only
  BOOLEAN Reserved[3];
  LONG IoCount;  // 1 + the holders; accessed atomically only
  KEVENT RemoveEvent;
};
static_assert(sizeof(IO_REMOVE_LOCK) == 32, "IO_REMOVE_LOCK is 32 bytes");

// The tag, time limit and high-water mark matter only to a checked kernel.
void IoInitializeRemoveLock(IO_REMOVE_LOCK* lock, ULONG tag, ULONG max_locked_minutes,
                            ULONG high_watermark);
// STATUS_SUCCESS, or STATUS_DELETE_PENDING (not acquired) once the removal
// has begun.
NTSTATUS IoAcquireRemoveLock(IO_REMOVE_LOCK* lock, PVOID tag);
void IoReleaseRemoveLock(IO_REMOVE_LOCK* lock, PVOID tag);
// Called by the removal while it holds the lock: refuses every later
// acquisition, releases its own and waits until every holder released.
void IoReleaseRemoveLockAndWait(IO_REMOVE_LOCK* lock, PVOID tag);

// ---------------------------------------------------------------------------
// Registry

constexpr ULONG OBJ_CASE_INSENSITIVE = 0x40;
constexpr ULONG OBJ_KERNEL_HANDLE = 0x200;
constexpr ACCESS_MASK KEY_READ = 0x20019;

struct OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  UNICODE_STRING* ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
};

inline void InitializeObjectAttributes(OBJECT_ATTRIBUTES* oa, UNICODE_STRING* name,
                                       ULONG attributes, HANDLE root, PVOID security) {
  oa->Length = sizeof(OBJECT_ATTRIBUTES);
  oa->RootDirectory = root;
  oa->ObjectName = name;
  oa->Attributes = attributes;
  oa->SecurityDescriptor = security;
  oa->SecurityQualityOfService = nullptr;
}

enum KEY_VALUE_INFORMATION_CLASS : ULONG {
  KeyValueBasicInformation = 0,
  KeyValueFullInformation = 1,
  KeyValuePartialInformation = 2,
};

constexpr ULONG REG_NONE = 0;
constexpr ULONG REG_SZ = 1;
constexpr ULONG REG_EXPAND_SZ = 2;
constexpr ULONG REG_BINARY = 3;
constexpr ULONG REG_DWORD = 4;
constexpr ULONG REG_MULTI_SZ = 7;

struct KEY_VALUE_PARTIAL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataLength;
  UCHAR Data[1];
};
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12, "partial information header");
static_assert(sizeof(KEY_VALUE_PARTIAL_INFORMATION) == 16, "partial information size");

// Kernel registry paths ("\Registry\Machine\<path>") name keys of the
// platform registry under HKEY_LOCAL_MACHINE.
NTSTATUS ZwOpenKey(HANDLE* key, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes);
// Only KeyValuePartialInformation is offered. A buffer smaller than the
// header: STATUS_BUFFER_TOO_SMALL; one that holds the header but not the
// data: STATUS_BUFFER_OVERFLOW with the header filled. result_length is the
// size the whole answer needs.
NTSTATUS ZwQueryValueKey(HANDLE key, UNICODE_STRING* value_name,
                         KEY_VALUE_INFORMATION_CLASS info_class, PVOID info, ULONG length,
                         ULONG* result_length);
NTSTATUS ZwClose(HANDLE handle);

// ---------------------------------------------------------------------------
// Test hooks of the simulated kernel

namespace sim {

// Fails `count` allocations with `tag` after letting `skip` of them pass.
void pool_fail(ULONG tag, ULONG skip = 0, ULONG count = 1);
// Drops every injected failure.
void pool_clear_failures();
// Live blocks (of one tag, or of all tags with 0).
SIZE_T pool_outstanding(ULONG tag = 0);
// Successful allocations since the start (of one tag, or all with 0).
SIZE_T pool_allocations(ULONG tag = 0);
// Kernel faults seen so far (see the top of this file) and a reset.
SIZE_T faults();
void reset_faults();
// Threads blocked in KeWaitForSingleObject now (for tests that must know a
// thread waits before they let it go on).
SIZE_T blocked_waits();
// Sets up a driver object: every major function completes the request with
// STATUS_INVALID_DEVICE_REQUEST, no AddDevice, no Unload.
void init_driver_object(DRIVER_OBJECT* driver);

// The process id the calling thread runs in, for the lifetime of the object.
class ScopedProcess {
 public:
  explicit ScopedProcess(ULONG pid);
  ~ScopedProcess();
  ScopedProcess(const ScopedProcess&) = delete;
  ScopedProcess& operator=(const ScopedProcess&) = delete;

 private:
  ULONG saved_;
};

// Internal pool tags of the kernel's own objects.
constexpr ULONG kIrpTag = pool_tag("Irp ");
constexpr ULONG kMdlTag = pool_tag("Mdl ");
constexpr ULONG kDeviceTag = pool_tag("Devo");

}  // namespace sim

}  // namespace kmode
