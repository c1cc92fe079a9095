#include "volfilter/sim_disk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

namespace simdisk {
namespace {

DRIVER_OBJECT* disk_driver() {
  static DRIVER_OBJECT driver;
  static const bool ready = [] {
    sim::init_driver_object(&driver);
    for (auto& fn : driver.MajorFunction) fn = SimDisk::Dispatch;
    return true;
  }();
  (void)ready;
  return &driver;
}

std::vector<UCHAR> descriptor_bytes(const Config& c) {
  if (c.raw_descriptor) return *c.raw_descriptor;
  std::vector<UCHAR> out(sizeof(STORAGE_DEVICE_DESCRIPTOR), 0);
  auto add = [&out](const std::string& s) {
    const auto at = static_cast<ULONG>(out.size());
    out.insert(out.end(), s.begin(), s.end());
    out.push_back(0);
    return at;
  };
  STORAGE_DEVICE_DESCRIPTOR d{};
  d.DeviceType = 0x05;
  d.RemovableMedia = 1;
  d.VendorIdOffset = add(c.vendor);
  d.ProductIdOffset = add(c.product);
  d.ProductRevisionOffset = add(c.revision);
  d.BusType = 1;
  d.Version = d.Size = static_cast<ULONG>(out.size());
  std::memcpy(out.data(), &d, offsetof(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties));
  return out;
}

}  // namespace

Config default_config() {
  Config c;
  c.geometry.Cylinders.QuadPart = 1000;
  c.geometry.MediaType = RemovableMedia;
  c.geometry.TracksPerCylinder = 255;
  c.geometry.SectorsPerTrack = 63;
  c.geometry.BytesPerSector = 2048;
  c.disk_size = 1000LL * 255 * 63 * 2048;
  return c;
}

SimDisk::SimDisk(Config config) : config_(std::move(config)) {
  const NTSTATUS s = IoCreateDevice(disk_driver(), sizeof(SimDisk*), nullptr, FILE_DEVICE_DISK,
                                    config_.characteristics, 0, &device_);
  if (!NT_SUCCESS(s)) throw std::runtime_error("cannot create the simulated disk");
  *static_cast<SimDisk**>(device_->DeviceExtension) = this;
  device_->Flags &= ~DO_DEVICE_INITIALIZING;
  thread_ = std::thread([this] { worker(); });
}

SimDisk::~SimDisk() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    stop_ = true;
    held_ = false;
  }
  cv_.notify_all();
  thread_.join();
  IoDeleteDevice(device_);
}

std::vector<Call> SimDisk::calls() const {
  std::lock_guard<std::mutex> lk(mu_);
  return calls_;
}

void SimDisk::clear_calls() {
  std::lock_guard<std::mutex> lk(mu_);
  calls_.clear();
}

std::size_t SimDisk::count(ULONG code) const {
  std::lock_guard<std::mutex> lk(mu_);
  return std::count_if(calls_.begin(), calls_.end(), [code](const Call& c) {
    return (c.major == IRP_MJ_DEVICE_CONTROL || c.major == IRP_MJ_INTERNAL_DEVICE_CONTROL) &&
           c.code == code;
  });
}

std::size_t SimDisk::count_major(UCHAR major, UCHAR minor) const {
  std::lock_guard<std::mutex> lk(mu_);
  return std::count_if(calls_.begin(), calls_.end(), [&](const Call& c) {
    return c.major == major && (minor == 0xFF || c.minor == minor);
  });
}

void SimDisk::hold() {
  std::lock_guard<std::mutex> lk(mu_);
  held_ = true;
}

void SimDisk::release() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    held_ = false;
  }
  cv_.notify_all();
}

std::size_t SimDisk::waiting() const {
  std::lock_guard<std::mutex> lk(mu_);
  return queue_.size();
}

NTSTATUS SimDisk::Dispatch(DEVICE_OBJECT* device, IRP* irp) {
  SimDisk* self = *static_cast<SimDisk**>(device->DeviceExtension);
  IO_STACK_LOCATION* sl = IoGetCurrentIrpStackLocation(irp);
  Call call;
  call.major = sl->MajorFunction;
  call.minor = sl->MinorFunction;
  call.process_id = PsGetCurrentProcessId();
  if (call.major == IRP_MJ_DEVICE_CONTROL || call.major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
    call.code = sl->Parameters.DeviceIoControl.IoControlCode;
    call.input_length = sl->Parameters.DeviceIoControl.InputBufferLength;
    call.output_length = sl->Parameters.DeviceIoControl.OutputBufferLength;
    call.system_buffer = irp->AssociatedIrp.SystemBuffer;
    call.user_buffer = irp->UserBuffer;
    if (call.system_buffer && call.input_length) {
      const auto* p = static_cast<const UCHAR*>(call.system_buffer);
      call.input.assign(p, p + call.input_length);
    }
    if (irp->MdlAddress) {
      call.has_mdl = true;
      call.mdl_flags = irp->MdlAddress->MdlFlags;
      call.mdl_address = irp->MdlAddress->StartVa;
      call.mdl_length = irp->MdlAddress->ByteCount;
    }
  }
  std::unique_lock<std::mutex> lk(self->mu_);
  self->calls_.push_back(std::move(call));
  if (self->config_.complete_later) {
    IoMarkIrpPending(irp);
    self->queue_.push_back(irp);
    lk.unlock();
    self->cv_.notify_all();
    return STATUS_PENDING;
  }
  lk.unlock();
  // The status is taken before completion hands the request back.
  self->answer(irp);
  return irp->IoStatus.Status;
}

