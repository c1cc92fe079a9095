// "Format" and "Sync" through the request loop over the fake engine and the
// recording writer.
#include "kel/handler.h"
#include "platform/sync.h"
#include "support/fake_drive_sdk.h"
#include "support/fragment_host.h"
#include "support/handler_harness.h"
#include "support/recording_writer.h"
#include "support/settles.h"

#include "kel/mdcfs.h"
#include "kel/volctrl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>

using namespace handlertest;

namespace {

using Strings = std::vector<std::string>;

const std::string kPackedOff = "\"Packed Write Mode\"=dword:00000000";
const char* kMetaFile0 = "/$QuorvelData/QVMetaData000000.dat";

Strings names(const Strings& elements) {
  Strings out;
  for (const auto& e : elements) out.push_back(elementName(e));
  return out;
}

std::string sync(std::uint64_t seq, const std::string& reason) {
  return line(seq, "Sync", "Reason=\"" + reason + "\" BlockNumber=\"0\" Bytes=\"0\" Generation=\"0\"");
}
std::string format(std::uint64_t seq, const std::string& id, std::uint32_t replica) {
  return line(seq, "Format", "VolumeID=\"" + id + "\" Replica=\"" + std::to_string(replica) + "\"");
}
std::uint32_t u32At(const std::vector<std::uint8_t>& b, std::size_t at) {
  std::uint32_t v = 0;
  if (b.size() >= at + 4) std::memcpy(&v, b.data() + at, 4);
  return v;
}

class SyncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setVolume(h.engine());
    h.engine().addFolder("/$QuorvelData", 50);
    putMetaFile(0, metaFile(10752, "VOL-A", 3, {{30, 4, 5}}));
    h.engine().addFile("/a/x", 30, 3, {{500, 1}}, {'a', 'b', 'c'});
    h.engine().addFile("/a/y", 31, 3, {{501, 1}}, {'d', 'e', 'f'});
    fakeengine::sdk().reset();
  }
  // Engine calls of the slots that change the volume, with their phases.
  Strings volumeCalls() { return volumeCallsOf(h); }
  static Strings volumeCallsOf(HandlerHarness& harness) {
    Strings out;
    for (const auto& c : harness.engine().calls)
      if (c.slot == kSlotUnmount || c.slot == kSlotFormat || c.slot == kSlotMountDefault ||
          c.slot == kSlotCreateDirectory || c.slot == kSlotFlush || c.slot == kSlotDeleteFile ||
          c.slot == kSlotSetAttributes)
        out.push_back(c.text + "@" + std::to_string(c.phase));
    return out;
  }
  std::string element(const std::string& name) {
    for (const auto& e : h.elements())
      if (elementName(e) == name) return e;
    return "";
  }
  // Marks the store's file 0 changed (an Archive records a version).
  std::string dirtyProbe(std::uint64_t seq) {
    h.probe = [](CKelInterface& itf) { kel::HandlerStateOf(itf).MetaData.SetObjectVersion(31, 9, 9); };
    return probeLine(seq);
  }
  HandlerHarness h;
};

