// The metadata store over the fake engine's volume: file names and record
// placement, the byte layout of header and records, loading with its faults,
// dirty marking and the file images handed to the writer.
#include "kel/config.h"
#include "kel/metadata.h"
#include "support/fake_engine.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>

using fakeengine::engine;
using kel::CKelMetaData;
using kel::kMetaUnknown;

namespace {

void put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint32_t get32(const std::uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

struct Rec {
  std::uint32_t object, generation, version;
};

// A file image as it stands on a volume, built byte by byte.
std::vector<std::uint8_t> image(std::uint32_t width, const std::string& id, std::uint32_t replica,
                                const std::vector<Rec>& records, std::uint16_t major = 1) {
  std::vector<std::uint8_t> b(1024 + 12 * records.size(), 0);
  std::memcpy(b.data(), "QVMF", 4);
  b[4] = static_cast<std::uint8_t>(major);
  b[5] = static_cast<std::uint8_t>(major >> 8);
  b[6] = 1;
  put32(b, 12, width);
  std::memcpy(b.data() + 16, id.data(), id.size());
  put32(b, 48, replica);
  std::uint32_t sum = 0;
  for (int i = 0; i < 52; ++i) sum += b[i];
  put32(b, 8, sum);
  for (std::size_t i = 0; i < records.size(); ++i) {
    put32(b, 1024 + 12 * i, records[i].object);
    put32(b, 1028 + 12 * i, records[i].generation);
    put32(b, 1032 + 12 * i, records[i].version);
  }
  return b;
}

std::string metaPath(std::uint32_t index) {
  char name[64];
  std::snprintf(name, sizeof name, "/$QuorvelData/QVMetaData%6.6u.dat", index);
  return name;
}

// A ReadData that reports `g_reported` bytes whenever the engine read some.
int g_reported = 0;
int MisreportingRead(void* handle, void* buffer, std::uint64_t offset, unsigned length, int* done) {
  const int r = fakeengine::operations().ReadData(handle, buffer, offset, length, done);
  if (r == 0 && *done > 0) *done = g_reported;
  return r;
}

class MetaDataStore : public ::testing::Test {
 protected:
  void SetUp() override {
    engine().reset();
    engine().mounted = true;
    engine().addFolder("/$QuorvelData", 50);
  }
  void putFile(std::uint32_t index, std::vector<std::uint8_t> bytes) {
    engine().addFile(metaPath(index), 100 + index, 0, {}, std::move(bytes));
  }
  std::pair<std::uint32_t, std::uint32_t> lookup(std::uint32_t object, DWORD expect = 0) {
    std::uint32_t g = 0, v = 0;
    EXPECT_EQ(store.GetObjectVersion(object, &g, &v), expect);
    return {g, v};
  }
  // The whole image of a file, piece by piece as the writer asks for it.
  std::vector<std::uint8_t> wholeImage(CKelMetaData::CMetaDataFile* f) {
    std::vector<std::uint8_t> out;
    const std::uint64_t length = f->ImageLength();
    while (out.size() < length) {
      std::uint32_t size = static_cast<std::uint32_t>(std::min<std::uint64_t>(65536, length - out.size()));
      const std::uint8_t* p = f->GetFileData(out.size(), &size);
      EXPECT_NE(p, nullptr);
      if (!p || size == 0) break;
      out.insert(out.end(), p, p + size);
    }
    return out;
  }
  std::vector<std::uint32_t> dirtyIndexes() {
    std::vector<std::uint32_t> out;
    for (auto* f : store.GetDirtyFiles()) out.push_back(f->FileIndex());
    return out;
  }
  CKelMetaData store{&fakeengine::operations()};
};

TEST_F(MetaDataStore, FileNamesHaveAtLeastSixDigits) {
  struct {
    std::uint32_t index;
    const char* name;
  } cases[] = {{0, "QVMetaData000000.dat"}, {1, "QVMetaData000001.dat"},
               {999999, "QVMetaData999999.dat"}, {1234567, "QVMetaData1234567.dat"}};
  for (const auto& c : cases) {
    CKelMetaData::CMetaDataFile f(&store, c.index);
    EXPECT_EQ(f.GetFileName(), c.name);
    EXPECT_EQ(f.GetPath(), std::string("/$QuorvelData/") + c.name);
  }
}

TEST_F(MetaDataStore, DefaultWidthPlaces10751InFileZeroAnd10752InFileOne) {
  EXPECT_EQ(store.SetObjectVersion(0, 1, 1), 0u);
  EXPECT_EQ(store.SetObjectVersion(10751, 2, 2), 0u);
  EXPECT_EQ(store.SetObjectVersion(10752, 3, 3), 0u);
  EXPECT_EQ(store.ObjectsPerFile(), 10752u);
  EXPECT_EQ(dirtyIndexes(), (std::vector<std::uint32_t>{0, 1}));
  EXPECT_EQ(store.File(0)->RecordCount(), 2u);
  EXPECT_EQ(store.File(1)->RecordCount(), 1u);
  // Both were looked for on the volume before they were made new.
  EXPECT_EQ(engine().texts(kSlotOpenFile),
            (std::vector<std::string>{"OpenFile(" + metaPath(0) + ",1)", "OpenFile(" + metaPath(1) + ",1)"}));
  EXPECT_EQ(lookup(10752), std::make_pair(3u, 3u));
}

TEST_F(MetaDataStore, NewFileImageIsByteExact) {
  ASSERT_EQ(store.FormatIdentity("VOL-0001", 7, 0), 0u);  // 0: the default width
  EXPECT_EQ(store.ObjectsPerFile(), 10752u);
  ASSERT_EQ(store.SetObjectVersion(5, 0x11223344, 0x55667788), 0u);
  ASSERT_EQ(store.SetObjectVersion(1, 2, 3), 0u);
  auto dirty = store.GetDirtyFiles();
  ASSERT_EQ(dirty.size(), 1u);
  EXPECT_EQ(dirty[0]->ImageLength(), 1024u + 24u);
  const std::vector<std::uint8_t> expect =
      image(10752, "VOL-0001", 7, {{5, 0x11223344, 0x55667788}, {1, 2, 3}});
  EXPECT_EQ(wholeImage(dirty[0]), expect);
  // Spot checks of the layout itself.
  EXPECT_EQ(std::memcmp(expect.data(), "QVMF\x01\x00\x01\x00", 8), 0);
  std::uint32_t sum = 0;
  for (int i = 0; i < 52; ++i) sum += (i >= 8 && i < 12) ? 0 : expect[i];
  EXPECT_EQ(get32(expect.data() + 8), sum);
  EXPECT_EQ(dirty[0]->Header().Checksum, sum);
}

TEST_F(MetaDataStore, FullDefaultFileIs130048BytesInPiecesOfAtMost5461Records) {
  ASSERT_EQ(store.FormatIdentity("V", 1, 10752), 0u);
  for (std::uint32_t o = 0; o < 10752; ++o) ASSERT_EQ(store.SetObjectVersion(o, o, o + 1), 0u);
  auto* f = store.File(0);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->ImageLength(), 130048u);
  std::uint32_t size = 65536;
  ASSERT_NE(f->GetFileData(0, &size), nullptr);
  EXPECT_EQ(size, 1024u);
  size = 65536;
  const std::uint8_t* p = f->GetFileData(1024, &size);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(size, 5461u * 12);
  EXPECT_EQ(get32(p + 12 * 5460), 5460u);
  size = 12 * 3;
  p = f->GetFileData(1024 + 12 * 10750, &size);
  EXPECT_EQ(size, 24u);  // only two records are left
  EXPECT_EQ(get32(p + 12), 10751u);
  EXPECT_EQ(get32(p + 20), 10752u);
  size = 12;
  EXPECT_EQ(f->GetFileData(1030, &size), nullptr);  // not a record boundary
  // The whole image reads back into a fresh store as the same records.
  std::vector<std::uint8_t> bytes = wholeImage(f);
  ASSERT_EQ(bytes.size(), 130048u);
  putFile(0, bytes);
  CKelMetaData again(&fakeengine::operations());
  std::uint32_t g = 0, v = 0;
  ASSERT_EQ(again.GetObjectVersion(10000, &g, &v), 0u);
  EXPECT_EQ(g, 10000u);
  EXPECT_EQ(v, 10001u);
  EXPECT_EQ(again.File(0)->RecordCount(), 10752u);
  EXPECT_TRUE(again.GetDirtyFiles().empty());
}

TEST_F(MetaDataStore, LoadedFileAnswersLookupsAndKeepsFirstPositionOfRepeatedRecord) {
  putFile(0, image(10752, "VOL-X", 4, {{9, 1, 1}, {3, 2, 2}, {9, 5, 6}}));
  EXPECT_EQ(lookup(9), std::make_pair(5u, 6u));
  EXPECT_EQ(lookup(3), std::make_pair(2u, 2u));
  EXPECT_EQ(lookup(4), std::make_pair(kMetaUnknown, kMetaUnknown));
  EXPECT_EQ(store.VolumeIdentifier(), "VOL-X");
  EXPECT_EQ(store.ReplicaNumber(), 4u);
  auto* f = store.File(0);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(wholeImage(f), image(10752, "VOL-X", 4, {{9, 5, 6}, {3, 2, 2}}));
  EXPECT_TRUE(store.GetDirtyFiles().empty());
  // Each file is read once.
  lookup(9);
  EXPECT_EQ(engine().count(kSlotOpenFile), 1);
}

TEST_F(MetaDataStore, MissingFileLooksUpAsUnknownAndIsNotMade) {
  EXPECT_EQ(lookup(77), std::make_pair(kMetaUnknown, kMetaUnknown));
  EXPECT_EQ(store.LoadedFileCount(), 0u);
  EXPECT_TRUE(store.GetDirtyFiles().empty());
}

TEST_F(MetaDataStore, FileLengthsDecideHeaderAndRecords) {
  const std::vector<std::uint8_t> full = image(10752, "V", 1, {{1, 7, 8}, {2, 9, 9}});
  struct Case {
    std::size_t length;
    bool loads;
    std::size_t records;
  } cases[] = {{0, false, 0},   {51, false, 0},  {52, true, 0},         {1023, true, 0},
               {1024, true, 0}, {1035, true, 0}, {1036, true, 1},       {1047, true, 1},
               {1048, true, 2}};
  for (const auto& c : cases) {
    SetUp();
    putFile(0, std::vector<std::uint8_t>(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(c.length)));
    CKelMetaData s(&fakeengine::operations());
    ASSERT_EQ(s.LoadFile(1, false), c.loads ? 0u : 2u) << c.length;
    if (c.loads) {
      EXPECT_EQ(s.File(0)->RecordCount(), c.records) << c.length;
    }
    // A cut record at the end ends the reading: the file is read a bounded
    // number of times.
    EXPECT_LE(engine().count(kSlotReadData), 3) << c.length;
    EXPECT_EQ(engine().count(kSlotCloseFile), 1) << c.length;
  }
}

TEST_F(MetaDataStore, CutRecordAtTheEndIsLoggedAndIgnored) {
  std::vector<std::uint8_t> bytes = image(10752, "V", 1, {{1, 7, 8}, {2, 9, 9}});
  bytes.resize(bytes.size() + 5, 0xEE);
  putFile(0, bytes);
  EXPECT_EQ(lookup(2), std::make_pair(9u, 9u));
  EXPECT_EQ(store.File(0)->RecordCount(), 2u);
  EXPECT_EQ(engine().texts(kSlotReadData),
            (std::vector<std::string>{"ReadData(0,65536)", "ReadData(1048,65536)"}));
  ASSERT_FALSE(engine().logs.empty());
  EXPECT_NE(engine().logs.back().find(u"not a whole record"), std::u16string::npos);
}

TEST_F(MetaDataStore, RecordCutByThePieceBoundaryIsReadWithTheNextPiece) {
  // 11000 records: the first piece holds 5376 whole records, the second
  // 5461 and 4 bytes of record 10837, which the third read begins with.
  std::vector<Rec> recs;
  for (std::uint32_t o = 0; o < 11000; ++o) recs.push_back({o, o * 3, o * 5});
  putFile(0, image(10752, "V", 1, recs));
  ASSERT_EQ(store.LoadFile(0, false), 0u);
  auto* f = store.File(0);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->RecordCount(), 11000u);
  for (std::uint32_t o : {5375u, 5376u, 10836u, 10837u, 10999u}) {
    std::uint32_t g = 0, v = 0;
    ASSERT_TRUE(f->GetEntry(o, &g, &v)) << o;
    EXPECT_EQ(g, o * 3) << o;
    EXPECT_EQ(v, o * 5) << o;
  }
  EXPECT_EQ(engine().texts(kSlotReadData),
            (std::vector<std::string>{"ReadData(0,65536)", "ReadData(65536,65536)",
                                      "ReadData(131068,65536)", "ReadData(133024,65536)"}));
}

