// "Archive" through the request loop over the fake engine and the recording
// writer, with a host that fills the fragment buffer.
#include "kel/handler.h"
#include "kel/mdcfs.h"
#include "kel/volctrl.h"
#include "support/fragment_host.h"
#include "support/handler_harness.h"
#include "support/recording_writer.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace handlertest;

namespace {

using Strings = std::vector<std::string>;

constexpr std::uint64_t kWritePosition = 3064;  // setVolume: track 2 of 1000 from 64, full
const std::string kPackedOff = "\"Packed Write Mode\"=dword:00000000";
// Unix seconds of kCreationFileTime and kModificationFileTime.
const std::string kTimes = "SetFileTime(1699993600,1699993700,1699993700)";

std::vector<std::uint8_t> bytesOf(const std::string& s) { return {s.begin(), s.end()}; }
std::string text(const std::vector<std::uint8_t>& b) { return {b.begin(), b.end()}; }
template <class T>
std::vector<std::uint8_t> recordBytes(const T& r) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(&r);
  return {p, p + sizeof r};
}

Strings names(const Strings& elements) {
  Strings out;
  for (const auto& e : elements) out.push_back(elementName(e));
  return out;
}

// A predicate on the engine's calls: those of one slot.
auto of(int slot) {
  return [slot](const auto& k) { return k.slot == slot; };
}

class ArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setVolume(h.engine());
    h.engine().addFolder("/$QuorvelData", 50);
    putMetaFile(0, metaFile(10752, "VOL-A", 3, {{30, 4, 5}}));
    writer().next_block = kWritePosition;
  }
  void packedOff() { h.setRegistry({kPackedOff}); }
  // A harness of the test's own on the volume of SetUp, with the file
  // /c/old.bin (object 30, version 4.5) holding `stored` when given.
  static void prepare(HandlerHarness& hh, const std::string& stored = {}) {
    setVolume(hh.engine());
    hh.engine().addFolder("/$QuorvelData", 50);
    putMetaFile(0, metaFile(10752, "VOL-A", 3, {{30, 4, 5}}));
    if (!stored.empty()) hh.engine().addFile("/c/old.bin", 30, stored.size(), {{1000, 3}}, bytesOf(stored));
  }
  std::string dataOf(const std::string& path) {
    fakeengine::Node* n = h.engine().find(path);
    return n ? text(n->data) : "<none>";
  }
  std::string element(const std::string& name) {
    for (const auto& e : h.elements())
      if (elementName(e) == name) return e;
    return "";
  }
  // The stored pair of the file at path, as a probe in the same run sees it.
  std::string versionProbe(const std::string& path, std::pair<std::uint32_t, std::uint32_t>* gv) {
    h.probe = [this, path, gv](CKelInterface& itf) {
      const fakeengine::Node* n = h.engine().find(path);
      kel::HandlerStateOf(itf).MetaData.GetObjectVersion(n ? n->id : 0, &gv->first, &gv->second);
    };
    return probeLine(900);
  }
  HandlerHarness h;
  FragmentHost host{h};
};

TEST_F(ArchiveTest, NewFileUnpackedStartsAtTheWritePositionAndGoesOutInPhase8) {
  packedOff();
  const std::string data = pattern(5000, 1);
  std::pair<std::uint32_t, std::uint32_t> gv{0, 0};
  h.run(archiveLine(5, "/d/f.bin", 7, 8) + host.archiveCallbacks(5, data, 2048) + versionProbe("/d/f.bin", &gv));
  ASSERT_EQ(host.fragments.size(), 5u);
  EXPECT_EQ(attribute(host.fragments[0], "IOSize"), "0");
  EXPECT_EQ(attribute(host.fragments[1], "BlockNumber"), std::to_string(kWritePosition));
  EXPECT_EQ(attribute(host.fragments[1], "isPackedWrite"), "0");
  EXPECT_TRUE(dataOf("/d/f.bin") == data);
  EXPECT_EQ(writer().calls, (Strings{"Open(f.bin,0x40000000,1,0x80)@4", "SetEndOfFile(5000)@4", "Write(2048)@8",
                                     "Write(2048)@8", "Write(904)@8", "Flush@8", kTimes + "@8", "Close@4"}));
  const std::string archive = element("KelArchive");
  EXPECT_EQ(attribute(archive, "SpaceEntries.0.BlockNumber"), std::to_string(kWritePosition));
  EXPECT_EQ(attribute(archive, "Size"), "5000");
  EXPECT_EQ(h.notices().front(), "5:12");
  EXPECT_EQ(gv, std::make_pair(7u, 8u));
}