TEST_F(SyncTest, FormatOfAMountedVolumeEmptiesItAndStartsItsMetadataFile) {
  struct Case {
    const char* what;
    bool packed;
    Strings writes;
  } cases[] = {{"unpacked", false, {"Write(1024)@6", "Close@6"}},
               {"packed", true, {"Write(1024)@6", "Close@6", "EndSession@4"}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HandlerHarness hh;
    setVolume(hh.engine());
    hh.engine().addFile("/a/x", 30, 3);
    hh.engine().addFolder("/b/c");
    if (!c.packed) hh.setRegistry({kPackedOff});
    hh.run(line(1, "Check") + format(2, "NEW-VOLUME", 7) + line(3, "ReadDirectory", "Name=\"/\""));
    Strings calls;
    for (const auto& call : hh.engine().calls)
      if (call.seq == 2 && (call.slot == kSlotUnmount || call.slot == kSlotFormat || call.slot == kSlotMountDefault ||
                            call.slot == kSlotCreateDirectory || call.slot == kSlotFlush))
        calls.push_back(call.text + "@" + std::to_string(call.phase));
    EXPECT_EQ(calls, (Strings{"Unmount(1)@2", "Format(1,1)@4", "MountDefault()@1", "CreateDirectory(/,$QuorvelData,1)@4",
                              "Flush(1)@4"}));
    Strings writes;
    for (const auto& w : writer().calls)
      if (w.rfind("Write", 0) == 0 || w.rfind("Close", 0) == 0 || w.rfind("EndSession", 0) == 0) writes.push_back(w);
    EXPECT_EQ(writes, c.writes);
    const Strings els = hh.elements();
    ASSERT_GE(els.size(), 3u);
    EXPECT_EQ(elementName(els[1]), "KelVolume");
    EXPECT_EQ(attribute(els[1], "QuorvelReplica"), "7");
    EXPECT_EQ(attribute(els[1], "QuorvelVolumeID"), "NEW-VOLUME");
    // The listing of the emptied root: only its closing entry.
    EXPECT_EQ(names(Strings(els.begin() + 2, els.end())), (Strings{"KelDirent"}));
    EXPECT_FALSE(hh.engine().exists("/a/x"));
    const fakeengine::Node* meta = hh.engine().find(kMetaFile0);
    ASSERT_NE(meta, nullptr);
    EXPECT_EQ(meta->data.size(), 1024u);
    EXPECT_EQ(u32At(meta->data, 12), 10752u);
    EXPECT_EQ(u32At(meta->data, 48), 7u);
  }
}

TEST_F(SyncTest, ACheckAfterARestartShowsTheFormattedIdentity) {
  h.run(format(2, "KEEP-ME", 4));
  h.run(line(3, "Check"));
  const Strings els = h.elements();
  ASSERT_EQ(els.size(), 2u);
  EXPECT_EQ(attribute(els[1], "QuorvelVolumeID"), "KEEP-ME");
  EXPECT_EQ(attribute(els[1], "QuorvelReplica"), "4");
}

TEST_F(SyncTest, AFailedFormatAnswersHresultAndStopsTheLoop) {
  h.engine().failNext(kSlotFormat, 5);
  EXPECT_EQ(h.run(format(2, "X", 1) + line(3, "GetVolumeInfo")), 0);
  EXPECT_EQ(h.ordered(), (Strings{"notice 2:12", "HRESULT", "Shutdown"}));
}

TEST_F(SyncTest, AVolumeIdentifierOf32BytesIsRefusedBeforeTheVolumeIsTouched) {
  h.run(line(1, "Check") + format(2, std::string(32, 'v'), 1));
  EXPECT_EQ(h.elements()[1], hresult(2, 0x80070057));
  EXPECT_EQ(names(h.elements()).back(), "Shutdown");
  EXPECT_EQ(h.engine().count(kSlotUnmount), 0);
  EXPECT_EQ(h.engine().count(kSlotFormat), 0);
  HandlerHarness hh;
  setVolume(hh.engine());
  hh.run(format(2, std::string(31, 'v'), 1));
  EXPECT_EQ(attribute(hh.elements()[0], "QuorvelVolumeID"), std::string(31, 'v'));
}

TEST_F(SyncTest, FormatEndsAnOpenPackedSessionOnTheOldVolumeFirst) {
  FragmentHost host{h};
  h.run(archiveLine(1, "/p/f", 1, 1) + host.archiveCallbacks(1, "data", 64) + format(2, "NEW", 1));
  const Strings calls = writer().calls;
  const auto end = std::find(calls.begin(), calls.end(), "EndSession@4");
  ASSERT_NE(end, calls.end());
  // The old volume's session before the unmount, the new metadata file's after.
  EXPECT_EQ(writer().unmounts_at_ends, (std::vector<int>{0, 1}));
  // Before anything of the new volume is opened.
  EXPECT_LT(end - calls.begin(), std::find(calls.begin(), calls.end(), "Open(QVMetaData000000.dat,0x40000000,0,0x1)@6") - calls.begin());
  Strings unmounts;
  for (const auto& c : h.engine().callsOf(kSlotUnmount)) unmounts.push_back(c.text);
  EXPECT_EQ(unmounts, (Strings{"Unmount(1)"}));
}

// No archived file stays on its placeholder past a Sync or a rollback
// mount, whether the volume is dirty or not.
TEST_F(SyncTest, SyncsAndRollbackMountsEndAnOpenPackedSession) {
  for (const std::string& request :
       {sync(2, "SyncTime"), sync(2, "SyncPreDeallocate"), sync(2, "SyncFinalisation"),
        line(2, "RollbackMount", "SlotNumber=\"3\" MetaDataFE_LSN=\"100\" FsdLsn=\"200\"")}) {
    SCOPED_TRACE(request);
    HandlerHarness hh;
    FragmentHost host{hh};
    setVolume(hh.engine());
    hh.run(archiveLine(1, "/p/f", 1, 1) + host.archiveCallbacks(1, "data", 64) + request);
    // The Sync reasons then save the archive's recorded version, whose
    // packed flush ends the save's own session: that is a second end.
    const Strings ends = writer().callsNamed("EndSession");
    ASSERT_FALSE(ends.empty());
    EXPECT_EQ(ends.front(), "EndSession@4");
    const fakeengine::Node* n = hh.engine().find("/p/f");
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(std::string(n->data.begin(), n->data.end()), "data");
    // Ended before the volume changes: no unmount ran before it.
    ASSERT_FALSE(writer().unmounts_at_ends.empty());
    EXPECT_EQ(writer().unmounts_at_ends.front(), 0);
  }
}

TEST_F(SyncTest, SyncTimeOnACleanVolumeWritesNothing) {
  h.engine().volume.NextWritableBlock = 40;
  h.run(line(1, "Check") + sync(2, "SyncTime"));
  const std::string s = element("KelSync");
  EXPECT_EQ(attribute(s, "Dirty"), "0");
  EXPECT_EQ(attribute(s, "BlockNumber"), "2104");
  EXPECT_EQ(attribute(s, "NextWritableBlock"), "2104");
  EXPECT_TRUE(writer().calls.empty());
  EXPECT_EQ(h.engine().count(kSlotFlush), 0);
}

TEST_F(SyncTest, SyncTimeOnADirtyVolumeSavesTheChangedFilesOwnerReadOnly) {
  h.setRegistry({kPackedOff});
  h.engine().volume.Dirty = 1;
  h.run(line(1, "Check") + dirtyProbe(2) + sync(3, "SyncTime"));
  EXPECT_EQ(volumeCalls(), (Strings{"MountDefault()@1", "DeleteFile(/$QuorvelData,QVMetaData000000.dat)@6",
                                    "SetAttributes(256)@6", "Flush(0)@4"}));
  const fakeengine::Node* meta = h.engine().find(kMetaFile0);
  ASSERT_NE(meta, nullptr);
  EXPECT_EQ(meta->data.size(), 1024u + 12 * 2);
  EXPECT_EQ(u32At(meta->data, 1024 + 12), 31u);
  EXPECT_EQ(meta->mode, 0x100u);
  EXPECT_EQ(attribute(element("KelSync"), "Dirty"), "1");
}

// The end of a packed session flushes the volume, so the engine reports no
// change; the versions the session's archives recorded are saved all the
// same, by "SyncTime" and by "SyncPreDeallocate" (whose record then names
// where the writing ended).
TEST_F(SyncTest, SyncsSaveChangedFilesAlsoWhenTheEngineReportsNoChange) {
  for (const char* reason : {"SyncTime", "SyncPreDeallocate"}) {
    SCOPED_TRACE(reason);
    HandlerHarness hh;
    setVolume(hh.engine());
    hh.engine().addFolder("/$QuorvelData", 50);
    putMetaFile(0, metaFile(10752, "VOL-A", 3, {{30, 4, 5}}));
    hh.engine().addFile("/a/x", 30, 3, {{500, 1}}, {'a', 'b', 'c'});
    hh.engine().addFile("/a/y", 31, 3, {{501, 1}}, {'d', 'e', 'f'});
    hh.setRegistry({kPackedOff});
    hh.engine().volume.Dirty = 0;
    hh.probe = [](CKelInterface& itf) { kel::HandlerStateOf(itf).MetaData.SetObjectVersion(31, 9, 9); };
    const std::string full = std::string(reason) == "SyncTime" ? "0" : "1";
    hh.run(line(1, "Check") + probeLine(2) + sync(3, reason));
    EXPECT_EQ(volumeCallsOf(hh), (Strings{"MountDefault()@1", "DeleteFile(/$QuorvelData,QVMetaData000000.dat)@6",
                                          "SetAttributes(256)@6", "Flush(" + full + ")@4"}));
    const fakeengine::Node* meta = hh.engine().find(kMetaFile0);
    ASSERT_NE(meta, nullptr);
    EXPECT_EQ(meta->data.size(), 1024u + 12 * 2);
    const std::string answer = hh.elements().back();
    EXPECT_EQ(elementName(answer), "KelSync");
    EXPECT_EQ(attribute(answer, "NextWritableBlock"), "3064");
  }
}

TEST_F(SyncTest, SyncMountNeverMounts) {
  h.run(sync(2, "SyncMount"));
  EXPECT_EQ(h.engine().count(kSlotMountDefault), 0);
  EXPECT_EQ(h.engine().count(kSlotFlush), 1);
}

TEST_F(SyncTest, SyncInternalMountsAndAnswersTheVolume) {
  h.run(sync(2, "SyncInternal"));
  EXPECT_EQ(volumeCalls(), (Strings{"MountDefault()@1"}));
  EXPECT_EQ(names(h.elements()), (Strings{"KelVolume"}));
}

TEST_F(SyncTest, SyncOnAnUnmountedVolumeSendsOnlyTheNotice) {
  // Each run is a new request interface, with nothing mounted.
  h.run(sync(2, "SyncTime"));
  h.run(sync(3, "SyncPreDeallocate"));
  EXPECT_TRUE(h.elements().empty());
  EXPECT_EQ(h.notices(), (Strings{"2:12", "3:12"}));
  EXPECT_EQ(h.engine().count(kSlotMountDefault), 0);
}

TEST_F(SyncTest, AnUnknownReasonIsRefused) {
  h.run(line(1, "Check") + sync(2, "synctime"));
  EXPECT_EQ(h.elements().back(), hresult(2, 0x8007054F));
}

TEST_F(SyncTest, PreDeallocateAnswersKelSyncAlsoWhenTheSaveFails) {
  h.engine().volume.Dirty = 1;
  h.probe = [](CKelInterface& itf) {
    kel::HandlerStateOf(itf).MetaData.SetObjectVersion(31, 9, 9);
    writer().open_result = 0x82000010;
  };
  h.run(line(1, "Check") + probeLine(2) + sync(3, "SyncPreDeallocate"));
  const std::string s = element("KelSync");
  EXPECT_EQ(attribute(s, "Dirty"), "1");
  EXPECT_EQ(attribute(s, "BlockNumber"), "3064");
  EXPECT_EQ(attribute(s, "NextWritableBlock"), "0");
  EXPECT_EQ(names(h.elements()), (Strings{"KelVolume", "KelSync"}));
  const auto& logs = h.engine().logs;
  EXPECT_NE(std::find(logs.begin(), logs.end(), u"SaveMetaDataFiles failed: 82"), logs.end());
}

// The unmounting flag comes after the packed session ended, and stays.
TEST_F(SyncTest, PreDeallocateSetsTheUnmountFlagAfterThePackedSessionEnded) {
  FragmentHost host{h};
  h.engine().volume.Dirty = 1;
  h.run(archiveLine(1, "/p/f", 1, 1) + host.archiveCallbacks(1, "data", 64) + sync(2, "SyncPreDeallocate"));
  Strings ends = writer().callsNamed("EndSession");
  EXPECT_EQ(ends, (Strings{"EndSession@4", "EndSession@4!u"}));
  const auto t = h.transcript();
  std::vector<int> flags;
  for (const auto& e : t)
    if (e.is_notice()) flags.push_back(e.unmount);
  EXPECT_EQ(flags, (std::vector<int>{0, 1}));
}

TEST_F(SyncTest, AFailedSaveLeavesTheFileChangedForTheNextSave) {
  struct Case {
    const char* what;
    bool open_refused;
    std::uint32_t hr;
  } cases[] = {{"open refused", true, 0x80070052}, {"short write", false, 0x8007001D}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HandlerHarness hh;
    setVolume(hh.engine());
    hh.setRegistry({kPackedOff});
    hh.engine().volume.Dirty = 1;
    putMetaFile(0, metaFile(10752, "VOL-A", 3, {}));
    std::vector<std::uint32_t> dirty;
    int probes = 0;
    hh.probe = [&](CKelInterface& itf) {
      auto& store = kel::HandlerStateOf(itf).MetaData;
      if (probes++ == 0) {
        store.SetObjectVersion(31, 9, 9);
        writer().open_result = c.open_refused ? 0x82000010 : 0;
        writer().write_takes_nothing = !c.open_refused;
      } else {
        for (auto* f : store.GetDirtyFiles()) dirty.push_back(f->FileIndex());
        writer().open_result = 0;
        writer().write_takes_nothing = false;
      }
    };
    hh.run(line(1, "Check") + probeLine(2) + sync(3, "SyncTime") + probeLine(4) + sync(5, "SyncTime"));
    EXPECT_EQ(hh.elements()[1], hresult(3, c.hr));
    EXPECT_EQ(dirty, (std::vector<std::uint32_t>{0}));
    EXPECT_EQ(attribute(hh.elements()[2], "Dirty"), "1");
    EXPECT_EQ(hh.engine().find(kMetaFile0)->data.size(), 1024u + 12);
  }
}

// The store file's close leaves the flush to the Sync's own: the volume is
// flushed once, after the file got its attributes.
TEST_F(SyncTest, TheStoreFilesCloseLeavesItsFlushToTheSyncsFlush) {
  h.setRegistry({kPackedOff});
  h.engine().volume.Dirty = 1;
  h.run(line(1, "Check") + dirtyProbe(2) + sync(3, "SyncTime"));
  const Strings calls = writer().calls;
  const auto postpone = std::find(calls.begin(), calls.end(), "PostponeFlushAtClose@6");
  const auto close = std::find(calls.begin(), calls.end(), "Close@6");
  ASSERT_NE(postpone, calls.end());
  EXPECT_LT(postpone, close);
  EXPECT_EQ(volumeCalls(), (Strings{"MountDefault()@1", "DeleteFile(/$QuorvelData,QVMetaData000000.dat)@6",
                                    "SetAttributes(256)@6", "Flush(0)@4"}));
}

// A save that fails on a full cartridge answers disc full, packed or not:
// the last disc out of resources, or no free block (the engine reports no
// figures once the last disc is within its near-full room). With room left
// the road's own answer stays.
TEST_F(SyncTest, ASaveThatFailsOnAFullCartridgeAnswersDiscFull) {
  struct Case {
    const char* what;
    bool packed;
    std::uint32_t protect_flags;
    bool no_figures;
    std::uint32_t hr;
  } cases[] = {
      {"packed session end refused, last disc out of resources", true, 0x800, false, 0x80070070},
      {"packed session end refused, last disc within its near-full room", true, 0, true, 0x80070070},
      {"packed session end refused, room left", true, 0, false, 0x8007045D},
      {"store file refused, last disc out of resources", false, 0x800, false, 0x80070070},
      {"store file refused, last disc within its near-full room", false, 0, true, 0x80070070},
      {"store file refused, room left", false, 0, false, 0x80070052},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HandlerHarness hh;
    FragmentHost host{hh};
    setVolume(hh.engine());
    if (!c.packed) hh.setRegistry({kPackedOff});
    hh.engine().volume.Dirty = 1;
    MDCFS_MOUNT_INFORMATION mi{};
    mi.WriteProtectReasonFlags = c.protect_flags;
    const auto* p = reinterpret_cast<const std::uint8_t*>(&mi);
    hh.engine().fsctl_answers[kel::kFsctlGetVolumeMountInformation].assign(p, p + sizeof mi);
    if (c.no_figures)
      hh.engine().fsctl_answers[kel::kFsctlGetStatfsSizeInfo].assign(sizeof(MDCFS_STATFS_SIZEINFO), 0);
    hh.probe = [&](CKelInterface& itf) {
      kel::HandlerStateOf(itf).MetaData.SetObjectVersion(31, 9, 9);
      if (c.packed) writer().end_result = kel::SessionEnd{0x45D, 0, {}, {}};
      else writer().open_result = 0x82000010;
    };
    hh.run(line(1, "Check") + archiveLine(2, "/p/f", 1, 1) + host.archiveCallbacks(2, "data", 64) + probeLine(3) +
           sync(4, "SyncTime"));
    EXPECT_EQ(hh.elements().back(), hresult(4, c.hr));
  }
}

TEST_F(SyncTest, FinalisationHandsOverWithMode4ThenFinalisesTheMedium) {
  h.run(line(1, "Check") + sync(2, "SyncFinalisation"));
  EXPECT_EQ(fakeengine::sdk().calls,
            (Strings{"SetCallbacks(2,4)@3", "DoFinalize(" + h.cookieText() + ")@3"}));
  EXPECT_EQ(names(h.elements()), (Strings{"KelVolume", "KelSync"}));
  fakeengine::sdk().reset();
  fakeengine::sdk().finalize_result = 0x8100000000000001ull;
  HandlerHarness hh;
  setVolume(hh.engine());
  hh.run(line(1, "Check") + sync(2, "SyncFinalisation"));
  EXPECT_EQ(hh.elements().back(), hresult(2, 0x8007054F));
}

// "UnmountVolume" ends the packed session, then saves what was answered
// (the store's changed file, written through a session of its own that
// ends too) and only then unmounts.
TEST_F(SyncTest, UnmountVolumeEndsThePackedSessionAndSavesBeforeTheUnmount) {
  FragmentHost host{h};
  h.run(archiveLine(1, "/p/f", 6, 7) + host.archiveCallbacks(1, "data", 64) + line(2, "UnmountVolume"));
  EXPECT_EQ(writer().callsNamed("EndSession"), (Strings{"EndSession@4", "EndSession@4"}));
  EXPECT_EQ(writer().unmounts_at_ends, (std::vector<int>{0, 0}));
  EXPECT_EQ(h.engine().count(kSlotUnmount), 1);
  EXPECT_TRUE(h.engine().find("/p/f") && std::string(h.engine().find("/p/f")->data.begin(),
                                                     h.engine().find("/p/f")->data.end()) == "data");
  const fakeengine::Node* meta = h.engine().find(kMetaFile0);
  ASSERT_NE(meta, nullptr);
  ASSERT_EQ(meta->data.size(), 1024u + 24);
  EXPECT_EQ(u32At(meta->data, 1036), h.engine().find("/p/f")->id);
  EXPECT_EQ(u32At(meta->data, 1040), 6u);
  EXPECT_EQ(u32At(meta->data, 1044), 7u);
  EXPECT_EQ(names(h.elements()),
            (Strings{"KelFragment", "KelFragment", "KelFragment", "KelArchive", "KelSuccess", "Shutdown"}));
}

// However else the loop ends (its input ends, a line does not parse, an
// opcode it does not serve, a refused Format), it ends the packed session,
// saves what it answered and unmounts before it returns, with the ending's
// own exit code and answers: "Shutdown" only after the Format.
TEST_F(SyncTest, EveryEndOfTheLoopSavesAndUnmountsFirst) {
  const struct {
    const char* what;
    std::string last;
    std::uint16_t code;
    const char* answer;
  } cases[] = {
      {"end of input", "", static_cast<std::uint16_t>(platform::kSaxErrNoElements & 0xFFFF), "KelArchive"},
      {"a line that does not parse", "<ArchiveFileSystemOperation SequenceNumber=\"3\" Opcode=\"Ch\n",
       static_cast<std::uint16_t>(platform::kSaxErrUnclosedToken & 0xFFFF), "KelArchive"},
      {"a stray callback", line(3, "WriteCallback", "FragmentFileSize=\"10\" BytesToWrite=\"10\""), 1359,
       "KelArchive"},
      {"a refused Format", format(3, std::string(40, 'v'), 1), 0, "Shutdown"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    writer().reset();
    HandlerHarness hh;
    hh.recordEndOfRun = true;
    setVolume(hh.engine());
    hh.engine().addFolder("/$QuorvelData", 50);
    putMetaFile(0, metaFile(10752, "VOL-A", 3, {{30, 4, 5}}));
    FragmentHost host{hh};
    EXPECT_EQ(hh.run(line(1, "Check") + archiveLine(2, "/p/f", 6, 7) + host.archiveCallbacks(2, "data", 64) + c.last),
              c.code);
    EXPECT_EQ(names(hh.elements()).back(), c.answer);
    EXPECT_EQ(writer().callsNamed("EndSession").size(), 2u) << "the archive's session, the save's";
    EXPECT_EQ(writer().unmounts_at_ends, (std::vector<int>{0, 0}));
    const Strings unmounts = hh.engine().texts(kSlotUnmount);
    EXPECT_EQ(unmounts, (Strings{"Unmount(1)"}));
    const fakeengine::Node* meta = hh.engine().find(kMetaFile0);
    ASSERT_NE(meta, nullptr);
    ASSERT_EQ(meta->data.size(), 1024u + 24);
    EXPECT_EQ(u32At(meta->data, 1040), 6u);
    EXPECT_EQ(u32At(meta->data, 1044), 7u);
    // The unmount is the last call, after the save's flush.
    ASSERT_FALSE(hh.engine().calls.empty());
    EXPECT_EQ(hh.engine().calls.back().slot, kSlotUnmount);
    EXPECT_EQ(hh.engine().calls.back().phase, 2u);
  }
  // Nothing mounted, nothing answered: the end touches nothing.
  writer().reset();
  HandlerHarness hh;
  hh.recordEndOfRun = true;
  EXPECT_EQ(hh.run(""), static_cast<std::uint16_t>(platform::kSaxErrNoElements & 0xFFFF));
  EXPECT_EQ(hh.engine().count(kSlotUnmount), 0);
  EXPECT_TRUE(writer().calls.empty());
}

// A session end that failed where no request could answer it (the idle
// timer's) is answered once, by the next request after which the host
// counts its archived files safe: a Sync or an unmount names each file lost
// in an "Error" message of its own, their number in one more, and answers
// the failure (a lost file of the metadata store is the engine's, not
// named); the Sync after it finds
// nothing left to answer. Another request (GetVolumeInfo here) leaves it
// for them.
TEST_F(SyncTest, AFailedSessionEndIsAnsweredByTheNextSyncOrUnmountOnce) {
  const struct {
    const char* what;
    std::string request;
    Strings answers;
  } cases[] = {
      {"SyncTime", sync(2, "SyncTime"), {"KelVolume", "Error", "Error", "Error", "HRESULT", "KelSync"}},
      {"SyncMount", sync(2, "SyncMount"), {"KelVolume", "Error", "Error", "Error", "HRESULT", "KelSync"}},
      {"SyncFinalisation", sync(2, "SyncFinalisation"), {"KelVolume", "Error", "Error", "Error", "HRESULT", "KelSync"}},
      {"SyncPreDeallocate", sync(2, "SyncPreDeallocate"), {"KelVolume", "Error", "Error", "Error", "HRESULT", "KelSync"}},
      {"UnmountVolume", line(2, "UnmountVolume"), {"KelVolume", "Error", "Error", "Error", "HRESULT", "Shutdown"}},
      {"GetVolumeInfo", line(2, "GetVolumeInfo"), {"KelVolume", "KelVolume", "Error", "Error", "Error", "HRESULT"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    writer().reset();
    fakeengine::sdk().reset();
    HandlerHarness hh;
    setVolume(hh.engine());
    writer().unreported = kel::SessionEnd{
        110, 3, {{"/p/a b.bin", 7}, {"/$QuorvelData/QVMetaData000000.dat", 8}, {"/p/c", 9}}, {}};
    hh.run(line(1, "Check") + c.request + sync(3, "SyncTime"));
    const Strings elements = hh.elements();
    EXPECT_EQ(names(elements), c.answers);
    Strings errors;
    for (const auto& e : elements)
      if (elementName(e) == "Error") errors.push_back(e.substr(e.find('>') + 1, e.rfind('<') - e.find('>') - 1));
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_EQ(errors[0], "Archived file lost, archive it again: /p/a b.bin");
    EXPECT_EQ(errors[1], "Archived file lost, archive it again: /p/c");
    EXPECT_NE(errors[2].find("2 archived files were lost"), std::string::npos) << errors[2];
    EXPECT_NE(std::find(elements.begin(), elements.end(), hresult(c.what == std::string("GetVolumeInfo") ? 3 : 2,
                                                                  0x8007006E)),
              elements.end());
  }
}

// A session end that fails in a Sync is answered by that Sync, and only
// there: the next Sync answers "KelSync".
TEST_F(SyncTest, ASessionEndThatFailsInTheSyncIsAnsweredThere) {
  FragmentHost host{h};
  writer().end_result = kel::SessionEnd{112, 1, {}, {}};
  // Only the archive's session fails; the metadata file's does not.
  h.probe = [](CKelInterface&) { writer().end_result = {}; };
  h.run(archiveLine(1, "/p/f", 1, 1) + host.archiveCallbacks(1, "data", 64) + sync(2, "SyncTime") +
        probeLine(3) + sync(4, "SyncTime"));
  const Strings all = names(h.elements());
  ASSERT_GE(all.size(), 3u);
  EXPECT_EQ(Strings(all.end() - 3, all.end()), (Strings{"Error", "HRESULT", "KelSync"}));
  EXPECT_EQ(h.elements()[all.size() - 2], hresult(2, 0x80070070));
}

// A rollback mount and the return to the current state leave the store
// with the current volume's files only.
TEST_F(SyncTest, SyncAfterRollbackMountsWritesTheCurrentVolumesRecords) {
  h.setRegistry({kPackedOff});
  h.engine().volume.Dirty = 1;
  const std::string rollback =
      line(2, "RollbackMount", "SlotNumber=\"3\" MetaDataFE_LSN=\"100\" FsdLsn=\"200\"") +
      line(3, "RollbackMount", "SlotNumber=\"0\" MetaDataFE_LSN=\"0\" FsdLsn=\"0\"");
  const std::string rename =
      line(4, "Rename",
           "Name=\"/a/x\" NewName=\"/a/z\" OldGeneration=\"4\" OldVersion=\"5\" NewGeneration=\"6\" "
           "NewVersion=\"7\" KernelInterface=\"0\" BlockNumber=\"0\"");
  h.run(line(1, "Check") + rollback + rename + sync(5, "SyncTime"));
  const Strings got = names(h.elements());
  EXPECT_EQ(got, (Strings{"KelVolume", "KelVolume", "KelVolume", "KelVolume", "KelSync"}));
  const fakeengine::Node* meta = h.engine().find(kMetaFile0);
  ASSERT_NE(meta, nullptr);
  ASSERT_EQ(meta->data.size(), 1024u + 12);
  EXPECT_EQ(u32At(meta->data, 1024), 30u);
  EXPECT_EQ(u32At(meta->data, 1028), 6u);
  EXPECT_EQ(u32At(meta->data, 1032), 7u);
}

}  // namespace

namespace {

// A host's whole session: every request but UnmountVolume gets exactly one
// end-of-request notice, the callbacks none of their own.
TEST_F(SyncTest, EveryRequestButUnmountVolumeHasExactlyOneNotice) {
  FragmentHost host{h};
  h.engine().volume.Dirty = 1;
  const std::string data = pattern(5000, 20);
  const std::string lines =
      line(1, "Check") + archiveLine(2, "/n/f", 1, 1) + host.archiveCallbacks(2, data, 2048) +
      line(3, "ReadDirectory", "Name=\"/n\"") + verifyLine(4, "/n/f", 1, 1) + openFragmentLine(4, 4096) +
      readLine(4) + readLine(4) +
      line(5, "Rename",
           "Name=\"/n/f\" NewName=\"/m/g\" OldGeneration=\"1\" OldVersion=\"1\" NewGeneration=\"2\" "
           "NewVersion=\"2\" KernelInterface=\"0\" BlockNumber=\"0\"") +
      line(6, "Delete", "Name=\"/m/g\" Generation=\"2\" Version=\"2\" KernelInterface=\"0\" BlockNumber=\"0\"") +
      sync(7, "SyncTime") + sync(8, "SyncPreDeallocate") + line(9, "UnmountVolume");
  EXPECT_EQ(h.run(lines), 0);
  EXPECT_EQ(h.notices(), (Strings{"1:12", "2:12", "3:12", "4:12", "5:12", "6:12", "7:12", "8:12"}));
  EXPECT_TRUE(host.received == data);
  const Strings got = names(h.elements());
  EXPECT_EQ(std::count(got.begin(), got.end(), "HRESULT"), 0);
  EXPECT_EQ(got.back(), "Shutdown");
}

}  // namespace
