// The name-space requests through the request loop over the fake engine.
#include "kel/handler.h"
#include "kel/mdcfs.h"
#include "kel/volctrl.h"
#include "support/handler_harness.h"
#include "support/recording_writer.h"

#include <gtest/gtest.h>

using handlertest::attribute;
using handlertest::elementName;
using handlertest::HandlerHarness;
using handlertest::hresult;
using handlertest::line;
using handlertest::probeLine;
using handlertest::putMetaFile;
using handlertest::setVolume;

namespace {

using Strings = std::vector<std::string>;

std::string rename(std::uint64_t seq, const std::string& from, const std::string& to, std::uint32_t og,
                   std::uint32_t ov, std::uint32_t ng, std::uint32_t nv) {
  return line(seq, "Rename",
              "Name=\"" + from + "\" NewName=\"" + to + "\" OldGeneration=\"" + std::to_string(og) +
                  "\" OldVersion=\"" + std::to_string(ov) + "\" NewGeneration=\"" + std::to_string(ng) +
                  "\" NewVersion=\"" + std::to_string(nv) + "\" KernelInterface=\"0\" BlockNumber=\"0\"");
}
std::string del(std::uint64_t seq, const std::string& name, std::uint32_t g, std::uint32_t v) {
  return line(seq, "Delete",
              "Name=\"" + name + "\" Generation=\"" + std::to_string(g) + "\" Version=\"" + std::to_string(v) +
                  "\" KernelInterface=\"0\" BlockNumber=\"0\"");
}
std::string folderOp(std::uint64_t seq, const char* op, const std::string& name) {
  return line(seq, op, "Name=\"" + name + "\" KernelInterface=\"0\" BlockNumber=\"0\"");
}
std::string renameDir(std::uint64_t seq, const std::string& from, const std::string& to) {
  return line(seq, "RenameDirectory",
              "Name=\"" + from + "\" NewName=\"" + to + "\" KernelInterface=\"0\" BlockNumber=\"0\"");
}
std::string update(std::uint64_t seq, const std::string& name) {
  return line(seq, "UpdateArchiveInfo", "Name=\"" + name + "\"");
}

Strings names(const Strings& elements) {
  Strings out;
  for (const auto& e : elements) out.push_back(elementName(e));
  return out;
}

// The calls that change the name space, in order.
Strings changes(fakeengine::FakeEngine& e) {
  Strings out;
  for (const auto& c : e.calls)
    if (c.slot == kSlotCreateDirectory || c.slot == kSlotRename || c.slot == kSlotRenameDir ||
        c.slot == kSlotDeleteFile || c.slot == kSlotDeleteDirectory)
      out.push_back(c.text + "@" + std::to_string(c.phase));
  return out;
}

class NameSpaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setVolume(h.engine());
    h.engine().addFolder("/$QuorvelData", 50);
    putMetaFile(0, handlertest::metaFile(10752, "VOL-A", 3, {{30, 4, 5}}));
    h.engine().addFile("/a/x", 30, 100, {{500, 1}});
    h.engine().addFile("/free", 31, 100, {{600, 1}});  // nothing recorded
  }
  HandlerHarness h;
};

TEST_F(NameSpaceTest, RenameCreatesMissingParentsMovesTheFileAndRecordsTheNewVersion) {
  std::uint32_t g = 0, v = 0;
  std::vector<std::uint32_t> dirty;
  h.probe = [&](CKelInterface& itf) {
    auto& store = kel::HandlerStateOf(itf).MetaData;
    store.GetObjectVersion(30, &g, &v);
    for (auto* f : store.GetDirtyFiles()) dirty.push_back(f->FileIndex());
  };
  h.run(rename(7, "/a/x", "/b/c/x", 4, 5, 9, 10) + probeLine(8));
  EXPECT_EQ(changes(h.engine()),
            (Strings{"CreateDirectory(/,b,0)@4", "CreateDirectory(/b,c,0)@4", "Rename(/a,x,/b/c,x)@4"}));
  EXPECT_TRUE(h.engine().exists("/b/c/x"));
  EXPECT_FALSE(h.engine().exists("/a/x"));
  EXPECT_EQ(g, 9u);
  EXPECT_EQ(v, 10u);
  EXPECT_EQ(dirty, (std::vector<std::uint32_t>{0}));
  EXPECT_EQ(h.ordered(), (Strings{"KelVolume", "notice 7:12"}));
  // The version check runs in phase 3, the refresh after the change in 4.
  EXPECT_EQ(h.engine().callsOf(kSlotGetPathInfo).front().phase, 3u);
  EXPECT_EQ(h.engine().callsOf(kSlotFsInfo).back().phase, 4u);
}