TEST_F(ArchiveTest, PackedFilesFollowEachOtherInTheBufferAndASyncStartsANewBase) {
  writer().cache_blocks = {3, 5, 4};
  h.engine().volume.Dirty = 1;
  std::string lines;
  for (int i = 0; i < 3; ++i)
    lines += archiveLine(10 + i, "/p/" + std::to_string(i), 1, 1) + host.archiveCallbacks(10 + i, pattern(100 + i, i), 4096);
  lines += line(20, "Sync", "Reason=\"SyncTime\" BlockNumber=\"0\" Bytes=\"0\" Generation=\"0\"");
  h.probe = [&](CKelInterface&) { h.engine().volume.NextWritableBlock = 50; };
  lines += probeLine(21);
  lines += archiveLine(22, "/p/3", 1, 1) + host.archiveCallbacks(22, pattern(10, 3), 4096);
  h.run(lines);
  Strings blocks;
  for (const auto& f : host.fragments)
    if (attribute(f, "IOSize") != "0") blocks.push_back(attribute(f, "BlockNumber"));
  // Two fragments per file of one piece: the one naming the block, the one after the piece.
  EXPECT_EQ(blocks, (Strings{"3064", "3064", "3067", "3067", "3072", "3072", "2114", "2114"}));
  EXPECT_EQ(attribute(host.fragments[1], "isPackedWrite"), "1");
  // The files reach the volume when the Sync ends the session; the saved
  // metadata file, a packed file too, with the second end.
  EXPECT_EQ(writer().callsNamed("EndSession"), (Strings{"EndSession@4", "EndSession@4"}));
  EXPECT_TRUE(dataOf("/p/1") == pattern(101, 1));
}

TEST_F(ArchiveTest, AnEmptyFileIsCreatedSizedAndClosedWithoutWrites) {
  packedOff();
  h.run(archiveLine(5, "/d/empty", 1, 1) + openFragmentLine(5, 0) + writeLine(5, 0, 0));
  EXPECT_EQ(writer().calls, (Strings{"Open(empty,0x40000000,1,0x80)@4", "SetEndOfFile(0)@4", "Flush@8", kTimes + "@8",
                                     "Close@4"}));
  EXPECT_EQ(attribute(element("KelArchive"), "Size"), "0");
}

// A writer that cannot tell its buffered blocks counts none; the failure
// is logged.
TEST_F(ArchiveTest, PackedBlocksThatCannotBeCountedCountAsNone) {
  writer().cache_blocks_fail = true;
  h.run(archiveLine(5, "/p/a", 1, 1) + host.archiveCallbacks(5, "abc", 16) + archiveLine(6, "/p/b", 1, 1) +
        host.archiveCallbacks(6, "def", 16));
  Strings blocks;
  for (const auto& f : host.fragments)
    if (attribute(f, "IOSize") != "0") blocks.push_back(attribute(f, "BlockNumber"));
  EXPECT_EQ(blocks, (Strings{"3064", "3064", "3064", "3064"}));
  const auto& logs = h.engine().logs;
  EXPECT_EQ(std::count(logs.begin(), logs.end(), u"Error getVolumeSizeInformation"), 2);
}

