// The file and volume wrappers over the scripted operation table.
#include "AnnulusFileIO/RUVO.h"
#include "support/running_interface.h"

#include <gtest/gtest.h>

#include <cstring>

using AnnulusFileIO::MakeSpaceEntry;
using AnnulusFileIO::RUVOFile;
using AnnulusFileIO::RUVOVolume;

namespace {

class Ruvo : public writertest::RunningInterface {
 protected:
  void SetUp() override {
    RunningInterface::SetUp();
    engine().file_store = true;
  }
  void addFile(const std::string& path, const std::string& data) {
    engine().files[path].data = data;
    engine().files[path].id = 7;
  }
  // The slot calls other than logging and path look-ups.
  std::vector<std::string> fileCalls() {
    std::vector<std::string> out;
    for (const auto& c : engine().callsSnapshot())
      if (c != "LogMessage" && c != "GetPathInfo") out.push_back(c);
    return out;
  }
  void clearCalls() {
    std::lock_guard<std::mutex> lk(engine().mu);
    engine().calls.clear();
    engine().ioctl_in.clear();
    engine().ioctl_codes.clear();
    engine().fsctl_codes.clear();
    engine().fsctl_in.clear();
  }
};

using Calls = std::vector<std::string>;

}  // namespace

TEST_F(Ruvo, CreateFileDispositions) {
  struct Case {
    const char* what;
    bool existing;
    std::uint32_t disposition;
    std::uint32_t flags;
    bool packed;
    bool ok;
    DWORD last_error;
    Calls calls;
    const char* data_after;  // nullptr: no file
    int mode_after;
  } cases[] = {
      {"open existing, missing", false, 3, 0x80, true, false, 2, {"OpenFile(/d/f,2)"}, nullptr, 0},
      {"truncate existing, missing", false, 5, 0x80, true, false, 2, {"OpenFile(/d/f,2)"}, nullptr, 0},
      {"disposition 0, missing", false, 0, 0x80, true, false, 2, {"OpenFile(/d/f,2)"}, nullptr, 0},
      {"create always, missing", false, 2, 0x80, true, true, 0,
       {"OpenFile(/d/f,2)", "CreateFile(/d,f)", "OpenFile(/d/f,0)"}, "", 0},
      {"open always, missing", false, 4, 0x80, false, true, 0,
       {"OpenFile(/d/f,0)", "CreateFile(/d,f)", "OpenFile(/d/f,0)"}, "", 0},
      {"create new, missing", false, 1, 0x80, true, true, 0,
       {"OpenFile(/d/f,2)", "CreateFile(/d,f)", "OpenFile(/d/f,0)"}, "", 0},
      {"create new, missing, read-only", false, 1, 1, true, true, 0,
       {"OpenFile(/d/f,2)", "CreateFile(/d,f)", "OpenFile(/d/f,0)", "SetAttributes(256)"}, "", 256},
      {"create always keeps data", true, 2, 0x80, true, true, 0, {"OpenFile(/d/f,2)"}, "old", 0},
      {"create always, read-only", true, 2, 1, true, true, 0,
       {"OpenFile(/d/f,2)", "SetAttributes(256)"}, "old", 256},
      {"open always without packed mode", true, 4, 0x80, false, true, 0, {"OpenFile(/d/f,0)"}, "old", 0},
      {"open existing", true, 3, 0x80, true, true, 0, {"OpenFile(/d/f,2)"}, "old", 0},
      {"open existing ignores read-only", true, 3, 1, true, true, 0, {"OpenFile(/d/f,2)"}, "old", 0},
      {"truncate existing empties", true, 5, 0x80, true, true, 0,
       {"OpenFile(/d/f,2)", "SetFileSize(0)"}, "", 0},
      {"create new, existing", true, 1, 0x80, true, false, 80,
       {"OpenFile(/d/f,2)", "CloseFile(/d/f)"}, "old", 0},
  };
  for (const Case& c : cases) {
    engine().reset();
    engine().file_store = true;
    RuvoCtrlVolume::setPackedWriteMode(c.packed);
    if (c.existing) addFile("/d/f", "old");
    SetLastError(1234);
    {
      RUVOFile f;
      EXPECT_EQ(f.createFile(u"/d/f", 0x40000000, 0, nullptr, c.disposition, c.flags, nullptr), c.ok)
          << c.what;
      if (c.ok) {
        EXPECT_NE(f.getHandle(), nullptr) << c.what;
        EXPECT_EQ(f.getPosition(), 0u) << c.what;
        EXPECT_EQ(f.getName(), u"f") << c.what;
        EXPECT_EQ(engine().open_handles.size(), 1u) << c.what;
      } else {
        EXPECT_EQ(f.m_dwErrorCode, c.last_error) << c.what;
        EXPECT_EQ(GetLastError(), c.last_error) << c.what;
        EXPECT_EQ(f.getHandle(), nullptr) << c.what;
        EXPECT_EQ(f.getPosition(), RUVOFile::kNoPosition) << c.what;
        EXPECT_TRUE(engine().open_handles.empty()) << c.what;
      }
      EXPECT_EQ(fileCalls(), c.calls) << c.what;
    }
    EXPECT_TRUE(engine().open_handles.empty()) << c.what << ": the destructor closes";
    auto file = engine().files.find("/d/f");
    if (!c.data_after) {
      EXPECT_EQ(file, engine().files.end()) << c.what;
    } else {
      ASSERT_NE(file, engine().files.end()) << c.what;
      EXPECT_EQ(file->second.data, c.data_after) << c.what;
      EXPECT_EQ(file->second.mode, c.mode_after) << c.what;
    }
  }
}

