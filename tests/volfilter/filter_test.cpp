// The disk filter over a simulated lower disk: loading the device types,
// matching and attaching, size scaling, media checks, the owner and
// ejection, pool shortages, plug and play.
#include "volfilter/volfilter.h"

#include "volfilter/registry_support.h"
#include "volfilter/sim_disk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace kmode;
using namespace volfilter;
using simdisk::Config;
using simdisk::Result;
using simdisk::SimDisk;

const std::string kServiceKey = "System\\CurrentControlSet\\Services\\QVVolMgrFilter";
const char16_t* const kServicePath =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\QVVolMgrFilter";
const std::string kListed = "QUORVEL QMR-T100        ";

constexpr ULONG kOwner = 1234;
constexpr ULONG kStranger = 77;

// Loads the driver from a private registry and checks, at the end of each
// test, that every pool block was given back and no kernel fault happened.
class VolFilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_pool_ = sim::pool_outstanding();
    sim::reset_faults();
    sim::pool_clear_failures();
    sim::init_driver_object(&driver_);
    ASSERT_TRUE(regfix::write_value(kServiceKey, "DeviceTypes", regfix::kMultiSz,
                                    regfix::multi_sz({"OTHERVENPRODUCT X       ", kListed})));
  }

  void TearDown() override {
    sim::pool_clear_failures();
    for (auto& disk : disks_) {
      if (disk->device()->AttachedDevice) {
        disk->config().pnp_status = STATUS_SUCCESS;
        simdisk::send_major(disk->device()->AttachedDevice, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
      }
    }
    disks_.clear();
    if (loaded_ && driver_.DriverUnload) driver_.DriverUnload(&driver_);
    loaded_ = false;
    EXPECT_EQ(sim::pool_outstanding(), base_pool_) << "pool blocks leaked";
    EXPECT_EQ(sim::faults(), 0u) << "kernel faults";
  }

  NTSTATUS load() {
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, kServicePath);
    const NTSTATUS s = DriverEntry(&driver_, &path);
    loaded_ = NT_SUCCESS(s);
    return s;
  }

  SimDisk& make_disk(Config config = simdisk::default_config()) {
    config.complete_later = async_;
    disks_.push_back(std::make_unique<SimDisk>(std::move(config)));
    return *disks_.back();
  }

  // Offers the disk to the filter; returns the filter device or nullptr.
  DEVICE_OBJECT* add(SimDisk& disk, NTSTATUS expected = STATUS_SUCCESS) {
    EXPECT_EQ(driver_.DriverExtension->AddDevice(&driver_, disk.device()), expected);
    return disk.device()->AttachedDevice;
  }

  // A loaded driver attached to a fresh listed disk.
  DEVICE_OBJECT* attach(SimDisk& disk) {
    EXPECT_EQ(load(), STATUS_SUCCESS);
    DEVICE_OBJECT* filter = add(disk);
    EXPECT_NE(filter, nullptr);
    return filter;
  }

  static VolFilterExtension* ext(DEVICE_OBJECT* filter) {
    return static_cast<VolFilterExtension*>(filter->DeviceExtension);
  }

  regfix::TempRegistry registry_;
  DRIVER_OBJECT driver_{};
  bool loaded_ = false;
  bool async_ = false;
  SIZE_T base_pool_ = 0;
  std::vector<std::unique_ptr<SimDisk>> disks_;
};

// The same tests with a lower disk that completes every request later from
// its own thread.
class FilterIo : public VolFilterTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    async_ = GetParam();
    VolFilterTest::SetUp();
  }
};

std::string mode_name(const ::testing::TestParamInfo<bool>& info) {
  return info.param ? "CompletesLater" : "CompletesAtOnce";
}

Result ioctl(DEVICE_OBJECT* top, ULONG code, void* buffer, ULONG in, ULONG out) {
  return simdisk::send_ioctl(top, code, buffer, in, out);
}

Result eject(DEVICE_OBJECT* top, ULONG code) { return ioctl(top, code, nullptr, 0, 0); }

Result register_owner(DEVICE_OBJECT* top, ULONG pid) {
  sim::ScopedProcess as(pid);
  return ioctl(top, IOCTL_VOLFILTER_REGISTER_OWNER, nullptr, 0, 0);
}

Result cleanup(DEVICE_OBJECT* top, ULONG pid) {
  sim::ScopedProcess as(pid);
  return simdisk::send_major(top, IRP_MJ_CLEANUP);
}

LONGLONG geometry_cylinders(DEVICE_OBJECT* top, ULONG pid, NTSTATUS* status = nullptr) {
  sim::ScopedProcess as(pid);
  DISK_GEOMETRY g{};
  const Result r = ioctl(top, IOCTL_DISK_GET_DRIVE_GEOMETRY, &g, 0, sizeof(g));
  if (status) *status = r.status;
  return g.Cylinders.QuadPart;
}

// ---------------------------------------------------------------------------
// Loading the device types and matching disks

struct LoadCase {
  const char* name;
  std::optional<std::uint32_t> type;  // nullopt: no value
  std::vector<std::uint8_t> data;
  NTSTATUS load_status;
  bool attached;
};

std::vector<std::uint8_t> unterminated(const std::string& s) { return regfix::utf16(s); }

std::vector<LoadCase> load_cases() {
  using regfix::multi_sz;
  return {
      {"Listed", regfix::kMultiSz, multi_sz({kListed}), STATUS_SUCCESS, true},
      {"ListedSecond", regfix::kMultiSz, multi_sz({"ABCDEFGHproduct", kListed}), STATUS_SUCCESS,
       true},
      {"ComparedIgnoringCase", regfix::kMultiSz, multi_sz({"quorvel qmr-t100        "}),
       STATUS_SUCCESS, true},
      {"LowByteOfEachUnit", regfix::kMultiSz, multi_sz({"\xC5\x91UORVEL QMR-T100        "}),
       STATUS_SUCCESS, true},
      {"ProductComparedWhole", regfix::kMultiSz, multi_sz({"QUORVEL QMR-T100"}), STATUS_SUCCESS,
       false},
      {"OtherVendor", regfix::kMultiSz, multi_sz({"QUORVELXQMR-T100        "}), STATUS_SUCCESS,
       false},
      {"ShortEntryBeforeListed", regfix::kMultiSz, multi_sz({"ABC", kListed}), STATUS_SUCCESS,
       true},
      {"ShortEntryNeverMatches", regfix::kMultiSz, multi_sz({"QUORVEL"}), STATUS_SUCCESS, false},
      {"ListEndsAtEmptyEntry", regfix::kMultiSz, multi_sz({"ABCDEFGHproduct", "", kListed}),
       STATUS_SUCCESS, false},
      {"UnterminatedValue", regfix::kMultiSz, unterminated(kListed), STATUS_SUCCESS, true},
      {"UnterminatedShortEntry", regfix::kMultiSz, unterminated("QUO"), STATUS_SUCCESS, false},
      {"EmptyListFitsTheProbe", regfix::kMultiSz, multi_sz({}), STATUS_SUCCESS, false},
      {"NotMultiString", regfix::kSz, unterminated(kListed + std::string(1, '\0')),
       STATUS_SUCCESS, false},
      {"Missing", std::nullopt, {}, STATUS_OBJECT_NAME_NOT_FOUND, false},
  };
}