TEST_F(NameSpaceTest, VersionMismatchAnswers80070002AndChangesNothing) {
  struct Case {
    const char* what;
    std::string request;
  } cases[] = {
      {"rename, generation", rename(1, "/a/x", "/b/x", 3, 5, 1, 1)},
      {"rename, version", rename(1, "/a/x", "/b/x", 4, 6, 1, 1)},
      {"delete, generation", del(1, "/a/x", 5, 5)},
      {"delete, version", del(1, "/a/x", 4, 4)},
  };
  for (const auto& c : cases) {
    HandlerHarness hh;
    setVolume(hh.engine());
    hh.engine().addFolder("/$QuorvelData", 50);
    putMetaFile(0, handlertest::metaFile(10752, "VOL-A", 3, {{30, 4, 5}}));
    hh.engine().addFile("/a/x", 30, 100, {{500, 1}});
    hh.run(c.request);
    EXPECT_EQ(hh.elements(), (Strings{hresult(1, 0x80070002)})) << c.what;
    EXPECT_TRUE(changes(hh.engine()).empty()) << c.what;
    EXPECT_TRUE(hh.engine().exists("/a/x")) << c.what;
  }
}

TEST_F(NameSpaceTest, AFileWithoutRecordedValuesPassesTheCheck) {
  h.run(del(2, "/free", 123, 456));
  EXPECT_EQ(changes(h.engine()), (Strings{"DeleteFile(/,free)@4"}));
  EXPECT_EQ(names(h.elements()), (Strings{"KelVolume"}));
  EXPECT_FALSE(h.engine().exists("/free"));
}

// A file may still wait in the packed session: the session ends before the
// file is deleted (its end would find a file of the proxy gone).
TEST_F(NameSpaceTest, DeleteEndsAnOpenPackedSessionFirst) {
  handlertest::writer().session = true;
  h.run(del(2, "/free", 0, 0));
  Strings order;
  for (const auto& c : handlertest::writer().callsNamed("EndSession")) order.push_back(c);
  for (const auto& c : changes(h.engine())) order.push_back(c);
  EXPECT_EQ(order, (Strings{"EndSession@4", "DeleteFile(/,free)@4"}));
  EXPECT_EQ(names(h.elements()), (Strings{"KelVolume"}));
}

TEST_F(NameSpaceTest, DeleteKeepsTheRecordedValues) {
  std::uint32_t g = 0, v = 0;
  h.probe = [&](CKelInterface& itf) { kel::HandlerStateOf(itf).MetaData.GetObjectVersion(30, &g, &v); };
  h.run(del(2, "/a/x", 4, 5) + probeLine(3));
  EXPECT_EQ(changes(h.engine()), (Strings{"DeleteFile(/a,x)@4"}));
  EXPECT_EQ(names(h.elements()), (Strings{"KelVolume"}));
  EXPECT_EQ(g, 4u);
  EXPECT_EQ(v, 5u);
}

