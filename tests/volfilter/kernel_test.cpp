// The simulated kernel the filter runs on: pool, events, request
// completion through the stack, memory descriptor lists, device stacks and
// the registry calls.
#include "kmode/disk.h"
#include "kmode/kernel.h"

#include "volfilter/registry_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace kmode;

class KmodeKernel : public ::testing::Test {
 protected:
  void SetUp() override {
    base_pool_ = sim::pool_outstanding();
    sim::reset_faults();
    sim::pool_clear_failures();
  }
  void TearDown() override {
    sim::pool_clear_failures();
    sim::reset_faults();
    EXPECT_EQ(sim::pool_outstanding(), base_pool_);
  }
  SIZE_T base_pool_ = 0;
};

constexpr ULONG kTagA = pool_tag("TstA");
constexpr ULONG kTagB = pool_tag("TstB");

TEST_F(KmodeKernel, PoolTagsCountsAndInjectedFailures) {
  EXPECT_EQ(kTagA, 0x41747354u);  // "TstA" in memory order
  void* a = ExAllocatePoolWithTag(NonPagedPool, 10, kTagA);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a) % 64, 0u);
  EXPECT_EQ(sim::pool_outstanding(kTagA), 1u);
  // The second and third allocations with tag A fail; tag B is untouched.
  sim::pool_fail(kTagA, 1, 2);
  void* b = ExAllocatePoolWithTag(PagedPool, 10, kTagA);
  EXPECT_NE(b, nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 10, kTagA), nullptr);
  void* other = ExAllocatePoolWithTag(PagedPool, 10, kTagB);
  EXPECT_NE(other, nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 10, kTagA), nullptr);
  void* c = ExAllocatePoolWithTag(PagedPool, 10, kTagA);
  EXPECT_NE(c, nullptr);
  EXPECT_EQ(sim::pool_outstanding(kTagA), 3u);
  ExFreePoolWithTag(a, kTagA);
  ExFreePoolWithTag(b, 0);
  ExFreePool(c);
  ExFreePoolWithTag(other, kTagB);
  EXPECT_EQ(sim::pool_outstanding(kTagA), 0u);
  EXPECT_EQ(sim::faults(), 0u);
}

TEST_F(KmodeKernel, PoolMisuseIsAFault) {
  void* a = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
  ExFreePoolWithTag(a, kTagB);  // wrong tag: not freed
  EXPECT_EQ(sim::faults(), 1u);
  EXPECT_EQ(sim::pool_outstanding(kTagA), 1u);
  ExFreePoolWithTag(a, kTagA);
  ExFreePoolWithTag(a, kTagA);  // twice
  EXPECT_EQ(sim::faults(), 2u);
}

TEST_F(KmodeKernel, EventsOfBothKinds) {
  KEVENT n;
  KeInitializeEvent(&n, NotificationEvent, 0);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(&n, Executive, KernelMode, 0, &zero), STATUS_TIMEOUT);
  EXPECT_EQ(KeSetEvent(&n, 0, 0), 0);
  EXPECT_EQ(KeWaitForSingleObject(&n, Executive, KernelMode, 0, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&n, Executive, KernelMode, 0, &zero), STATUS_SUCCESS);
  KeClearEvent(&n);
  EXPECT_EQ(KeReadStateEvent(&n), 0);

  KEVENT s;
  KeInitializeEvent(&s, SynchronizationEvent, 1);
  EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, 0, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&s), 0);  // taken by the wait
  EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, 0, &zero), STATUS_TIMEOUT);

  // A waiter in another thread wakes when the event is set.
  std::thread waiter([&] { KeWaitForSingleObject(&n, Executive, KernelMode, 0, nullptr); });
  KeSetEvent(&n, 0, 0);
  waiter.join();
}

// The removal waits until every holder has released the lock; once it has
// begun, nobody acquires it any more.
TEST_F(KmodeKernel, RemoveLock) {
  IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, 0, 0, 0);
  int tag = 0;
  ASSERT_EQ(IoAcquireRemoveLock(&lock, &tag), STATUS_SUCCESS);  // the removal's
  ASSERT_EQ(IoAcquireRemoveLock(&lock, &tag), STATUS_SUCCESS);  // a request's
  std::atomic<bool> removed{false};
  std::thread removal([&] {
    IoReleaseRemoveLockAndWait(&lock, &tag);
    removed = true;
  });
  while (sim::blocked_waits() == 0) std::this_thread::yield();  // it waits
  EXPECT_FALSE(removed.load());
  EXPECT_EQ(IoAcquireRemoveLock(&lock, &tag), STATUS_DELETE_PENDING);
  IoReleaseRemoveLock(&lock, &tag);  // the request ends
  removal.join();
  EXPECT_TRUE(removed.load());
  EXPECT_EQ(IoAcquireRemoveLock(&lock, &tag), STATUS_DELETE_PENDING);
  EXPECT_EQ(sim::faults(), 0u);
  IoReleaseRemoveLock(&lock, &tag);  // never acquired
  EXPECT_EQ(sim::faults(), 1u);
}

