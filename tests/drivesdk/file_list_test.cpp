// The file-node list: the engine's walk translated on the volume handle and
// the tree built from it, through the real pipe to the simulated drive.
#include "dup_support.h"

#include "drive_ctrl.h"

#include <cstring>

namespace sdktest {
namespace {

using PxoUtilityLib::DirNode;
using PxoUtilityLib::FileList;

class FileListTest : public SdkSimTest {
 protected:
  void SetUp() override {
    start();
    engine.install();
  }
  std::uint32_t list(const std::u16string& directory, FileList& out) {
    PxoUtilityLib::DriveCtrl drive(path(), false);
    EXPECT_EQ(drive.openReadOnly(), 0u);
    return drive.makeFileList(directory, out);
  }
  static std::vector<std::string> names(const DirNode& d) {
    std::vector<std::string> out;
    for (const auto& s : d.dirs) out.push_back("d:" + narrowText(s->name));
    for (const auto& i : d.items) out.push_back("f:" + narrowText(i.name) + "=" + std::to_string(i.size));
    return out;
  }
  EngineVolume engine;
};

TEST_F(FileListTest, DepthFirstWalkAttachesToTheOpenPathAndCountsEveryNode) {
  engine.add("/a", 0, 0x10);
  engine.add("/a/f1", 10, 0);
  engine.add("/a/b", 0, 0x10);
  engine.add("/a/b/f2", 20, 0x01);
  engine.add("/g", 5, 0x08);  // back up two levels
  engine.add("/c", 0, 0x10);
  engine.add("/c/l", 77, 0x400);  // a link: size 0, not followed
  FileList out;
  ASSERT_EQ(list(u"\\", out), 0u);
  ASSERT_TRUE(out.root);
  EXPECT_EQ(out.nodeCount, 8u);  // the walk of the root: every node, the root too
  EXPECT_EQ(narrowText(out.root->name), "");
  EXPECT_EQ(names(*out.root), (std::vector<std::string>{"d:a", "d:c", "f:g=5"}));
  const DirNode& a = *out.root->dirs[0];
  EXPECT_EQ(names(a), (std::vector<std::string>{"d:b", "f:f1=10"}));
  EXPECT_EQ(names(*a.dirs[0]), (std::vector<std::string>{"f:f2=20"}));
  EXPECT_EQ(a.dirs[0]->items[0].attributes, 0x01u);
  EXPECT_EQ(a.items[0].attributes, 0u);  // the engine's execute bit is not an attribute here
  EXPECT_EQ(names(*out.root->dirs[1]), (std::vector<std::string>{"f:l=0"}));
  EXPECT_EQ(out.itemCount, 4u);
  EXPECT_EQ(out.dirCount, 3u);
  EXPECT_EQ(out.totalSize, 35u);
  // A count query, then the walk with one entry beyond the SDK's buffer.
  ASSERT_EQ(engine.listRequests.size(), 2u);
  EXPECT_EQ(engine.listRequests[0], (std::pair<std::string, std::uint32_t>{"/", 0}));
  EXPECT_EQ(engine.listRequests[1], (std::pair<std::string, std::uint32_t>{"/", 9 * 1004}));
}

TEST_F(FileListTest, SubdirectoryListIsHeadedByItsOwnName) {
  engine.add("/a", 0, 0x10);
  engine.add("/a/f1", 10, 0);
  engine.add("/a/b", 0, 0x10);
  engine.add("/a/b/f2", 20, 0);
  engine.add("/z", 3, 0);
  FileList out;
  ASSERT_EQ(list(u"\\a\\", out), 0u);
  EXPECT_EQ(narrowText(out.root->name), "a");
  EXPECT_EQ(out.itemCount, 2u);
  EXPECT_EQ(out.dirCount, 1u);
  EXPECT_EQ(out.totalSize, 30u);
  EXPECT_EQ(engine.listRequests.back().first, "/a");
}

TEST_F(FileListTest, EmptyVolumeGivesTheRootAlone) {
  FileList out;
  ASSERT_EQ(list(u"\\", out), 0u);
  ASSERT_TRUE(out.root);
  EXPECT_TRUE(out.root->dirs.empty() && out.root->items.empty());
  EXPECT_EQ(out.itemCount + out.dirCount, 0u);
  EXPECT_EQ(out.totalSize, 0u);
}

TEST_F(FileListTest, RecordOffTheOpenPathEndsTheAnalysisKeepingTheTree) {
  engine.add("/f", 4, 0);
  engine.nodes.push_back({"/lost", 50, 99, 1, 0});
  engine.add("/after", 8, 0);
  FileList out;
  EXPECT_EQ(list(u"\\", out), 0x6000301u);
  ASSERT_TRUE(out.root);
  EXPECT_EQ(names(*out.root), (std::vector<std::string>{"f:f=4"}));
  EXPECT_TRUE(host().logged("MDCFSCTL_GET_FILE_NODE_LIST analize error name(lost) not found"));
}

TEST_F(FileListTest, NamesUpTo128UnitsPassLongerOnesRefuseTheList) {
  struct Case {
    std::size_t length;
    std::uint32_t result;
  };
  for (const Case c : {Case{128, 0u}, Case{129, 0x121800u}}) {
    EngineVolume fresh;
    engine = fresh;
    engine.install();
    engine.add("/" + std::string(c.length, 'n'), 1, 0);
    FileList out;
    EXPECT_EQ(list(u"\\", out), c.result) << c.length;
    if (c.result == 0) {
      EXPECT_EQ(out.root->items.at(0).name.size(), c.length);
    }
  }
}

TEST_F(FileListTest, WalkLongerThanTheCountIsRefusedNotCut) {
  engine.add("/a", 1, 0);
  engine.add("/b", 2, 0);
  engine.add("/c", 3, 0);
  engine.countOverride = 1;  // the engine's count falls short of its walk
  FileList out;
  EXPECT_EQ(list(u"\\", out), 0x121800u);
  EXPECT_FALSE(out.root);
}

// A volume road that answers a count of 0: the list stays empty.
class ZeroCount : public PxoUtilityLib::VolumeControl {
 public:
  DWORD control(std::uint32_t code, const void*, std::uint32_t, void* output, std::uint32_t capacity,
                std::uint32_t* returned) override {
    codes.push_back(code);
    std::memset(output, 0, capacity);
    *returned = 8;
    return 0;
  }
  std::vector<std::uint32_t> codes;
};

TEST_F(FileListTest, FirstCountOfZeroGivesAnEmptyList) {
  PxoUtilityLib::DriveCtrl drive(path(), false);
  ASSERT_EQ(drive.openReadOnly(), 0u);
  ZeroCount road;
  drive.bindVolumeControl(road);
  FileList out;
  out.itemCount = 7;
  EXPECT_EQ(drive.makeFileList(u"\\", out), 0u);
  EXPECT_FALSE(out.root);
  EXPECT_EQ(out.itemCount, 0u);
  EXPECT_EQ(road.codes, (std::vector<std::uint32_t>{0xC1247056}));
}

TEST_F(FileListTest, FailingEngineGivesTheListError) {
  host().controlAnswers[0xC1247056] = {22};
  FileList out;
  EXPECT_EQ(list(u"\\", out), 0x121800u);
  EXPECT_TRUE(host().logged("getFileNodeListNum error"));
}

}  // namespace
}  // namespace sdktest