// A volume path names its file in the volume directory "$" (where the
// engine keeps the proxies and the packed proxy file): the path reaches the
// engine as it is, and a missing file is made in "$", not in the root.
TEST_F(Ruvo, VolumePathsStayInTheVolumeDirectory) {
  RuvoCtrlVolume::setPackedWriteMode(false);
  RUVOFile f;
  ASSERT_TRUE(f.createFile(u"\\$\\@@proxy", 0x40000000, 0, nullptr, 2, 0x20000000, nullptr));
  EXPECT_EQ(fileCalls(), (Calls{"OpenFile(/$/@@proxy,0)", "CreateFile(/$,@@proxy)", "OpenFile(/$/@@proxy,0)"}));
}

TEST_F(Ruvo, FailuresOfTheCreateSteps) {
  struct Case {
    const char* what;
    bool existing;
    std::uint32_t disposition;
    std::uint32_t flags;
    const char* failing_slot;
    int engine_result;
    DWORD win32;
  } cases[] = {
      {"open refused", true, 3, 0, "OpenFile", 13, 21},
      {"create refused", false, 2, 0, "CreateFile", 28, 112},
      {"truncate refused", true, 5, 0, "SetFileSize", 30, 19},
      {"read-only refused", false, 4, 1, "SetAttributes", 1, 5},
  };
  for (const Case& c : cases) {
    engine().reset();
    engine().file_store = true;
    if (c.existing) addFile("/d/f", "old");
    engine().slot_results[c.failing_slot] = c.engine_result;
    RUVOFile f;
    EXPECT_FALSE(f.createFile(u"/d/f", 0, 0, nullptr, c.disposition, c.flags, nullptr)) << c.what;
    EXPECT_EQ(f.m_dwErrorCode, c.win32) << c.what;
    EXPECT_EQ(GetLastError(), c.win32) << c.what;
    EXPECT_TRUE(engine().open_handles.empty()) << c.what;
    EXPECT_EQ(f.getHandle(), nullptr) << c.what;
  }
}

TEST_F(Ruvo, PathWithoutSlashAndBackslashes) {
  RUVOFile plain;
  ASSERT_TRUE(plain.createFile(u"single", 0, 0, nullptr, 2, 0, nullptr));
  EXPECT_EQ(plain.getName(), u"single");
  EXPECT_EQ(plain.getPath(), u"single");
  RUVOFile win;
  ASSERT_TRUE(win.createFile(u"\\d\\w", 0, 0, nullptr, 2, 0, nullptr));
  EXPECT_EQ(fileCalls(), (Calls{"OpenFile(single,2)", "CreateFile(,single)", "OpenFile(single,0)",
                                "OpenFile(/d/w,2)", "CreateFile(/d,w)", "OpenFile(/d/w,0)"}));
}

TEST_F(Ruvo, CloseTwiceClosesOnce) {
  addFile("/d/f", "x");
  RUVOFile f;
  ASSERT_TRUE(f.createFile(u"/d/f", 0, 0, nullptr, 3, 0, nullptr));
  clearCalls();
  EXPECT_TRUE(f.close());
  EXPECT_TRUE(f.close());
  EXPECT_EQ(fileCalls(), Calls{"CloseFile(/d/f)"});
  EXPECT_EQ(f.getHandle(), nullptr);
  EXPECT_EQ(f.getPosition(), RUVOFile::kNoPosition);
}

