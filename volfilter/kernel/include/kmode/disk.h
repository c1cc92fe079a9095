// Control codes and records of the disk and storage stacks, with the byte
// layout the disk drivers exchange (little-endian, natural alignment).
#pragma once

#include "kmode/kernel.h"

namespace kmode {

constexpr ULONG METHOD_BUFFERED = 0;
constexpr ULONG METHOD_IN_DIRECT = 1;
constexpr ULONG METHOD_OUT_DIRECT = 2;
constexpr ULONG METHOD_NEITHER = 3;
constexpr ULONG FILE_ANY_ACCESS = 0;
constexpr ULONG FILE_READ_ACCESS = 1;
constexpr ULONG FILE_WRITE_ACCESS = 2;

constexpr ULONG CTL_CODE(ULONG device_type, ULONG function, ULONG method, ULONG access) {
  return (device_type << 16) | (access << 14) | (function << 2) | method;
}
constexpr ULONG DEVICE_TYPE_FROM_CTL_CODE(ULONG code) { return code >> 16; }
constexpr ULONG METHOD_FROM_CTL_CODE(ULONG code) { return code & 3; }

constexpr ULONG IOCTL_DISK_GET_DRIVE_GEOMETRY = 0x70000;
constexpr ULONG IOCTL_DISK_GET_DRIVE_GEOMETRY_EX = 0x700A0;
constexpr ULONG IOCTL_DISK_GET_LENGTH_INFO = 0x7405C;
constexpr ULONG IOCTL_DISK_GET_DRIVE_LAYOUT_EX = 0x70050;
constexpr ULONG IOCTL_DISK_GET_DRIVE_LAYOUT = 0x7400C;
constexpr ULONG IOCTL_DISK_CHECK_VERIFY = 0x74800;
constexpr ULONG IOCTL_DISK_EJECT_MEDIA = 0x74808;
constexpr ULONG IOCTL_STORAGE_EJECT_MEDIA = 0x2D4808;
constexpr ULONG IOCTL_STORAGE_QUERY_PROPERTY = 0x2D1400;
constexpr ULONG IOCTL_SCSI_PASS_THROUGH = 0x4D004;

static_assert(IOCTL_DISK_GET_DRIVE_GEOMETRY ==
              CTL_CODE(FILE_DEVICE_DISK, 0x000, METHOD_BUFFERED, FILE_ANY_ACCESS));
static_assert(IOCTL_DISK_GET_LENGTH_INFO ==
              CTL_CODE(FILE_DEVICE_DISK, 0x017, METHOD_BUFFERED, FILE_READ_ACCESS));
static_assert(IOCTL_STORAGE_QUERY_PROPERTY ==
              CTL_CODE(FILE_DEVICE_MASS_STORAGE, 0x500, METHOD_BUFFERED, FILE_ANY_ACCESS));
static_assert(IOCTL_SCSI_PASS_THROUGH ==
              CTL_CODE(FILE_DEVICE_CONTROLLER, 0x401, METHOD_BUFFERED,
                       FILE_READ_ACCESS | FILE_WRITE_ACCESS));

enum MEDIA_TYPE : ULONG {
  Unknown = 0,
  RemovableMedia = 11,
  FixedMedia = 12,
};

struct DISK_GEOMETRY {
  LARGE_INTEGER Cylinders;
  MEDIA_TYPE MediaType;
  ULONG TracksPerCylinder;
  ULONG SectorsPerTrack;
  ULONG BytesPerSector;
};
static_assert(sizeof(DISK_GEOMETRY) == 24, "DISK_GEOMETRY is 24 bytes");

struct DISK_GEOMETRY_EX {
  DISK_GEOMETRY Geometry;
  LARGE_INTEGER DiskSize;
  UCHAR Data[1];
};
static_assert(offsetof(DISK_GEOMETRY_EX, DiskSize) == 24, "DISK_GEOMETRY_EX layout");
static_assert(sizeof(DISK_GEOMETRY_EX) == 40, "DISK_GEOMETRY_EX is 40 bytes");

struct GET_LENGTH_INFORMATION {
  LARGE_INTEGER Length;
};
static_assert(sizeof(GET_LENGTH_INFORMATION) == 8, "GET_LENGTH_INFORMATION is 8 bytes");

enum STORAGE_PROPERTY_ID : ULONG { StorageDeviceProperty = 0, StorageAdapterProperty = 1 };
enum STORAGE_QUERY_TYPE : ULONG { PropertyStandardQuery = 0, PropertyExistsQuery = 1 };

struct STORAGE_PROPERTY_QUERY {
  STORAGE_PROPERTY_ID PropertyId;
  STORAGE_QUERY_TYPE QueryType;
  UCHAR AdditionalParameters[1];
};
static_assert(sizeof(STORAGE_PROPERTY_QUERY) == 12, "STORAGE_PROPERTY_QUERY is 12 bytes");

struct STORAGE_DESCRIPTOR_HEADER {
  ULONG Version;
  ULONG Size;
};
static_assert(sizeof(STORAGE_DESCRIPTOR_HEADER) == 8, "STORAGE_DESCRIPTOR_HEADER is 8 bytes");

struct STORAGE_DEVICE_DESCRIPTOR {
  ULONG Version;
  ULONG Size;
  UCHAR DeviceType;
  UCHAR DeviceTypeModifier;
  BOOLEAN RemovableMedia;
  BOOLEAN CommandQueueing;
  ULONG VendorIdOffset;
  ULONG ProductIdOffset;
  ULONG ProductRevisionOffset;
  ULONG SerialNumberOffset;
  ULONG BusType;
  ULONG RawPropertiesLength;
  UCHAR RawDeviceProperties[1];
};
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset) == 12, "descriptor layout");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset) == 16, "descriptor layout");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties) == 36, "descriptor layout");
static_assert(sizeof(STORAGE_DEVICE_DESCRIPTOR) == 40, "STORAGE_DEVICE_DESCRIPTOR is 40 bytes");