TEST_F(ArchiveTest, FileOnTheVolumeWithItsVersionIsComparedNotWritten) {
  struct Case {
    const char* what;
    bool differ;
    const char* answer;
  } cases[] = {{"same bytes", false, "KelArchive"}, {"one byte differs", true, "HRESULT"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HandlerHarness hh;
    FragmentHost hhost{hh};
    const std::string stored = pattern(5000, 2);
    prepare(hh, stored);
    std::string sent = stored;
    if (c.differ) sent[4500] ^= 1;
    // The host stops after the "HRESULT" of the last piece.
    hh.run(archiveLine(6, "/c/old.bin", 4, 5, 1000) + hhost.archiveCallbacks(6, sent, 2048, c.differ ? 3 : SIZE_MAX) +
           verifyLine(7, "/c/old.bin", 4, 5) + openFragmentLine(7, 4096) + readLine(7) + readLine(7));
    EXPECT_TRUE(writer().callsNamed("Open").empty());
    Strings reads;
    for (const auto& call : hh.engine().callsOf(kSlotReadData))
      if (call.seq == 6 && call.text.find(",2048)") != std::string::npos) reads.push_back(call.text + "@" + std::to_string(call.phase));
    EXPECT_EQ(reads, (Strings{"ReadData(0,2048)@7", "ReadData(2048,2048)@7", "ReadData(4096,2048)@7"}));
    Strings got = names(hh.elements());
    EXPECT_NE(std::find(got.begin(), got.end(), c.answer), got.end());
    if (c.differ) {
      EXPECT_EQ(hh.elements()[std::find(got.begin(), got.end(), "HRESULT") - got.begin()], hresult(6, 0x8007000D));
    }
    EXPECT_TRUE(hhost.received == stored);
  }
}

// The host's data must end where the stored file ends: a host file that is
// a shorter prefix of the stored one (or longer) differs from it.
TEST_F(ArchiveTest, AComparedFileOfAnotherLengthDiffers) {
  const struct {
    const char* what;
    std::size_t sent;
    const char* answer;
  } cases[] = {{"the whole file", 5000, "KelArchive"}, {"a shorter prefix of whole buffers", 4096, "HRESULT"},
               {"a longer file", 6000, "HRESULT"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    HandlerHarness hh;
    FragmentHost hhost{hh};
    const std::string stored = pattern(5000, 2);
    prepare(hh, stored);
    const std::string sent = pattern(6000, 2).substr(0, c.sent);
    hh.run(archiveLine(6, "/c/old.bin", 4, 5, 1000) + hhost.archiveCallbacks(6, sent, 2048));
    const Strings got = names(hh.elements());
    ASSERT_NE(std::find(got.begin(), got.end(), c.answer), got.end());
    if (std::string(c.answer) == "HRESULT") {
      EXPECT_EQ(hh.elements()[std::find(got.begin(), got.end(), "HRESULT") - got.begin()], hresult(6, 0x8007000D));
    }
    EXPECT_TRUE(writer().callsNamed("Open").empty()) << "the stored file is left as it is";
  }
}

// The file is sized to the size the host announces; bytes that do not make
// exactly that size are refused with 0x8007000D and the file is dropped,
// packed or not. More bytes than announced are refused before they are
// written.
TEST_F(ArchiveTest, BytesThatDoNotMakeTheAnnouncedSizeAreRefusedAndTheFileDropped) {
  const struct {
    const char* what;
    std::size_t announced, sent;
    Strings writes;
  } cases[] = {
      {"as announced", 5000, 5000, {"Write(2048)@8", "Write(2048)@8", "Write(904)@8"}},
      {"fewer than announced", 10000, 3000, {"Write(2048)@8", "Write(952)@8"}},
      {"more than announced", 3000, 5000, {"Write(2048)@8"}},
  };
  for (const bool packed : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.what);
      SCOPED_TRACE(packed);
      HandlerHarness hh;
      FragmentHost hhost{hh};
      prepare(hh);
      if (!packed) hh.setRegistry({kPackedOff});
      const std::string data = pattern(c.sent, 9);
      std::string lines = hhost.archiveCallbacks(7, data, 2048, c.announced < c.sent ? 2 : SIZE_MAX);
      // The host announces its own size in every WriteCallback.
      const std::string real = "FragmentFileSize=\"" + std::to_string(c.sent) + "\"";
      const std::string told = "FragmentFileSize=\"" + std::to_string(c.announced) + "\"";
      for (std::size_t at = lines.find(real); at != std::string::npos; at = lines.find(real, at + told.size()))
        lines.replace(at, real.size(), told);
      hh.run(archiveLine(7, "/d/f.bin", 1, 1) + lines + line(8, "GetVolumeInfo"));
      EXPECT_EQ(writer().callsNamed("Write"), c.writes);
      const Strings got = names(hh.elements());
      if (c.announced == c.sent) {
        EXPECT_NE(std::find(got.begin(), got.end(), "KelArchive"), got.end());
        continue;
      }
      EXPECT_EQ(std::find(got.begin(), got.end(), "KelArchive"), got.end());
      EXPECT_NE(std::find(hh.elements().begin(), hh.elements().end(), hresult(7, 0x8007000D)), hh.elements().end());
      EXPECT_EQ(hh.engine().find("/d/f.bin"), nullptr) << "the file is dropped";
      // The end of a packed session records the file on the volume: its
      // removal is recorded next, before the answer.
      const auto& calls = hh.engine().calls;
      const auto dropped = std::find_if(calls.begin(), calls.end(), of(kSlotDeleteFile));
      ASSERT_NE(dropped, calls.end());
      EXPECT_EQ(std::find_if(dropped, calls.end(), of(kSlotFlush)) != calls.end(), packed);
      EXPECT_EQ(got.back(), "KelVolume") << "the next request runs";
    }
  }
}

