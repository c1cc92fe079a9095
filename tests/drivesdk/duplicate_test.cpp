// Volume duplication: runs from a source volume (the simulated drive with
// the engine stand-in, its files in a temporary directory) to a plain
// directory or an archive destination; the room check and the track commit.
#include "dup_support.h"

#include "duplicate.h"

#include "platform/drive_letters.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace PxoUtilityLib {
struct DuplicateTestPeer {
  static void counts(Duplicate& d, std::uint32_t dirs, std::uint32_t files) {
    d.m_dirCount = dirs;
    d.m_fileCount = files;
  }
  static void sizes(Duplicate& d, const std::vector<std::uint64_t>& sizes) {
    d.m_entries.clear();
    for (std::uint64_t s : sizes) {
      auto e = std::make_shared<SourceEntry>();
      e->size = s;
      d.m_entries.emplace(s, e);
    }
  }
};
}  // namespace PxoUtilityLib

namespace sdktest {
namespace {

using PxoUtilityLib::Duplicate;
using PxoUtilityLib::DuplicateEntryResult;
using PxoUtilityLib::DuplicateResult;
using PxoUtilityLib::DuplicateTestPeer;
using PxoUtilityLib::FileOperationCallbackImpl;
namespace Px = PxoUtilityLib::PxoUtility;

// Faults for the file operations of a run, shared by every object the run
// makes.
struct Faults {
  int failReadCall = 0;            // the n-th read fails (1-based); 0 none
  int failWriteCalls = 0;          // the first n writes fail
  int wrongSizeCalls = 0;          // the first n size queries of outputs answer one more
  std::string invalidName;         // creating a path that contains it answers 4
  std::string unreadable;          // opening a path that contains it for reading answers 1
  bool freeSpaceSet = false;
  Px::DiskFreeSpace freeSpace;
  std::vector<std::u16string> freeSpaceRoots;
  int reads = 0;
  std::vector<std::string> opened;  // paths opened for reading, in order
};

class FaultFiles : public FileOperationCallbackImpl {
 public:
  explicit FaultFiles(Faults& f) : f_(f) {}
  std::uint32_t open(const std::u16string& path, std::uint32_t type, FileHandle& h) override {
    const std::string p = narrowText(path);
    if (type <= Px::kOpenCreateArchive && !f_.invalidName.empty() && p.find(f_.invalidName) != std::string::npos) {
      h = Px::kNoHandle;
      return Px::kOpenInvalidName;
    }
    if (type >= Px::kOpenRead && !f_.unreadable.empty() && p.find(f_.unreadable) != std::string::npos) {
      h = Px::kNoHandle;
      return Px::kOpenFailed;
    }
    const std::uint32_t r = FileOperationCallbackImpl::open(path, type, h);
    if (r == 0) outputs_[h] = type <= Px::kOpenCreateArchive || p.find("/dst") != std::string::npos;
    if (type >= Px::kOpenRead) f_.opened.push_back(p);
    return r;
  }
  bool read(FileHandle h, std::uint32_t size, std::uint32_t& done, void* buffer) override {
    if (++f_.reads == f_.failReadCall) {
      done = 0;
      return false;
    }
    return FileOperationCallbackImpl::read(h, size, done, buffer);
  }
  bool write(FileHandle h, std::uint32_t size, const void* data) override {
    if (f_.failWriteCalls > 0) {
      --f_.failWriteCalls;
      return false;
    }
    return FileOperationCallbackImpl::write(h, size, data);
  }
  bool getFileSize(FileHandle h, std::uint64_t& size) override {
    if (!FileOperationCallbackImpl::getFileSize(h, size)) return false;
    if (f_.wrongSizeCalls > 0) {
      --f_.wrongSizeCalls;
      ++size;
    }
    return true;
  }
  bool getDiskFreeSpace(const std::u16string& root, Px::DiskFreeSpace& space) override {
    f_.freeSpaceRoots.push_back(root);
    if (!f_.freeSpaceSet) return FileOperationCallbackImpl::getDiskFreeSpace(root, space);
    space = f_.freeSpace;
    return true;
  }

