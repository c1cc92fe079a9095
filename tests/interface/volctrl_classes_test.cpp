// The volume-control classes over the running interface's Fsctl slot.
#include "kel/entry.h"
#include "kel/kel_interface.h"
#include "kel/volctrl.h"
#include "support/loop_harness.h"

#include <gtest/gtest.h>

#include <cstring>

using looptest::engine;

namespace {

template <class T>
std::vector<std::uint8_t> bytes(const T& v) {
  std::vector<std::uint8_t> b(sizeof v);
  std::memcpy(b.data(), &v, sizeof v);
  return b;
}

MDCFS_MOUNT_INFORMATION goodMount() {
  MDCFS_MOUNT_INFORMATION m{};
  m.MediumType = 0xE1;
  m.VolumeStatus = 0x81;
  m.VolumeTypeAndInformationVersion = 0x02;
  return m;
}

// A running interface over the fake table, as during a request.
class VolCtrl : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(itf_.Initialise(&looptest::fakeOperations()), S_OK);
    kel::SetCurrentInterface(&itf_);
    engine().reset();
  }
  void TearDown() override { kel::SetCurrentInterface(nullptr); }
  void mountInfo(const MDCFS_MOUNT_INFORMATION& m) { engine().fsctl_out[0x40107014] = bytes(m); }
  void policy(std::uint32_t window, std::uint32_t reserve) {
    MDCFS_WRITE_POLICY_INFORMATION p{0, 70000, 600, 1000, 2000, 256, reserve, window};
    engine().fsctl_out[0x40207051] = bytes(p);
  }
  std::vector<unsigned> codes() {
    std::lock_guard<std::mutex> lk(engine().mu);
    return engine().fsctl_codes;
  }

  looptest::LoopHarness harness_;
  CKelInterface itf_;
};

}  // namespace

TEST_F(VolCtrl, WritePolicyIsReadOncePerProcess) {
  EXPECT_EQ(RuvoCtrlVolume::getWriteClusterBlocks(), 66048u);
  EXPECT_EQ(RuvoCtrlVolume::getParityInClusterBlocks(), 512u);
  EXPECT_EQ(RuvoCtrlVolume::getBufferNum(), 0u);
  policy(100000, 32768);
  RuvoCtrlVolume v(u"");
  EXPECT_EQ(v.setWritePolictInformation(), 0u);
  EXPECT_TRUE(RuvoCtrlVolume::getNewWrite());
  EXPECT_EQ(RuvoCtrlVolume::getRSVNum(), 4u);
  EXPECT_EQ(RuvoCtrlVolume::getBufferNum(), 6u);
  EXPECT_EQ(RuvoCtrlVolume::getWriteClusterBlocks(), 70000u);
  EXPECT_EQ(RuvoCtrlVolume::getParityInClusterBlocks(), 600u);
  EXPECT_EQ(RuvoCtrlVolume::getDiscFullMarginBlocks(), 1000u);
  EXPECT_EQ(RuvoCtrlVolume::getDiscFullMarginBlocksForLastDisc(), 2000u);
  EXPECT_EQ(RuvoCtrlVolume::getOptimalReadWriteBlocks(), 256u);
  EXPECT_EQ(RuvoCtrlVolume::getReserveWriteBlocks(), 32768u);
  policy(0, 32768);
  EXPECT_EQ(v.setWritePolictInformation(), 0u);
  EXPECT_EQ(RuvoCtrlVolume::getBufferNum(), 6u);
  EXPECT_EQ(codes(), std::vector<unsigned>{0x40207051});
}

TEST_F(VolCtrl, WritePolicyWithoutWindow) {
  policy(0, 32768);
  RuvoCtrlVolume v(u"");
  EXPECT_EQ(v.setWritePolictInformation(), 0u);
  EXPECT_FALSE(RuvoCtrlVolume::getNewWrite());
  EXPECT_EQ(RuvoCtrlVolume::getRSVNum(), 0u);
  EXPECT_EQ(RuvoCtrlVolume::getBufferNum(), 4u);
}