TEST_F(MetaDataStore, UnreadableFilesCountAsAbsentAndUpdatesReplaceThem) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
  };
  std::vector<Case> cases;
  auto good = image(10752, "V", 1, {{1, 7, 8}});
  auto bad_signature = good;
  bad_signature[0] = 'X';
  auto bad_sum = good;
  bad_sum[8] ^= 1;
  cases.push_back({"signature", bad_signature});
  cases.push_back({"checksum", bad_sum});
  cases.push_back({"newer major version", image(10752, "V", 1, {{1, 7, 8}}, 2)});
  cases.push_back({"objects per file 0", image(0, "V", 1, {{1, 7, 8}})});
  for (auto& c : cases) {
    SetUp();
    putFile(0, c.bytes);
    CKelMetaData s(&fakeengine::operations());
    std::uint32_t g = 0, v = 0;
    EXPECT_EQ(s.GetObjectVersion(1, &g, &v), 0u) << c.what;
    EXPECT_EQ(g, kMetaUnknown) << c.what;
    EXPECT_EQ(s.LoadedFileCount(), 0u) << c.what;
    EXPECT_EQ(engine().count(kSlotCloseFile), 1) << c.what;
    // An update makes a new file in its place.
    EXPECT_EQ(s.SetObjectVersion(1, 2, 3), 0u) << c.what;
    ASSERT_EQ(s.GetDirtyFiles().size(), 1u) << c.what;
    EXPECT_EQ(s.File(0)->RecordCount(), 1u) << c.what;
  }
}