TEST_F(ArchiveTest, AnotherStoredVersionDeletesTheFileAndWritesItAnew) {
  packedOff();
  h.engine().addFile("/c/old.bin", 30, 3, {{1000, 1}}, bytesOf("old"));
  const std::string data = pattern(3000, 4);
  h.run(archiveLine(6, "/c/old.bin", 4, 6, 1000) + host.archiveCallbacks(6, data, 4096) +
        verifyLine(7, "/c/old.bin", 4, 6) + openFragmentLine(7, 4096) + readLine(7));
  Strings deletes;
  for (const auto& c : h.engine().callsOf(kSlotDeleteFile)) deletes.push_back(c.text + "@" + std::to_string(c.phase));
  EXPECT_EQ(deletes, (Strings{"DeleteFile(/c,old.bin)@4"}));
  EXPECT_EQ(writer().callsNamed("Write"), (Strings{"Write(3000)@8"}));
  const std::string archive = element("KelArchive");
  EXPECT_EQ(attribute(archive, "SpaceEntries.0.BlockNumber"), std::to_string(kWritePosition));
  EXPECT_TRUE(host.received == data);
}

// An update of a file on the volume writes the new copy in the metadata
// folder, out of the host's reach, and only the whole copy takes the old
// one's place: the old copy goes, the new one moves into its folder.
TEST_F(ArchiveTest, AnUpdateIsWrittenApartAndTheOldCopyGoesOnlyWhenTheNewOneIsWhole) {
  for (const bool packed : {false, true}) {
    SCOPED_TRACE(packed ? "packed" : "unpacked");
    HandlerHarness hh;
    FragmentHost hhost{hh};
    prepare(hh, "old bytes");
    if (!packed) hh.setRegistry({kPackedOff});
    const std::string data = pattern(3000, 4);
    hh.run(archiveLine(6, "/c/old.bin", 4, 6) + hhost.archiveCallbacks(6, data, 4096));
    Strings names_calls;
    for (const auto& c : hh.engine().calls)
      if (c.slot == kSlotCreateFile || c.slot == kSlotDeleteFile || c.slot == kSlotRename)
        names_calls.push_back(c.text + "@" + std::to_string(c.phase));
    EXPECT_EQ(names_calls, (Strings{"CreateFile(/$QuorvelData,$KelUpdate$.tmp)@4", "DeleteFile(/c,old.bin)@4",
                                    "Rename(/$QuorvelData,$KelUpdate$.tmp,/c,old.bin)@4"}));
    // A packed copy's session ends before the names change.
    if (packed) {
      EXPECT_EQ(writer().callsNamed("EndSession"), (Strings{"EndSession@4"}));
    }
    const fakeengine::Node* n = hh.engine().find("/c/old.bin");
    ASSERT_NE(n, nullptr);
    EXPECT_NE(n->id, 30u);
    EXPECT_TRUE(text(n->data) == data);
    EXPECT_EQ(hh.engine().find("/$QuorvelData/$KelUpdate$.tmp"), nullptr);
    EXPECT_EQ(names(hh.elements()).back(), "KelArchive");
  }
}

// An update that does not become whole (the host stops it, the writer
// fails, the bytes do not make the announced size) leaves the old copy as
// it was: its name, its data, its generation and version; the new copy is
// dropped.
TEST_F(ArchiveTest, AnUpdateThatFailsKeepsTheOldCopy) {
  const std::string data = pattern(5000, 4);
  const struct {
    const char* what;
    int write_fails_at;
    std::size_t lines;
    bool stop;
  } cases[] = {
      {"stopped by the host", 0, 1, true},
      {"a writer failure", 2, 2, false},
  };
  for (const bool packed : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.what);
      SCOPED_TRACE(packed ? "packed" : "unpacked");
      HandlerHarness hh;
      FragmentHost hhost{hh};
      writer().fail_write_at = c.write_fails_at;
      prepare(hh, "old bytes");
      if (!packed) hh.setRegistry({kPackedOff});
      std::pair<std::uint32_t, std::uint32_t> gv{0, 0};
      hh.probe = [&hh, &gv](CKelInterface& itf) {
        const fakeengine::Node* n = hh.engine().find("/c/old.bin");
        kel::HandlerStateOf(itf).MetaData.GetObjectVersion(n ? n->id : 0, &gv.first, &gv.second);
      };
      hh.run(archiveLine(6, "/c/old.bin", 4, 6) + hhost.archiveCallbacks(6, data, 2048, c.lines) +
             (c.stop ? failureLine(6, 29) : "") + probeLine(7) + line(8, "GetVolumeInfo"));
      const fakeengine::Node* n = hh.engine().find("/c/old.bin");
      ASSERT_NE(n, nullptr);
      EXPECT_EQ(n->id, 30u);
      EXPECT_TRUE(text(n->data) == "old bytes");
      EXPECT_EQ(gv, (std::pair<std::uint32_t, std::uint32_t>{4, 5}));
      EXPECT_EQ(hh.engine().find("/$QuorvelData/$KelUpdate$.tmp"), nullptr) << "the new copy is dropped";
      EXPECT_EQ(hh.engine().count(kSlotRename), 0);
      const Strings got = names(hh.elements());
      EXPECT_EQ(std::find(got.begin(), got.end(), "KelArchive"), got.end());
      EXPECT_EQ(got.back(), "KelVolume") << "the next request runs";
    }
  }
}