TEST_F(Ruvo, FileSizeByHandleByPathAndMissing) {
  addFile("/d/f", "12345");
  RUVOFile f;
  ASSERT_TRUE(f.createFile(u"/d/f", 0, 0, nullptr, 3, 0, nullptr));
  EXPECT_EQ(f.getFileSize(), 5u);
  std::uint64_t id = 0;
  EXPECT_TRUE(f.getUniqueId(id));
  EXPECT_EQ(id, 7u);
  f.close();
  engine().files["/d/f"].data = "1234567";
  clearCalls();
  EXPECT_EQ(f.getFileSize(), 7u);
  EXPECT_TRUE(engine().getpathinfo_paths.size() >= 1 && engine().getpathinfo_paths.back() == "/d/f");
  EXPECT_TRUE(fileCalls().empty());  // by path, not through a handle
  engine().files.clear();
  EXPECT_EQ(f.getFileSize(), ~std::uint64_t{0});
  EXPECT_EQ(f.m_dwErrorCode, 2u);
  EXPECT_FALSE(f.getUniqueId(id));
  EXPECT_EQ(traces().back(), u"ERROR : RUVOFile::getUniqueId ::GetAttributes() m_dwErrorCode==0x00000002\n");
}

TEST_F(Ruvo, WritesAtTheRunningPositionAndShortWritesFail) {
  RUVOFile f;
  ASSERT_TRUE(f.createFile(u"/d/f", 0, 0, nullptr, 2, 0, nullptr));
  EXPECT_TRUE(f.writeFile("abcd", 4));
  EXPECT_TRUE(f.writeFile("ef", 2));
  EXPECT_EQ(f.getPosition(), 6u);
  engine().write_short_by = 1;
  SetLastError(0);
  EXPECT_FALSE(f.writeFile("gh", 2));
  EXPECT_EQ(f.m_dwErrorCode, 1117u);
  EXPECT_EQ(GetLastError(), 1117u);
  EXPECT_EQ(f.getPosition(), 6u);
  EXPECT_EQ(traces().back(), u"ERROR : RUVOFile::writeFile write was too short\n");
  // A count the engine's 32-bit length cannot carry is refused before any
  // byte is written.
  engine().write_short_by = 0;
  clearCalls();
  EXPECT_FALSE(f.writeFile("x", 0x100000001ull));
  EXPECT_EQ(f.m_dwErrorCode, 87u);
  EXPECT_TRUE(fileCalls().empty());
  EXPECT_EQ(f.getPosition(), 6u);
  f.setPosition(2);
  EXPECT_TRUE(f.setEndOfFile());
  EXPECT_EQ(engine().files["/d/f"].data, "ab");
  char buf[8] = {};
  std::uint64_t done = 0;
  f.setPosition(0);
  EXPECT_TRUE(f.readFile(buf, 8, done));  // short read is success
  EXPECT_EQ(done, 2u);
  EXPECT_EQ(f.getPosition(), 2u);
  EXPECT_STREQ(buf, "ab");
}

TEST_F(Ruvo, FileTimesAsSecondPairs) {
  RUVOFile f;
  ASSERT_TRUE(f.createFile(u"/d/f", 0, 0, nullptr, 2, 0, nullptr));
  clearCalls();
  EXPECT_TRUE(f.setFileTime(10, 0, 30));
  EXPECT_EQ(fileCalls(), Calls{"SetFileTimes(10:0,0:0,30:0)"});
  engine().slot_results["SetFileTimes"] = 22;
  EXPECT_FALSE(f.setFileTime(1, 2, 3));
  EXPECT_EQ(f.m_dwErrorCode, 87u);
}

