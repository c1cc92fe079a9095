// "Restore" and "Verify" through the request loop over the fake engine,
// with a host that takes the bytes from the fragment buffer.
#include "kel/handler.h"
#include "support/fragment_host.h"
#include "support/handler_harness.h"
#include "support/recording_writer.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace handlertest;

namespace {

using Strings = std::vector<std::string>;

Strings names(const Strings& elements) {
  Strings out;
  for (const auto& e : elements) out.push_back(elementName(e));
  return out;
}

class RestoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setVolume(h.engine());
    h.engine().addFolder("/$QuorvelData", 50);
    putMetaFile(0, metaFile(10752, "VOL-A", 3, {{30, 4, 5}, {32, 0xFFFFFFFF, 0xFFFFFFFF}}));
    big = pattern(65537, 3);
    h.engine().addFile("/r/big", 30, big.size(), {{700, 33}}, {big.begin(), big.end()});
    h.engine().addFile("/r/empty", 31, 0);
    h.engine().addFile("/r/any", 32, 3, {{800, 1}}, {'x', 'y', 'z'});
  }
  // Calls of a slot in the data phase (the metadata files are read before).
  Strings dataCalls(int slot) {
    Strings out;
    for (const auto& c : h.engine().callsOf(slot))
      if (c.phase == 7) out.push_back(c.text + "@" + std::to_string(c.phase));
    return out;
  }
  Strings reads() { return dataCalls(kSlotReadData); }
  Strings transferred() {
    Strings out;
    for (const auto& f : host.fragments) out.push_back(attribute(f, "BytesTransferred"));
    return out;
  }
  HandlerHarness h;
  FragmentHost host{h};
  std::string big;
};

TEST_F(RestoreTest, VerifyOfAnEmptyFileSendsOneEmptyFragmentThenSuccess) {
  h.run(verifyLine(4, "/r/empty", 0, 0) + openFragmentLine(4, 4096));
  EXPECT_EQ(names(h.elements()), (Strings{"KelFragment", "KelFragment", "KelSuccess"}));
  EXPECT_EQ(attribute(host.fragments[0], "IOSize"), "0");
  EXPECT_EQ(transferred(), (Strings{"0", "0"}));
  EXPECT_EQ(reads(), (Strings{"ReadData(0,4096)@7"}));
  EXPECT_EQ(dataCalls(kSlotCloseFile), (Strings{"CloseFile(0)@7"}));
}

TEST_F(RestoreTest, TheFirstFragmentCarriesSizeAndModificationTime) {
  h.run(restoreLine(4, "/r/big", 4, 5, 0, 0) + failureLine(4, 1));
  ASSERT_EQ(host.fragments.size(), 1u);
  EXPECT_EQ(attribute(host.fragments[0], "FragmentFileSize"), "65537");
  EXPECT_EQ(attribute(host.fragments[0], "ModificationTime"), "1700000100.2");
  // A failure at the first wait opens nothing and answers nothing.
  EXPECT_EQ(h.ordered(), (Strings{"KelFragment", "notice 4:12"}));
  EXPECT_EQ(h.engine().texts(kSlotOpenFile), (Strings{"OpenFile(/$QuorvelData/QVMetaData000000.dat,1)"}));
}

TEST_F(RestoreTest, ARangeIsReadInWholeBuffersFromItsOffset) {
  h.run(restoreLine(4, "/r/big", 4, 5, 100, 50) + openFragmentLine(4, 4096) + readLine(4));
  EXPECT_EQ(reads(), (Strings{"ReadData(100,4096)@7"}));
  EXPECT_EQ(transferred(), (Strings{"0", "4096", "0"}));
  EXPECT_TRUE(host.received == big.substr(100, 4096));
  EXPECT_EQ(names(h.elements()).back(), "KelSuccess");
}

TEST_F(RestoreTest, LengthZeroReadsToTheEnd) {
  h.run(restoreLine(4, "/r/big", 4, 5, 60000, 0) + openFragmentLine(4, 4096) + readLine(4) + readLine(4));
  EXPECT_EQ(transferred(), (Strings{"0", "4096", "1441", "0"}));
  EXPECT_TRUE(host.received == big.substr(60000));
}