// A host object of the update copy's name is the host's like any other:
// listed, deleted, archived and updated under it. A copy left in the
// metadata folder by an engine that ended mid-update goes at the next
// update, whatever its folder; the host's objects of that name stay. A
// folder is not replaced by a file.
TEST_F(ArchiveTest, TheUpdateCopysNameIsAnOrdinaryNameOfTheHost) {
  packedOff();
  h.engine().addFile("/c/old.bin", 30, 3, {{1000, 1}}, bytesOf("old"));
  h.engine().addFile("/c/$KelUpdate$.tmp", 77, 4, {{1100, 1}}, bytesOf("host"));
  h.engine().addFile("/c/$kelupdate$.TMP2", 79, 4, {{1200, 1}}, bytesOf("host 2"));
  h.engine().addFolder("/d/$KelUpdate$.tmp", 80);
  h.engine().addFile("/$QuorvelData/$KelUpdate$.tmp", 81, 4, {{1300, 1}}, bytesOf("left"));
  h.engine().addFolder("/c/sub", 78);
  const std::string data = pattern(100, 4), mine = pattern(200, 5);
  h.run(line(1, "ReadDirectory", "Name=\"/c\"") +
        line(2, "Delete", "Name=\"/c/$kelupdate$.TMP2\" Generation=\"0\" Version=\"0\" KernelInterface=\"0\" BlockNumber=\"0\"") +
        archiveLine(3, "/d/$KelUpdate$.tmp/h.bin", 1, 1) + host.archiveCallbacks(3, mine, 4096) +
        archiveLine(4, "/c/old.bin", 4, 6) + host.archiveCallbacks(4, data, 4096) + archiveLine(5, "/c/sub", 1, 1) +
        host.archiveCallbacks(5, data, 4096));
  const Strings els = h.elements();
  Strings listed;
  for (const auto& e : els)
    if (elementName(e) == "KelDirent") listed.push_back(attribute(e, "ObjectName"));
  EXPECT_EQ(listed, (Strings{"old.bin", "$KelUpdate$.tmp", "$kelupdate$.TMP2", "sub", ""}));
  EXPECT_EQ(h.engine().find("/c/$kelupdate$.TMP2"), nullptr) << "deleted as the host asked";
  EXPECT_TRUE(dataOf("/d/$KelUpdate$.tmp/h.bin") == mine);
  EXPECT_TRUE(dataOf("/c/old.bin") == data);
  EXPECT_TRUE(dataOf("/c/$KelUpdate$.tmp") == "host") << "the host's file of that name stays";
  EXPECT_EQ(h.engine().find("/$QuorvelData/$KelUpdate$.tmp"), nullptr) << "the left-over goes";
  EXPECT_NE(std::find(els.begin(), els.end(), hresult(5, 0x80010137)), els.end());
  EXPECT_TRUE(h.engine().find("/c/sub") && h.engine().find("/c/sub")->folder);
}

TEST_F(ArchiveTest, TheLastFileWithAnotherSizeIsWrittenAnewWhole) {
  packedOff();
  h.engine().addFile("/c/last.bin", 42, 10, {{1000, 1}}, bytesOf(pattern(10, 5)));
  const std::string data = pattern(6000, 5);
  h.run(archiveLine(6, "/c/last.bin", 1, 1, 1000) + host.archiveCallbacks(6, data, 4096));
  EXPECT_EQ(writer().callsNamed("Write"), (Strings{"Write(4096)@8", "Write(1904)@8"}));
  EXPECT_TRUE(dataOf("/c/last.bin") == data);
  EXPECT_FALSE(element("KelArchive").empty());
}