// The ceiling of window / reserve is taken without wrapping; a count of
// buffers that does not fit its 32-bit setting refuses the policy.
TEST_F(VolCtrl, WritePolicyCeilingNeverWraps) {
  struct Case {
    std::uint32_t window, reserve;
    std::uint32_t result, rsv, buffers;
  } cases[] = {
      {0xFFFFFFFFu, 2, 0, 0x80000000u, 0x80000002u},
      {0xFFFFFFFFu, 0xFFFFFFFFu, 0, 1, 3},
      {0x80000001u, 0x80000000u, 0, 2, 4},
      {0xFFFFFFFDu, 1, 0, 0xFFFFFFFDu, 0xFFFFFFFFu},
      {0xFFFFFFFEu, 1, 0x8800001Cu, 0, 0},
      {0xFFFFFFFFu, 1, 0x8800001Cu, 0, 0},
  };
  for (const auto& c : cases) {
    RuvoCtrlVolume::resetForTesting();
    policy(c.window, c.reserve);
    RuvoCtrlVolume v(u"");
    SetLastError(0);
    EXPECT_EQ(v.setWritePolictInformation(), c.result) << c.window << "/" << c.reserve;
    EXPECT_EQ(RuvoCtrlVolume::getRSVNum(), c.rsv) << c.window << "/" << c.reserve;
    EXPECT_EQ(RuvoCtrlVolume::getBufferNum(), c.buffers) << c.window << "/" << c.reserve;
    if (c.result) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    }
  }
}

TEST_F(VolCtrl, FailedWritePolicyReadIsReportedAndTriedAgain) {
  engine().fsctl_results[0x40207051] = 5;
  RuvoCtrlVolume v(u"");
  EXPECT_EQ(v.setWritePolictInformation(), 0x8800001Cu);
  EXPECT_EQ(GetLastError(), 5u);
  EXPECT_EQ(RuvoCtrlVolume::getWriteClusterBlocks(), 66048u);
  engine().fsctl_results.clear();
  policy(100000, 32768);
  EXPECT_EQ(v.setWritePolictInformation(), 0u);
  EXPECT_EQ(RuvoCtrlVolume::getRSVNum(), 4u);
}

TEST_F(VolCtrl, MountInformationValidity) {
  struct Case {
    const char* what;
    void (*change)(MDCFS_MOUNT_INFORMATION&);
    bool valid;
  } cases[] = {
      {"good", [](MDCFS_MOUNT_INFORMATION&) {}, true},
      {"F2h", [](MDCFS_MOUNT_INFORMATION& m) { m.MediumType = 0xF2; }, true},
      {"53h", [](MDCFS_MOUNT_INFORMATION& m) { m.MediumType = 0x53; }, true},
      {"D2h", [](MDCFS_MOUNT_INFORMATION& m) { m.MediumType = 0xD2; }, true},
      {"E7h", [](MDCFS_MOUNT_INFORMATION& m) { m.MediumType = 0xE7; }, true},
      {"E8h", [](MDCFS_MOUNT_INFORMATION& m) { m.MediumType = 0xE8; }, false},
      {"E0h", [](MDCFS_MOUNT_INFORMATION& m) { m.MediumType = 0xE0; }, false},
      {"mount status", [](MDCFS_MOUNT_INFORMATION& m) { m.MountStatus = 1; }, false},
      {"write protect", [](MDCFS_MOUNT_INFORMATION& m) { m.WriteProtectReasonFlags = 0x80000; }, false},
      {"access mode", [](MDCFS_MOUNT_INFORMATION& m) { m.AccessMode = 2; }, false},
      {"no top bit", [](MDCFS_MOUNT_INFORMATION& m) { m.VolumeStatus = 0x01; }, false},
      {"low bits 2", [](MDCFS_MOUNT_INFORMATION& m) { m.VolumeStatus = 0x82; }, false},
  };
  for (const auto& c : cases) {
    RuvoCtrlVolume::resetForTesting();
    engine().reset();
    MDCFS_MOUNT_INFORMATION m = goodMount();
    m.VolumeTypeAndInformationVersion = 0x31;
    c.change(m);
    mountInfo(m);
    RuvoCtrlVolume v(u"");
    RuvoCtrlVolume::MountInfo mi{9, 9, 9, 9};
    EXPECT_EQ(v.getVolumeMountInformation(mi), 0u) << c.what;
    EXPECT_EQ(mi.rMedium, 1) << c.what;
    EXPECT_EQ(mi.volumeType, 3) << c.what;
    EXPECT_EQ(mi.writeProtected, m.WriteProtectReasonFlags != 0 ? 1 : 0) << c.what;
    EXPECT_EQ(mi.volumeStatus, c.valid ? 1 : 0) << c.what;
    EXPECT_EQ(RuvoCtrlVolume::getMediumType(), c.valid ? m.MediumType : 0) << c.what;
    if (!c.valid) {
      ASSERT_EQ(engine().log_texts.size(), 1u) << c.what;
      EXPECT_EQ(engine().log_texts[0].rfind(u"invalid volume !! MountStatus=0x", 0), 0u) << c.what;
    }
  }
  engine().fsctl_results[0x40107014] = 5;
  RuvoCtrlVolume v(u"");
  RuvoCtrlVolume::MountInfo mi{};
  EXPECT_EQ(v.getVolumeMountInformation(mi), 0x88000012u);
}

