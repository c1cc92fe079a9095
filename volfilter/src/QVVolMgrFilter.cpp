// Disk upper filter: match and attach, size scaling by the drive's slot
// count, media checks, ejection refusal while an owner is registered, and
// the plug-and-play duties of a filter.
#include "volfilter/volfilter.h"

#include <algorithm>
#include <cstring>

namespace volfilter {

using namespace kmode;

namespace {

// The device-types list: 8-bit characters, entries ended by NUL, the list
// ended by an empty entry (or by its length).
ANSI_STRING g_device_types{0, 0, nullptr};

constexpr bool NT_ERROR(NTSTATUS s) { return (static_cast<ULONG>(s) >> 30) == 3; }

VolFilterExtension* extension_of(DEVICE_OBJECT* device) {
  return static_cast<VolFilterExtension*>(device->DeviceExtension);
}

NTSTATUS complete(IRP* irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Completes a request the driver has taken back with its current status.
NTSTATUS complete_as_is(IRP* irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS FilterCompletionSignal(DEVICE_OBJECT* /*device*/, IRP* /*irp*/, PVOID context) {
  KeSetEvent(static_cast<KEVENT*>(context), IO_NO_INCREMENT, 0);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS pass_down(DEVICE_OBJECT* device, IRP* irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(extension_of(device)->Lower, irp);
}

// Runs a dispatch routine while it holds the device's remove lock, so that
// the device is not deleted under it; once the removal has begun, requests
// are refused with STATUS_DELETE_PENDING.
NTSTATUS with_remove_lock(DEVICE_OBJECT* device, IRP* irp, PDRIVER_DISPATCH dispatch) {
  IO_REMOVE_LOCK* lock = &extension_of(device)->RemoveLock;
  const NTSTATUS acquired = IoAcquireRemoveLock(lock, irp);
  if (!NT_SUCCESS(acquired)) return complete(irp, acquired, 0);
  const NTSTATUS status = dispatch(device, irp);
  IoReleaseRemoveLock(lock, irp);
  return status;
}

// Scales a signed 64-bit size by the slot count (wrapping, never undefined).
void scale(LARGE_INTEGER* value, ULONG slots) {
  value->QuadPart = static_cast<LONGLONG>(static_cast<ULONGLONG>(value->QuadPart) * slots);
}

// Copies the low byte of every UTF-16 unit of a REG_MULTI_SZ value into a
// new device-types list.
NTSTATUS load_device_types(const KEY_VALUE_PARTIAL_INFORMATION* info, ULONG reported_size) {
  constexpr ULONG kHeader = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
  if (reported_size < kHeader) return STATUS_SUCCESS;
  const ULONG units = std::min<ULONG>((reported_size - kHeader) / 2, info->DataLength / 2);
  auto* list = static_cast<CHAR*>(ExAllocatePoolWithTag(PagedPool, reported_size, kTagDeviceTypes));
  if (!list) return STATUS_INSUFFICIENT_RESOURCES;
  const UCHAR* data = info->Data;
  for (ULONG i = 0; i < units; ++i) list[i] = static_cast<CHAR>(data[2 * i]);
  // A counted string holds at most 0xFFFF characters; the walk never goes
  // past Length.
  g_device_types.Buffer = list;
  g_device_types.Length = static_cast<USHORT>(std::min<ULONG>(units, 0xFFFF));
  g_device_types.MaximumLength = static_cast<USHORT>(std::min<ULONG>(reported_size, 0xFFFF));
  return STATUS_SUCCESS;
}

void free_device_types() {
  if (g_device_types.Buffer) ExFreePoolWithTag(g_device_types.Buffer, 0);
  g_device_types = ANSI_STRING{0, 0, nullptr};
}

// True when an entry of the list names this vendor and product. Each entry
// is taken only within the list; an entry shorter than the 8 characters of
// a vendor identification matches nothing.
bool device_type_listed(const ANSI_STRING& vendor, const ANSI_STRING& product) {
  const CHAR* list = g_device_types.Buffer;
  const SIZE_T length = g_device_types.Length;
  SIZE_T pos = 0;
  while (list && pos < length) {
    const CHAR* entry = list + pos;
    const auto* nul = static_cast<const CHAR*>(std::memchr(entry, 0, length - pos));
    const SIZE_T entry_length = nul ? static_cast<SIZE_T>(nul - entry) : length - pos;
    if (entry_length == 0) break;
    if (entry_length >= 8) {
      ANSI_STRING entry_vendor{8, 8, const_cast<CHAR*>(entry)};
      const auto product_length = static_cast<USHORT>(entry_length - 8);
      ANSI_STRING entry_product{product_length, product_length, const_cast<CHAR*>(entry + 8)};
      if (RtlEqualString(&entry_vendor, &vendor, 1) && RtlEqualString(&entry_product, &product, 1))
        return true;
    }
    pos += entry_length + 1;
  }
  return false;
}

// A string of the storage descriptor: it must start inside the bytes
// received and end with a NUL inside them.
bool descriptor_string(const UCHAR* descriptor, SIZE_T received, ULONG offset, ANSI_STRING* out) {
  if (offset == 0 || offset >= received) return false;
  const auto* start = reinterpret_cast<const CHAR*>(descriptor + offset);
  const auto* nul = static_cast<const CHAR*>(std::memchr(start, 0, received - offset));
  if (!nul) return false;
  const SIZE_T length = static_cast<SIZE_T>(nul - start);
  if (length > 0xFFFF) return false;
  out->Buffer = const_cast<CHAR*>(start);
  out->Length = out->MaximumLength = static_cast<USHORT>(length);
  return true;
}

bool descriptor_listed(const UCHAR* descriptor, SIZE_T received) {
  if (received < offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset) + sizeof(ULONG)) return false;
  STORAGE_DEVICE_DESCRIPTOR head{};
  std::memcpy(&head, descriptor,
              offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset) + sizeof(ULONG));
  ANSI_STRING vendor{};
  ANSI_STRING product{};
  if (!descriptor_string(descriptor, received, head.VendorIdOffset, &vendor)) return false;
  if (!descriptor_string(descriptor, received, head.ProductIdOffset, &product)) return false;
  return device_type_listed(vendor, product);
}

// Forwards a size request; when the lower device answered it whole, asks
// the drive for its slot count and lets `apply` scale the answer (of type
// Answer, in the system buffer). A failed slot query fails the request with
// nothing returned: no size is ever made up.
template <class Answer, class Apply>
NTSTATUS forward_scaled(DEVICE_OBJECT* device, IRP* irp, ULONG output_length, Apply apply) {
  VolFilterExtension* ext = extension_of(device);
  NTSTATUS status = FilterForwardAndWait(device, irp);
  if (!NT_SUCCESS(status) || output_length < sizeof(Answer) || irp->IoStatus.Information < sizeof(Answer))
    return complete_as_is(irp, status);
  status = FilterQuerySlotCount(ext);
  if (!NT_SUCCESS(status)) return complete(irp, status, 0);
  apply(static_cast<Answer*>(irp->AssociatedIrp.SystemBuffer), ext->SlotCount);
  return complete_as_is(irp, status);
}

NTSTATUS geometry(DEVICE_OBJECT* device, IRP* irp, ULONG output_length) {
  VolFilterExtension* ext = extension_of(device);
  if (ext->OwnerPid != 0 && ext->CachedGeometry.BytesPerSector != 0 &&
      output_length >= sizeof(DISK_GEOMETRY)) {
    std::memcpy(irp->AssociatedIrp.SystemBuffer, &ext->CachedGeometry, sizeof(DISK_GEOMETRY));
    return complete(irp, STATUS_SUCCESS, sizeof(DISK_GEOMETRY));
  }
  return forward_scaled<DISK_GEOMETRY>(device, irp, output_length, [ext](DISK_GEOMETRY* out, ULONG slots) {
    scale(&out->Cylinders, slots);
    // Only a geometry scaled by the drive's own slot count gets here; the
    // owner's is kept for later answers.
    if (ext->OwnerPid != 0 && PsGetCurrentProcessId() == ext->OwnerPid)
      std::memcpy(&ext->CachedGeometry, out, sizeof(DISK_GEOMETRY));
  });
}

NTSTATUS geometry_ex(DEVICE_OBJECT* device, IRP* irp, ULONG output_length) {
  return forward_scaled<DISK_GEOMETRY_EX>(device, irp, output_length, [](DISK_GEOMETRY_EX* out, ULONG slots) {
    scale(&out->Geometry.Cylinders, slots);
    scale(&out->DiskSize, slots);
  });
}

NTSTATUS length_info(DEVICE_OBJECT* device, IRP* irp, ULONG output_length) {
  return forward_scaled<GET_LENGTH_INFORMATION>(device, irp, output_length,
                                                [](GET_LENGTH_INFORMATION* out, ULONG slots) {
                                                  scale(&out->Length, slots);
                                                });
}

NTSTATUS eject(DEVICE_OBJECT* device, IRP* irp) {
  if (extension_of(device)->OwnerPid != 0) return complete(irp, STATUS_DEVICE_BUSY, 0);
  return pass_down(device, irp);
}

NTSTATUS paging_notification(DEVICE_OBJECT* device, IRP* irp) {
  VolFilterExtension* ext = extension_of(device);
  const bool in_path = IoGetCurrentIrpStackLocation(irp)->Parameters.UsageNotification.InPath != 0;
  KeWaitForSingleObject(&ext->PagingEvent, Executive, KernelMode, 0, nullptr);
  bool set_pagable = false;
  if (!in_path && ext->PagingCount == 1 && !(device->Flags & DO_POWER_INRUSH)) {
    device->Flags |= DO_POWER_PAGABLE;
    set_pagable = true;
  }
  const NTSTATUS status = FilterForwardAndWait(device, irp);
  if (NT_SUCCESS(status)) {
    IoAdjustPagingPathCount(&ext->PagingCount, in_path ? 1 : 0);
    if (!in_path) {
      KeSetEvent(&ext->PagingEvent, IO_NO_INCREMENT, 0);
      return complete_as_is(irp, status);
    }
    if (ext->PagingCount == 1) device->Flags &= ~DO_POWER_PAGABLE;
  } else if (set_pagable) {
    device->Flags &= ~DO_POWER_PAGABLE;
  }
  KeSetEvent(&ext->PagingEvent, IO_NO_INCREMENT, 0);
  return complete_as_is(irp, status);
}

}  // namespace

const ANSI_STRING& FilterDeviceTypes() { return g_device_types; }

NTSTATUS DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registry_path) {
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, registry_path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             nullptr, nullptr);
  HANDLE key = nullptr;
  NTSTATUS status = ZwOpenKey(&key, KEY_READ, &attributes);
  if (!NT_SUCCESS(status)) return status;