TEST_F(RestoreTest, StoredVersionsDecideWhetherTheFileIsFound) {
  struct Case {
    const char* what;
    std::string file;
    std::uint32_t g, v;
    bool found;
  } cases[] = {{"same pair", "/r/any", 7, 7, true},  // stored 0xFFFFFFFF accepts any
               {"matching", "/r/big", 4, 5, true},
               {"other version", "/r/big", 4, 6, false},
               {"other generation", "/r/big", 3, 5, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HandlerHarness hh;
    FragmentHost hhost{hh};
    setVolume(hh.engine());
    putMetaFile(0, metaFile(10752, "VOL-A", 3, {{30, 4, 5}, {32, 0xFFFFFFFF, 0xFFFFFFFF}}));
    hh.engine().addFile("/r/big", 30, 3, {{700, 1}}, {'a', 'b', 'c'});
    hh.engine().addFile("/r/any", 32, 3, {{800, 1}}, {'x', 'y', 'z'});
    hh.run(verifyLine(4, c.file, c.g, c.v) + (c.found ? openFragmentLine(4, 16) + readLine(4) : ""));
    if (c.found) {
      EXPECT_EQ(names(hh.elements()).back(), "KelSuccess");
      EXPECT_EQ(hhost.received.size(), 3u);
    } else {
      EXPECT_EQ(hh.elements(), (Strings{hresult(4, 0x80070002)}));
    }
  }
}

TEST_F(RestoreTest, FailureCallbackAfterDataClosesTheFileAndSendsOnlyTheNotice) {
  h.run(restoreLine(4, "/r/big", 4, 5, 0, 0) + openFragmentLine(4, 4096) + failureLine(4, 9) +
        line(5, "GetVolumeInfo"));
  EXPECT_EQ(h.ordered(), (Strings{"KelFragment", "KelFragment", "notice 4:12", "KelVolume", "notice 5:12"}));
  EXPECT_EQ(dataCalls(kSlotCloseFile), (Strings{"CloseFile(0)@7"}));
}

TEST_F(RestoreTest, NoBufferForAFileWithDataIsRefused) {
  h.run(verifyLine(4, "/r/big", 4, 5) + openFragmentLine(4, 0));
  EXPECT_EQ(h.elements().back(), hresult(4, 0x80070057));
  EXPECT_TRUE(reads().empty());
}

TEST_F(RestoreTest, AReadErrorIsAnsweredAfterTheFileIsClosed) {
  h.engine().failPath(kSlotReadData, "/r/big", 5);
  h.run(verifyLine(4, "/r/big", 4, 5) + openFragmentLine(4, 4096));
  EXPECT_EQ(dataCalls(kSlotCloseFile), (Strings{"CloseFile(0)@7"}));
  EXPECT_EQ(h.ordered(), (Strings{"KelFragment", "notice 4:12", "HRESULT"}));
}

// Data that ends before the file's size is a failure, not the end of the
// file: the host would keep a cut file. A range inside the data, or one cut
// at the size, is answered whole.
TEST_F(RestoreTest, DataEndingBeforeTheSizeFailsTheRestore) {
  h.engine().addFile("/r/short", 33, 0, {{900, 5}}, std::vector<std::uint8_t>(4096, 'q'));
  h.engine().find("/r/short")->size = 10000;
  h.run(restoreLine(4, "/r/short", 0xFFFFFFFF, 0xFFFFFFFF, 0, 0) + openFragmentLine(4, 4096) + readLine(4));
  EXPECT_EQ(reads(), (Strings{"ReadData(0,4096)@7", "ReadData(4096,4096)@7"}));
  EXPECT_EQ(transferred(), (Strings{"0", "4096"})) << "no fragment of 0 bytes: the data did not end";
  EXPECT_EQ(h.elements().back(), hresult(4, 0x8007001E));
  EXPECT_EQ(dataCalls(kSlotCloseFile), (Strings{"CloseFile(0)@7"}));
  host.fragments.clear();
  h.run(restoreLine(5, "/r/short", 0xFFFFFFFF, 0xFFFFFFFF, 100, 50) + openFragmentLine(5, 4096) + readLine(5));
  EXPECT_EQ(names(h.elements()).back(), "KelSuccess") << "a range inside the data";
  host.fragments.clear();
  h.run(restoreLine(6, "/r/big", 4, 5, 65000, 9000) + openFragmentLine(6, 4096) + readLine(6));
  EXPECT_EQ(names(h.elements()).back(), "KelSuccess") << "a range cut at the size";
}

// A hidden object (a file's parity stream) is no file of the host's:
// Restore and Verify answer not found and open nothing.
TEST_F(RestoreTest, AHiddenObjectIsNotFound) {
  h.engine().addFile("/r/any#*ECC_Parity_V100_N=2064_K=2048", 40, 3, {{810, 1}}, {'p', 'q', 'r'});
  h.engine().find("/r/any#*ECC_Parity_V100_N=2064_K=2048")->flags = 0x8000;
  h.run(verifyLine(4, "/r/any#*ECC_Parity_V100_N=2064_K=2048", 0xFFFFFFFF, 0xFFFFFFFF));
  EXPECT_EQ(h.elements(), (Strings{hresult(4, 0x80070002)}));
  EXPECT_TRUE(reads().empty());
  EXPECT_TRUE(dataCalls(kSlotOpenFile).empty());
}

// A packed file has a placeholder until its session ends: a Restore before
// then ends the session first and hands over the file's own bytes.
TEST_F(RestoreTest, APackedFileBeforeItsSessionEndedGivesItsBytes) {
  const std::string data = pattern(3000, 11);
  h.run(archiveLine(3, "/p/new", 1, 1) + host.archiveCallbacks(3, data, 4096) + verifyLine(4, "/p/new", 1, 1) +
        openFragmentLine(4, 4096) + readLine(4));
  EXPECT_EQ(writer().callsNamed("EndSession"), (Strings{"EndSession@4"}));
  EXPECT_TRUE(host.received == data);
}

}  // namespace