TEST_F(VolCtrl, ObaseEntersPrivilegedModeAndReservesAFile) {
  policy(0, 32768);
  MDCFS_MOUNT_INFORMATION m = goodMount();
  mountInfo(m);
  {
    OBase base(u"root", OBase::WriteModeNew);
    EXPECT_EQ(base.good(), 0u);
    EXPECT_TRUE(base.getRuvoCtrlVolume().isPrivileged());
    EXPECT_TRUE(RuvoCtrlVolume::getGenerateParity());  // volume type 0
    EXPECT_EQ(base.getProavRootPath(), u"root");
    EXPECT_EQ(codes(), (std::vector<unsigned>{0x40207051, 0x40107014, 0x40107014, 0x20007007,
                                              0x20007000, 0x80087009}));
    EXPECT_EQ(engine().fsctl_in.back(), (std::vector<std::uint8_t>{1, 0, 0, 0, 0, 0, 0, 0}));
  }
  // Leaving the object leaves the privileged mode.
  EXPECT_EQ(codes().back(), 0x20007001u);
}

TEST_F(VolCtrl, ObaseForAnExistingFileReservesNothing) {
  mountInfo(goodMount());
  OBase base(u"", OBase::WriteModeExisting);
  EXPECT_EQ(base.good(), 0u);
  EXPECT_EQ(base.reserveFileCreartion(), 0u);
  for (unsigned c : codes()) EXPECT_NE(c, 0x80087009u);
}

TEST_F(VolCtrl, ObaseStatusWhenThingsGoWrong) {
  {
    mountInfo(goodMount());
    engine().fsctl_results[0x80087009] = 28;
    OBase base(u"", OBase::WriteModeNew);
    EXPECT_EQ(base.good(), 0x86000014u);
  }
  {
    engine().reset();
    MDCFS_MOUNT_INFORMATION m = goodMount();
    m.WriteProtectReasonFlags = 0x1;
    mountInfo(m);
    OBase base(u"", OBase::WriteModeNew);
    EXPECT_EQ(base.good(), 0x88000013u);
    for (unsigned c : codes()) {
      EXPECT_NE(c, 0x20007007u);
      EXPECT_NE(c, 0x20007000u);
    }
  }
  {
    engine().reset();
    MDCFS_MOUNT_INFORMATION m = goodMount();
    m.VolumeStatus = 0x82;
    mountInfo(m);
    SetLastError(0);
    OBase base(u"", OBase::WriteModeNew);
    EXPECT_EQ(base.good(), 0x8800001Cu);
    EXPECT_EQ(GetLastError(), 1005u);
  }
  {
    engine().reset();
    mountInfo(goodMount());
    engine().fsctl_results[0x20007000] = 13;
    OBase base(u"", OBase::WriteModeNew);
    EXPECT_EQ(base.good(), 0x88000011u);
    EXPECT_EQ(GetLastError(), 13u);
    EXPECT_FALSE(base.getRuvoCtrlVolume().isPrivileged());
  }
  {
    // The medium cannot be read: unknown.
    engine().reset();
    engine().fsctl_results[0x40107014] = 5;
    OBase base(u"", OBase::WriteModeNew);
    EXPECT_EQ(base.good(), 0x86000001u);
    EXPECT_FALSE(base.openVolumeHandle());
  }
}

TEST_F(VolCtrl, EnterWithoutCheckUsesTheRecordedFlag) {
  RuvoCtrlVolume v(u"");
  EXPECT_EQ(v.enterPrivilegedModeImpl(false), 0u);
  EXPECT_EQ(codes(), (std::vector<unsigned>{0x20007007, 0x20007000}));
  EXPECT_EQ(v.exitPrivilegedMode(), 0u);
  EXPECT_FALSE(v.isPrivileged());
}