  UNICODE_STRING value_name;
  RtlInitUnicodeString(&value_name, u"DeviceTypes");
  alignas(8) UCHAR probe[16] = {};
  ULONG reported = 0;
  status = ZwQueryValueKey(key, &value_name, KeyValuePartialInformation, probe, sizeof(probe),
                           &reported);
  if (status == STATUS_BUFFER_OVERFLOW) {
    auto* info = static_cast<KEY_VALUE_PARTIAL_INFORMATION*>(ExAllocatePool(PagedPool, reported));
    if (!info) {
      ZwClose(key);
      return STATUS_BUFFER_OVERFLOW;
    }
    ULONG got = 0;
    status = ZwQueryValueKey(key, &value_name, KeyValuePartialInformation, info, reported, &got);
    if (NT_SUCCESS(status) && info->Type == REG_MULTI_SZ) status = load_device_types(info, got);
    ExFreePoolWithTag(info, 0);
    if (!NT_SUCCESS(status)) {
      free_device_types();
      ZwClose(key);
      return status;
    }
  } else if (!NT_SUCCESS(status)) {
    ZwClose(key);
    return status;
  }
  status = ZwClose(key);
  if (!NT_SUCCESS(status)) {
    free_device_types();
    return status;
  }

  for (auto& fn : driver->MajorFunction) fn = FilterPassDown;
  driver->MajorFunction[IRP_MJ_CREATE] = FilterDispatchCreateClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = FilterDispatchCreateClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = FilterDispatchDeviceControl;
  driver->MajorFunction[IRP_MJ_CLEANUP] = FilterDispatchCleanup;
  driver->MajorFunction[IRP_MJ_PNP] = FilterDispatchPnp;
  driver->DriverExtension->AddDevice = FilterAddDevice;
  driver->DriverUnload = FilterUnload;
  return STATUS_SUCCESS;
}