// Also a FailureCallback that names no error code ends the exchange.
TEST_F(ArchiveTest, FailureCallbackAtTheFirstFragmentEndsQuietlyAndTheNextRequestRuns) {
  h.run(archiveLine(5, "/d/f.bin", 1, 1) + failureLine(5, 5) + line(6, "GetVolumeInfo") +
        archiveLine(7, "/d/g.bin", 1, 1) + failureLine(7, 0) + line(8, "GetVolumeInfo"));
  EXPECT_EQ(host.fragments.size(), 2u);
  EXPECT_EQ(h.ordered(), (Strings{"KelFragment", "notice 5:12", "KelVolume", "notice 6:12", "KelFragment",
                                  "notice 7:12", "KelVolume", "notice 8:12"}));
  EXPECT_TRUE(writer().calls.empty());
}

TEST_F(ArchiveTest, ARequestBetweenWriteCallbacksIsAnsweredAfterKelArchive) {
  packedOff();
  const std::string data = pattern(3000, 6);
  std::string callbacks = host.archiveCallbacks(5, data, 2048);
  const std::size_t second = callbacks.find("WriteCallback", callbacks.find("WriteCallback") + 1);
  callbacks.insert(callbacks.rfind('\n', second) + 1, line(6, "GetVolumeInfo"));
  h.run(archiveLine(5, "/d/f.bin", 1, 1) + callbacks);
  EXPECT_EQ(h.ordered(), (Strings{"KelFragment", "KelFragment", "KelFragment", "KelFragment", "KelArchive",
                                  "notice 5:12", "KelVolume", "notice 6:12"}));
  EXPECT_TRUE(dataOf("/d/f.bin") == data);
}

// The engine file made for the writer is closed and dropped: an empty file
// of the name would read as the host's file. An old file of the name stays
// as it was: the update failed before the new copy took its place.
TEST_F(ArchiveTest, AnOpenTheWriterRefusesAnswers80010137AndClosesTheEngineFile) {
  for (bool old : {false, true}) {
    SCOPED_TRACE(old ? "over an old file" : "a new name");
    HandlerHarness hh;
    FragmentHost hostHere{hh};
    setVolume(hh.engine());
    hh.engine().addFolder("/$QuorvelData", 50);
    if (old) hh.engine().addFile("/d/f.bin", 30, 3, {{1000, 1}}, bytesOf("old"));
    writer().open_result = 0x82000010;
    hh.run(archiveLine(5, "/d/f.bin", 1, 1) + hostHere.archiveCallbacks(5, "abc", 16));
    EXPECT_EQ(hh.elements().back(), hresult(5, 0x80010137));
    EXPECT_EQ(hh.engine().texts(kSlotCloseFile), (Strings{"CloseFile(1)"}));
    const fakeengine::Node* left = hh.engine().find("/d/f.bin");
    if (old) {
      ASSERT_NE(left, nullptr) << "the old file stays";
      EXPECT_EQ(text(left->data), "old");
    } else {
      EXPECT_EQ(left, nullptr) << "the file is dropped";
    }
  }
}

// A full cartridge answers disc full on every road of a new file: a refused
// create (the volume turned read-only for want of room or resources on its
// last disc), a refused writer open (no free block left, also when the last
// disc's next writable address is within its near-full room and the engine
// reports no figures, the total 0 too). Another write protection keeps the
// answer of the road.
TEST_F(ArchiveTest, AFullCartridgeAnswersDiscFullOnEveryRoad) {
  struct Case {
    const char* what;
    int create_result;
    std::uint32_t open_result;
    std::uint32_t protect_flags;
    std::uint32_t total_blocks, free_blocks;
    std::uint32_t hresult;
  } cases[] = {
      {"create refused, no room on the last disc", 30, 0, 0x800, 1000, 0, 0x80070070},
      {"writer refuses, no free block", 0, 0x82000023, 0, 1000, 0, 0x80070070},
      {"writer refuses, last disc within its near-full room", 0, 0x82000023, 0, 0, 0, 0x80070070},
      {"writer refuses, free blocks left", 0, 0x82000010, 0, 1000, 64, 0x80010137},
      {"create refused, cartridge tab set", 30, 0, 0x400, 1000, 0, 0x80010137},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HandlerHarness hh;
    FragmentHost hostHere{hh};
    setVolume(hh.engine());
    hh.engine().addFolder("/$QuorvelData", 50);
    writer().open_result = c.open_result;
    if (c.create_result) hh.engine().failNext(kSlotCreateFile, c.create_result);
    MDCFS_MOUNT_INFORMATION mi{};
    mi.WriteProtectReasonFlags = c.protect_flags;
    hh.engine().fsctl_answers[kel::kFsctlGetVolumeMountInformation] = recordBytes(mi);
    MDCFS_STATFS_SIZEINFO size{};
    size.BlockSize = 2048;
    size.TotalBlocks = c.total_blocks;
    size.FreeBlocks = c.free_blocks;
    hh.engine().fsctl_answers[kel::kFsctlGetStatfsSizeInfo] = recordBytes(size);
    hh.run(archiveLine(5, "/d/f.bin", 1, 1) + hostHere.archiveCallbacks(5, "abc", 16));
    EXPECT_EQ(hh.elements().back(), hresult(5, c.hresult));
    if (c.open_result) {
      // The cartridge is asked about before the file made for the writer
      // goes (on a rewritable disc its removal gives blocks back).
      const auto& calls = hh.engine().calls;
      const auto created = std::find_if(calls.begin(), calls.end(), of(kSlotCreateFile));
      const auto dropped = std::find_if(created, calls.end(), of(kSlotDeleteFile));
      ASSERT_NE(dropped, calls.end()) << "the file is dropped";
      EXPECT_NE(std::find_if(created, dropped, of(kSlotFsctl)), dropped);
    }
  }
}