TEST_F(MetaDataStore, ReadOpenAndCloseFailuresCountAsAbsent) {
  for (int slot : {kSlotOpenFile, kSlotReadData, kSlotCloseFile}) {
    SetUp();
    putFile(0, image(10752, "V", 1, {{1, 7, 8}}));
    engine().failNext(slot, 5);
    CKelMetaData s(&fakeengine::operations());
    EXPECT_EQ(s.LoadFile(1, false), 2u) << slot;
    EXPECT_EQ(s.LoadedFileCount(), 0u) << slot;
    if (slot == kSlotReadData) {
      EXPECT_EQ(engine().count(kSlotCloseFile), 1);
    }
  }
}

TEST_F(MetaDataStore, WidthOfAnotherVolumeIsAdoptedOnFirstLoad) {
  putFile(0, image(5000, "W", 2, {{10, 1, 1}}));
  putFile(1, image(5000, "W", 2, {{7000, 4, 5}}));
  EXPECT_EQ(lookup(7000), std::make_pair(4u, 5u));
  EXPECT_EQ(store.ObjectsPerFile(), 5000u);
  EXPECT_EQ(store.LoadedFileCount(), 2u);  // the first guess, then the true file
}

TEST_F(MetaDataStore, WidthMismatchIs13AndTheFileStaysLoaded) {
  putFile(0, image(10752, "W", 2, {{10, 1, 1}}));
  putFile(1, image(5000, "W", 2, {{10752, 4, 5}}));
  EXPECT_EQ(store.LoadFile(10, false), 0u);
  EXPECT_EQ(store.LoadFile(10752, false), 13u);
  EXPECT_NE(store.File(1), nullptr);
  lookup(10752, 0);  // loaded now: looked up without a new load
}