TEST_F(KmodeKernel, ProcessIdentityOfTheCallingThread) {
  EXPECT_EQ(PsGetCurrentProcessId(), 4u);
  {
    sim::ScopedProcess as(1234);
    EXPECT_EQ(PsGetCurrentProcessId(), 1234u);
    EXPECT_EQ(PsGetCurrentThread()->ProcessId, 1234u);
    std::thread other([] { EXPECT_EQ(PsGetCurrentProcessId(), 4u); });
    other.join();
  }
  EXPECT_EQ(PsGetCurrentProcessId(), 4u);
}

// A two-device stack: an upper test driver over a lower one whose answers
// and timing each test sets.
struct Stack {
  static inline std::vector<std::string> trace;
  static inline bool lower_pends = false;
  static inline IRP* pending = nullptr;
  static inline NTSTATUS lower_status = STATUS_SUCCESS;
  static inline NTSTATUS routine_answer = STATUS_SUCCESS;

  static NTSTATUS LowerDispatch(DEVICE_OBJECT*, IRP* irp) {
    trace.push_back("lower");
    if (lower_pends) {
      IoMarkIrpPending(irp);
      pending = irp;
      return STATUS_PENDING;
    }
    irp->IoStatus.Status = lower_status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return lower_status;
  }
  static NTSTATUS Routine(DEVICE_OBJECT* device, IRP* irp, PVOID context) {
    trace.push_back("routine:" + std::to_string(NT_SUCCESS(irp->IoStatus.Status)) + ":" +
                    std::to_string(irp->PendingReturned));
    EXPECT_EQ(device, static_cast<DEVICE_OBJECT*>(context));
    if (routine_answer != STATUS_MORE_PROCESSING_REQUIRED && irp->PendingReturned)
      IoMarkIrpPending(irp);
    return routine_answer;
  }
  static NTSTATUS UpperDispatch(DEVICE_OBJECT* device, IRP* irp) {
    trace.push_back("upper");
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Routine, device, 1, 1, 0);
    return IoCallDriver(device->AttachedTo, irp);
  }

  DRIVER_OBJECT lower_driver{};
  DRIVER_OBJECT upper_driver{};
  DEVICE_OBJECT* lower = nullptr;
  DEVICE_OBJECT* upper = nullptr;

  Stack() {
    trace.clear();
    lower_pends = false;
    pending = nullptr;
    lower_status = STATUS_SUCCESS;
    routine_answer = STATUS_SUCCESS;
    sim::init_driver_object(&lower_driver);
    sim::init_driver_object(&upper_driver);
    lower_driver.MajorFunction[IRP_MJ_READ] = LowerDispatch;
    upper_driver.MajorFunction[IRP_MJ_READ] = UpperDispatch;
    EXPECT_EQ(IoCreateDevice(&lower_driver, 0, nullptr, FILE_DEVICE_DISK, 0, 0, &lower),
              STATUS_SUCCESS);
    EXPECT_EQ(IoCreateDevice(&upper_driver, 16, nullptr, FILE_DEVICE_DISK, 0, 0, &upper),
              STATUS_SUCCESS);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(upper, lower), lower);
  }
  ~Stack() {
    IoDetachDevice(lower);
    IoDeleteDevice(upper);
    IoDeleteDevice(lower);
  }

  // Sends a read to the top; returns what IoCallDriver returned.
  NTSTATUS read(IRP** out, KEVENT* done, IO_STATUS_BLOCK* iosb) {
    IRP* irp = IoAllocateIrp(upper->StackSize, 0);
    KeInitializeEvent(done, NotificationEvent, 0);
    irp->UserEvent = done;
    irp->UserIosb = iosb;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    *out = irp;
    return IoCallDriver(upper, irp);
  }
};

TEST_F(KmodeKernel, DeviceStack) {
  Stack s;
  EXPECT_EQ(s.lower->StackSize, 1);
  EXPECT_EQ(s.upper->StackSize, 2);
  EXPECT_EQ(s.lower->AttachedDevice, s.upper);
  EXPECT_NE(s.upper->DeviceExtension, nullptr);
  EXPECT_EQ(s.lower->DeviceExtension, nullptr);
  EXPECT_EQ(s.upper_driver.DeviceObject, s.upper);
  // A device attached to the stack lands on top.
  DEVICE_OBJECT* third = nullptr;
  ASSERT_EQ(IoCreateDevice(&s.upper_driver, 0, nullptr, FILE_DEVICE_DISK, 0, 0, &third),
            STATUS_SUCCESS);
  EXPECT_EQ(IoAttachDeviceToDeviceStack(third, s.lower), s.upper);
  EXPECT_EQ(third->StackSize, 3);
  IoDetachDevice(s.upper);
  IoDeleteDevice(third);
  EXPECT_EQ(sim::faults(), 0u);
}

