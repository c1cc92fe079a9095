// "ReadDirectory" through the request loop over the fake engine.
#include "kel/handler.h"
#include "support/handler_harness.h"

#include <gtest/gtest.h>

using handlertest::attribute;
using handlertest::elementName;
using handlertest::HandlerHarness;
using handlertest::hresult;
using handlertest::line;
using handlertest::putMetaFile;
using handlertest::setVolume;

namespace {

using Strings = std::vector<std::string>;

class ReadDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setVolume(h.engine());
    h.engine().addFolder("/$QuorvelData", 50);
    putMetaFile(0, handlertest::metaFile(10752, "VOL-A", 3, {{20, 5, 6}}));
    h.engine().addFile("/x.dat", 20, 4096, {{7000, 2}});
    h.engine().addFolder("/sub", 21);
    h.engine().addFile("/sub/y.dat", 22, 10, {{8000, 1}});
    h.engine().addFile("/sub/frag.dat", 23, 3 * 4096, {{100, 1}, {200, 2}, {300, 3}});
  }
  static std::string list(std::uint64_t seq, const std::string& name) {
    return line(seq, "ReadDirectory", "Name=\"" + name + "\"");
  }
  // "name gen/ver" of each element.
  Strings summary() {
    Strings out;
    for (const auto& e : h.elements()) {
      if (elementName(e) != "KelDirent") {
        out.push_back(elementName(e));
        continue;
      }
      out.push_back(attribute(e, "ObjectName") + " " + attribute(e, "Generation") + "/" +
                    attribute(e, "Version"));
    }
    return out;
  }
  HandlerHarness h;
};

TEST_F(ReadDirectoryTest, RootListsEveryEntryOnceHidesTheMetadataFolderAndCloses) {
  h.run(list(3, "/"));
  EXPECT_EQ(summary(), (Strings{"x.dat 5/6", "sub 4294967295/4294967295",
                                " 4294967295/4294967295"}));
  const Strings els = h.elements();
  EXPECT_EQ(attribute(els[0], "ObjectID"), "20");
  EXPECT_EQ(attribute(els[0], "Size"), "4096");
  EXPECT_EQ(attribute(els[0], "Type"), "2");
  EXPECT_EQ(attribute(els[0], "Fragment"), "0");
  EXPECT_EQ(attribute(els[0], "SpaceEntries.Count"), "1");
  EXPECT_EQ(attribute(els[0], "SpaceEntries.0.BlockNumber"), "7000");
  EXPECT_EQ(attribute(els[1], "Type"), "1");
  EXPECT_EQ(attribute(els[2], "SequenceNumber"), "3");
  EXPECT_EQ(attribute(els[2], "SpaceEntries.Count"), "0");
  EXPECT_EQ(h.ordered(), (Strings{"KelDirent", "KelDirent", "KelDirent", "notice 3:12"}));
  // Mount, then the listing and its lookups in phase 3.
  EXPECT_EQ(h.engine().callsOf(kSlotMountDefault).size(), 1u);
  for (const auto& c : h.engine().calls) {
    if (c.slot == kSlotReadDirectory || c.slot == kSlotGetPathInfo) {
      EXPECT_EQ(c.phase, 3u) << c.text;
      EXPECT_EQ(c.seq, 3u) << c.text;
    }
  }
  // "." and ".." are passed over; the metadata folder is looked up but
  // not listed.
  EXPECT_EQ(h.engine().texts(kSlotGetPathInfo),
            (Strings{"GetPathInfo(/$QuorvelData,1)", "GetPathInfo(/x.dat,1)", "GetPathInfo(/sub,1)"}));
}

TEST_F(ReadDirectoryTest, TheMetadataFolderListsNothingAtAll) {
  h.run(list(4, "/$QuorvelData"));
  EXPECT_EQ(h.ordered(), (Strings{"notice 4:12"}));
}

// The engine resolves runs of "/" like one and names without regard to
// case, so other spellings of the metadata folder stay hidden too.
TEST_F(ReadDirectoryTest, OtherSpellingsOfTheMetadataFolderStayHidden) {
  h.run(list(1, "/$QuorvelData/") + list(2, "//$QuorvelData") + list(4, "/$quorveldata") +
        list(5, "//$QUORVELDATA/") + list(3, "//"));
  Strings got = summary();
  EXPECT_EQ(got, (Strings{"x.dat 5/6", "sub 4294967295/4294967295", " 4294967295/4294967295"}));
  EXPECT_EQ(h.ordered().front(), "notice 1:12");
}