TEST_F(MetaDataStore, SameValuesTwiceMarkNothingAndClearingEndsTheMark) {
  putFile(0, image(10752, "V", 1, {{1, 7, 8}}));
  EXPECT_EQ(store.SetObjectVersion(1, 7, 8), 0u);
  EXPECT_TRUE(store.GetDirtyFiles().empty());
  EXPECT_EQ(store.SetObjectVersion(1, 7, 9), 0u);
  EXPECT_EQ(dirtyIndexes(), (std::vector<std::uint32_t>{0}));
  store.ClearFileDirty(0);
  EXPECT_TRUE(store.GetDirtyFiles().empty());
  store.MarkFileDirty(3);  // not loaded: nothing to mark
  EXPECT_TRUE(store.GetDirtyFiles().empty());
}

TEST_F(MetaDataStore, VolumeIdentityComesFromTheLastFileOrFileZero) {
  putFile(0, image(10752, "IDENT-0", 3, {{1, 1, 1}}));
  putFile(2, image(10752, "IDENT-2", 4, {}));
  kel::KelVolumeInformation vi{};
  vi.Info.LastFileIndex = 2 * 10752 + 5;
  ASSERT_EQ(store.LoadVolumeIdentity(&vi), 0u);
  EXPECT_STREQ(vi.QuorvelVolumeID, "IDENT-2");
  EXPECT_EQ(vi.QuorvelReplica, 4u);

  CKelMetaData other(&fakeengine::operations());
  vi = {};
  vi.Info.LastFileIndex = 10752 + 1;  // file 1 is absent
  ASSERT_EQ(other.LoadVolumeIdentity(&vi), 0u);
  EXPECT_STREQ(vi.QuorvelVolumeID, "IDENT-0");
  EXPECT_EQ(vi.QuorvelReplica, 3u);

  SetUp();  // no files at all: the record is left as it is
  CKelMetaData none(&fakeengine::operations());
  std::strcpy(vi.QuorvelVolumeID, "KEEP");
  vi.QuorvelReplica = 9;
  EXPECT_EQ(none.LoadVolumeIdentity(&vi), 0u);
  EXPECT_STREQ(vi.QuorvelVolumeID, "KEEP");
  EXPECT_EQ(vi.QuorvelReplica, 9u);
}