 private:
  Faults& f_;
  std::map<FileHandle, bool> outputs_;
};

// Progress and cancel: cancels when asked for the n-th time (0 never).
struct RunCallback : Px::DuplicateMediaCallback {
  int cancelAt = 0;
  int asked = 0;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;
  void progress(const std::uint64_t* pair, std::uint64_t mask) override {
    EXPECT_EQ(mask, 0x0FFFFFFFFFFFFFFFull);
    reports.emplace_back(pair[0], pair[1]);
  }
  bool cancel() override { return ++asked == cancelAt; }
};

class DuplicateTest : public SdkSimTest {
 protected:
  void SetUp() override {
    start();
    engine.install();
    ASSERT_TRUE(platform::drive_letter_assign(u'S', {narrowText(path()), src.path()}));
    ASSERT_TRUE(platform::drive_letter_assign(u'D', {narrowText(path()), dst.path()}));
    Duplicate::fileOperationMaker() = [this] { return std::make_unique<FaultFiles>(faults); };
  }
  void TearDown() override {
    Duplicate::fileOperationMaker() = [] { return std::make_unique<FileOperationCallbackImpl>(); };
    SdkSimTest::TearDown();
  }
  void dir(const std::string& rel, std::uint32_t attributes = 0x10) {
    ASSERT_EQ(::mkdir((src / rel).c_str(), 0777), 0);
    engine.add("/" + rel, 0, attributes);
  }
  void file(const std::string& rel, const Bytes& data, std::uint32_t attributes = 0) {
    writeFile(src / rel, data);
    engine.add("/" + rel, data.size(), attributes);
  }
  void collect(bool cm = false) {
    std::uint32_t files = 0;
    std::uint64_t size = 0;
    ASSERT_EQ(dup.getFilesDuplicateMedia(u"S:", u"\\", cm, files, size), 0u);
  }
  std::uint32_t run(std::uint32_t mode, std::uint32_t kind, const std::u16string& destination,
                    std::uint32_t policy = 0) {
    return dup.doDuplicateMedia(policy, mode, kind, destination, result, list, false, &callback);
  }
  std::u16string plain() const { return wide(dst.path()); }  // no trailing backslash
  std::uint8_t flagsOf(const std::string& rel) const {
    for (const DuplicateEntryResult& e : list)
      if (narrowText(e.sourcePath) == "S:\\" + rel) return e.flags;
    return 0xFF;
  }

