// Device objects, request packets with their stack locations, completion
// and memory descriptor lists.
#include "internal.h"

#include <atomic>
#include <cstring>

namespace kmode {
namespace {

constexpr SIZE_T round16(SIZE_T n) { return (n + 15) / 16 * 16; }

NTSTATUS invalid_device_request(DEVICE_OBJECT* /*device*/, IRP* irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace

NTSTATUS IoCreateDevice(DRIVER_OBJECT* driver, ULONG extension_size,
                        UNICODE_STRING* /*device_name*/, ULONG device_type,
                        ULONG characteristics, BOOLEAN /*exclusive*/, DEVICE_OBJECT** device) {
  *device = nullptr;
  const SIZE_T head = round16(sizeof(DEVICE_OBJECT));
  auto* mem = static_cast<UCHAR*>(
      ExAllocatePoolWithTag(NonPagedPool, head + extension_size, sim::kDeviceTag));
  if (!mem) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(mem, 0, head + extension_size);
  auto* dev = reinterpret_cast<DEVICE_OBJECT*>(mem);
  dev->DriverObject = driver;
  dev->NextDevice = driver->DeviceObject;
  driver->DeviceObject = dev;
  dev->Flags = DO_DEVICE_INITIALIZING;
  dev->Characteristics = characteristics;
  dev->DeviceExtension = extension_size ? mem + head : nullptr;
  dev->DeviceType = device_type;
  dev->StackSize = 1;
  *device = dev;
  return STATUS_SUCCESS;
}

void IoDeleteDevice(DEVICE_OBJECT* dev) {
  if (dev->AttachedTo) {
    detail::bug_check("deleting a device that is still attached to a lower device");
    dev->AttachedTo->AttachedDevice = nullptr;
  }
  if (dev->AttachedDevice) {
    detail::bug_check("deleting a device that another device is attached to");
    dev->AttachedDevice->AttachedTo = nullptr;
  }
  DEVICE_OBJECT** link = &dev->DriverObject->DeviceObject;
  while (*link && *link != dev) link = &(*link)->NextDevice;
  if (*link) *link = dev->NextDevice;
  ExFreePoolWithTag(dev, sim::kDeviceTag);
}

DEVICE_OBJECT* IoAttachDeviceToDeviceStack(DEVICE_OBJECT* source, DEVICE_OBJECT* target) {
  DEVICE_OBJECT* top = target;
  for (;;) {
    if (top->ExtensionFlags & DOE_DELETE_PENDING) return nullptr;
    if (!top->AttachedDevice) break;
    top = top->AttachedDevice;
  }
  top->AttachedDevice = source;
  source->AttachedTo = top;
  source->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  source->AlignmentRequirement = top->AlignmentRequirement;
  return top;
}

void IoDetachDevice(DEVICE_OBJECT* target) {
  DEVICE_OBJECT* above = target->AttachedDevice;
  if (!above) {
    detail::bug_check("detaching from a device with nothing attached");
    return;
  }
  above->AttachedTo = nullptr;
  target->AttachedDevice = nullptr;
}

IRP* IoAllocateIrp(CCHAR stack_size, BOOLEAN /*charge_quota*/) {
  if (stack_size <= 0) return nullptr;
  const SIZE_T head = round16(sizeof(IRP));
  const SIZE_T bytes = head + static_cast<SIZE_T>(stack_size) * sizeof(IO_STACK_LOCATION);
  auto* mem = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, bytes, sim::kIrpTag));
  if (!mem) return nullptr;
  std::memset(mem, 0, bytes);
  auto* irp = reinterpret_cast<IRP*>(mem);
  auto* stack = reinterpret_cast<IO_STACK_LOCATION*>(mem + head);
  irp->StackCount = stack_size;
  irp->CurrentLocation = static_cast<CCHAR>(stack_size + 1);
  irp->Tail.Overlay.CurrentStackLocation = stack + stack_size;
  return irp;
}

void IoFreeIrp(IRP* irp) {
  if (irp->CurrentLocation <= irp->StackCount)
    detail::bug_check("freeing a request that a driver still holds");
  ExFreePoolWithTag(irp, sim::kIrpTag);
}

void IoCopyCurrentIrpStackLocationToNext(IRP* irp) {
  IO_STACK_LOCATION* cur = IoGetCurrentIrpStackLocation(irp);
  IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
  std::memcpy(next, cur, offsetof(IO_STACK_LOCATION, CompletionRoutine));
  next->Control = 0;
  next->CompletionRoutine = nullptr;
  next->Context = nullptr;
}

void IoSetCompletionRoutine(IRP* irp, PIO_COMPLETION_ROUTINE routine, PVOID context,
                            BOOLEAN on_success, BOOLEAN on_error, BOOLEAN on_cancel) {
  IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
  next->CompletionRoutine = routine;
  next->Context = context;
  next->Control = 0;
  if (on_success) next->Control |= SL_INVOKE_ON_SUCCESS;
  if (on_error) next->Control |= SL_INVOKE_ON_ERROR;
  if (on_cancel) next->Control |= SL_INVOKE_ON_CANCEL;
}

NTSTATUS IoCallDriver(DEVICE_OBJECT* device, IRP* irp) {
  if (irp->CurrentLocation <= 1) {
    detail::bug_check("no more stack locations in the request");
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  irp->CurrentLocation--;
  irp->Tail.Overlay.CurrentStackLocation--;
  IO_STACK_LOCATION* sl = irp->Tail.Overlay.CurrentStackLocation;
  sl->DeviceObject = device;
  if (sl->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) {
    detail::bug_check("request with an unknown major function");
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  return device->DriverObject->MajorFunction[sl->MajorFunction](device, irp);
}

void IoCompleteRequest(IRP* irp, KPRIORITY /*boost*/) {
  if (irp->CurrentLocation > irp->StackCount) {
    detail::bug_check("completing a request that is already complete");
    return;
  }
  if (irp->IoStatus.Status == STATUS_PENDING)
    detail::bug_check("completing a request with STATUS_PENDING");
  while (irp->CurrentLocation <= irp->StackCount) {
    IO_STACK_LOCATION* sl = irp->Tail.Overlay.CurrentStackLocation;
    irp->PendingReturned = (sl->Control & SL_PENDING_RETURNED) ? 1 : 0;
    const PIO_COMPLETION_ROUTINE routine = sl->CompletionRoutine;
    const PVOID context = sl->Context;
    const UCHAR control = sl->Control;
    sl->Control = 0;
    sl->CompletionRoutine = nullptr;
    sl->Context = nullptr;
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
    const bool at_top = irp->CurrentLocation > irp->StackCount;
    DEVICE_OBJECT* upper = at_top ? nullptr : irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
    const bool ok = NT_SUCCESS(irp->IoStatus.Status);
    const bool invoke = routine && ((ok && (control & SL_INVOKE_ON_SUCCESS)) ||
                                    (!ok && (control & SL_INVOKE_ON_ERROR)) ||
                                    (irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
    if (invoke) {
      if (routine(upper, irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
    } else if (irp->PendingReturned && !at_top) {
      IoMarkIrpPending(irp);
    }
  }
  irp->Completed = 1;
  if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
  if (irp->UserEvent) KeSetEvent(irp->UserEvent, IO_NO_INCREMENT, 0);
}

void IoAdjustPagingPathCount(LONG* count, BOOLEAN increment) {
  if (increment)
    InterlockedIncrement(count);
  else
    InterlockedDecrement(count);
}

void IoInitializeRemoveLock(IO_REMOVE_LOCK* lock, ULONG /*tag*/, ULONG /*max_locked_minutes*/,
                            ULONG /*high_watermark*/) {
  std::memset(lock, 0, sizeof(*lock));
  lock->IoCount = 1;
  KeInitializeEvent(&lock->RemoveEvent, NotificationEvent, 0);
}

NTSTATUS IoAcquireRemoveLock(IO_REMOVE_LOCK* lock, PVOID /*tag*/) {
  InterlockedIncrement(&lock->IoCount);
  if (std::atomic_ref<BOOLEAN>(lock->Removed).load()) {
    if (InterlockedDecrement(&lock->IoCount) == 0) KeSetEvent(&lock->RemoveEvent, IO_NO_INCREMENT, 0);
    return STATUS_DELETE_PENDING;
  }
  return STATUS_SUCCESS;
}

void IoReleaseRemoveLock(IO_REMOVE_LOCK* lock, PVOID /*tag*/) {
  const LONG left = InterlockedDecrement(&lock->IoCount);
  if (left < 0) detail::bug_check("releasing a remove lock that is not held");
  if (left == 0) KeSetEvent(&lock->RemoveEvent, IO_NO_INCREMENT, 0);
}

void IoReleaseRemoveLockAndWait(IO_REMOVE_LOCK* lock, PVOID tag) {
  std::atomic_ref<BOOLEAN>(lock->Removed).store(1);
  if (InterlockedDecrement(&lock->IoCount) <= 0) {  // the count of 1 it started with
    detail::bug_check("waiting on a remove lock the caller does not hold");
    return;
  }
  IoReleaseRemoveLock(lock, tag);
  KeWaitForSingleObject(&lock->RemoveEvent, Executive, KernelMode, 0, nullptr);
}

MDL* IoAllocateMdl(PVOID virtual_address, ULONG length, BOOLEAN secondary,
                   BOOLEAN /*charge_quota*/, IRP* irp) {
  auto* mdl = static_cast<MDL*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(MDL), sim::kMdlTag));
  if (!mdl) return nullptr;
  std::memset(mdl, 0, sizeof(MDL));
  mdl->Size = sizeof(MDL);
  mdl->StartVa = virtual_address;
  mdl->ByteCount = length;
  if (irp) {
    if (!secondary) {
      irp->MdlAddress = mdl;
    } else {
      MDL** link = &irp->MdlAddress;
      while (*link) link = &(*link)->Next;
      *link = mdl;
    }
  }
  return mdl;
}

void IoFreeMdl(MDL* mdl) {
  if (mdl->MdlFlags & MDL_PAGES_LOCKED) {
    detail::bug_check("freeing an MDL whose pages are locked");
    return;  // kept, as the pages are
  }
  ExFreePoolWithTag(mdl, sim::kMdlTag);
}

void MmProbeAndLockPages(MDL* mdl, KPROCESSOR_MODE /*mode*/, LOCK_OPERATION operation) {
  if (mdl->MdlFlags & MDL_PAGES_LOCKED) detail::bug_check("locking an MDL twice");
  mdl->MdlFlags |= MDL_PAGES_LOCKED;
  if (operation != IoReadAccess) mdl->MdlFlags |= MDL_WRITE_OPERATION;
}

void MmUnlockPages(MDL* mdl) {
  if (!(mdl->MdlFlags & MDL_PAGES_LOCKED)) detail::bug_check("unlocking an MDL that is not locked");
  mdl->MdlFlags &= static_cast<SHORT>(~(MDL_PAGES_LOCKED | MDL_WRITE_OPERATION));
}

PVOID MmGetSystemAddressForMdlSafe(MDL* mdl, MM_PAGE_PRIORITY /*priority*/) {
  return (mdl->MdlFlags & MDL_PAGES_LOCKED) ? mdl->StartVa : nullptr;
}

namespace sim {

void init_driver_object(DRIVER_OBJECT* driver) {
  std::memset(driver, 0, sizeof(*driver));
  driver->DriverExtension = &driver->Extension;
  driver->Extension.DriverObject = driver;
  for (auto& fn : driver->MajorFunction) fn = invalid_device_request;
}

}  // namespace sim
}  // namespace kmode