TEST_F(MetaDataStore, LoadAllReadsEveryFileAndThenMarksNothing) {
  putFile(0, image(10752, "V", 1, {{1, 1, 1}}));
  putFile(2, image(10752, "V", 1, {{2 * 10752, 2, 2}}));
  kel::KelVolumeInformation vi{};
  vi.Info.LastFileIndex = 2 * 10752 + 3;
  ASSERT_EQ(store.LoadAll(&vi), 0u);
  EXPECT_TRUE(store.LoadedInFull());
  EXPECT_EQ(store.LoadedFileCount(), 2u);  // file 1 is absent
  EXPECT_EQ(store.SetObjectVersion(1, 5, 5), 0u);
  EXPECT_EQ(store.SetObjectVersion(10752 + 4, 5, 5), 0u);  // a new file, in memory only
  EXPECT_EQ(lookup(1), std::make_pair(5u, 5u));
  EXPECT_TRUE(store.GetDirtyFiles().empty());
  // A second LoadAll reads nothing more; an identity load ends the state.
  const int reads = engine().count(kSlotOpenFile);
  EXPECT_EQ(store.LoadAll(&vi), 0u);
  EXPECT_EQ(engine().count(kSlotOpenFile), reads);
  EXPECT_EQ(store.LoadVolumeIdentity(&vi), 0u);
  EXPECT_FALSE(store.LoadedInFull());
  EXPECT_EQ(store.SetObjectVersion(1, 6, 6), 0u);
  EXPECT_EQ(dirtyIndexes(), (std::vector<std::uint32_t>{0}));
}