TEST_F(VolCtrl, WrappersSendTheirCodes) {
  RuvoCtrlVolume v(u"");
  engine().fsctl_out[0x40087057] = bytes(std::int64_t{0x123456789});
  long long index = 0;
  EXPECT_EQ(v.getLastFileIndex(index), 0u);
  EXPECT_EQ(index, 0x123456789ll);
  MDCFS_STATFS_SIZEINFO s{2048, 0, 1000, 400, 0};
  engine().fsctl_out[0x40207063] = bytes(s);
  unsigned long long total = 0, free = 0;
  EXPECT_EQ(RuvoCtrlVolume::getDiskFreeSpace(u"x", total, free, false), 0u);
  EXPECT_EQ(total, 2048000u);
  EXPECT_EQ(free, 819200u);
  EXPECT_EQ(v.setWriteVerifyMode(1), 0u);
  EXPECT_EQ(v.resetWriteVerifyMode(), 0u);
  engine().fsctl_results[0x80247061] = 12;
  alignas(8) std::uint8_t rebuild[64] = {};  // head and one entry
  EXPECT_EQ(v.rebuildFileAllocation(*reinterpret_cast<MDCFS_REBUILDING_SPACE_ENTRIES_BUFFER*>(rebuild), 1),
            12u);
  EXPECT_TRUE(v.reserveFileCreartion(2, 3));
  bool event = true;
  EXPECT_EQ(v.getMediaEvent(event), 0u);
  EXPECT_FALSE(event);
  EXPECT_EQ(codes(), (std::vector<unsigned>{0x40087057, 0x40207063, 0x8004705E, 0x2000705F,
                                            0x80247061, 0x80087009}));
  EXPECT_EQ(engine().fsctl_in[2], (std::vector<std::uint8_t>{1, 0, 0, 0}));
  EXPECT_EQ(engine().fsctl_in[5], (std::vector<std::uint8_t>{2, 0, 0, 0, 3, 0, 0, 0}));

  engine().fsctl_results[0x40087057] = 2;
  engine().fsctl_results[0x40207063] = 2;
  EXPECT_EQ(v.getLastFileIndex(index), 0x8800001Cu);
  EXPECT_EQ(RuvoCtrlVolume::getDiskFreeSpace(u"x", total, free, false), 0x8800001Cu);
  EXPECT_EQ(GetLastError(), 2u);
}

TEST_F(VolCtrl, WriteVerifyModeIsSentOnlyWhenChanged) {
  mountInfo(goodMount());
  OBase base(u"", OBase::WriteModeExisting);
  engine().reset();
  EXPECT_TRUE(base.updateWriteVerifyMode());
  EXPECT_TRUE(codes().empty());
  base.setWriteVerifyMode(1);
  engine().fsctl_results[0x8004705E] = 5;
  EXPECT_FALSE(base.updateWriteVerifyMode());
  engine().fsctl_results.clear();
  EXPECT_TRUE(base.updateWriteVerifyMode());  // still pending, sent again
  EXPECT_TRUE(base.updateWriteVerifyMode());  // nothing pending
  base.setWriteVerifyMode(1);                 // same mode: no change
  EXPECT_TRUE(base.updateWriteVerifyMode());
  EXPECT_EQ(codes(), (std::vector<unsigned>{0x8004705E, 0x8004705E}));
}

TEST_F(VolCtrl, PathFunctionsReachTheEngineByPath) {
  KELFS_OBJECT_INFO info{};
  // The record holds no extents, whatever count the caller names.
  EXPECT_EQ(quorvel_stat("\\$\\dir\\f", 5, &info), 0u);
  EXPECT_EQ(quorvel_stat("/$/x", 0, &info), 0u);
  EXPECT_EQ(quorvel_stat("/$x", 0, &info), 0u);
  engine().getpathinfo_result = 2;
  EXPECT_EQ(quorvel_stat("/missing", 0, &info), 2u);
  EXPECT_EQ(engine().getpathinfo_paths,
            (std::vector<std::string>{"/dir/f", "/x", "/$x", "/missing"}));
  EXPECT_EQ(engine().getpathinfo_extents, (std::vector<unsigned>{0, 0, 0, 0}));
  ASSERT_EQ(engine().log_texts.size(), 1u);
  EXPECT_EQ(engine().log_texts[0], u"KelInterface_Error=2");
  void* handle = &info;
  EXPECT_EQ(quorvel_open("\\a", 2, &handle), 0u);
  EXPECT_EQ(engine().callsSnapshot().back(), "OpenFile(\\a,2)");
}

TEST(VolCtrlNoInterface, RequestsWithoutARunningInterfaceFail) {
  looptest::LoopHarness h;
  RuvoCtrlVolume v(u"");
  RuvoCtrlVolume::MountInfo mi{};
  EXPECT_EQ(v.getVolumeMountInformation(mi), 0x88000012u);
  KELFS_OBJECT_INFO info{};
  EXPECT_NE(quorvel_stat("/", 0, &info), 0u);
}