void FilterUnload(DRIVER_OBJECT* /*driver*/) { free_device_types(); }

NTSTATUS FilterAddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo) {
  // The descriptor header tells the size of the whole descriptor; the
  // query goes in and the header comes out of the same buffer.
  union {
    STORAGE_PROPERTY_QUERY query;
    STORAGE_DESCRIPTOR_HEADER header;
  } probe;
  std::memset(&probe, 0, sizeof(probe));
  probe.query.PropertyId = StorageDeviceProperty;
  probe.query.QueryType = PropertyStandardQuery;
  IO_STATUS_BLOCK iosb{};
  NTSTATUS status = FilterBuildDeviceIoControl(IOCTL_STORAGE_QUERY_PROPERTY, pdo, &probe,
                                               sizeof(STORAGE_PROPERTY_QUERY),
                                               sizeof(STORAGE_DESCRIPTOR_HEADER), false, &iosb);
  if (!NT_SUCCESS(status) || iosb.Information < sizeof(STORAGE_DESCRIPTOR_HEADER))
    return STATUS_SUCCESS;

  const ULONG size = std::max<ULONG>(probe.header.Size, sizeof(STORAGE_PROPERTY_QUERY));
  auto* descriptor = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, size, kTagDescriptor));
  if (!descriptor) return STATUS_SUCCESS;
  std::memset(descriptor, 0, size);
  STORAGE_PROPERTY_QUERY query{};
  query.PropertyId = StorageDeviceProperty;
  query.QueryType = PropertyStandardQuery;
  std::memcpy(descriptor, &query, sizeof(query));
  status = FilterBuildDeviceIoControl(IOCTL_STORAGE_QUERY_PROPERTY, pdo, descriptor,
                                      sizeof(STORAGE_PROPERTY_QUERY), size, false, &iosb);
  const SIZE_T received = std::min<ULONG_PTR>(iosb.Information, size);
  const bool listed = NT_SUCCESS(status) && descriptor_listed(descriptor, received);
  ExFreePoolWithTag(descriptor, 0);
  if (!listed) return STATUS_SUCCESS;

  DEVICE_OBJECT* device = nullptr;
  status = IoCreateDevice(driver, sizeof(VolFilterExtension), nullptr, FILE_DEVICE_DISK,
                          FILE_DEVICE_SECURE_OPEN, 0, &device);
  if (!NT_SUCCESS(status)) return STATUS_SUCCESS;  // left unfiltered
  VolFilterExtension* ext = extension_of(device);
  std::memset(ext, 0, sizeof(*ext));
  IoInitializeRemoveLock(&ext->RemoveLock, 0, 0, 0);
  device->Flags |= DO_DIRECT_IO;
  ext->PhysicalDevice = pdo;
  ext->Lower = IoAttachDeviceToDeviceStack(device, pdo);
  ext->SlotCount = kDefaultSlotCount;
  // Until the lower driver refuses the owner code, cleanups go down to it.
  ext->LowerAcceptsOwner = 1;
  if (!ext->Lower) {
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  ext->Self = device;
  // A synchronisation event: each paging notification waits for the one
  // before it to finish.
  KeInitializeEvent(&ext->PagingEvent, SynchronizationEvent, 1);
  device->Flags |= DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS FilterPassDown(DEVICE_OBJECT* device, IRP* irp) { return with_remove_lock(device, irp, pass_down); }

NTSTATUS FilterDispatchCreateClose(DEVICE_OBJECT* device, IRP* irp) {
  return with_remove_lock(device, irp, [](DEVICE_OBJECT*, IRP* i) { return complete(i, STATUS_SUCCESS, 0); });
}

NTSTATUS FilterForwardAndWait(DEVICE_OBJECT* device, IRP* irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, 0);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, FilterCompletionSignal, &event, 1, 1, 1);
  const NTSTATUS status = IoCallDriver(extension_of(device)->Lower, irp);
  if (status == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, 0, nullptr);
  return irp->IoStatus.Status;
}

