// Upper filter of the disk class. It attaches to the disks whose vendor and
// product are listed in its registry value "DeviceTypes" and, for those,
// scales the reported size and geometry by the drive's slot count, answers
// every media check with "no media", and refuses ejection while an owner
// process is registered through IOCTL_VOLFILTER_REGISTER_OWNER.
#pragma once

#include "kmode/disk.h"
#include "kmode/kernel.h"

namespace volfilter {

// Private control code: device type disk, function 0x800, buffered, any
// access. Needs no input or output.
constexpr kmode::ULONG IOCTL_VOLFILTER_REGISTER_OWNER = 0x72000;
static_assert(IOCTL_VOLFILTER_REGISTER_OWNER ==
              kmode::CTL_CODE(kmode::FILE_DEVICE_DISK, 0x800, kmode::METHOD_BUFFERED,
                              kmode::FILE_ANY_ACCESS));

// Pool tags.
constexpr kmode::ULONG kTagDeviceTypes = kmode::pool_tag("QVb0");
constexpr kmode::ULONG kTagDescriptor = kmode::pool_tag("QVb1");
constexpr kmode::ULONG kTagSystemBuffer = kmode::pool_tag("QVb2");
constexpr kmode::ULONG kTagPassThrough = kmode::pool_tag("QVb3");

constexpr kmode::ULONG kDefaultSlotCount = 12;

struct VolFilterExtension {
  kmode::DEVICE_OBJECT* Self;
  kmode::DEVICE_OBJECT* Lower;
  kmode::DEVICE_OBJECT* PhysicalDevice;
  kmode::KEVENT PagingEvent;  // serialises paging-path notifications
  kmode::LONG PagingCount;
  kmode::UCHAR LowerAcceptsOwner;  // 0 once the lower driver refused the owner code
  kmode::ULONG SlotCount;
  kmode::ULONG OwnerPid;  // 0: no owner
  kmode::DISK_GEOMETRY CachedGeometry;  // BytesPerSector 0: nothing cached
  // Held by every dispatch while it works on a request; the removal of the
  // device waits until no dispatch holds it.
  kmode::IO_REMOVE_LOCK RemoveLock;
};
static_assert(offsetof(VolFilterExtension, PagingEvent) == 24, "extension layout");
static_assert(offsetof(VolFilterExtension, PagingCount) == 48, "extension layout");
static_assert(offsetof(VolFilterExtension, LowerAcceptsOwner) == 52, "extension layout");
static_assert(offsetof(VolFilterExtension, SlotCount) == 56, "extension layout");
static_assert(offsetof(VolFilterExtension, OwnerPid) == 60, "extension layout");
static_assert(offsetof(VolFilterExtension, CachedGeometry) == 64, "extension layout");
static_assert(offsetof(VolFilterExtension, RemoveLock) == 88, "extension layout");
static_assert(sizeof(VolFilterExtension) == 120, "extension is 120 bytes");

// The MECHANISM STATUS request sent to the drive: a pass-through header
// followed by sense and data, 96 bytes.
struct SlotQueryBuffer {
  kmode::SCSI_PASS_THROUGH Spt;
  kmode::ULONG Filler;
  kmode::UCHAR Sense[18];
  kmode::UCHAR Data[12];
  kmode::UCHAR Spare[6];
};
static_assert(offsetof(SlotQueryBuffer, Sense) == 60, "slot query layout");
static_assert(offsetof(SlotQueryBuffer, Data) == 78, "slot query layout");
static_assert(sizeof(SlotQueryBuffer) == 96, "slot query buffer is 96 bytes");

// Entry points.
kmode::NTSTATUS DriverEntry(kmode::DRIVER_OBJECT* driver, kmode::UNICODE_STRING* registry_path);
kmode::NTSTATUS FilterAddDevice(kmode::DRIVER_OBJECT* driver, kmode::DEVICE_OBJECT* pdo);
void FilterUnload(kmode::DRIVER_OBJECT* driver);
kmode::NTSTATUS FilterPassDown(kmode::DEVICE_OBJECT* device, kmode::IRP* irp);
kmode::NTSTATUS FilterDispatchCreateClose(kmode::DEVICE_OBJECT* device, kmode::IRP* irp);
kmode::NTSTATUS FilterDispatchDeviceControl(kmode::DEVICE_OBJECT* device, kmode::IRP* irp);
kmode::NTSTATUS FilterDispatchCleanup(kmode::DEVICE_OBJECT* device, kmode::IRP* irp);
kmode::NTSTATUS FilterDispatchPnp(kmode::DEVICE_OBJECT* device, kmode::IRP* irp);

// Internal operations.
kmode::NTSTATUS FilterForwardAndWait(kmode::DEVICE_OBJECT* device, kmode::IRP* irp);
kmode::NTSTATUS FilterSendIrpSynchronously(kmode::DEVICE_OBJECT* target, kmode::IRP* irp);
kmode::NTSTATUS FilterBuildDeviceIoControl(kmode::ULONG code, kmode::DEVICE_OBJECT* target,
                                           kmode::PVOID buffer, kmode::ULONG input_length,
                                           kmode::ULONG output_length, bool internal,
                                           kmode::IO_STATUS_BLOCK* status_block);
// Asks the drive for its slot count (MECHANISM STATUS) and keeps it in the
// extension. A failed request, a status other than GOOD, an answer without
// the count or a count of 0 fail (STATUS_IO_DEVICE_ERROR for the drive's
// answers) and leave the slot count as it was.
kmode::NTSTATUS FilterQuerySlotCount(VolFilterExtension* ext);
kmode::NTSTATUS FilterRegisterOwner(kmode::DEVICE_OBJECT* device, kmode::IRP* irp);

// The device-types list read at load (vendor+product entries, 8-bit).
const kmode::ANSI_STRING& FilterDeviceTypes();

}  // namespace volfilter