TEST_F(Ruvo, AllocationListsInTheEnginesOrder) {
  RUVOFile f;
  ASSERT_TRUE(f.createFile(u"/d/f", 0, 0, nullptr, 2, 0, nullptr));
  RuvoCtrlVolume::setNewAllocatedVolume(false);
  ASSERT_TRUE(f.addFileAllocationAll({MakeSpaceEntry(1, 0x100, 4), MakeSpaceEntry(2, 0x20, 8)}));
  EXPECT_TRUE(RuvoCtrlVolume::isNewAllocatedVolume());
  ASSERT_TRUE(f.addFileAllocation(MakeSpaceEntry(3, 0x300, 1)));
  std::vector<MDCFS_SPACE_ENTRY> list{MakeSpaceEntry(9, 9, 9)};
  ASSERT_TRUE(f.getFileAllocationAll(list));
  ASSERT_EQ(list.size(), 4u);
  const std::uint32_t expected[][3] = {{9, 9, 9}, {1, 0x100, 4}, {2, 0x20, 8}, {3, 0x300, 1}};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(AnnulusFileIO::ZoneOf(list[i]), expected[i][0]) << i;
    EXPECT_EQ(AnnulusFileIO::OffsetOf(list[i]), expected[i][1]) << i;
    EXPECT_EQ(AnnulusFileIO::BlocksOf(list[i]), expected[i][2]) << i;
  }
  const auto t = traces();
  EXPECT_NE(std::find(t.begin(), t.end(), u"MDCFSCTL_ADD_FILE_ALLOCATION [f] TotalSpaceCount=2"), t.end());
  EXPECT_NE(std::find(t.begin(), t.end(), u"ZoneId=0x2, BlockOffset=0x20, NumberOfBlocks=0x8"), t.end());
}

TEST_F(Ruvo, FileThatGrowsBetweenTheTwoQueriesGives1784) {
  RUVOFile f;
  ASSERT_TRUE(f.createFile(u"/d/f", 0, 0, nullptr, 2, 0, nullptr));
  ASSERT_TRUE(f.addFileAllocation(MakeSpaceEntry(1, 1, 1)));
  engine().extents_gained_after_count = 1;
  std::vector<MDCFS_SPACE_ENTRY> list;
  SetLastError(0);
  EXPECT_FALSE(f.getFileAllocationAll(list));
  EXPECT_EQ(f.m_dwErrorCode, 1784u);
  EXPECT_EQ(GetLastError(), 1784u);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(traces().back(),
            u"ERROR : RUVOFile::getFileAllocationAll MDCFSCTL_GET_FILE_ALLOCATION m_dwErrorCode==0x000006F8\n");
  // A file without extents answers at once with nothing appended.
  RUVOFile empty;
  ASSERT_TRUE(empty.createFile(u"/d/e", 0, 0, nullptr, 2, 0, nullptr));
  clearCalls();
  EXPECT_TRUE(empty.getFileAllocationAll(list));
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(fileCalls(), Calls{"FileIoctl(0xC10C7082)"});
}