void SimDisk::worker() {
  std::unique_lock<std::mutex> lk(mu_);
  for (;;) {
    cv_.wait(lk, [this] { return stop_ || (!held_ && !queue_.empty()); });
    if (queue_.empty()) {
      if (stop_) return;
      continue;
    }
    IRP* irp = queue_.front();
    queue_.pop_front();
    lk.unlock();
    answer(irp);
    lk.lock();
  }
}

void SimDisk::answer(IRP* irp) {
  IO_STACK_LOCATION* sl = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR info = 0;
  const Config& c = config_;
  if (sl->MajorFunction == IRP_MJ_PNP) {
    status = c.pnp_status;
  } else if (sl->MajorFunction == IRP_MJ_DEVICE_CONTROL ||
             sl->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
    const ULONG code = sl->Parameters.DeviceIoControl.IoControlCode;
    const ULONG in = sl->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out = sl->Parameters.DeviceIoControl.OutputBufferLength;
    auto* buf = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    switch (code) {
      case IOCTL_STORAGE_QUERY_PROPERTY: {
        if (c.query_status != STATUS_SUCCESS) {
          status = c.query_status;
        } else if (in < sizeof(STORAGE_PROPERTY_QUERY) || !buf) {
          status = STATUS_INVALID_PARAMETER;
        } else if (out < sizeof(STORAGE_DESCRIPTOR_HEADER)) {
          status = STATUS_BUFFER_TOO_SMALL;
        } else {
          const std::vector<UCHAR> d = descriptor_bytes(c);
          ULONG n = std::min<ULONG>(out, static_cast<ULONG>(d.size()));
          if (c.descriptor_returned && out > sizeof(STORAGE_DESCRIPTOR_HEADER))
            n = std::min(n, *c.descriptor_returned);
          std::memcpy(buf, d.data(), n);
          info = n;
        }
        break;
      }
      case IOCTL_DISK_GET_DRIVE_GEOMETRY:
        if (!buf) {
          status = STATUS_INVALID_PARAMETER;
        } else if (out < sizeof(DISK_GEOMETRY)) {
          status = STATUS_BUFFER_TOO_SMALL;
        } else {
          std::memcpy(buf, &c.geometry, sizeof(DISK_GEOMETRY));
          info = c.short_information.value_or(sizeof(DISK_GEOMETRY));
        }
        break;
      case IOCTL_DISK_GET_DRIVE_GEOMETRY_EX:
        if (!buf) {
          status = STATUS_INVALID_PARAMETER;
        } else if (out < sizeof(DISK_GEOMETRY_EX)) {
          status = STATUS_BUFFER_TOO_SMALL;
        } else {
          DISK_GEOMETRY_EX g{};
          g.Geometry = c.geometry;
          g.DiskSize.QuadPart = c.disk_size;
          std::memcpy(buf, &g, sizeof(g));
          info = c.short_information.value_or(sizeof(DISK_GEOMETRY_EX));
        }
        break;
      case IOCTL_DISK_GET_LENGTH_INFO:
        if (!buf) {
          status = STATUS_INVALID_PARAMETER;
        } else if (out < sizeof(GET_LENGTH_INFORMATION)) {
          status = STATUS_BUFFER_TOO_SMALL;
        } else {
          GET_LENGTH_INFORMATION g{};
          g.Length.QuadPart = c.disk_size;
          std::memcpy(buf, &g, sizeof(g));
          info = c.short_information.value_or(sizeof(GET_LENGTH_INFORMATION));
        }
        break;
      case IOCTL_DISK_GET_DRIVE_LAYOUT:
      case IOCTL_DISK_GET_DRIVE_LAYOUT_EX:
        if (buf && out) std::memset(buf, 0xAB, out);
        info = out;
        break;
      case IOCTL_SCSI_PASS_THROUGH: {
        if (!buf || in < sizeof(SCSI_PASS_THROUGH)) {
          status = STATUS_INVALID_PARAMETER;
          break;
        }
        SCSI_PASS_THROUGH spt;
        std::memcpy(&spt, buf, sizeof(spt));
        const ULONG_PTR end = spt.DataBufferOffset + spt.DataTransferLength;
        if (spt.Cdb[0] != 0xBD || end > out || spt.DataTransferLength < 6) {
          status = STATUS_INVALID_PARAMETER;
          break;
        }
        UCHAR* data = buf + spt.DataBufferOffset;
        std::memset(data, 0, spt.DataTransferLength);
        spt.DataTransferLength = std::min(spt.DataTransferLength, c.mechanism_returned.value_or(spt.DataTransferLength));
        if (spt.DataTransferLength > 5) data[5] = c.slots;
        spt.ScsiStatus = c.scsi_status;
        std::memcpy(buf, &spt, sizeof(spt));
        if (c.scsi_status == SCSISTAT_CHECK_CONDITION && spt.SenseInfoOffset + 18 <= out) {
          buf[spt.SenseInfoOffset] = 0x70;
          buf[spt.SenseInfoOffset + 2] = 0x05;  // illegal request
        }
        status = c.pass_through_status;
        info = spt.DataBufferOffset + spt.DataTransferLength;
        break;
      }
      case 0x72000:  // the filter's owner code
        status = c.owner_status;
        break;
      case IOCTL_DISK_EJECT_MEDIA:
      case IOCTL_STORAGE_EJECT_MEDIA:
      case IOCTL_DISK_CHECK_VERIFY:
        break;
      default:
        if (DEVICE_TYPE_FROM_CTL_CODE(code) == 0x22 && ((code >> 2) & 0xFFF) == 0x900) {
          UCHAR* target = buf;
          if (METHOD_FROM_CTL_CODE(code) != METHOD_BUFFERED)
            target = irp->MdlAddress ? static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(
                                           irp->MdlAddress, NormalPagePriority))
                                     : nullptr;
          const ULONG n = std::min(c.echo_information, out);
          if (target && n) std::memset(target, 0x5A, n);
          info = target ? n : 0;
        } else {
          status = STATUS_INVALID_DEVICE_REQUEST;
        }
        break;
    }
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = info;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

namespace {

Result send_request(DEVICE_OBJECT* top, const std::function<void(IRP*, IO_STACK_LOCATION*)>& fill) {
  Result r;
  IRP* irp = IoAllocateIrp(top->StackSize, 0);
  if (!irp) {
    ADD_FAILURE() << "no request packet";
    return r;
  }
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, 0);
  IO_STATUS_BLOCK iosb{};
  irp->UserEvent = &done;
  irp->UserIosb = &iosb;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  fill(irp, IoGetNextIrpStackLocation(irp));
  r.returned = IoCallDriver(top, irp);
  if (r.returned == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, 0, nullptr);
  } else {
    EXPECT_TRUE(irp->Completed) << "a dispatch routine returned without completing the request";
    EXPECT_EQ(r.returned, iosb.Status) << "returned status differs from the completion status";
  }
  r.status = iosb.Status;
  r.information = iosb.Information;
  IoFreeIrp(irp);
  return r;
}

}  // namespace

