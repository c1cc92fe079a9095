// The request handlers through the real request loop over the real slots
// and engine in this process, on the simulated drive: the requests whose
// handler tests run over the fake engine without an injected slot failure
// (Check, GetVolumeInfo, ReadDirectory, the folder requests, RollbackMount)
// run once more on a real volume.
#include "engine_on_sim.h"

#if KEL_ENGINE_MAIN_HANDLERS

#include "kel/handler.h"
#include "interface/support/handler_harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

using handlertest::attribute;
using handlertest::elementName;
using handlertest::HandlerHarness;
using handlertest::hresult;
using handlertest::line;
using handlertest::probeLine;

namespace {

using Strings = std::vector<std::string>;

std::string folderOp(std::uint64_t seq, const char* op, const std::string& name) {
  return line(seq, op, "Name=\"" + name + "\" KernelInterface=\"0\" BlockNumber=\"0\"");
}
std::string renameDir(std::uint64_t seq, const std::string& from, const std::string& to) {
  return line(seq, "RenameDirectory",
              "Name=\"" + from + "\" NewName=\"" + to + "\" KernelInterface=\"0\" BlockNumber=\"0\"");
}
std::string list(std::uint64_t seq, const std::string& name) {
  return line(seq, "ReadDirectory", "Name=\"" + name + "\"");
}
std::string rollbackMount(std::uint64_t seq, std::uint32_t slot, std::uint32_t fe, std::uint32_t fsd) {
  return line(seq, "RollbackMount",
              "SlotNumber=\"" + std::to_string(slot) + "\" MetaDataFE_LSN=\"" + std::to_string(fe) +
                  "\" FsdLsn=\"" + std::to_string(fsd) + "\"");
}

class RealHandlers : public ::testing::Test {
 protected:
  void SetUp() override {
    cookie_ = h_.cookieText();
    cache_ = (std::filesystem::path(h_.sim().directory()) / "cache").string();
    argv_ = {program_.data(), cookie_.data(), cache_.data(), nullptr};
    ASSERT_EQ(quorvel_kel_init(3, const_cast<const char**>(argv_.data())), 0);
    ASSERT_EQ(Initialise(3, argv_.data()), 0);
  }
  void TearDown() override { enginetest::stop_engine(); }
  void run(const std::string& requests) { h_.run(requests, &kelmain::operation_table()); }
  // The elements since the last call, as "ObjectName" for listing entries
  // and the element name for others.
  Strings summary() {
    Strings out;
    for (const auto& e : h_.newElements())
      out.push_back(elementName(e) == "KelDirent" ? attribute(e, "ObjectName") : elementName(e));
    return out;
  }
  // Drive commands sent for request seq in phase.
  std::size_t commands(std::uint64_t seq, std::uint32_t phase) {
    std::size_t n = 0;
    for (const auto& e : h_.transcript())
      if (!e.is_notice() && e.sequence == seq && e.phase == phase) ++n;
    return n;
  }