TEST_F(ArchiveTest, SeveralExtentsAreAskedForWithASecondQuery) {
  packedOff();
  writer().extent_blocks = 2;
  h.run(archiveLine(5, "/d/f.bin", 1, 1) + host.archiveCallbacks(5, pattern(5000, 7), 8192));
  Strings queries;
  for (const auto& c : h.engine().callsOf(kSlotGetPathInfo))
    if (c.text.rfind("GetPathInfo(/d/f.bin,", 0) == 0 && c.text.find(",0") == std::string::npos)
      queries.push_back(c.text + "@" + std::to_string(c.phase));
  EXPECT_EQ(queries, (Strings{"GetPathInfo(/d/f.bin,1)@3", "GetPathInfo(/d/f.bin,2)@3"}));
  const std::string archive = element("KelArchive");
  EXPECT_EQ(attribute(archive, "SpaceEntries.Count"), "2");
  EXPECT_EQ(attribute(archive, "SpaceEntries.1.BlockNumber"), std::to_string(kWritePosition + 2));
  EXPECT_EQ(attribute(archive, "SpaceEntries.1.NumberOfBlocks"), "1");
}

TEST_F(ArchiveTest, AWriteCallbackBeyondTheBufferOrTheLargestSizeIsRefusedBeforeAnyWrite) {
  struct Case {
    const char* what;
    std::uint64_t size;
    std::uint32_t bytes;
  } cases[] = {{"more bytes than the buffer", 5000, 1025}, {"size beyond 2^63 - 1", 0x8000000000000000ull, 10}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HandlerHarness hh;
    setVolume(hh.engine());
    hh.run(archiveLine(5, "/d/f.bin", 1, 1) + openFragmentLine(5, 1024) + writeLine(5, c.size, c.bytes));
    EXPECT_EQ(hh.elements().back(), hresult(5, 0x80070057));
    EXPECT_TRUE(writer().calls.empty());
  }
}

TEST_F(ArchiveTest, AWriteThatTakesNothingEndsWith29AndTheFileIsDropped) {
  writer().write_takes_nothing = true;
  h.run(archiveLine(5, "/d/f.bin", 1, 1) + host.archiveCallbacks(5, "abc", 16, 1) + line(6, "GetVolumeInfo"));
  Strings got = names(h.elements());
  EXPECT_EQ(h.elements()[got.size() - 2], hresult(5, 0x8007001D));
  EXPECT_EQ(got.back(), "KelVolume");
  EXPECT_EQ(writer().callsNamed("Write").size(), 1u);
  EXPECT_EQ(writer().calls.back(), "Drop");
}

// A packed file's blocks behind the write position are compared only after
// its session ended: the placeholder is never taken for its data.
TEST_F(ArchiveTest, ComparingAPackedFileEndsItsSessionFirst) {
  const std::string data = pattern(3000, 12);
  h.run(archiveLine(5, "/p/x", 1, 1) + host.archiveCallbacks(5, data, 4096) + archiveLine(6, "/p/x", 1, 1, 1000) +
        host.archiveCallbacks(6, data, 4096));
  Strings got = names(h.elements());
  EXPECT_EQ(std::count(got.begin(), got.end(), "KelArchive"), 2);
  EXPECT_EQ(std::count(got.begin(), got.end(), "HRESULT"), 0);
  EXPECT_EQ(writer().callsNamed("EndSession"), (Strings{"EndSession@4"}));
  EXPECT_EQ(writer().callsNamed("Open").size(), 1u);
}