TEST_F(KmodeKernel, CompletionRunsUpwardsAndReachesTheTop) {
  Stack s;
  for (NTSTATUS status : {STATUS_SUCCESS, STATUS_IO_DEVICE_ERROR}) {
    Stack::trace.clear();
    Stack::lower_status = status;
    IRP* irp = nullptr;
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(s.read(&irp, &done, &iosb), status);
    EXPECT_EQ(Stack::trace, (std::vector<std::string>{
                                "upper", "lower", "routine:" + std::to_string(NT_SUCCESS(status)) + ":0"}));
    EXPECT_TRUE(irp->Completed);
    EXPECT_EQ(iosb.Status, status);
    EXPECT_EQ(KeReadStateEvent(&done), 1);
    IoFreeIrp(irp);
  }
  EXPECT_EQ(sim::faults(), 0u);
}

TEST_F(KmodeKernel, MoreProcessingStopsCompletion) {
  Stack s;
  Stack::routine_answer = STATUS_MORE_PROCESSING_REQUIRED;
  IRP* irp = nullptr;
  KEVENT done;
  IO_STATUS_BLOCK iosb{};
  s.read(&irp, &done, &iosb);
  EXPECT_FALSE(irp->Completed);
  EXPECT_EQ(KeReadStateEvent(&done), 0);
  // The upper driver owns the request again and completes it itself.
  EXPECT_EQ(irp->CurrentLocation, 2);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  EXPECT_TRUE(irp->Completed);
  EXPECT_EQ(Stack::trace.size(), 3u);  // the routine is not run a second time
  IoFreeIrp(irp);
  EXPECT_EQ(sim::faults(), 0u);
}

TEST_F(KmodeKernel, PendingRequestCompletesLaterFromAnotherThread) {
  Stack s;
  Stack::lower_pends = true;
  IRP* irp = nullptr;
  KEVENT done;
  IO_STATUS_BLOCK iosb{};
  EXPECT_EQ(s.read(&irp, &done, &iosb), STATUS_PENDING);
  EXPECT_FALSE(irp->Completed);
  std::thread later([] {
    Stack::pending->IoStatus.Status = STATUS_SUCCESS;
    Stack::pending->IoStatus.Information = 7;
    IoCompleteRequest(Stack::pending, IO_NO_INCREMENT);
  });
  KeWaitForSingleObject(&done, Executive, KernelMode, 0, nullptr);
  later.join();
  EXPECT_EQ(iosb.Information, 7u);
  EXPECT_EQ(Stack::trace.back(), "routine:1:1");  // the routine saw the pending mark
  IoFreeIrp(irp);
  EXPECT_EQ(sim::faults(), 0u);
}

TEST_F(KmodeKernel, RequestMisuseIsAFault) {
  Stack s;
  IRP* irp = nullptr;
  KEVENT done;
  IO_STATUS_BLOCK iosb{};
  s.read(&irp, &done, &iosb);
  IoCompleteRequest(irp, IO_NO_INCREMENT);  // already complete
  EXPECT_EQ(sim::faults(), 1u);
  IoFreeIrp(irp);
  // A driver that calls down without a stack location left.
  s.lower_driver.MajorFunction[IRP_MJ_WRITE] = [](DEVICE_OBJECT* device, IRP* irp) {
    const NTSTATUS status = IoCallDriver(device, irp);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  };
  IRP* small = IoAllocateIrp(1, 0);
  IoGetNextIrpStackLocation(small)->MajorFunction = IRP_MJ_WRITE;
  EXPECT_EQ(IoCallDriver(s.lower, small), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(sim::faults(), 2u);
  EXPECT_TRUE(small->Completed);
  IoFreeIrp(small);
  EXPECT_EQ(sim::faults(), 2u);
  EXPECT_EQ(IoAllocateIrp(0, 0), nullptr);
  sim::pool_fail(sim::kIrpTag);
  EXPECT_EQ(IoAllocateIrp(2, 0), nullptr);
}

TEST_F(KmodeKernel, MemoryDescriptorLists) {
  UCHAR buffer[64];
  IRP* irp = IoAllocateIrp(1, 0);
  MDL* mdl = IoAllocateMdl(buffer, sizeof(buffer), 0, 0, irp);
  ASSERT_NE(mdl, nullptr);
  EXPECT_EQ(irp->MdlAddress, mdl);
  EXPECT_EQ(MmGetMdlByteCount(mdl), 64u);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr);
  MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
  EXPECT_EQ(mdl->MdlFlags, MDL_PAGES_LOCKED | MDL_WRITE_OPERATION);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), buffer);
  MmUnlockPages(mdl);
  EXPECT_EQ(mdl->MdlFlags, 0);
  MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
  EXPECT_EQ(mdl->MdlFlags, MDL_PAGES_LOCKED);
  EXPECT_EQ(sim::faults(), 0u);
  IoFreeMdl(mdl);  // still locked
  EXPECT_EQ(sim::faults(), 1u);
  MmUnlockPages(mdl);
  IoFreeMdl(mdl);
  IoFreeIrp(irp);
  sim::pool_fail(sim::kMdlTag);
  EXPECT_EQ(IoAllocateMdl(buffer, 8, 0, 0, nullptr), nullptr);
}