  RegistryScope registry;
  ScratchDir src, dst, tmp;
  EngineVolume engine;
  Faults faults;
  RunCallback callback;
  Duplicate dup;
  DuplicateResult result;
  std::vector<DuplicateEntryResult> list;
};

TEST_F(DuplicateTest, TreeReachesAPlainDirectoryWithTimesAttributesLinksAndResult) {
  dir("a");
  file("a/f1", {1, 2, 3}, 0x01);
  file("f0", {});
  dir("a/b");
  file("a/b/f2", pattern(100));
  ASSERT_EQ(::symlink("a/f1", (src / "l").c_str()), 0);
  engine.add("/l", 6, 0x400);
  const timespec old[2] = {{1000000000, 0}, {1100000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (src / "f0").c_str(), old, 0), 0);
  collect();
  ASSERT_EQ(run(0, 1, plain()), 0u);
  EXPECT_EQ(readFile(dst / "a/f1"), (Bytes{1, 2, 3}));
  EXPECT_EQ(readFile(dst / "a/b/f2"), pattern(100));
  struct stat st{};
  ASSERT_EQ(::stat((dst / "f0").c_str(), &st), 0);  // an empty file with its times
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1100000000);
  ASSERT_EQ(::stat((dst / "a/f1").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u);  // read-only carried over
  char target[32] = {};
  ASSERT_GT(::readlink((dst / "l").c_str(), target, sizeof target), 0);
  EXPECT_STREQ(target, "a/f1");
  // Ascending size; equal sizes keep the walk's order (links count 0).
  std::vector<std::string> order;
  for (const DuplicateEntryResult& e : list) order.push_back(narrowText(e.sourcePath));
  EXPECT_EQ(order, (std::vector<std::string>{"S:\\f0", "S:\\l", "S:\\a\\f1", "S:\\a\\b\\f2"}));
  EXPECT_EQ(narrowText(list[2].outputPath), dst.path() + "\\a\\f1");  // the root got its backslash
  for (const DuplicateEntryResult& e : list) EXPECT_EQ(e.flags, 0x01);
  EXPECT_EQ(std::vector<std::uint32_t>(result.values, result.values + 8),
            (std::vector<std::uint32_t>{4, 4, 0, 0, 0, 0, 0, 0}));
  ASSERT_FALSE(callback.reports.empty());
  EXPECT_EQ(callback.reports.back(), (std::pair<std::uint64_t, std::uint64_t>{4, (1ull << 60) | 103}));
}

TEST_F(DuplicateTest, ReadErrorInTheSecondChunkIsFinishedByTheRecoveryCopy) {
  const Bytes data = pattern(0x28000);
  file("big", data);
  collect();
  dup.setCopyBufferSize(0x10000);
  faults.failReadCall = 2;  // the second chunk
  ASSERT_EQ(run(0, 1, plain()), 0u);
  EXPECT_EQ(readFile(dst / "big"), data);
  EXPECT_EQ(flagsOf("big"), 0x05);
  EXPECT_EQ(result.values[3], 1u);
  EXPECT_TRUE(host().logged("[####]m_bodyReader->getSize()=163840"));
}

TEST_F(DuplicateTest, CancelBetweenChunksLeavesNoPartialOutput) {
  file("big", pattern(0x28000));
  collect();
  dup.setCopyBufferSize(0x10000);
  callback.cancelAt = 3;  // entry start, first chunk, second chunk
  EXPECT_EQ(run(0, 1, plain()), 0x0600FFFFu);
  EXPECT_FALSE(exists(dst / "big"));
}

TEST_F(DuplicateTest, RefusedNameGetsTheMediaIdOnAPlainDirectoryOnly) {
  file("bad name", {5, 5});
  file("other bad", {6, 6, 6});
  collect();
  writeFile(dst / "MUID0123456789ABCDEF_000001", {});  // taken: the next counter value
  faults.invalidName = "bad";
  ASSERT_EQ(run(0, 1, plain()), 0u);
  EXPECT_EQ(readFile(dst / "MUID0123456789ABCDEF_000002"), (Bytes{5, 5}));
  EXPECT_EQ(readFile(dst / "MUID0123456789ABCDEF_000003"), (Bytes{6, 6, 6}));
  EXPECT_EQ(flagsOf("bad name"), 0x03);
  EXPECT_EQ(result.values[2], 2u);
  // An archive destination gets no new name: the output fails.
  Duplicate second;
  std::uint32_t files = 0;
  std::uint64_t size = 0;
  ASSERT_EQ(second.getFilesDuplicateMedia(u"S:", u"\\", false, files, size), 0u);
  ScratchDir other;
  ASSERT_TRUE(platform::drive_letter_assign(u'D', {narrowText(path()), other.path()}));
  EXPECT_EQ(second.doDuplicateMedia(0, 0, 0, u"D:\\", result, list, false, &callback), 0x06000001u);
  EXPECT_EQ(list[0].flags, 0x40);
}

TEST_F(DuplicateTest, WrongOutputSizeIsDeletedAndCopiedOnceMoreWithThePolicy) {
  struct Case {
    std::uint32_t policy;
    int wrongSizes;
    std::uint8_t flags;
    bool output;
  };
  const Case cases[] = {
      {1, 1, 0x01, true},   // copied again and verified
      {1, 9, 0x40, false},  // fails again: no third copy
      {0, 1, 0x40, false},
  };
  file("f", pattern(50));
  for (const Case& c : cases) {
    Duplicate d;
    std::uint32_t files = 0;
    std::uint64_t size = 0;
    ASSERT_EQ(d.getFilesDuplicateMedia(u"S:", u"\\", false, files, size), 0u);
    ScratchDir out;
    ASSERT_TRUE(platform::drive_letter_assign(u'D', {narrowText(path()), out.path()}));
    faults.wrongSizeCalls = c.wrongSizes;
    EXPECT_EQ(d.doDuplicateMedia(c.policy, 0, 0, u"D:", result, list, false, &callback), 0u) << c.policy;
    EXPECT_EQ(list.at(0).flags, c.flags) << c.policy << "/" << c.wrongSizes;
    EXPECT_EQ(exists(out / "f"), c.output);
    faults.wrongSizeCalls = 0;
  }
}

TEST_F(DuplicateTest, WriteFailureIsRetriedOnceWhenThereIsRoom) {
  struct Case {
    std::uint32_t policy;
    std::uint32_t mode;
    int failures;
    std::uint32_t end;
    std::uint8_t flags;
  };
  const Case cases[] = {
      {0, 0, 1, 0x06000001, 0x40},
      {1, 0, 1, 0, 0x01},           // room found: copied again
      {1, 0, 2, 0x06000001, 0x40},  // the second failure ends the run
      {1, 1, 2, 0x06000003, 0x40},  // off the destination side
  };
  file("f", pattern(70));
  for (const Case& c : cases) {
    Duplicate d;
    std::uint32_t files = 0;
    std::uint64_t size = 0;
    ASSERT_EQ(d.getFilesDuplicateMedia(u"S:", u"\\", false, files, size), 0u);
    ScratchDir out;
    faults.failWriteCalls = c.failures;
    EXPECT_EQ(d.doDuplicateMedia(c.policy, c.mode, 1, wide(out.path()), result, list, false, &callback), c.end);
    EXPECT_EQ(list.at(0).flags, c.flags);
    EXPECT_EQ(exists(out / "f"), c.end == 0);
  }
}

TEST_F(DuplicateTest, RunEndsOnExistingOutputsAndMissingSources) {
  struct Case {
    std::string prepare;  // made in the destination first
    std::uint32_t mode;
    std::uint32_t end;
  };
  const Case cases[] = {
      {"dir:a", 0, 0x06000101}, {"dir:a", 1, 0x06000104},
      {"file:f", 0, 0x06000102}, {"file:f", 1, 0x06000105},
  };
  dir("a");
  file("f", {1});
  for (const Case& c : cases) {
    Duplicate d;
    std::uint32_t files = 0;
    std::uint64_t size = 0;
    ASSERT_EQ(d.getFilesDuplicateMedia(u"S:", u"\\", false, files, size), 0u);
    ScratchDir out;
    if (c.prepare == "dir:a") ASSERT_EQ(::mkdir((out / "a").c_str(), 0777), 0);
    else writeFile(out / "f", {9});
    EXPECT_EQ(d.doDuplicateMedia(0, c.mode, 1, wide(out.path()), result, list, false, &callback), c.end)
        << c.prepare << " mode " << c.mode;
  }
  engine.add("/gone", 4, 0);  // listed, not on the volume
  Duplicate d;
  std::uint32_t files = 0;
  std::uint64_t size = 0;
  ASSERT_EQ(d.getFilesDuplicateMedia(u"S:", u"\\", false, files, size), 0u);
  ScratchDir out;
  EXPECT_EQ(d.doDuplicateMedia(0, 0, 1, wide(out.path()), result, list, false, &callback), 0x06000103u);
}

TEST_F(DuplicateTest, CartridgeMemoryAttributesReachTheDestinationInOrder) {
  file("f", {1});
  for (std::uint16_t id : {0x159B, 0x0806, 0x1581, 0x1505}) host().attributes[id] = {0x02, Bytes(4, id & 0xFF)};
  collect(true);
  host().controls.clear();
  ASSERT_EQ(run(0, 0, u"D:\\"), 0u);
  std::vector<std::uint16_t> written;
  for (const ControlCall& call : host().controls)
    if (call.code == 0x800C7035) written.push_back(static_cast<std::uint16_t>(call.record[0] | call.record[1] << 8));
  EXPECT_EQ(written, (std::vector<std::uint16_t>{0x0806, 0x1505, 0x1581, 0x159B}));
  EXPECT_EQ(readFile(dst / "f"), (Bytes{1}));
}

TEST_F(DuplicateTest, CollectingNeedsAMediumAndTheVolumeIdentity) {
  std::uint32_t files = 0;
  std::uint64_t size = 0;
  EXPECT_EQ(dup.getFilesDuplicateMedia(u"Q:", u"\\", false, files, size), 0x220003u);  // no drive behind Q
  EXPECT_TRUE(host().logged("media is not exist"));
  host().controlAnswers[0x402C7050] = {5};
  EXPECT_EQ(dup.getFilesDuplicateMedia(u"S:", u"\\", false, files, size), 0x121000u);
}

// A drive just powered on answers its first command with unit attention
// 06/29/00, once: collecting asks again and finds the medium; a drive
// without a disc has none.
TEST_F(DuplicateTest, CollectingRightAfterTheDrivesPowerOnFindsTheMedium) {
  file("f", pattern(3));
  sim_->drive().power_cut();
  collect();
  EXPECT_FALSE(host().logged("media is not exist"));
  sim_->drive().unload();
  std::uint32_t files = 0;
  std::uint64_t size = 0;
  EXPECT_EQ(dup.getFilesDuplicateMedia(u"S:", u"\\", false, files, size), 0x220003u);
  EXPECT_TRUE(host().logged("media is not exist"));
}

TEST_F(DuplicateTest, TemporaryCopyThenDestinationThenTheTemporaryTreeIsRemoved) {
  dir("a");
  dir("a/b");
  file("a/b/f", pattern(30));
  file("g", {7});
  file("bad", {8});
  ASSERT_EQ(::symlink("a/b/f", (src / "l").c_str()), 0);
  engine.add("/l", 0, 0x400);
  collect();
  faults.unreadable = "bad";
  ASSERT_EQ(run(1, 1, wide(tmp.path())), 0u);
  EXPECT_EQ(readFile(tmp / "a/b/f"), pattern(30));
  EXPECT_FALSE(exists(tmp / "l"));  // links are made on the destination only
  EXPECT_EQ(flagsOf("l"), 0x01);
  EXPECT_EQ(flagsOf("bad"), 0x80);
  for (const DuplicateEntryResult& e : list) {
    if (narrowText(e.sourcePath) == "S:\\g") {
      EXPECT_EQ(narrowText(e.outputPath), tmp.path() + "\\g");
    }
  }
  faults.unreadable.clear();
  ASSERT_EQ(run(2, 0, u"D:"), 0u);
  EXPECT_EQ(readFile(dst / "a/b/f"), pattern(30));
  EXPECT_EQ(readFile(dst / "g"), (Bytes{7}));
  EXPECT_FALSE(exists(dst / "bad"));  // not in the temporary copy: its first byte is passed on
  EXPECT_EQ(flagsOf("bad"), 0x80);
  char target[16] = {};
  ASSERT_GT(::readlink((dst / "l").c_str(), target, sizeof target), 0);
  EXPECT_STREQ(target, "a/b/f");
  EXPECT_EQ(std::vector<std::uint32_t>(result.values, result.values + 8),
            (std::vector<std::uint32_t>{4, 3, 0, 0, 0, 0, 1, 0}));
  dup.delTemp();
  EXPECT_TRUE(std::filesystem::is_empty(tmp.path()));
  EXPECT_TRUE(exists(dst / "a/b/f"));
}

TEST_F(DuplicateTest, ArchiveDestinationIsVerifiedInItsOwnPassWithScaledProgress) {
  file("f1", pattern(100));
  file("f2", pattern(300));
  collect();
  ASSERT_EQ(run(0, 0, u"D:\\"), 0u);
  // Copy pass (kind 1) up to 400, verify pass (kind 2) from 360 by a tenth.
  std::vector<std::uint64_t> tail;
  for (std::size_t i = callback.reports.size() - 3; i < callback.reports.size(); ++i)
    tail.push_back(callback.reports[i].second);
  EXPECT_EQ(tail, (std::vector<std::uint64_t>{(1ull << 60) | 400, (2ull << 60) | 370, (2ull << 60) | 400}));
  EXPECT_EQ(result.values[1], 2u);
}

// --- room check -------------------------------------------------------------

class RoomTest : public DuplicateTest {
 protected:
  std::uint32_t check(std::uint32_t kind, const std::u16string& where, std::uint32_t& verdict) {
    bool mediumFlag = false;
    verdict = 99;
    dup.setFileOperation(std::make_unique<FaultFiles>(faults));
    return dup.checkDuplicateMediaImpl(kind, where, false, mediumFlag, verdict);
  }
  void freeBytes(std::uint64_t bytes, std::uint64_t total = 0) {
    faults.freeSpaceSet = true;
    faults.freeSpace = {1, 1, static_cast<std::uint32_t>(bytes), static_cast<std::uint32_t>(total ? total : bytes)};
  }
};

TEST_F(RoomTest, EntryLimitsByMediumAndVolumeType) {
  struct Case {
    std::uint8_t medium, volumeType;
    std::uint32_t sourceFiles;
    std::uint32_t result, verdict;
  };
  // The destination holds 1 directory and 1 file; the source 1 directory.
  const Case cases[] = {
      {0xF2, 0x00, 799997, 0, 0}, {0xF2, 0x00, 799998, 0, 2},
      {0xE1, 0x10, 239997, 0, 0}, {0xE1, 0x10, 239998, 0, 2},
      {0xE1, 0x00, 59997, 0, 0},  {0xE1, 0x00, 59998, 0, 2},
      {0xE1, 0x20, 1, 0x06000302, 99},
  };
  engine.files = 1;
  engine.directories = 1;
  engine.setDiscUsage(1, 1, 1ull << 40, 1ull << 40);  // no disc left to estimate for
  freeBytes(0xFFFFFFFF);
  for (const Case& c : cases) {
    engine.mediumType = c.medium;
    engine.volumeType = c.volumeType;
    DuplicateTestPeer::counts(dup, 1, c.sourceFiles);
    DuplicateTestPeer::sizes(dup, {});
    std::uint32_t verdict = 0;
    EXPECT_EQ(check(0, u"D:\\", verdict), c.result) << c.sourceFiles;
    EXPECT_EQ(verdict, c.verdict) << std::hex << int(c.medium) << " " << int(c.volumeType) << std::dec << " "
                                  << c.sourceFiles;
  }
}

TEST_F(RoomTest, FileSizesCountInWhole64KiBUnits) {
  DuplicateTestPeer::sizes(dup, {0, 1});  // 0 + 65536
  struct Case {
    std::uint64_t free;
    std::uint32_t verdict;
  };
  for (const Case c : {Case{65536, 0}, Case{65535, 1}}) {
    freeBytes(c.free);
    std::uint32_t verdict = 0;
    EXPECT_EQ(check(1, wide(tmp.path()), verdict), 0u);
    EXPECT_EQ(verdict, c.verdict) << c.free;
  }
  // A plain directory asks the file system of the path itself.
  EXPECT_EQ(faults.freeSpaceRoots.back(), wide(tmp.path()));
  faults.freeSpaceSet = false;
  std::uint32_t verdict = 9;
  EXPECT_EQ(check(1, wide(tmp.path()), verdict), 0u);
  EXPECT_EQ(verdict, 0u);
}

TEST_F(RoomTest, MetadataEstimateIsCheckedPerDiscLeftIn64Bits) {
  // 100000 files on F2h, volume-type byte 0: H = 100000 x (67584 + 3300),
  // FSMS = 708,902,912; two discs left need 1,417,805,824 bytes. In 32 bits
  // H wraps (FSMS 279,379,968) and 1,200,000,000 would seem enough.
  struct Case {
    std::uint64_t free;
    std::uint8_t lastWritten;
    std::uint32_t verdict;
  };
  const Case cases[] = {
      {1200000000, 0, 1},  // too small
      {1500000000, 0, 0},
      {1200000000, 1, 0},  // one disc left
  };
  engine.mediumType = 0xF2;
  engine.volumeType = 0;
  DuplicateTestPeer::counts(dup, 0, 100000);
  DuplicateTestPeer::sizes(dup, {});
  for (const Case& c : cases) {
    engine.setDiscUsage(2, c.lastWritten, 1ull << 40, 1ull << 40);
    faults.freeSpaceSet = true;
    faults.freeSpace = {1000, 1, static_cast<std::uint32_t>(c.free / 1000), 0};
    std::uint32_t verdict = 0;
    EXPECT_EQ(check(0, u"D:\\", verdict), 0u);
    EXPECT_EQ(verdict, c.verdict) << c.free << " " << int(c.lastWritten);
  }
  EXPECT_TRUE(host().logged("FSMS(708902912)"));
  // Less room than the files themselves.
  DuplicateTestPeer::sizes(dup, {0x20000});
  freeBytes(0x1FFFF);
  std::uint32_t verdict = 0;
  EXPECT_EQ(check(0, u"D:\\", verdict), 0u);
  EXPECT_EQ(verdict, 1u);
  EXPECT_TRUE(host().logged("RVS(131071) < ATFS(131072)"));
}

// --- track commit -----------------------------------------------------------

TEST_F(DuplicateTest, NewTrackIsCommittedOnlyOnAFullDiscThatIsNotTheLast) {
  struct Case {
    std::uint8_t total, lastWritten;
    std::uint64_t remaining, write;
    std::vector<unsigned> sent;
  };
  const Case cases[] = {
      {2, 1, 10, 500, {}},                       // the last disc
      {3, 0, 100, 500, {}},                      // 10 % free
      {3, 0, 99, 500, {0x80047062, 0x20007053}}, // flush, then commit
      {3, 0, 99, 50, {0x20007053}},              // the file fits: commit only
  };
  for (const Case& c : cases) {
    engine.setDiscUsage(c.total, c.lastWritten, 1000, c.remaining);
    host().controls.clear();
    Duplicate::RunArgs args;
    args.kind = 0;
    args.destGiven = u"D:\\";
    const bool committed = dup.commitNewTrackIfRequired_Execute(c.write, args);
    std::vector<unsigned> sent;
    for (unsigned code : host().controlCodes())
      if (code == 0x80047062 || code == 0x20007053) sent.push_back(code);
    EXPECT_EQ(sent, c.sent) << int(c.total) << "/" << c.remaining << "/" << c.write;
    EXPECT_EQ(committed, !c.sent.empty());
  }
  EXPECT_EQ(engine.flushFlags, (std::vector<std::uint32_t>{0}));
  Duplicate::RunArgs plainArgs;
  plainArgs.kind = 1;
  EXPECT_FALSE(dup.commitNewTrackIfRequired_Execute(1, plainArgs));
}

}  // namespace
}  // namespace sdktest