// A failure mid-file leaves the process able to archive, format and sync.
TEST_F(ArchiveTest, AfterAFailedArchiveTheNextRequestsRun) {
  struct Case {
    const char* what;
    bool packed;
    bool writer_error;
  } cases[] = {{"writer error, unpacked", false, true},
               {"writer error, packed", true, true},
               {"failure callback, unpacked", false, false},
               {"failure callback, packed", true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HandlerHarness hh;
    FragmentHost hhost{hh};
    setVolume(hh.engine());
    if (!c.packed) hh.setRegistry({kPackedOff});
    std::string lines = archiveLine(5, "/d/bad.bin", 1, 1);
    if (c.writer_error) {
      writer().fail_write_at = 2;
      lines += hhost.archiveCallbacks(5, pattern(5000, 8), 2048, 2);
    } else {
      lines += hhost.archiveCallbacks(5, pattern(5000, 8), 2048, 2) + failureLine(5, 5);
    }
    const std::string good = pattern(3000, 9);
    lines += archiveLine(6, "/d/good.bin", 1, 1) + hhost.archiveCallbacks(6, good, 4096);
    lines += line(7, "Format", "VolumeID=\"NEW\" Replica=\"2\"");
    lines += line(8, "Sync", "Reason=\"SyncTime\" BlockNumber=\"0\" Bytes=\"0\" Generation=\"0\"");
    hh.run(lines);
    Strings got = names(hh.elements());
    EXPECT_EQ(std::count(got.begin(), got.end(), "HRESULT"), c.writer_error ? 1 : 0);
    EXPECT_EQ(std::count(got.begin(), got.end(), "KelArchive"), 1);
    EXPECT_EQ(std::count(got.begin(), got.end(), "KelVolume"), 1);
    EXPECT_EQ(std::count(got.begin(), got.end(), "KelSync"), 1);
    if (c.writer_error) {
      EXPECT_EQ(writer().callsNamed("Drop").size(), 1u);
    }
  }
}

// The handler reads the next request lines into the current request while
// it waits; the name it works on stays its own.
TEST_F(ArchiveTest, QueuedRequestsReadDuringTheExchangeLeaveTheNameAlone) {
  for (const std::string& name : {std::string("/s/a"), "/long/" + std::string(39, 'n')}) {
    SCOPED_TRACE(name);
    HandlerHarness hh;
    FragmentHost hhost{hh};
    setVolume(hh.engine());
    hh.setRegistry({kPackedOff});
    hh.engine().addFile("/r/x", 31, 1);
    const std::string data = pattern(3000, 10);
    std::string callbacks = hhost.archiveCallbacks(5, data, 2048);
    const std::size_t first_write = callbacks.find('\n') + 1;
    callbacks.insert(first_write, line(6, "ReadDirectory", "Name=\"/r\""));
    const std::size_t last_write = callbacks.rfind("<ArchiveFileSystemOperation");
    callbacks.insert(last_write,
                     line(7, "Rename",
                          "Name=\"/r/x\" NewName=\"/r/" + std::string(60, 'z') +
                              "\" OldGeneration=\"0\" OldVersion=\"0\" NewGeneration=\"1\" NewVersion=\"1\" "
                              "KernelInterface=\"0\" BlockNumber=\"0\""));
    hh.run(archiveLine(5, name, 1, 1) + callbacks);
    EXPECT_TRUE(text(hh.engine().find(name) ? hh.engine().find(name)->data : std::vector<std::uint8_t>{}) == data);
    Strings got = names(hh.elements());
    ASSERT_EQ(std::count(got.begin(), got.end(), "KelArchive"), 1);
    const std::string archive = hh.elements()[std::find(got.begin(), got.end(), "KelArchive") - got.begin()];
    EXPECT_EQ(attribute(archive, "ObjectName"), name.substr(name.rfind('/') + 1));
    // The queued requests ran after the Archive, each with its own name.
    EXPECT_LT(std::find(got.begin(), got.end(), "KelArchive"), std::find(got.begin(), got.end(), "KelDirent"));
    EXPECT_TRUE(hh.engine().exists("/r/" + std::string(60, 'z')));
  }
}

}  // namespace