constexpr UCHAR SCSI_IOCTL_DATA_OUT = 0;
constexpr UCHAR SCSI_IOCTL_DATA_IN = 1;
constexpr UCHAR SCSI_IOCTL_DATA_UNSPECIFIED = 2;
constexpr UCHAR SCSISTAT_GOOD = 0x00;
constexpr UCHAR SCSISTAT_CHECK_CONDITION = 0x02;

struct SCSI_PASS_THROUGH {
  USHORT Length;
  UCHAR ScsiStatus;
  UCHAR PathId;
  UCHAR TargetId;
  UCHAR Lun;
  UCHAR CdbLength;
  UCHAR SenseInfoLength;
  UCHAR DataIn;
  ULONG DataTransferLength;
  ULONG TimeOutValue;
  ULONG_PTR DataBufferOffset;
  ULONG SenseInfoOffset;
  UCHAR Cdb[16];
};
static_assert(offsetof(SCSI_PASS_THROUGH, ScsiStatus) == 2, "SCSI_PASS_THROUGH layout");
static_assert(offsetof(SCSI_PASS_THROUGH, CdbLength) == 6, "SCSI_PASS_THROUGH layout");
static_assert(offsetof(SCSI_PASS_THROUGH, DataIn) == 8, "SCSI_PASS_THROUGH layout");
static_assert(offsetof(SCSI_PASS_THROUGH, DataTransferLength) == 12, "SCSI_PASS_THROUGH layout");
static_assert(offsetof(SCSI_PASS_THROUGH, TimeOutValue) == 16, "SCSI_PASS_THROUGH layout");
static_assert(offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == 24, "SCSI_PASS_THROUGH layout");
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoOffset) == 32, "SCSI_PASS_THROUGH layout");
static_assert(offsetof(SCSI_PASS_THROUGH, Cdb) == 36, "SCSI_PASS_THROUGH layout");
static_assert(sizeof(SCSI_PASS_THROUGH) == 56, "SCSI_PASS_THROUGH is 56 bytes");

}  // namespace kmode