TEST_F(KmodeKernel, DeletingAnAttachedDeviceIsAFault) {
  DRIVER_OBJECT driver;
  sim::init_driver_object(&driver);
  DEVICE_OBJECT* lower = nullptr;
  DEVICE_OBJECT* upper = nullptr;
  ASSERT_EQ(IoCreateDevice(&driver, 0, nullptr, FILE_DEVICE_DISK, 0, 0, &lower), STATUS_SUCCESS);
  ASSERT_EQ(IoCreateDevice(&driver, 0, nullptr, FILE_DEVICE_DISK, 0, 0, &upper), STATUS_SUCCESS);
  IoAttachDeviceToDeviceStack(upper, lower);
  IoDeleteDevice(upper);
  EXPECT_EQ(sim::faults(), 1u);
  EXPECT_EQ(lower->AttachedDevice, nullptr);
  IoDeleteDevice(lower);
  EXPECT_EQ(driver.DeviceObject, nullptr);
  sim::pool_fail(sim::kDeviceTag);
  DEVICE_OBJECT* none = nullptr;
  EXPECT_EQ(IoCreateDevice(&driver, 0, nullptr, FILE_DEVICE_DISK, 0, 0, &none),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(none, nullptr);
}

TEST_F(KmodeKernel, CountedStrings) {
  ANSI_STRING a, b;
  RtlInitAnsiString(&a, "QuorVel");
  RtlInitAnsiString(&b, "QUORVEL");
  EXPECT_EQ(a.Length, 7);
  EXPECT_TRUE(RtlEqualString(&a, &b, 1));
  EXPECT_FALSE(RtlEqualString(&a, &b, 0));
  b.Length = 6;
  EXPECT_FALSE(RtlEqualString(&a, &b, 1));
  UNICODE_STRING u;
  RtlInitUnicodeString(&u, u"abc");
  EXPECT_EQ(u.Length, 6);
  EXPECT_EQ(u.MaximumLength, 8);
}

class KmodeRegistry : public KmodeKernel {
 protected:
  regfix::TempRegistry registry_;
};

TEST_F(KmodeRegistry, OpenQueryClose) {
  ASSERT_TRUE(regfix::write_value("System\\Services\\Drv", "List", regfix::kMultiSz,
                                  regfix::multi_sz({"ab"})));
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, u"\\REGISTRY\\Machine\\System\\Services\\Drv");
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                             nullptr);
  HANDLE key = nullptr;
  ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &oa), STATUS_SUCCESS);

  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"List");
  alignas(8) UCHAR buf[64];
  ULONG needed = 0;
  // 8 bytes of data: "ab", its NUL and the closing NUL.
  EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buf, 8, &needed),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(needed, 20u);
  EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buf, 16, &needed),
            STATUS_BUFFER_OVERFLOW);
  auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buf);
  EXPECT_EQ(info->Type, REG_MULTI_SZ);
  EXPECT_EQ(info->DataLength, 8u);
  EXPECT_EQ(needed, 20u);
  EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buf, 20, &needed),
            STATUS_SUCCESS);
  EXPECT_EQ(std::vector<UCHAR>(info->Data, info->Data + 8),
            (std::vector<UCHAR>{'a', 0, 'b', 0, 0, 0, 0, 0}));
  EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buf, 64, &needed),
            STATUS_INVALID_PARAMETER);
  RtlInitUnicodeString(&name, u"Nope");
  EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buf, 64, &needed),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);

  for (const char16_t* bad : {u"\\Registry\\Machine\\System\\Services\\Other",
                              u"\\Registry\\User\\System\\Services\\Drv",
                              u"\\Registry\\MachineX\\System"}) {
    RtlInitUnicodeString(&path, bad);
    EXPECT_EQ(ZwOpenKey(&key, KEY_READ, &oa), STATUS_OBJECT_NAME_NOT_FOUND);
  }
}

}  // namespace