// A metadata folder that another program wrote in other letter case is the
// same folder to the engine, and is not listed.
TEST_F(ReadDirectoryTest, TheMetadataFolderInAnotherCaseIsNotListed) {
  h.engine().reset();
  setVolume(h.engine());
  h.engine().addFolder("/$QUORVELdata", 50);
  h.engine().addFile("/$QUORVELdata/QVMetaData000000.dat", 60, 1024);
  h.engine().addFile("/x.dat", 20, 4096, {{7000, 2}});
  h.run(list(1, "/"));
  EXPECT_EQ(summary(), (Strings{"x.dat 4294967295/4294967295", " 4294967295/4294967295"}));
}

TEST_F(ReadDirectoryTest, AllExtentsOfAFileAreListedAndFolderPathsAreJoinedOnce) {
  h.run(list(5, "/sub/"));
  const Strings els = h.elements();
  ASSERT_EQ(els.size(), 3u);
  EXPECT_EQ(attribute(els[1], "ObjectName"), "frag.dat");
  EXPECT_EQ(attribute(els[1], "SpaceEntries.Count"), "3");
  EXPECT_EQ(attribute(els[1], "SpaceEntries.0.BlockNumber"), "100");
  EXPECT_EQ(attribute(els[1], "SpaceEntries.1.BlockNumber"), "200");
  EXPECT_EQ(attribute(els[1], "SpaceEntries.2.BlockNumber"), "300");
  EXPECT_EQ(attribute(els[1], "SpaceEntries.2.NumberOfBlocks"), "3");
  // No metadata record for these: unknown generation and version.
  EXPECT_EQ(attribute(els[0], "Generation"), "4294967295");
  EXPECT_EQ(h.engine().texts(kSlotGetPathInfo),
            (Strings{"GetPathInfo(/sub/y.dat,1)", "GetPathInfo(/sub/frag.dat,1)", "GetPathInfo(/sub/frag.dat,3)"}));
  EXPECT_EQ(attribute(els[2], "ObjectName"), "");
}

// The listing shows what the folder holds for the host: an entry that left
// the folder between the engine's reading and its lookup (not found), and
// an object the volume keeps hidden (a parity stream), are left out, and
// the listing goes on to its closing entry.
TEST_F(ReadDirectoryTest, EntriesGoneOrHiddenAreLeftOutAndTheListingCloses) {
  h.engine().addFile("/sub/y.dat#*ECC_Parity_V100_N=2064_K=2048", 24, 16, {{8100, 1}});
  h.engine().find("/sub/y.dat#*ECC_Parity_V100_N=2064_K=2048")->flags = 0x8000;
  h.engine().failPath(kSlotGetPathInfo, "/sub/y.dat", 2);
  h.run(list(6, "/sub"));
  EXPECT_EQ(summary(), (Strings{"frag.dat 4294967295/4294967295", " 4294967295/4294967295"}));
}

TEST_F(ReadDirectoryTest, FailuresAnswerHresultAfterWhatWasSent) {
  struct Case {
    const char* what;
    std::string folder;
    int slot;
    std::string path;
    int result;
    Strings expect;
  } cases[] = {
      {"missing folder", "/nothing", -1, "", 0, {"HRESULT"}},
      {"lookup of the second entry", "/sub", kSlotGetPathInfo, "/sub/frag.dat", 13, {"y.dat 4294967295/4294967295", "HRESULT"}},
      {"listing itself", "/sub", kSlotReadDirectory, "/sub", 28, {"HRESULT"}},
  };
  const std::uint32_t hrs[] = {0x80070002, 0x80070015, 0x80070070};
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    HandlerHarness hh;
    setVolume(hh.engine());
    hh.engine().addFile("/sub/y.dat", 22, 10, {{8000, 1}});
    hh.engine().addFile("/sub/frag.dat", 23, 3 * 4096, {{100, 1}, {200, 2}, {300, 3}});
    if (c.slot >= 0) hh.engine().failPath(c.slot, c.path, c.result);
    hh.run(list(6, c.folder));
    Strings got;
    for (const auto& e : hh.elements())
      got.push_back(elementName(e) == "KelDirent"
                        ? attribute(e, "ObjectName") + " " + attribute(e, "Generation") + "/" + attribute(e, "Version")
                        : elementName(e));
    EXPECT_EQ(got, c.expect) << c.what;
    EXPECT_EQ(hh.elements().back(), hresult(6, hrs[i])) << c.what;
    EXPECT_EQ(hh.ordered().back(), "HRESULT") << c.what;
  }
}

}  // namespace