TEST_F(NameSpaceTest, CreateDirectoryMakesEveryMissingFolderOnce) {
  h.run(folderOp(1, "CreateDirectory", "/p/q") + folderOp(2, "CreateDirectory", "/p/q") +
        folderOp(3, "CreateDirectory", "/a"));
  EXPECT_EQ(changes(h.engine()), (Strings{"CreateDirectory(/,p,0)@4", "CreateDirectory(/p,q,0)@4"}));
  EXPECT_EQ(names(h.elements()), (Strings{"KelVolume", "KelVolume", "KelVolume"}));
  EXPECT_TRUE(h.engine().exists("/p/q"));
}

// A move or query whose target's folders were made and which then fails
// removes those folders again, the deepest first, and none it did not make.
TEST_F(NameSpaceTest, AFailedRequestTakesBackOnlyTheFoldersItMade) {
  constexpr int kEIO = 5;
  const struct {
    const char* what;
    std::string request;
    int failing_slot;  // -1: the request fails on its own
    Strings changes;
  } cases[] = {
      {"rename", rename(3, "/a/x", "/a/b/c/x", 4, 5, 4, 5), kSlotRename,
       {"CreateDirectory(/a,b,0)@4", "CreateDirectory(/a/b,c,0)@4", "Rename(/a,x,/a/b/c,x)@4",
        "DeleteDirectory(/a/b,c)@4", "DeleteDirectory(/a,b)@4"}},
      {"folder rename", renameDir(3, "/a", "/z/y/a2"), kSlotRenameDir,
       {"CreateDirectory(/,z,0)@4", "CreateDirectory(/z,y,0)@4", "RenameDir(/,a,/z/y,a2)@4",
        "DeleteDirectory(/z,y)@4", "DeleteDirectory(/,z)@4"}},
      {"update of a missing file", update(3, "/q/r/none"), -1,
       {"CreateDirectory(/,q,0)@3", "CreateDirectory(/q,r,0)@3", "DeleteDirectory(/q,r)@4",
        "DeleteDirectory(/,q)@4"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    h.engine().calls.clear();
    if (c.failing_slot >= 0) h.engine().failNext(c.failing_slot, kEIO);
    h.run(c.request);
    EXPECT_EQ(changes(h.engine()), c.changes);
    EXPECT_EQ(elementName(h.newElements().back()), "HRESULT");
    for (const char* gone : {"/a/b", "/z", "/q"}) EXPECT_FALSE(h.engine().exists(gone)) << gone;
    EXPECT_TRUE(h.engine().exists("/a/x"));
  }
}

// A folder the volume does not let go is never listed; a later request
// that needs it takes it as its own again.
TEST_F(NameSpaceTest, AMadeFolderTheVolumeKeepsIsHiddenUntilARequestTakesIt) {
  constexpr int kEIO = 5, kEROFS = 30;
  h.engine().failNext(kSlotRename, kEIO);
  h.engine().failNext(kSlotDeleteDirectory, kEROFS);
  h.run(rename(3, "/a/x", "/b/x", 4, 5, 4, 5) + folderOp(4, "ReadDirectory", "/"));
  EXPECT_TRUE(h.engine().exists("/b"));
  for (const auto& e : h.newElements())
    EXPECT_NE(elementName(e) == "KelDirent" ? attribute(e, "ObjectName") : "", "b") << e;
  h.engine().calls.clear();
  h.run(rename(5, "/a/x", "/b/x", 4, 5, 4, 5) + folderOp(6, "ReadDirectory", "/"));
  EXPECT_EQ(changes(h.engine()), (Strings{"Rename(/a,x,/b,x)@4"}));
  bool listed = false;
  for (const auto& e : h.newElements()) listed = listed || (elementName(e) == "KelDirent" && attribute(e, "ObjectName") == "b");
  EXPECT_TRUE(listed);
}

TEST_F(NameSpaceTest, RenameDirectoryOfAMissingFolderMakesNothing) {
  h.run(renameDir(4, "/nope", "/new/place"));
  EXPECT_EQ(h.elements(), (Strings{hresult(4, 0x80070002)}));
  EXPECT_TRUE(changes(h.engine()).empty());
}

TEST_F(NameSpaceTest, RenameDirectoryMovesTheWholeFolder) {
  h.run(renameDir(4, "/a", "/z/a2"));
  EXPECT_EQ(changes(h.engine()), (Strings{"CreateDirectory(/,z,0)@4", "RenameDir(/,a,/z,a2)@4"}));
  EXPECT_TRUE(h.engine().exists("/z/a2/x"));
  EXPECT_EQ(names(h.elements()), (Strings{"KelVolume"}));
}

TEST_F(NameSpaceTest, DeleteDirectoryWorksOnTheNameAlone) {
  h.engine().addFolder("/empty");
  h.run(folderOp(5, "DeleteDirectory", "/empty") + folderOp(6, "DeleteDirectory", "/a"));
  EXPECT_EQ(changes(h.engine()), (Strings{"DeleteDirectory(/,empty)@4", "DeleteDirectory(/,a)@4"}));
  const Strings els = h.elements();
  ASSERT_EQ(els.size(), 2u);
  EXPECT_EQ(elementName(els[0]), "KelVolume");
  EXPECT_EQ(els[1], hresult(6, 0x8007045D));  // not empty: outside the table
  EXPECT_TRUE(h.engine().exists("/a/x"));
}

TEST_F(NameSpaceTest, UpdateArchiveInfoAnswersTheObjectWithAllItsExtents) {
  h.engine().addFile("/d/e/f.bin", 40, 3000, {{10, 1}, {20, 2}});
  h.run(update(8, "/d/e/f.bin"));
  const Strings els = h.elements();
  ASSERT_EQ(els.size(), 1u);
  EXPECT_EQ(elementName(els[0]), "KelArchive");
  EXPECT_EQ(attribute(els[0], "ObjectID"), "40");
  EXPECT_EQ(attribute(els[0], "SpaceEntries.Count"), "2");
  EXPECT_EQ(attribute(els[0], "SpaceEntries.1.BlockNumber"), "20");
  EXPECT_EQ(attribute(els[0], "SpaceEntries.1.NumberOfBlocks"), "2");
  EXPECT_EQ(h.engine().texts(kSlotGetPathInfo),
            (Strings{"GetPathInfo(/d/e/f.bin,0,null)", "GetPathInfo(/d/e/f.bin,1)", "GetPathInfo(/d/e/f.bin,2)"}));
  EXPECT_EQ(h.engine().callsOf(kSlotFsInfo).front().phase, 3u);
}

TEST_F(NameSpaceTest, UpdateArchiveInfoOfAMissingFileMakesItsFoldersThenFails) {
  h.run(update(9, "/m/n/o.bin"));
  EXPECT_EQ(h.engine().texts(kSlotCreateDirectory),
            (Strings{"CreateDirectory(/,m,0)", "CreateDirectory(/m,n,0)"}));
  EXPECT_EQ(h.elements(), (Strings{hresult(9, 0x80070002)}));
  // The request failed: the folders it made go again.
  EXPECT_FALSE(h.engine().exists("/m"));
}

TEST_F(NameSpaceTest, EngineFailuresEndTheRequestAtTheFailingStep) {
  // The rename is done, the lookup of the new name after it fails: the
  // request ends there with its HRESULT, nothing is recorded or refreshed.
  h.engine().failPath(kSlotGetPathInfo, "/moved", 5);
  h.run(rename(3, "/free", "/moved", 0, 0, 1, 1));
  EXPECT_EQ(changes(h.engine()), (Strings{"Rename(/,free,/,moved)@4"}));
  EXPECT_EQ(h.elements(), (Strings{hresult(3, 0x8007045D)}));
  EXPECT_EQ(h.engine().count(kSlotFsInfo), 0);
}

// Once the name has changed, a refresh of the volume information that fails
// (a drive that just lost its power fails the command the loss came at) is
// asked once more, and when it fails again the answer is still "KelVolume",
// with the information read last: the host is never told the change failed.
TEST_F(NameSpaceTest, AChangeMadeIsAnsweredWithTheVolumeWhenItsRefreshFails) {
  struct Case {
    const char* what;
    std::string request;
    const char* gone;
    const char* made;
  } cases[] = {
      {"rename", rename(3, "/free", "/moved", 0, 0, 1, 1), "/free", "/moved"},
      {"delete", del(3, "/free", 0, 0), "/free", nullptr},
      {"folder rename", renameDir(3, "/a", "/b"), "/a", "/b/x"},
      {"folder delete", folderOp(3, "DeleteDirectory", "/e"), "/e", nullptr},
  };
  for (const Case& c : cases) {
    for (int failures : {1, 2}) {
      SCOPED_TRACE(std::string(c.what) + ", refresh failing " + std::to_string(failures) + " times");
      HandlerHarness hh;
      setVolume(hh.engine());
      hh.engine().addFolder("/$QuorvelData", 50);
      hh.engine().addFolder("/e", 51);
      hh.engine().addFile("/a/x", 30, 100, {{500, 1}});
      hh.engine().addFile("/free", 31, 100, {{600, 1}});
      hh.probe = [&](CKelInterface&) { hh.engine().failNext(kSlotFsInfo, 5, failures); };
      hh.run(line(1, "GetVolumeInfo") + probeLine(2) + c.request);
      const Strings els = hh.elements();
      ASSERT_FALSE(els.empty());
      EXPECT_EQ(elementName(els.back()), "KelVolume") << els.back();
      EXPECT_EQ(attribute(els.back(), "SequenceNumber"), "3");
      // What the volume reported before the change.
      EXPECT_EQ(attribute(els.back(), "LastFileIndex"), "42");
      EXPECT_FALSE(hh.engine().exists(c.gone));
      if (c.made) {
        EXPECT_TRUE(hh.engine().exists(c.made));
      }
    }
  }
}

// A name-space change the engine refuses on a full cartridge (write-protected
// for want of room or resources on its last disc) answers disc full; with
// another write protection the engine's answer stays.
TEST_F(NameSpaceTest, AChangeRefusedOnAFullCartridgeAnswersDiscFull) {
  struct Case {
    const char* what;
    std::string request;
    int slot;
    std::uint32_t protect_flags;
    std::uint32_t hr;
  } cases[] = {
      {"rename, full", rename(3, "/free", "/moved", 0, 0, 1, 1), kSlotRename, 0x800, 0x80070070},
      {"delete, full", del(3, "/free", 0, 0), kSlotDeleteFile, 0x800, 0x80070070},
      {"folder, full", folderOp(3, "CreateDirectory", "/n"), kSlotCreateDirectory, 0x800, 0x80070070},
      {"folder rename, full", renameDir(3, "/a", "/b"), kSlotRenameDir, 0x800, 0x80070070},
      {"folder delete, full", folderOp(3, "DeleteDirectory", "/a"), kSlotDeleteDirectory, 0x800, 0x80070070},
      {"delete, cartridge tab", del(3, "/free", 0, 0), kSlotDeleteFile, 0x400, 0x80070013},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HandlerHarness hh;
    setVolume(hh.engine());
    hh.engine().addFolder("/$QuorvelData", 50);
    hh.engine().addFile("/a/x", 30, 100, {{500, 1}});
    hh.engine().addFile("/free", 31, 100, {{600, 1}});
    hh.engine().failNext(c.slot, 30);
    MDCFS_MOUNT_INFORMATION mi{};
    mi.WriteProtectReasonFlags = c.protect_flags;
    const auto* p = reinterpret_cast<const std::uint8_t*>(&mi);
    hh.engine().fsctl_answers[kel::kFsctlGetVolumeMountInformation].assign(p, p + sizeof mi);
    hh.run(c.request);
    EXPECT_EQ(hh.elements().back(), hresult(3, c.hr));
  }
}

}  // namespace

namespace {

// The metadata folder is the system's own: every host request that names it
// or anything in it, in any case of its letters and however its separators
// run, is refused with access denied before the engine is asked anything;
// a listing of the folder itself stays empty.
// Each request is answered only "HRESULT" with hr, and the engine is not
// called at all, the mount included.
void expectRefusedBeforeAnyCall(HandlerHarness& h, const std::vector<std::string>& requests, std::uint32_t hr) {
  for (const std::string& request : requests) {
    SCOPED_TRACE(request);
    h.engine().calls.clear();
    const std::size_t before = h.elements().size();
    h.run(request);
    const Strings all = h.elements();
    const Strings answers(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    EXPECT_EQ(answers, (Strings{hresult(4, hr)}));
    EXPECT_TRUE(h.engine().calls.empty()) << h.engine().calls.front().text;
  }
}

// Host paths are absolute: a relative one is refused as an invalid name
// (0x8007007B) before the engine is called at all, the mount included.
TEST_F(NameSpaceTest, ARelativePathIsRefusedBeforeAnythingIsDone) {
  const std::string requests[] = {
      rename(4, "a/x", "/a/z", 0, 0, 0, 0),        rename(4, "/a/x", "z", 0, 0, 0, 0),
      del(4, "a/x", 0, 0),                         folderOp(4, "CreateDirectory", "b"),
      folderOp(4, "DeleteDirectory", "a"),         renameDir(4, "a", "/c"),
      renameDir(4, "/a", "c"),                     update(4, "a/x"),
      line(4, "ReadDirectory", "Name=\"a\""),
      line(4, "ReadDirectory", "Name=\"\""),
  };
  expectRefusedBeforeAnyCall(h, {std::begin(requests), std::end(requests)}, 0x8007007B);
  EXPECT_TRUE(h.engine().exists("/a/x"));
}

// CreateDirectory of a name a file holds answers not a directory (20, as
// 0x8007054F) and creates nothing; an existing folder still answers
// "KelVolume".
TEST_F(NameSpaceTest, CreateDirectoryOfAFilesNameAnswersNotADirectory) {
  h.run(folderOp(4, "CreateDirectory", "/a/x") + folderOp(5, "CreateDirectory", "/a"));
  const Strings els = h.elements();
  ASSERT_EQ(els.size(), 2u);
  EXPECT_EQ(els[0], hresult(4, 0x8007054F));
  EXPECT_EQ(elementName(els[1]), "KelVolume");
  EXPECT_TRUE(changes(h.engine()).empty());
  EXPECT_FALSE(h.engine().find("/a/x")->folder);
}

TEST_F(NameSpaceTest, TheMetaDataFolderIsOutOfTheHostsReach) {
  const std::string store = "/$QuorvelData/QVMetaData000000.dat";
  const std::string requests[] = {
      rename(4, "/$QuorvelData", "/stolen", 0, 0, 0, 0),
      rename(4, "/a/x", "//$quorveldata/x", 0, 0, 0, 0),
      del(4, store, 0, 0),
      folderOp(4, "CreateDirectory", "/$QuorvelData/evil"),
      folderOp(4, "CreateDirectory", "/$QUORVELDATA/"),
      folderOp(4, "DeleteDirectory", "/$QuorvelData"),
      renameDir(4, "/$QuorvelData", "/stolen"),
      renameDir(4, "/a", "/$QuorvelData/a"),
      update(4, store),
      line(4, "ReadDirectory", "Name=\"/$QuorvelData/QVMetaData000000.dat\""),
      line(4, "ReadDirectory", "Name=\"/$QuorvelData//x/\""),
  };
  expectRefusedBeforeAnyCall(h, {std::begin(requests), std::end(requests)}, 0x80070005);
  EXPECT_TRUE(h.engine().exists(store));
  const std::size_t before = h.elements().size();
  h.run(line(5, "ReadDirectory", "Name=\"/$QuorvelData/\""));
  EXPECT_EQ(h.elements().size(), before) << "the folder itself lists nothing, not even its closing entry";
}

}  // namespace