TEST_F(MetaDataStore, FormatDropsWhatWasLoadedAndRefusesLongIdentifiers) {
  putFile(0, image(10752, "OLD", 1, {{1, 1, 1}}));
  lookup(1);
  engine().nodes.erase(metaPath(0));  // the volume was emptied
  ASSERT_EQ(store.FormatIdentity("NEW", 2, 5000), 0u);
  EXPECT_EQ(lookup(1), std::make_pair(kMetaUnknown, kMetaUnknown));
  EXPECT_EQ(store.File(0)->Header().ObjectsPerFile, 5000u);
  EXPECT_STREQ(store.File(0)->Header().VolumeID, "NEW");
  EXPECT_EQ(dirtyIndexes(), (std::vector<std::uint32_t>{0}));

  const std::string longest(31, 'a');
  EXPECT_EQ(store.FormatIdentity(longest, 3, 0), 0u);
  EXPECT_EQ(store.FormatIdentity(longest + "b", 3, 0), 87u);
  EXPECT_EQ(store.ReplicaNumber(), kMetaUnknown);
  EXPECT_EQ(store.VolumeIdentifier(), "");
}

TEST(MetaDataSettings, ObjectsPerFileZeroInTheConfigurationMeansTheDefault) {
  char tmpl[] = "/tmp/kel-meta-XXXXXX";
  const std::string dir = ::mkdtemp(tmpl);
  ::setenv("KEL_REGISTRY", (dir + "/registry.reg").c_str(), 1);
  struct {
    const char* line;
    std::uint32_t expect;
  } cases[] = {{"", 10752}, {"\"Objects Per MetaData File\"=dword:00000000", 10752},
               {"\"Objects Per MetaData File\"=dword:00001388", 5000}};
  for (const auto& c : cases) {
    std::ofstream f(dir + "/registry.reg");
    f << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Quorvel\\Stravo\\KELFS]\n"
      << c.line << "\n";
    f.close();
    kel::ResetConfigCache();
    EXPECT_EQ(kel::ConfiguredObjectsPerFile(), c.expect) << c.line;
  }
  ::unsetenv("KEL_REGISTRY");
  kel::ResetConfigCache();
  std::filesystem::remove_all(dir);
}

}  // namespace

// A count of bytes beyond the 64 KiB asked for (or below zero) is a read
// fault: the file counts as absent, and nothing past the buffer is read.
TEST_F(MetaDataStore, ReadCountsBeyondTheBufferMakeTheFileAbsent) {
  putFile(0, image(10752, "V", 1, {{5, 6, 7}}));
  FileSystemOperations ops = fakeengine::operations();
  ops.ReadData = MisreportingRead;
  for (const int reported : {65536 + 12, 0x7FFFFFFF, -1}) {
    SCOPED_TRACE(reported);
    g_reported = reported;
    CKelMetaData misread(&ops);
    std::lock_guard<platform::CriticalSection> lk(misread.Lock());
    EXPECT_EQ(misread.LoadFile(5, false), 2u);
    EXPECT_EQ(misread.File(0), nullptr);
  }
  g_reported = 1036;  // the file's true length still loads
  CKelMetaData right(&ops);
  std::lock_guard<platform::CriticalSection> lk(right.Lock());
  EXPECT_EQ(right.LoadFile(5, false), 0u);
  ASSERT_NE(right.File(0), nullptr);
  EXPECT_EQ(right.File(0)->RecordCount(), 1u);
}