class DeviceTypes : public VolFilterTest, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(DeviceTypes, LoadAndMatch) {
  const LoadCase& c = GetParam();
  ASSERT_TRUE(regfix::write_value(kServiceKey, "Other", regfix::kSz, regfix::utf16("x")));
  if (c.type) {
    ASSERT_TRUE(regfix::write_value(kServiceKey, "DeviceTypes", *c.type, c.data));
  } else {
    // Replace the fixture's value by a key without it.
    ASSERT_TRUE(regfix::write_value(kServiceKey + "X", "Other", regfix::kSz, regfix::utf16("x")));
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\"
                                u"QVVolMgrFilterX");
    EXPECT_EQ(DriverEntry(&driver_, &path), c.load_status);
    return;
  }
  ASSERT_EQ(load(), c.load_status);
  SimDisk& disk = make_disk();
  DEVICE_OBJECT* filter = add(disk);
  EXPECT_EQ(filter != nullptr, c.attached);
}

INSTANTIATE_TEST_SUITE_P(Filter, DeviceTypes, ::testing::ValuesIn(load_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(VolFilterTest, LoadFailsWithoutTheServiceKey) {
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Nope");
  EXPECT_EQ(DriverEntry(&driver_, &path), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(driver_.DriverExtension->AddDevice, nullptr);
}

TEST_F(VolFilterTest, LoadSetsTheDispatchTable) {
  ASSERT_EQ(load(), STATUS_SUCCESS);
  EXPECT_EQ(driver_.DriverExtension->AddDevice, &FilterAddDevice);
  EXPECT_EQ(driver_.DriverUnload, &FilterUnload);
  for (int mj = 0; mj <= IRP_MJ_MAXIMUM_FUNCTION; ++mj) {
    PDRIVER_DISPATCH expected = &FilterPassDown;
    if (mj == IRP_MJ_CREATE || mj == IRP_MJ_CLOSE) expected = &FilterDispatchCreateClose;
    if (mj == IRP_MJ_DEVICE_CONTROL) expected = &FilterDispatchDeviceControl;
    if (mj == IRP_MJ_CLEANUP) expected = &FilterDispatchCleanup;
    if (mj == IRP_MJ_PNP) expected = &FilterDispatchPnp;
    EXPECT_EQ(driver_.MajorFunction[mj], expected) << "major " << mj;
  }
  const ANSI_STRING& list = FilterDeviceTypes();
  EXPECT_EQ(std::string(list.Buffer, list.Length),
            std::string("OTHERVENPRODUCT X       ") + '\0' + kListed + '\0' + '\0');
  driver_.DriverUnload(&driver_);
  loaded_ = false;
  EXPECT_EQ(FilterDeviceTypes().Buffer, nullptr);
  EXPECT_EQ(FilterDeviceTypes().Length, 0);
  EXPECT_EQ(sim::pool_outstanding(kTagDeviceTypes), 0u);
}

struct LoadPoolCase {
  const char* name;
  ULONG tag;
  NTSTATUS status;
};

class LoadPool : public VolFilterTest, public ::testing::WithParamInterface<LoadPoolCase> {};

TEST_P(LoadPool, ShortageStopsTheLoadWithoutLeaks) {
  sim::pool_fail(GetParam().tag);
  EXPECT_EQ(load(), GetParam().status);
  EXPECT_EQ(FilterDeviceTypes().Buffer, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Filter, LoadPool,
                         ::testing::Values(LoadPoolCase{"QueryBuffer", kUntaggedPoolTag,
                                                        STATUS_BUFFER_OVERFLOW},
                                           LoadPoolCase{"List", kTagDeviceTypes,
                                                        STATUS_INSUFFICIENT_RESOURCES}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The storage descriptor

std::vector<UCHAR> descriptor_with(ULONG vendor_offset, ULONG product_offset,
                                   const std::string& strings, ULONG size = 0) {
  std::vector<UCHAR> d(sizeof(STORAGE_DEVICE_DESCRIPTOR) + strings.size(), 0);
  if (!strings.empty())
    std::memcpy(d.data() + sizeof(STORAGE_DEVICE_DESCRIPTOR), strings.data(), strings.size());
  STORAGE_DEVICE_DESCRIPTOR h{};
  h.Version = h.Size = size ? size : static_cast<ULONG>(d.size());
  h.VendorIdOffset = vendor_offset;
  h.ProductIdOffset = product_offset;
  std::memcpy(d.data(), &h, offsetof(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties));
  return d;
}

struct DescriptorCase {
  const char* name;
  std::function<void(Config&)> change;
  bool attached;
};

std::vector<DescriptorCase> descriptor_cases() {
  const std::string strings = "QUORVEL " + std::string(1, '\0') + "QMR-T100        " + '\0';
  return {
      {"Listed", [](Config&) {}, true},
      {"VendorInOtherCase", [](Config& c) { c.vendor = "quorvel "; }, true},
      {"OtherProduct", [](Config& c) { c.product = "QMR-T200        "; }, false},
      {"NoVendor",
       [strings](Config& c) { c.raw_descriptor = descriptor_with(0, 49, strings); }, false},
      {"NoProduct",
       [strings](Config& c) { c.raw_descriptor = descriptor_with(40, 0, strings); }, false},
      {"RawListed",
       [strings](Config& c) { c.raw_descriptor = descriptor_with(40, 49, strings); }, true},
      {"VendorOffsetOutside",
       [strings](Config& c) { c.raw_descriptor = descriptor_with(4000, 49, strings); }, false},
      {"ProductOffsetOutside",
       [strings](Config& c) { c.raw_descriptor = descriptor_with(40, 0x7FFFFFF0, strings); },
       false},
      {"ProductNotTerminated",
       [](Config& c) {
         c.raw_descriptor = descriptor_with(40, 49, "QUORVEL " + std::string(1, '\0') +
                                                        "QMR-T100        ");
       },
       false},
      {"AnswerCutInsideProduct", [](Config& c) { c.descriptor_returned = 55; }, false},
      // The product is whole but its NUL was not returned.
      {"AnswerCutBeforeProductNul", [](Config& c) { c.descriptor_returned = 65; }, false},
      {"AnswerWithProductNul", [](Config& c) { c.descriptor_returned = 66; }, true},
      {"AnswerCutBeforeOffsets", [](Config& c) { c.descriptor_returned = 14; }, false},
      {"HeaderSmallerThanQuery",
       [](Config& c) { c.raw_descriptor = descriptor_with(0, 0, "", 8); }, false},
      {"QueryFails", [](Config& c) { c.query_status = STATUS_IO_DEVICE_ERROR; }, false},
  };
}

class Descriptor : public VolFilterTest, public ::testing::WithParamInterface<DescriptorCase> {};

TEST_P(Descriptor, AttachesOnlyToListedDisks) {
  ASSERT_EQ(load(), STATUS_SUCCESS);
  Config config = simdisk::default_config();
  GetParam().change(config);
  SimDisk& disk = make_disk(config);
  DEVICE_OBJECT* filter = add(disk);
  EXPECT_EQ(filter != nullptr, GetParam().attached);
  EXPECT_EQ(disk.count(IOCTL_STORAGE_QUERY_PROPERTY),
            GetParam().name == std::string("QueryFails") ? 1u : 2u);
  EXPECT_EQ(sim::pool_outstanding(kTagDescriptor), 0u);
  EXPECT_EQ(sim::pool_outstanding(kTagSystemBuffer), 0u);
}

INSTANTIATE_TEST_SUITE_P(Filter, Descriptor, ::testing::ValuesIn(descriptor_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(VolFilterTest, AttachedDeviceIsSetUp) {
  SimDisk& disk = make_disk();
  DEVICE_OBJECT* filter = attach(disk);
  ASSERT_NE(filter, nullptr);
  EXPECT_EQ(filter->DeviceType, FILE_DEVICE_DISK);
  EXPECT_EQ(filter->Characteristics, FILE_DEVICE_SECURE_OPEN);
  EXPECT_EQ(filter->StackSize, 2);
  EXPECT_TRUE(filter->Flags & DO_DIRECT_IO);
  EXPECT_TRUE(filter->Flags & DO_POWER_PAGABLE);
  EXPECT_FALSE(filter->Flags & DO_DEVICE_INITIALIZING);
  VolFilterExtension* e = ext(filter);
  EXPECT_EQ(e->Self, filter);
  EXPECT_EQ(e->Lower, disk.device());
  EXPECT_EQ(e->PhysicalDevice, disk.device());
  EXPECT_EQ(e->SlotCount, 12u);
  EXPECT_EQ(e->OwnerPid, 0u);
  EXPECT_EQ(e->PagingCount, 0);
  EXPECT_EQ(e->CachedGeometry.BytesPerSector, 0u);
  EXPECT_EQ(KeReadStateEvent(&e->PagingEvent), 1);
  // The descriptor query: 12-byte standard device property query, 8 bytes
  // of header first.
  const auto calls = disk.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].input_length, 12u);
  EXPECT_EQ(calls[0].output_length, 8u);
  EXPECT_EQ(calls[0].input, std::vector<UCHAR>(12, 0));
  EXPECT_EQ(calls[1].input_length, 12u);
  EXPECT_GE(calls[1].output_length, sizeof(STORAGE_DEVICE_DESCRIPTOR));
}

TEST_F(VolFilterTest, DiskThatCannotTakeAFilterIsRefused) {
  ASSERT_EQ(load(), STATUS_SUCCESS);
  SimDisk& disk = make_disk();
  disk.device()->ExtensionFlags |= DOE_DELETE_PENDING;
  EXPECT_EQ(add(disk, STATUS_NO_SUCH_DEVICE), nullptr);
  EXPECT_EQ(sim::pool_outstanding(sim::kDeviceTag), 1u);  // only the disk itself
}

struct AddPoolCase {
  const char* name;
  ULONG tag;
  ULONG skip;
};

class AddDevicePool : public VolFilterTest, public ::testing::WithParamInterface<AddPoolCase> {};

TEST_P(AddDevicePool, ShortageLeavesTheDiskUnfiltered) {
  ASSERT_EQ(load(), STATUS_SUCCESS);
  SimDisk& disk = make_disk();
  sim::pool_fail(GetParam().tag, GetParam().skip);
  EXPECT_EQ(add(disk), nullptr);
  // The same disk is taken once memory is back.
  sim::pool_clear_failures();
  EXPECT_NE(add(disk), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Filter, AddDevicePool,
    ::testing::Values(AddPoolCase{"HeaderRequest", sim::kIrpTag, 0},
                      AddPoolCase{"HeaderSystemBuffer", kTagSystemBuffer, 0},
                      AddPoolCase{"Descriptor", kTagDescriptor, 0},
                      AddPoolCase{"DescriptorRequest", sim::kIrpTag, 1},
                      AddPoolCase{"DescriptorSystemBuffer", kTagSystemBuffer, 1},
                      AddPoolCase{"FilterDevice", sim::kDeviceTag, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Size scaling

struct ScaleCase {
  const char* name;
  ULONG code;
  ULONG output;
  UCHAR slots;
  UCHAR scsi_status;
  NTSTATUS pass_through_status;
  std::optional<ULONG> short_information;
  NTSTATUS status;
  bool slot_query;                 // the drive was asked for its slot count
  std::optional<LONGLONG> factor;  // the answer's scale; nullopt: unscaled or none
};

std::vector<ScaleCase> scale_cases() {
  constexpr ULONG G = IOCTL_DISK_GET_DRIVE_GEOMETRY;
  constexpr ULONG GX = IOCTL_DISK_GET_DRIVE_GEOMETRY_EX;
  constexpr ULONG L = IOCTL_DISK_GET_LENGTH_INFO;
  constexpr NTSTATUS OK = STATUS_SUCCESS;
  constexpr NTSTATUS FAULT = STATUS_IO_DEVICE_ERROR;
  constexpr UCHAR kBusy = 0x08;  // SCSI status BUSY
  return {
      {"Geometry", G, 24, 5, SCSISTAT_GOOD, OK, std::nullopt, OK, true, 5},
      {"GeometryLargeBuffer", G, 64, 5, SCSISTAT_GOOD, OK, std::nullopt, OK, true, 5},
      {"GeometryEx", GX, 40, 5, SCSISTAT_GOOD, OK, std::nullopt, OK, true, 5},
      {"Length", L, 8, 5, SCSISTAT_GOOD, OK, std::nullopt, OK, true, 5},
      {"ManySlots", L, 8, 250, SCSISTAT_GOOD, OK, std::nullopt, OK, true, 250},
      // A failed slot query fails the request: no size is made up.
      {"NoSlotsIsAFault", L, 8, 0, SCSISTAT_GOOD, OK, std::nullopt, FAULT, true, std::nullopt},
      {"NoSlotsNoGeometry", GX, 40, 0, SCSISTAT_GOOD, OK, std::nullopt, FAULT, true, std::nullopt},
      {"CheckConditionIsAFault", GX, 40, 5, SCSISTAT_CHECK_CONDITION, OK, std::nullopt, FAULT, true,
       std::nullopt},
      {"CheckConditionLength", L, 8, 5, SCSISTAT_CHECK_CONDITION, OK, std::nullopt, FAULT, true,
       std::nullopt},
      {"BusyIsAFault", G, 24, 5, kBusy, OK, std::nullopt, FAULT, true, std::nullopt},
      {"FailedSlotQuery", L, 8, 5, SCSISTAT_GOOD, FAULT, std::nullopt, FAULT, true, std::nullopt},
      {"FailedSlotQueryGeometry", G, 24, 5, SCSISTAT_GOOD, FAULT, std::nullopt, FAULT, true, std::nullopt},
      {"ShortGeometryBuffer", G, 23, 5, SCSISTAT_GOOD, OK, std::nullopt, STATUS_BUFFER_TOO_SMALL, false,
       std::nullopt},
      {"ShortGeometryExBuffer", GX, 39, 5, SCSISTAT_GOOD, OK, std::nullopt, STATUS_BUFFER_TOO_SMALL, false,
       std::nullopt},
      {"ShortLengthBuffer", L, 7, 5, SCSISTAT_GOOD, OK, std::nullopt, STATUS_BUFFER_TOO_SMALL, false,
       std::nullopt},
      {"ShortGeometryAnswer", G, 24, 5, SCSISTAT_GOOD, OK, 16, OK, false, std::nullopt},
      {"ShortGeometryExAnswer", GX, 40, 5, SCSISTAT_GOOD, OK, 32, OK, false, std::nullopt},
      {"ShortLengthAnswer", L, 8, 5, SCSISTAT_GOOD, OK, 4, OK, false, std::nullopt},
  };
}

class Scaling : public VolFilterTest,
                public ::testing::WithParamInterface<std::tuple<ScaleCase, bool>> {
 protected:
  void SetUp() override {
    async_ = std::get<1>(GetParam());
    VolFilterTest::SetUp();
  }
};

TEST_P(Scaling, SizeTimesSlotCount) {
  const ScaleCase& c = std::get<0>(GetParam());
  Config config = simdisk::default_config();
  config.slots = c.slots;
  config.scsi_status = c.scsi_status;
  config.pass_through_status = c.pass_through_status;
  config.short_information = c.short_information;
  SimDisk& disk = make_disk(config);
  DEVICE_OBJECT* filter = attach(disk);
  ASSERT_NE(filter, nullptr);

  alignas(8) UCHAR buffer[64] = {};
  const Result r = ioctl(filter, c.code, buffer, 0, c.output);
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(disk.count(c.code), 1u);
  EXPECT_EQ(disk.count(IOCTL_SCSI_PASS_THROUGH), c.slot_query ? 1u : 0u);
  if (!NT_SUCCESS(c.status)) {
    if (c.slot_query) {
      EXPECT_EQ(r.information, 0u) << "nothing is returned";
      EXPECT_EQ(ext(filter)->SlotCount, kDefaultSlotCount) << "the slot count is left as it was";
    }
    return;
  }

  const LONGLONG f = c.factor.value_or(1);
  const DISK_GEOMETRY& g = config.geometry;
  if (c.code == IOCTL_DISK_GET_LENGTH_INFO) {
    GET_LENGTH_INFORMATION out;
    std::memcpy(&out, buffer, sizeof(out));
    EXPECT_EQ(out.Length.QuadPart, config.disk_size * f);
    return;
  }
  DISK_GEOMETRY out;
  std::memcpy(&out, buffer, sizeof(out));
  EXPECT_EQ(out.Cylinders.QuadPart, g.Cylinders.QuadPart * f);
  EXPECT_EQ(out.TracksPerCylinder, g.TracksPerCylinder);
  EXPECT_EQ(out.SectorsPerTrack, g.SectorsPerTrack);
  EXPECT_EQ(out.BytesPerSector, g.BytesPerSector);
  EXPECT_EQ(out.MediaType, g.MediaType);
  if (c.code == IOCTL_DISK_GET_DRIVE_GEOMETRY_EX) {
    DISK_GEOMETRY_EX ex;
    std::memcpy(&ex, buffer, sizeof(ex));
    EXPECT_EQ(ex.DiskSize.QuadPart, config.disk_size * f);
  }
  if (c.factor) {
    EXPECT_EQ(ext(filter)->SlotCount, ULONG(f));
  }
}

INSTANTIATE_TEST_SUITE_P(Filter, Scaling,
                         ::testing::Combine(::testing::ValuesIn(scale_cases()), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "_Later" : "_AtOnce");
                         });

TEST_F(VolFilterTest, SlotQueryIsMechanismStatus) {
  SimDisk& disk = make_disk();
  DEVICE_OBJECT* filter = attach(disk);
  ASSERT_NE(filter, nullptr);
  GET_LENGTH_INFORMATION len{};
  ASSERT_EQ(ioctl(filter, IOCTL_DISK_GET_LENGTH_INFO, &len, 0, sizeof(len)).status,
            STATUS_SUCCESS);
  const auto calls = disk.calls();
  ASSERT_EQ(calls.size(), 4u);
  const simdisk::Call& pt = calls[3];
  EXPECT_EQ(pt.major, IRP_MJ_DEVICE_CONTROL);
  EXPECT_EQ(pt.code, IOCTL_SCSI_PASS_THROUGH);
  EXPECT_EQ(pt.input_length, 96u);
  EXPECT_EQ(pt.output_length, 96u);
  std::vector<UCHAR> expected(96, 0);
  expected[0] = 56;                      // Length
  expected[6] = 12;                      // CdbLength
  expected[7] = 18;                      // SenseInfoLength
  expected[8] = 1;                       // DataIn
  expected[12] = 12;                     // DataTransferLength
  expected[16] = 120;                    // TimeOutValue
  expected[24] = 78;                     // DataBufferOffset
  expected[32] = 60;                     // SenseInfoOffset
  expected[36] = 0xBD;                   // MECHANISM STATUS
  expected[44] = 0x00;                   // allocation length, big-endian
  expected[45] = 0x0C;
  EXPECT_EQ(pt.input, expected);
  EXPECT_EQ(sim::pool_allocations(kTagPassThrough), 1u);
}

TEST_F(VolFilterTest, ShortMechanismStatusAnswerIsAFaultNotZeroSlots) {
  struct Case {
    ULONG returned;
    NTSTATUS status;
    ULONG slots;  // the size's factor, and the slot count kept
  } cases[] = {{0, STATUS_IO_DEVICE_ERROR, 12}, {5, STATUS_IO_DEVICE_ERROR, 12}, {6, STATUS_SUCCESS, 5}};
  ASSERT_EQ(load(), STATUS_SUCCESS);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.returned);
    Config config = simdisk::default_config();
    config.mechanism_returned = c.returned;
    SimDisk& disk = make_disk(config);
    DEVICE_OBJECT* filter = add(disk);
    ASSERT_NE(filter, nullptr);
    GET_LENGTH_INFORMATION len{};
    const Result r = ioctl(filter, IOCTL_DISK_GET_LENGTH_INFO, &len, 0, sizeof(len));
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(ext(filter)->SlotCount, c.slots);
    if (NT_SUCCESS(c.status)) {
      EXPECT_EQ(len.Length.QuadPart, config.disk_size * c.slots);
    } else {
      EXPECT_EQ(r.information, 0u);
    }
  }
}

struct ScalePoolCase {
  const char* name;
  ULONG tag;
  ULONG skip;
};

class ScalingPool : public VolFilterTest, public ::testing::WithParamInterface<ScalePoolCase> {};

TEST_P(ScalingPool, ShortageFailsTheRequest) {
  SimDisk& disk = make_disk();
  DEVICE_OBJECT* filter = attach(disk);
  ASSERT_NE(filter, nullptr);
  GET_LENGTH_INFORMATION len{};
  ASSERT_EQ(ioctl(filter, IOCTL_DISK_GET_LENGTH_INFO, &len, 0, sizeof(len)).status,
            STATUS_SUCCESS);
  EXPECT_EQ(len.Length.QuadPart, disk.config().disk_size * 5);
  disk.config().slots = 9;
  // The test's own request packet is the first "Irp " allocation.
  sim::pool_fail(GetParam().tag, GetParam().skip);
  const Result r = ioctl(filter, IOCTL_DISK_GET_LENGTH_INFO, &len, 0, sizeof(len));
  EXPECT_EQ(r.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(r.information, 0u);
  EXPECT_EQ(disk.count(IOCTL_SCSI_PASS_THROUGH), 1u);
  EXPECT_EQ(ext(filter)->SlotCount, 5u) << "the count the drive reported before";
  sim::pool_clear_failures();
  ASSERT_EQ(ioctl(filter, IOCTL_DISK_GET_LENGTH_INFO, &len, 0, sizeof(len)).status,
            STATUS_SUCCESS);
  EXPECT_EQ(len.Length.QuadPart, disk.config().disk_size * 9);
}

INSTANTIATE_TEST_SUITE_P(
    Filter, ScalingPool,
    ::testing::Values(ScalePoolCase{"PassThroughBuffer", kTagPassThrough, 0},
                      ScalePoolCase{"PassThroughRequest", sim::kIrpTag, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(FilterIo, LayoutPassesUnchanged) {
  SimDisk& disk = make_disk();
  DEVICE_OBJECT* filter = attach(disk);
  ASSERT_NE(filter, nullptr);
  for (ULONG code : {IOCTL_DISK_GET_DRIVE_LAYOUT, IOCTL_DISK_GET_DRIVE_LAYOUT_EX}) {
    UCHAR buffer[48] = {};
    const Result r = ioctl(filter, code, buffer, 0, sizeof(buffer));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, sizeof(buffer));
    EXPECT_EQ(std::vector<UCHAR>(buffer, buffer + 48), std::vector<UCHAR>(48, 0xAB));
    EXPECT_EQ(disk.count(code), 1u);
  }
  EXPECT_EQ(disk.count(IOCTL_SCSI_PASS_THROUGH), 0u);
}

TEST_P(FilterIo, NonBufferedDiskRequestIsPassedDownUnexamined) {
  SimDisk& disk = make_disk();
  DEVICE_OBJECT* filter = attach(disk);
  ASSERT_NE(filter, nullptr);
  // A geometry request without a system buffer.
  const Result r = ioctl(filter, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, 24);
  EXPECT_EQ(disk.count(IOCTL_DISK_GET_DRIVE_GEOMETRY), 1u);
  EXPECT_EQ(disk.count(IOCTL_SCSI_PASS_THROUGH), 0u);
  EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);  // the disk's own answer
  // A media check with lengths but a direct method goes down too.
  UCHAR buffer[8] = {};
  const ULONG direct_check = IOCTL_DISK_CHECK_VERIFY | METHOD_OUT_DIRECT;
  ioctl(filter, direct_check, buffer, 0, sizeof(buffer));
  EXPECT_EQ(disk.count(direct_check), 1u);
}

// ---------------------------------------------------------------------------
// Media check, owner and ejection

TEST_P(FilterIo, MediaCheckAnswersNoMedia) {
  SimDisk& disk = make_disk();
  DEVICE_OBJECT* filter = attach(disk);
  ASSERT_NE(filter, nullptr);
  EXPECT_EQ(eject(filter, IOCTL_DISK_CHECK_VERIFY).status, STATUS_NO_MEDIA_IN_DEVICE);
  ASSERT_EQ(register_owner(filter, kOwner).status, STATUS_SUCCESS);
  EXPECT_EQ(eject(filter, IOCTL_DISK_CHECK_VERIFY).status, STATUS_NO_MEDIA_IN_DEVICE);
  EXPECT_EQ(disk.count(IOCTL_DISK_CHECK_VERIFY), 0u);
}

TEST_P(FilterIo, EjectionPassesWithoutOwner) {
  SimDisk& disk = make_disk();
  DEVICE_OBJECT* filter = attach(disk);
  ASSERT_NE(filter, nullptr);
  for (ULONG code : {IOCTL_DISK_EJECT_MEDIA, IOCTL_STORAGE_EJECT_MEDIA}) {
    EXPECT_EQ(eject(filter, code).status, STATUS_SUCCESS);
    EXPECT_EQ(disk.count(code), 1u);
  }
}

TEST_P(FilterIo, OwnerHoldsTheMediumUntilItsCleanup) {
  SimDisk& disk = make_disk();
  DEVICE_OBJECT* filter = attach(disk);
  ASSERT_NE(filter, nullptr);
  ASSERT_EQ(register_owner(filter, kOwner).status, STATUS_SUCCESS);
  EXPECT_EQ(disk.count(IOCTL_VOLFILTER_REGISTER_OWNER), 1u);
  for (ULONG code : {IOCTL_DISK_EJECT_MEDIA, IOCTL_STORAGE_EJECT_MEDIA}) {
    EXPECT_EQ(eject(filter, code).status, STATUS_DEVICE_BUSY);
    sim::ScopedProcess as(kOwner);
    EXPECT_EQ(eject(filter, code).status, STATUS_DEVICE_BUSY);
  }
  // Another process closing its handle does not free the medium.
  EXPECT_EQ(cleanup(filter, kStranger).status, STATUS_SUCCESS);
  EXPECT_EQ(eject(filter, IOCTL_DISK_EJECT_MEDIA).status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(cleanup(filter, kOwner).status, STATUS_SUCCESS);
  EXPECT_EQ(disk.count_major(IRP_MJ_CLEANUP), 2u);
  for (ULONG code : {IOCTL_DISK_EJECT_MEDIA, IOCTL_STORAGE_EJECT_MEDIA}) {
    EXPECT_EQ(eject(filter, code).status, STATUS_SUCCESS);
    EXPECT_EQ(disk.count(code), 1u);
  }
}

TEST_P(FilterIo, NewOwnerReplacesTheOld) {
  SimDisk& disk = make_disk();
  DEVICE_OBJECT* filter = attach(disk);
  ASSERT_NE(filter, nullptr);
  ASSERT_EQ(register_owner(filter, kOwner).status, STATUS_SUCCESS);
  ASSERT_EQ(register_owner(filter, kStranger).status, STATUS_SUCCESS);
  cleanup(filter, kOwner);
  EXPECT_EQ(eject(filter, IOCTL_DISK_EJECT_MEDIA).status, STATUS_DEVICE_BUSY);
  cleanup(filter, kStranger);
  EXPECT_EQ(eject(filter, IOCTL_DISK_EJECT_MEDIA).status, STATUS_SUCCESS);
}

TEST_P(FilterIo, CleanupWithoutAnyOwnerIsPassedDown) {
  SimDisk& disk = make_disk();
  DEVICE_OBJECT* filter = attach(disk);
  ASSERT_NE(filter, nullptr);
  EXPECT_EQ(cleanup(filter, kStranger).status, STATUS_SUCCESS);
  EXPECT_EQ(disk.count_major(IRP_MJ_CLEANUP), 1u);
}

class RefusedOwner : public VolFilterTest,
                     public ::testing::WithParamInterface<std::tuple<NTSTATUS, bool>> {
 protected:
  void SetUp() override {
    async_ = std::get<1>(GetParam());
    VolFilterTest::SetUp();
  }
};

TEST_P(RefusedOwner, OwnerStillRegisteredAndCleanupsCompletedHere) {
  Config config = simdisk::default_config();
  config.owner_status = std::get<0>(GetParam());
  SimDisk& disk = make_disk(config);
  DEVICE_OBJECT* filter = attach(disk);
  ASSERT_NE(filter, nullptr);
  EXPECT_EQ(register_owner(filter, kOwner).status, STATUS_SUCCESS);
  EXPECT_EQ(ext(filter)->LowerAcceptsOwner, 0);
  EXPECT_EQ(eject(filter, IOCTL_STORAGE_EJECT_MEDIA).status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(cleanup(filter, kOwner).status, STATUS_SUCCESS);
  EXPECT_EQ(cleanup(filter, kStranger).status, STATUS_SUCCESS);
  EXPECT_EQ(disk.count_major(IRP_MJ_CLEANUP), 0u);
  EXPECT_EQ(eject(filter, IOCTL_STORAGE_EJECT_MEDIA).status, STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Filter, RefusedOwner,
                         ::testing::Combine(::testing::Values(STATUS_NOT_SUPPORTED,
                                                              STATUS_INVALID_DEVICE_REQUEST),
                                            ::testing::Bool()));

TEST_P(FilterIo, FailedRegistrationKeepsThePreviousOwner) {
  SimDisk& disk = make_disk();
  DEVICE_OBJECT* filter = attach(disk);
  ASSERT_NE(filter, nullptr);
  ASSERT_EQ(register_owner(filter, kOwner).status, STATUS_SUCCESS);
  disk.config().owner_status = STATUS_IO_DEVICE_ERROR;
  EXPECT_EQ(register_owner(filter, kStranger).status, STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(ext(filter)->OwnerPid, kOwner);
  // The failed registrant's cleanup does not free the medium; the owner's does.
  cleanup(filter, kStranger);
  EXPECT_EQ(eject(filter, IOCTL_DISK_EJECT_MEDIA).status, STATUS_DEVICE_BUSY);
  cleanup(filter, kOwner);
  EXPECT_EQ(eject(filter, IOCTL_DISK_EJECT_MEDIA).status, STATUS_SUCCESS);
}

TEST_P(FilterIo, FailedFirstRegistrationLeavesNoOwner) {
  Config config = simdisk::default_config();
  config.owner_status = STATUS_IO_DEVICE_ERROR;
  SimDisk& disk = make_disk(config);
  DEVICE_OBJECT* filter = attach(disk);
  ASSERT_NE(filter, nullptr);
  EXPECT_EQ(register_owner(filter, kOwner).status, STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(ext(filter)->OwnerPid, 0u);
  EXPECT_EQ(eject(filter, IOCTL_DISK_EJECT_MEDIA).status, STATUS_SUCCESS);
  EXPECT_EQ(cleanup(filter, kOwner).status, STATUS_SUCCESS);
  EXPECT_EQ(disk.count_major(IRP_MJ_CLEANUP), 1u);
}

TEST_P(FilterIo, OwnerGeometryIsCachedUntilCleanup) {
  SimDisk& disk = make_disk();
  DEVICE_OBJECT* filter = attach(disk);
  ASSERT_NE(filter, nullptr);
  const LONGLONG cylinders = disk.config().geometry.Cylinders.QuadPart;
  ASSERT_EQ(register_owner(filter, kOwner).status, STATUS_SUCCESS);
  EXPECT_EQ(geometry_cylinders(filter, kOwner), cylinders * 5);
  disk.config().slots = 7;
  // While the owner is registered every caller is served from the cache.
  EXPECT_EQ(geometry_cylinders(filter, kOwner), cylinders * 5);
  EXPECT_EQ(geometry_cylinders(filter, kStranger), cylinders * 5);
  EXPECT_EQ(disk.count(IOCTL_DISK_GET_DRIVE_GEOMETRY), 1u);
  // A new registration clears the cache; only the owner's answer fills it.
  ASSERT_EQ(register_owner(filter, kOwner).status, STATUS_SUCCESS);
  EXPECT_EQ(geometry_cylinders(filter, kStranger), cylinders * 7);
  EXPECT_EQ(ext(filter)->CachedGeometry.BytesPerSector, 0u);
  EXPECT_EQ(geometry_cylinders(filter, kOwner), cylinders * 7);
  EXPECT_EQ(ext(filter)->CachedGeometry.BytesPerSector, 2048u);
  disk.config().slots = 3;
  EXPECT_EQ(geometry_cylinders(filter, kOwner), cylinders * 7);
  // Without an owner the cache is not used.
  cleanup(filter, kOwner);
  EXPECT_EQ(geometry_cylinders(filter, kOwner), cylinders * 3);
  // A short buffer is never served from the cache.
  ASSERT_EQ(register_owner(filter, kOwner).status, STATUS_SUCCESS);
  EXPECT_EQ(geometry_cylinders(filter, kOwner), cylinders * 3);
  sim::ScopedProcess as(kOwner);
  DISK_GEOMETRY g{};
  EXPECT_EQ(ioctl(filter, IOCTL_DISK_GET_DRIVE_GEOMETRY, &g, 0, 23).status,
            STATUS_BUFFER_TOO_SMALL);
}

// However the slot query fails, the owner's geometry request fails, nothing
// is cached, and once the drive answers properly its own count is used.
TEST_P(FilterIo, GeometryFromAFailedSlotQueryIsNotCached) {
  struct Failure {
    const char* name;
    std::function<void(Config&)> make;
  };
  const Failure failures[] = {
      {"request failed", [](Config& c) { c.pass_through_status = STATUS_IO_DEVICE_ERROR; }},
      {"check condition", [](Config& c) { c.scsi_status = SCSISTAT_CHECK_CONDITION; }},
      {"no slots", [](Config& c) { c.slots = 0; }},
      {"short answer", [](Config& c) { c.mechanism_returned = 5; }},
  };
  ASSERT_EQ(load(), STATUS_SUCCESS);
  for (const Failure& f : failures) {
    SCOPED_TRACE(f.name);
    Config config = simdisk::default_config();
    config.complete_later = async_;
    f.make(config);
    SimDisk& disk = make_disk(config);
    DEVICE_OBJECT* filter = add(disk);
    ASSERT_NE(filter, nullptr);
    const LONGLONG cylinders = config.geometry.Cylinders.QuadPart;
    ASSERT_EQ(register_owner(filter, kOwner).status, STATUS_SUCCESS);
    NTSTATUS status = 0;
    for (int i = 0; i < 2; ++i) {
      geometry_cylinders(filter, kOwner, &status);
      EXPECT_EQ(status, STATUS_IO_DEVICE_ERROR);
      EXPECT_EQ(ext(filter)->CachedGeometry.BytesPerSector, 0u);
    }
    disk.config() = simdisk::default_config();
    disk.config().complete_later = async_;
    EXPECT_EQ(geometry_cylinders(filter, kOwner, &status), cylinders * 5);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(geometry_cylinders(filter, kStranger, &status), cylinders * 5) << "from the cache";
    EXPECT_EQ(disk.count(IOCTL_SCSI_PASS_THROUGH), 3u);
  }
}

// ---------------------------------------------------------------------------
// Other requests and plug and play

TEST_P(FilterIo, CreateAndCloseStayInTheFilter) {
  SimDisk& disk = make_disk();
  DEVICE_OBJECT* filter = attach(disk);
  ASSERT_NE(filter, nullptr);
  EXPECT_EQ(simdisk::send_major(filter, IRP_MJ_CREATE).status, STATUS_SUCCESS);
  EXPECT_EQ(simdisk::send_major(filter, IRP_MJ_CLOSE).status, STATUS_SUCCESS);
  EXPECT_EQ(disk.calls().size(), 2u);  // the two descriptor queries only
  for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_FLUSH_BUFFERS, IRP_MJ_POWER}) {
    EXPECT_EQ(simdisk::send_major(filter, major).status, STATUS_SUCCESS);
    EXPECT_EQ(disk.count_major(major), 1u) << int(major);
  }
  // Codes of other device types go down untouched.
  const ULONG foreign = CTL_CODE(0x22, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS);
  EXPECT_EQ(eject(filter, foreign).status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(disk.count(foreign), 1u);
}

TEST_P(FilterIo, StartCopiesTheMediaCharacteristics) {
  Config config = simdisk::default_config();
  SimDisk& disk = make_disk(config);
  DEVICE_OBJECT* filter = attach(disk);
  ASSERT_NE(filter, nullptr);
  disk.device()->Characteristics =
      FILE_REMOVABLE_MEDIA | FILE_WRITE_ONCE_MEDIA | FILE_DEVICE_SECURE_OPEN | 0x20000;
  EXPECT_EQ(simdisk::send_major(filter, IRP_MJ_PNP, IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(filter->Characteristics,
            FILE_DEVICE_SECURE_OPEN | FILE_REMOVABLE_MEDIA | FILE_WRITE_ONCE_MEDIA);
  EXPECT_EQ(disk.count_major(IRP_MJ_PNP, IRP_MN_START_DEVICE), 1u);
  disk.config().pnp_status = STATUS_IO_DEVICE_ERROR;
  EXPECT_EQ(simdisk::send_major(filter, IRP_MJ_PNP, IRP_MN_START_DEVICE).status,
            STATUS_IO_DEVICE_ERROR);
}

TEST_P(FilterIo, RemoveDetachesAndDeletes) {
  SimDisk& disk = make_disk();
  DEVICE_OBJECT* filter = attach(disk);
  ASSERT_NE(filter, nullptr);
  EXPECT_EQ(simdisk::send_major(filter, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(disk.device()->AttachedDevice, nullptr);
  EXPECT_EQ(driver_.DeviceObject, nullptr);
  EXPECT_EQ(disk.count_major(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE), 1u);
  // Other minor functions go down.
  EXPECT_NE(add(disk), nullptr);
  EXPECT_EQ(simdisk::send_major(disk.device()->AttachedDevice, IRP_MJ_PNP, 0x07).status,
            STATUS_SUCCESS);
  EXPECT_EQ(disk.count_major(IRP_MJ_PNP, 0x07), 1u);
}

TEST_P(FilterIo, PagingPathNotifications) {
  SimDisk& disk = make_disk();
  DEVICE_OBJECT* filter = attach(disk);
  ASSERT_NE(filter, nullptr);
  VolFilterExtension* e = ext(filter);
  using simdisk::send_usage_notification;
  // Entering the paging path makes the device non-pagable.
  EXPECT_EQ(send_usage_notification(filter, DeviceUsageTypePaging, true).status, STATUS_SUCCESS);
  EXPECT_EQ(e->PagingCount, 1);
  EXPECT_FALSE(filter->Flags & DO_POWER_PAGABLE);
  EXPECT_EQ(send_usage_notification(filter, DeviceUsageTypePaging, true).status, STATUS_SUCCESS);
  EXPECT_EQ(e->PagingCount, 2);
  EXPECT_EQ(send_usage_notification(filter, DeviceUsageTypePaging, false).status, STATUS_SUCCESS);
  EXPECT_EQ(e->PagingCount, 1);
  EXPECT_FALSE(filter->Flags & DO_POWER_PAGABLE);
  // A failed leave of the last path takes back the pagable flag it set.
  disk.config().pnp_status = STATUS_UNSUCCESSFUL;
  EXPECT_EQ(send_usage_notification(filter, DeviceUsageTypePaging, false).status,
            STATUS_UNSUCCESSFUL);
  EXPECT_EQ(e->PagingCount, 1);
  EXPECT_FALSE(filter->Flags & DO_POWER_PAGABLE);
  // Leaving the last path makes it pagable again.
  disk.config().pnp_status = STATUS_SUCCESS;
  EXPECT_EQ(send_usage_notification(filter, DeviceUsageTypePaging, false).status, STATUS_SUCCESS);
  EXPECT_EQ(e->PagingCount, 0);
  EXPECT_TRUE(filter->Flags & DO_POWER_PAGABLE);
  EXPECT_EQ(KeReadStateEvent(&e->PagingEvent), 1);
  EXPECT_EQ(disk.count_major(IRP_MJ_PNP, IRP_MN_DEVICE_USAGE_NOTIFICATION), 5u);
  // Other usage types go down without counting.
  EXPECT_EQ(send_usage_notification(filter, DeviceUsageTypeHibernation, true).status,
            STATUS_SUCCESS);
  EXPECT_EQ(e->PagingCount, 0);
  EXPECT_TRUE(filter->Flags & DO_POWER_PAGABLE);
}

TEST_P(FilterIo, InrushDeviceIsNeverMadePagable) {
  SimDisk& disk = make_disk();
  DEVICE_OBJECT* filter = attach(disk);
  ASSERT_NE(filter, nullptr);
  filter->Flags |= DO_POWER_INRUSH;
  using simdisk::send_usage_notification;
  EXPECT_EQ(send_usage_notification(filter, DeviceUsageTypePaging, true).status, STATUS_SUCCESS);
  EXPECT_FALSE(filter->Flags & DO_POWER_PAGABLE);
  EXPECT_EQ(send_usage_notification(filter, DeviceUsageTypePaging, false).status, STATUS_SUCCESS);
  EXPECT_EQ(ext(filter)->PagingCount, 0);
  EXPECT_FALSE(filter->Flags & DO_POWER_PAGABLE);
}

INSTANTIATE_TEST_SUITE_P(Filter, FilterIo, ::testing::Bool(), mode_name);

TEST_F(VolFilterTest, PagingNotificationsAreSerialised) {
  async_ = true;
  SimDisk& disk = make_disk();
  DEVICE_OBJECT* filter = attach(disk);
  ASSERT_NE(filter, nullptr);
  VolFilterExtension* e = ext(filter);
  disk.hold();
  Result first;
  std::thread t([&] {
    first = simdisk::send_usage_notification(filter, DeviceUsageTypePaging, true);
  });
  // Wait until the notification reached the disk (no clock involved: the
  // disk's queue is the signal).
  while (disk.waiting() == 0) std::this_thread::yield();
  // While it is in flight the event is taken, so a second one would wait.
  EXPECT_EQ(KeReadStateEvent(&e->PagingEvent), 0);
  disk.release();
  t.join();
  EXPECT_EQ(first.status, STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&e->PagingEvent), 1);
  EXPECT_EQ(e->PagingCount, 1);
}

// A removal while a request waits on the drive: the removal waits for it
// (the request then still uses the device), and requests that arrive
// meanwhile are refused without reaching the disk.
TEST_F(VolFilterTest, RemovalWaitsForARequestStillWaitingBelow) {
  async_ = true;
  SimDisk& disk = make_disk();
  DEVICE_OBJECT* filter = attach(disk);
  ASSERT_NE(filter, nullptr);
  const LONGLONG cylinders = disk.config().geometry.Cylinders.QuadPart;
  disk.hold();
  NTSTATUS geometry_status = 0;
  LONGLONG geometry = 0;
  std::thread request([&] { geometry = geometry_cylinders(filter, kStranger, &geometry_status); });
  while (disk.waiting() == 0) std::this_thread::yield();  // held by the disk
  Result removal;
  std::thread remover([&] { removal = simdisk::send_major(filter, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE); });
  // Both threads now wait in the kernel: the request on the disk, the
  // removal on the remove lock (with the fault: on the disk as well).
  while (sim::blocked_waits() < 2) std::this_thread::yield();
  EXPECT_EQ(disk.count_major(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE), 0u) << "the removal went ahead";
  EXPECT_EQ(driver_.DeviceObject, filter) << "the device was deleted under the request";
  GET_LENGTH_INFORMATION len{};
  EXPECT_EQ(ioctl(filter, IOCTL_DISK_GET_LENGTH_INFO, &len, 0, sizeof(len)).status, STATUS_DELETE_PENDING);
  EXPECT_EQ(disk.count(IOCTL_DISK_GET_LENGTH_INFO), 0u);
  disk.release();
  request.join();
  remover.join();
  EXPECT_EQ(geometry_status, STATUS_SUCCESS);
  EXPECT_EQ(geometry, cylinders * 5);
  EXPECT_EQ(removal.status, STATUS_SUCCESS);
  const auto calls = disk.calls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[calls.size() - 2].code, IOCTL_SCSI_PASS_THROUGH) << "the request finished first";
  EXPECT_EQ(calls.back().minor, IRP_MN_REMOVE_DEVICE);
  EXPECT_EQ(disk.device()->AttachedDevice, nullptr);
  EXPECT_EQ(driver_.DeviceObject, nullptr);
}

// ---------------------------------------------------------------------------
// Control requests the driver builds

struct BuildCase {
  const char* name;
  ULONG method;
  ULONG input;
  ULONG output;
  bool internal;
  std::optional<ULONG> fail_tag;
  NTSTATUS status;
};

class BuildIoctl : public VolFilterTest, public ::testing::WithParamInterface<BuildCase> {};

TEST_P(BuildIoctl, RequestReachesTheTarget) {
  const BuildCase& c = GetParam();
  Config config = simdisk::default_config();
  config.echo_information = 8;
  SimDisk& disk = make_disk(config);
  alignas(8) UCHAR buffer[32];
  for (int i = 0; i < 32; ++i) buffer[i] = static_cast<UCHAR>(i);
  if (c.fail_tag) sim::pool_fail(*c.fail_tag);
  IO_STATUS_BLOCK iosb{STATUS_PENDING, 99};
  const ULONG code = simdisk::kEchoCode(c.method);
  const NTSTATUS s =
      FilterBuildDeviceIoControl(code, disk.device(), buffer, c.input, c.output, c.internal, &iosb);
  EXPECT_EQ(s, c.status);
  EXPECT_EQ(iosb.Status, c.status);
  EXPECT_EQ(sim::pool_outstanding(kTagSystemBuffer), 0u);
  EXPECT_EQ(sim::pool_outstanding(sim::kMdlTag), 0u);
  const auto calls = disk.calls();
  if (!NT_SUCCESS(c.status)) {
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(iosb.Information, 0u);
    return;
  }
  ASSERT_EQ(calls.size(), 1u);
  const simdisk::Call& call = calls[0];
  EXPECT_EQ(call.major, c.internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL);
  EXPECT_EQ(call.code, code);
  EXPECT_EQ(call.input_length, c.input);
  EXPECT_EQ(call.output_length, c.output);
  const ULONG written = std::min<ULONG>(8, c.output);
  EXPECT_EQ(iosb.Information, written);
  std::vector<UCHAR> expected(32);
  for (int i = 0; i < 32; ++i) expected[i] = static_cast<UCHAR>(i);
  for (ULONG i = 0; i < written; ++i) expected[i] = 0x5A;
  EXPECT_EQ(std::vector<UCHAR>(buffer, buffer + 32), expected);
  if (c.method == METHOD_BUFFERED) {
    EXPECT_EQ(call.user_buffer, buffer);
    EXPECT_EQ(call.has_mdl, false);
    if (c.input || c.output) {
      EXPECT_NE(call.system_buffer, nullptr);
      EXPECT_NE(call.system_buffer, buffer);
      std::vector<UCHAR> input(c.input);
      for (ULONG i = 0; i < c.input; ++i) input[i] = static_cast<UCHAR>(i);
      EXPECT_EQ(call.input, input);
    } else {
      EXPECT_EQ(call.system_buffer, nullptr);
    }
    return;
  }
  EXPECT_EQ(call.system_buffer, c.input ? static_cast<void*>(buffer) : nullptr);
  EXPECT_EQ(call.has_mdl, c.output != 0);
  if (c.output) {
    EXPECT_EQ(call.mdl_address, buffer);
    EXPECT_EQ(call.mdl_length, c.output);
    const SHORT want = MDL_PAGES_LOCKED | (c.method == METHOD_OUT_DIRECT ? MDL_WRITE_OPERATION : 0);
    EXPECT_EQ(call.mdl_flags, want);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Filter, BuildIoctl,
    ::testing::Values(
        BuildCase{"Buffered", METHOD_BUFFERED, 4, 16, false, std::nullopt, STATUS_SUCCESS},
        BuildCase{"BufferedOutputShorterThanAnswer", METHOD_BUFFERED, 4, 6, false, std::nullopt,
                  STATUS_SUCCESS},
        BuildCase{"BufferedNoLengths", METHOD_BUFFERED, 0, 0, false, std::nullopt,
                  STATUS_SUCCESS},
        BuildCase{"Internal", METHOD_BUFFERED, 0, 16, true, std::nullopt, STATUS_SUCCESS},
        BuildCase{"InDirect", METHOD_IN_DIRECT, 4, 16, false, std::nullopt, STATUS_SUCCESS},
        BuildCase{"OutDirect", METHOD_OUT_DIRECT, 4, 16, false, std::nullopt, STATUS_SUCCESS},
        BuildCase{"OutDirectNoInput", METHOD_OUT_DIRECT, 0, 16, false, std::nullopt,
                  STATUS_SUCCESS},
        BuildCase{"Neither", METHOD_NEITHER, 4, 16, false, std::nullopt, STATUS_NOT_SUPPORTED},
        BuildCase{"NoRequest", METHOD_BUFFERED, 4, 16, false, sim::kIrpTag,
                  STATUS_INSUFFICIENT_RESOURCES},
        BuildCase{"NoSystemBuffer", METHOD_BUFFERED, 4, 16, false, kTagSystemBuffer,
                  STATUS_INSUFFICIENT_RESOURCES},
        BuildCase{"NoMdl", METHOD_OUT_DIRECT, 4, 16, false, sim::kMdlTag,
                  STATUS_INSUFFICIENT_RESOURCES}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