  HandlerHarness h_;
  std::string program_ = "KelDriver", cookie_, cache_;
  std::vector<char*> argv_;
};

TEST_F(RealHandlers, TwoChecksMountOnceAndEachAnswerPrecedesItsNotice) {
  run(line(1, "Check") + line(2, "Recognise"));
  EXPECT_EQ(h_.ordered(), (Strings{"KelVolume", "notice 1:12", "KelVolume", "notice 2:12"}));
  EXPECT_GT(commands(1, 1), 0u) << "the first Check mounts";
  EXPECT_EQ(commands(2, 1), 0u) << "the second does not";
  const Strings els = h_.elements();
  ASSERT_EQ(els.size(), 2u);
  for (const auto& e : els) {
    EXPECT_EQ(attribute(e, "BlockSize"), "2048");
    EXPECT_EQ(attribute(e, "VolumeType"), "0");
    EXPECT_EQ(attribute(e, "ParityRatio"), "128");
    EXPECT_EQ(attribute(e, "QuorvelReplica"), "4294967295") << "a new volume holds no identity";
  }
  EXPECT_EQ(attribute(els[1], "SequenceNumber"), "2");
}

TEST_F(RealHandlers, GetVolumeInfoMountsOnDemandAndFollowsTheVolume) {
  run(line(4, "GetVolumeInfo") + folderOp(5, "CreateDirectory", "/a") + line(6, "GetVolumeInfo"));
  EXPECT_GT(commands(4, 1), 0u);
  const Strings els = h_.elements();
  ASSERT_EQ(els.size(), 3u);
  EXPECT_EQ(elementName(els[0]), "KelVolume");
  EXPECT_EQ(attribute(els[0], "QuorvelVolumeID"), "");
  const int before = std::stoi(attribute(els[0], "DirectoryCount"));
  EXPECT_EQ(std::stoi(attribute(els[2], "DirectoryCount")), before + 1);
  EXPECT_EQ(h_.ordered(), (Strings{"KelVolume", "notice 4:12", "KelVolume", "notice 5:12", "KelVolume",
                                   "notice 6:12"}));
}

TEST_F(RealHandlers, CreateDirectoryMakesEveryMissingFolderOnce) {
  run(folderOp(1, "CreateDirectory", "/p/q") + folderOp(2, "CreateDirectory", "/p/q") +
      folderOp(3, "CreateDirectory", "/a") + list(4, "/") + list(5, "/p"));
  // Each listing ends with the entry of no name.
  EXPECT_EQ(summary(), (Strings{"KelVolume", "KelVolume", "KelVolume", "p", "a", "", "q", ""}));
}

TEST_F(RealHandlers, RenameDirectoryMovesTheWholeFolderAndAMissingOneMakesNothing) {
  run(folderOp(1, "CreateDirectory", "/a/x") + renameDir(2, "/nope", "/new/place") +
      renameDir(3, "/a", "/z/a2") + list(4, "/") + list(5, "/z/a2"));
  const Strings els = h_.elements();
  ASSERT_GE(els.size(), 2u);
  EXPECT_EQ(els[1], hresult(2, 0x80070002));
  EXPECT_EQ(summary(), (Strings{"KelVolume", "HRESULT", "KelVolume", "z", "", "x", ""}));
}

TEST_F(RealHandlers, DeleteDirectoryWorksOnTheNameAlone) {
  run(folderOp(1, "CreateDirectory", "/empty") + folderOp(2, "CreateDirectory", "/keep") +
      folderOp(3, "DeleteDirectory", "/empty") + list(4, "/"));
  EXPECT_EQ(summary(), (Strings{"KelVolume", "KelVolume", "KelVolume", "keep", ""}));
}

// The metadata folder, made hidden as the writer makes it, is never listed,
// in any spelling.
TEST_F(RealHandlers, TheMetadataFolderIsNeitherListedNorListsAnything) {
  h_.probe = [](CKelInterface&) {
    ASSERT_EQ(kelmain::CreateDirectory("/", "$QuorvelData", true), 0);
    ASSERT_EQ(kelmain::CreateDirectory("/$QuorvelData", "inside", false), 0);
  };
  run(folderOp(1, "CreateDirectory", "/x") + probeLine(2) + list(3, "/") + list(4, "/$QuorvelData") + list(5, "/$quorveldata") + list(6, "//$QUORVELDATA/") +
      list(7, "//"));
  EXPECT_EQ(summary(), (Strings{"KelVolume", "x", "", "x", ""}));
}

// A rollback point at location 0 is the volume's default state: the volume
// is mounted again with the default mount, and no rollback values are kept.
TEST_F(RealHandlers, RollbackMountWithAZeroLocationMountsTheDefault) {
  run(line(1, "Check") + folderOp(2, "CreateDirectory", "/kept") + rollbackMount(3, 7, 0, 99) +
      rollbackMount(4, 7, 99, 0) + list(5, "/"));
  EXPECT_EQ(summary(), (Strings{"KelVolume", "KelVolume", "KelVolume", "KelVolume", "kept", ""}));
  EXPECT_GT(commands(3, 1), 0u) << "mounted again";
  std::uint32_t slot = 0;
  int size = sizeof slot;
  config_get_uint32(0, "Rollback Slot Number", &size, &slot);
  EXPECT_NE(slot, 7u);
}

}  // namespace

#endif  // KEL_ENGINE_MAIN_HANDLERS