NTSTATUS FilterSendIrpSynchronously(DEVICE_OBJECT* target, IRP* irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, 0);
  IoSetCompletionRoutine(irp, FilterCompletionSignal, &event, 1, 1, 1);
  const NTSTATUS status = IoCallDriver(target, irp);
  if (status == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, 0, nullptr);
  return irp->IoStatus.Status;
}

NTSTATUS FilterBuildDeviceIoControl(ULONG code, DEVICE_OBJECT* target, PVOID buffer,
                                    ULONG input_length, ULONG output_length, bool internal,
                                    IO_STATUS_BLOCK* status_block) {
  IRP* irp = IoAllocateIrp(target->StackSize, 0);
  if (!irp) {
    status_block->Status = STATUS_INSUFFICIENT_RESOURCES;
    status_block->Information = 0;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.InputBufferLength = input_length;
  next->Parameters.DeviceIoControl.OutputBufferLength = output_length;
  next->Parameters.DeviceIoControl.IoControlCode = code;

  const ULONG method = METHOD_FROM_CTL_CODE(code);
  PVOID system_buffer = nullptr;
  if (method == METHOD_BUFFERED) {
    if (input_length || output_length) {
      const ULONG size = std::max(input_length, output_length);
      system_buffer = ExAllocatePoolWithTag(NonPagedPoolCacheAligned, size, kTagSystemBuffer);
      if (!system_buffer) {
        IoFreeIrp(irp);
        status_block->Status = STATUS_INSUFFICIENT_RESOURCES;
        status_block->Information = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
      }
      // Zeroed, so that no stale pool reaches the caller's buffer.
      std::memset(system_buffer, 0, size);
      if (input_length) std::memcpy(system_buffer, buffer, input_length);
      irp->AssociatedIrp.SystemBuffer = system_buffer;
    }
    irp->UserBuffer = buffer;
  } else if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
    if (input_length) irp->AssociatedIrp.SystemBuffer = buffer;
    if (output_length) {
      MDL* mdl = IoAllocateMdl(buffer, output_length, 0, 0, irp);
      if (!mdl) {
        irp->AssociatedIrp.SystemBuffer = nullptr;
        IoFreeIrp(irp);
        status_block->Status = STATUS_INSUFFICIENT_RESOURCES;
        status_block->Information = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
      }
      MmProbeAndLockPages(mdl, KernelMode,
                          method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
    }
  } else {
    IoFreeIrp(irp);
    status_block->Status = STATUS_NOT_SUPPORTED;
    status_block->Information = 0;
    return STATUS_NOT_SUPPORTED;
  }

  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  const NTSTATUS status = FilterSendIrpSynchronously(target, irp);
  *status_block = irp->IoStatus;
  if (method == METHOD_BUFFERED) {
    if (system_buffer) {
      // What the lower driver returned, never more than the caller's output.
      if (!NT_ERROR(status) && output_length) {
        const SIZE_T returned = std::min<ULONG_PTR>(irp->IoStatus.Information, output_length);
        std::memcpy(buffer, system_buffer, returned);
      }
      ExFreePoolWithTag(system_buffer, 0);
    }
  } else if (irp->MdlAddress) {
    MmUnlockPages(irp->MdlAddress);
    IoFreeMdl(irp->MdlAddress);
    irp->MdlAddress = nullptr;
  }
  irp->AssociatedIrp.SystemBuffer = nullptr;
  IoFreeIrp(irp);
  return status;
}

NTSTATUS FilterQuerySlotCount(VolFilterExtension* ext) {
  auto* query = static_cast<SlotQueryBuffer*>(
      ExAllocatePoolWithTag(NonPagedPoolCacheAligned, sizeof(SlotQueryBuffer), kTagPassThrough));
  if (!query) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(query, 0, sizeof(*query));
  query->Spt.Length = sizeof(SCSI_PASS_THROUGH);
  query->Spt.CdbLength = 12;
  query->Spt.SenseInfoLength = sizeof(query->Sense);
  query->Spt.DataIn = SCSI_IOCTL_DATA_IN;
  query->Spt.DataTransferLength = sizeof(query->Data);
  query->Spt.TimeOutValue = 120;
  query->Spt.DataBufferOffset = offsetof(SlotQueryBuffer, Data);
  query->Spt.SenseInfoOffset = offsetof(SlotQueryBuffer, Sense);
  query->Spt.Cdb[0] = 0xBD;  // MECHANISM STATUS
  query->Spt.Cdb[8] = 0x00;  // allocation length, big-endian
  query->Spt.Cdb[9] = sizeof(query->Data);

  IRP* irp = IoAllocateIrp(ext->Lower->StackSize, 0);
  if (!irp) {
    ExFreePoolWithTag(query, 0);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.InputBufferLength = sizeof(SlotQueryBuffer);
  next->Parameters.DeviceIoControl.OutputBufferLength = sizeof(SlotQueryBuffer);
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_SCSI_PASS_THROUGH;
  irp->AssociatedIrp.SystemBuffer = query;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  const NTSTATUS status = FilterSendIrpSynchronously(ext->Lower, irp);
  irp->AssociatedIrp.SystemBuffer = nullptr;
  IoFreeIrp(irp);

  // The slot count is byte 5 of the answer: a drive that returned fewer
  // bytes, or answered with another status than GOOD, did not report it,
  // and a changer has at least one slot.
  const bool answered = query->Spt.ScsiStatus == SCSISTAT_GOOD && query->Spt.DataTransferLength > 5;
  const UCHAR slots = answered ? query->Data[5] : 0;
  ExFreePoolWithTag(query, 0);
  if (!NT_SUCCESS(status)) return status;
  if (slots == 0) return STATUS_IO_DEVICE_ERROR;
  ext->SlotCount = slots;
  return STATUS_SUCCESS;
}

NTSTATUS FilterRegisterOwner(DEVICE_OBJECT* device, IRP* irp) {
  VolFilterExtension* ext = extension_of(device);
  const ULONG previous_owner = ext->OwnerPid;
  ext->OwnerPid = PsGetCurrentProcessId();
  std::memset(&ext->CachedGeometry, 0, sizeof(ext->CachedGeometry));
  const NTSTATUS status = FilterForwardAndWait(device, irp);
  if (NT_SUCCESS(status)) {
    ext->LowerAcceptsOwner = 1;
    return status;
  }
  if (status == STATUS_NOT_SUPPORTED || status == STATUS_INVALID_DEVICE_REQUEST) {
    ext->LowerAcceptsOwner = 0;
    return STATUS_SUCCESS;
  }
  // The registration did not take: the owner before it stays.
  ext->OwnerPid = previous_owner;
  return status;
}

namespace {

NTSTATUS device_control(DEVICE_OBJECT* device, IRP* irp) {
  IO_STACK_LOCATION* sl = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = sl->Parameters.DeviceIoControl.IoControlCode;
  const ULONG input_length = sl->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG output_length = sl->Parameters.DeviceIoControl.OutputBufferLength;

  if (DEVICE_TYPE_FROM_CTL_CODE(code) == FILE_DEVICE_DISK) {
    if ((input_length || output_length) &&
        (METHOD_FROM_CTL_CODE(code) != METHOD_BUFFERED || !irp->AssociatedIrp.SystemBuffer))
      return pass_down(device, irp);
    switch (code) {
      case IOCTL_DISK_GET_DRIVE_GEOMETRY:
        return geometry(device, irp, output_length);
      case IOCTL_DISK_GET_DRIVE_GEOMETRY_EX:
        return geometry_ex(device, irp, output_length);
      case IOCTL_DISK_GET_LENGTH_INFO:
        return length_info(device, irp, output_length);
      case IOCTL_DISK_GET_DRIVE_LAYOUT_EX:
      case IOCTL_DISK_GET_DRIVE_LAYOUT:
        return complete_as_is(irp, FilterForwardAndWait(device, irp));
      case IOCTL_VOLFILTER_REGISTER_OWNER:
        return complete_as_is(irp, FilterRegisterOwner(device, irp));
      case IOCTL_DISK_CHECK_VERIFY:
        return complete(irp, STATUS_NO_MEDIA_IN_DEVICE, 0);
      case IOCTL_DISK_EJECT_MEDIA:
        return eject(device, irp);
      default:
        return pass_down(device, irp);
    }
  }
  if (code == IOCTL_STORAGE_EJECT_MEDIA) return eject(device, irp);
  return pass_down(device, irp);
}

NTSTATUS cleanup(DEVICE_OBJECT* device, IRP* irp) {
  VolFilterExtension* ext = extension_of(device);
  if (ext->OwnerPid != 0 && PsGetCurrentProcessId() == ext->OwnerPid) ext->OwnerPid = 0;
  if (ext->LowerAcceptsOwner) return pass_down(device, irp);
  return complete(irp, STATUS_SUCCESS, 0);
}

// The removal waits until no dispatch holds the remove lock (a request
// waiting on the drive finishes first), then passes the request down and
// deletes the device.
NTSTATUS remove_device(DEVICE_OBJECT* device, IRP* irp) {
  VolFilterExtension* ext = extension_of(device);
  const NTSTATUS acquired = IoAcquireRemoveLock(&ext->RemoveLock, irp);
  if (!NT_SUCCESS(acquired)) return complete(irp, acquired, 0);
  IoReleaseRemoveLockAndWait(&ext->RemoveLock, irp);
  irp->IoStatus.Status = STATUS_SUCCESS;
  DEVICE_OBJECT* lower = ext->Lower;
  IoSkipCurrentIrpStackLocation(irp);
  const NTSTATUS status = IoCallDriver(lower, irp);
  IoDetachDevice(lower);
  IoDeleteDevice(device);
  return status;
}

NTSTATUS pnp(DEVICE_OBJECT* device, IRP* irp) {
  VolFilterExtension* ext = extension_of(device);
  IO_STACK_LOCATION* sl = IoGetCurrentIrpStackLocation(irp);
  switch (sl->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      const NTSTATUS status = FilterForwardAndWait(device, irp);
      constexpr ULONG kMediaCharacteristics =
          FILE_REMOVABLE_MEDIA | FILE_READ_ONLY_DEVICE | FILE_FLOPPY_DISKETTE | FILE_WRITE_ONCE_MEDIA;
      device->Characteristics |= ext->Lower->Characteristics & kMediaCharacteristics;
      return complete_as_is(irp, status);
    }
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
      if (sl->Parameters.UsageNotification.Type == DeviceUsageTypePaging)
        return paging_notification(device, irp);
      return pass_down(device, irp);
    default:
      return pass_down(device, irp);
  }
}

}  // namespace

NTSTATUS FilterDispatchDeviceControl(DEVICE_OBJECT* device, IRP* irp) {
  return with_remove_lock(device, irp, device_control);
}

NTSTATUS FilterDispatchCleanup(DEVICE_OBJECT* device, IRP* irp) {
  return with_remove_lock(device, irp, cleanup);
}

NTSTATUS FilterDispatchPnp(DEVICE_OBJECT* device, IRP* irp) {
  if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE)
    return remove_device(device, irp);
  return with_remove_lock(device, irp, pnp);
}

}  // namespace volfilter