Result send_ioctl(DEVICE_OBJECT* top, ULONG code, void* buffer, ULONG input_length,
                  ULONG output_length) {
  return send_request(top, [&](IRP* irp, IO_STACK_LOCATION* sl) {
    sl->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    sl->Parameters.DeviceIoControl.IoControlCode = code;
    sl->Parameters.DeviceIoControl.InputBufferLength = input_length;
    sl->Parameters.DeviceIoControl.OutputBufferLength = output_length;
    irp->AssociatedIrp.SystemBuffer = buffer;
  });
}

Result send_major(DEVICE_OBJECT* top, UCHAR major, UCHAR minor) {
  return send_request(top, [&](IRP*, IO_STACK_LOCATION* sl) {
    sl->MajorFunction = major;
    sl->MinorFunction = minor;
  });
}

Result send_usage_notification(DEVICE_OBJECT* top, DEVICE_USAGE_NOTIFICATION_TYPE type,
                               bool in_path) {
  return send_request(top, [&](IRP*, IO_STACK_LOCATION* sl) {
    sl->MajorFunction = IRP_MJ_PNP;
    sl->MinorFunction = IRP_MN_DEVICE_USAGE_NOTIFICATION;
    sl->Parameters.UsageNotification.InPath = in_path ? 1 : 0;
    sl->Parameters.UsageNotification.Type = type;
  });
}

}  // namespace simdisk