TEST_F(Ruvo, PerFileRecordsAreByteExact) {
  RUVOFile f;
  ASSERT_TRUE(f.createFile(u"/d/f", 0, 0, nullptr, 2, 0, nullptr));
  clearCalls();
  ASSERT_TRUE(f.setupParity(u"ECC_Parity_V100_N=2064_K=2048"));
  ASSERT_TRUE(f.customizeFileSetting());
  ASSERT_TRUE(f.reallocateFileRange(5, MakeSpaceEntry(2, 0x40, 3)));
  ASSERT_TRUE(f.deleteFileAllocation(-2));
  ASSERT_EQ(engine().ioctl_in.size(), 4u);
  const auto& parity = engine().ioctl_in[0];
  ASSERT_EQ(parity.size(), 8u);  // the code's length field (8) is what the fake copies
  std::uint32_t len = 0;
  std::memcpy(&len, parity.data(), 4);
  EXPECT_EQ(len, 29u);
  EXPECT_EQ(std::string(parity.begin() + 4, parity.end()), "ECC_");
  const std::vector<std::uint8_t> custom{1, 0, 0, 0, 1, 0, 0, 0, 0xDE, 0x7B, 0, 0};
  EXPECT_EQ(engine().ioctl_in[1], custom);
  const std::vector<std::uint8_t> realloc{5, 0, 0, 0, 2, 0, 0, 0, 0x40, 0, 0, 0, 3, 0, 0, 0};
  EXPECT_EQ(engine().ioctl_in[2], realloc);
  EXPECT_EQ(engine().ioctl_in[3], (std::vector<std::uint8_t>{0xFE, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(engine().ioctl_codes,
            (std::vector<unsigned>{0x80087047, 0x800C7080, 0x80107085, 0x8004706F}));
  EXPECT_TRUE(traced(u"RUVOFile::setupParity MDCFSCTL_SETUP_PARITY parityPath=ECC_Parity_V100_N=2064_K=2048"));
  // A parity name longer than the record's field is refused, nothing sent.
  clearCalls();
  EXPECT_FALSE(f.setupParity(std::u16string(257, u'p')));
  EXPECT_EQ(f.m_dwErrorCode, 206u);
  EXPECT_TRUE(fileCalls().empty());
  // Without a handle the custom setting answers false at once.
  RUVOFile closed;
  EXPECT_FALSE(closed.customizeFileSetting());
  EXPECT_EQ(closed.m_dwErrorCode, 0u);
  EXPECT_TRUE(fileCalls().empty());
}

TEST_F(Ruvo, DeleteAllocationKeepsTheThreadsLastError) {
  RUVOFile f;
  ASSERT_TRUE(f.createFile(u"/d/f", 0, 0, nullptr, 2, 0, nullptr));
  engine().ioctl_results[0x8004706F] = 22;
  SetLastError(42);
  EXPECT_FALSE(f.deleteFileAllocation(0));
  EXPECT_EQ(f.m_dwErrorCode, 87u);
  EXPECT_EQ(GetLastError(), 42u);
  engine().ioctl_results[0x800C7083] = 12;
  EXPECT_FALSE(f.addFileAllocation(MakeSpaceEntry(1, 1, 1)));
  EXPECT_EQ(GetLastError(), 8u);
}

TEST_F(Ruvo, VolumeRequestsAndTheirRecords) {
  RUVOVolume v;
  // All ones: not open; the two checked requests fail and send nothing.
  std::uint32_t counter = 5;
  EXPECT_FALSE(v.syncDriveCache());
  EXPECT_FALSE(v.getDefectReportCounter(counter));
  EXPECT_EQ(counter, 5u);
  EXPECT_TRUE(fsctlCodes().empty());
  EXPECT_EQ(traces().back(), u"ERROR: RUVOVolume::getDefectReportCounter : not open\n");
  v.setHandle(0);
  engine().fsctl_out[0x40047040] = bytes(std::uint32_t{3});
  EXPECT_TRUE(v.syncDriveCache());
  EXPECT_TRUE(v.getDefectReportCounter(counter));
  EXPECT_EQ(counter, 3u);
  EXPECT_TRUE(v.reserveWriteRange(MakeSpaceEntry(1, 0x20, 0x10)));
  EXPECT_TRUE(traced(u"MDCFSCTL_RESERVE_WRITE_RANGE zoneId=1, blockOffset=0x00000020 numberOfBlocks=0x00000010 \n"));
  EXPECT_EQ(engine().fsctl_in.back(),
            (std::vector<std::uint8_t>{1, 0, 0, 0, 0x20, 0, 0, 0, 0x10, 0, 0, 0}));
  // The volume wrapper keeps the engine's value unmapped, last error untouched.
  engine().fsctl_results[0x20007030] = 5;
  SetLastError(42);
  EXPECT_FALSE(v.syncDriveCache());
  EXPECT_EQ(v.m_dwErrorCode, 5u);
  EXPECT_EQ(GetLastError(), 42u);
  EXPECT_EQ(traces().back(),
            u"ERROR: RUVOVolume::syncDriveCache : MDCFSCTL_SYNC_DRIVE_CACHE error m_dwErrorCode = 00000005\n");
}

TEST_F(Ruvo, MarkVolumeDirtyOnlyOnRMedia) {
  RUVOVolume v;
  RuvoCtrlVolume::setRMediaForTesting(false);
  EXPECT_TRUE(v.markVolumeDirty(3));
  EXPECT_TRUE(fsctlCodes().empty());
  RuvoCtrlVolume::setRMediaForTesting(true);
  EXPECT_TRUE(v.markVolumeDirty(3));
  EXPECT_EQ(fsctlCodes(), std::vector<unsigned>{0x8004700E});
  EXPECT_EQ(engine().fsctl_in.back(), (std::vector<std::uint8_t>{3, 0, 0, 0}));
  EXPECT_TRUE(traced(u"MDCFSCTL_MARK_VOLUME_DIRTY FsFlushPolicy=3\n"));
  engine().fsctl_results[0x8004700E] = 22;
  EXPECT_FALSE(v.markVolumeDirty(6));
  EXPECT_EQ(v.m_dwErrorCode, 22u);
}

TEST_F(Ruvo, ExclusiveModeRequests) {
  RUVOVolume v;
  EXPECT_TRUE(v.enterExclusiveMode());
  EXPECT_TRUE(v.exitExclusiveMode());
  EXPECT_EQ(fsctlCodes(), (std::vector<unsigned>{0x20007042, 0x20007043}));
  engine().fsctl_results[0x20007042] = 22;
  EXPECT_FALSE(v.enterExclusiveMode());
  EXPECT_EQ(v.m_dwErrorCode, 22u);
}
