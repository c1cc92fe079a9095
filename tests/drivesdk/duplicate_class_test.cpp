// The duplication through the class interface: a single drive retrieved to
// a temporary copy, the cartridge changed, the copy written back; handles,
// room verdicts and the progress adapter.
#include "dup_support.h"

#include "duplicate.h"
#include "utility_impl.h"

#include "platform/drive_letters.h"

#include <filesystem>
#include <sys/stat.h>

namespace sdktest {
namespace {

using kelutil::KelUtility;

struct Percentages : kelutil::DuplicateVolumeCallback {
  std::vector<std::uint32_t> seen;
  void progress(std::uint32_t percent) override { seen.push_back(percent); }
};

class DuplicateClassTest : public SdkSimTest {
 protected:
  void SetUp() override {
    start();
    engine.install();
    ASSERT_TRUE(platform::drive_letter_assign(u'S', {narrowText(path()), src.path()}));
  }
  void file(const std::string& rel, const Bytes& data) {
    writeFile(src / rel, data);
    engine.add("/" + rel, data.size(), 0);
  }
  // The next cartridge in the same drive: an empty volume in another folder.
  void changeCartridge() {
    ASSERT_TRUE(platform::drive_letter_assign(u'S', {narrowText(path()), next.path()}));
  }
  std::size_t attributeWrites() const {
    std::size_t n = 0;
    for (unsigned code : host().controlCodes()) n += code == 0x800C7035;
    return n;
  }

  RegistryScope registry;
  ScratchDir src, next, tmp;
  EngineVolume engine;
};

TEST_F(DuplicateClassTest, RetrieveThenDuplicateOnASingleDriveAndCloseRemovesTheCopy) {
  ASSERT_EQ(::mkdir((src / "d").c_str(), 0777), 0);
  engine.add("/d", 0, 0x10);
  file("d/a", pattern(300));
  file("b", pattern(100));
  host().attributes[0x0806] = {1, Bytes(32, 'v')};
  void* handle = nullptr;
  ASSERT_EQ(KelUtility::OpenDuplicateMedia(u"S:\\", kelutil::DuplicateVolume_CMCopy, handle), 0u);
  ASSERT_NE(handle, nullptr);
  bool mediumFlag = false;
  kelutil::DuplicateVolume_CheckResult verdict = kelutil::DuplicateVolume_TooManyEntries;
  EXPECT_EQ(KelUtility::CheckFreeSpaceMedia(handle, kelutil::DuplicateVolume_Directory, wide(tmp.path()), false,
                                            mediumFlag, verdict),
            0u);
  EXPECT_EQ(verdict, kelutil::DuplicateVolume_Enough);
  Percentages progress;
  ASSERT_EQ(KelUtility::RetrieveVolumeforSingle(handle, wide(tmp.path()), kelutil::DuplicateVolume_RetryOnce,
                                                &progress),
            0u);
  EXPECT_EQ(readFile(tmp / "d/a"), pattern(300));
  ASSERT_FALSE(progress.seen.empty());
  EXPECT_EQ(progress.seen.back(), 100u);
  kelutil::DuplicateVolumeResult counts{};
  KelUtility::duplicateResultCopy(counts, handle);
  EXPECT_EQ(counts.Values[0], 2u);
  EXPECT_EQ(counts.Values[1], 2u);

  changeCartridge();
  host().controls.clear();
  ASSERT_EQ(KelUtility::DuplicateVolumeforSingle(handle, kelutil::DuplicateVolume_StopOnError, false, &progress), 0u);
  EXPECT_EQ(readFile(next / "d/a"), pattern(300));
  EXPECT_EQ(readFile(next / "b"), pattern(100));
  EXPECT_EQ(attributeWrites(), 1u);  // the copy flag 0 asks for the attributes
  ASSERT_EQ(KelUtility::CloseDuplicateMedia(handle), 0u);
  EXPECT_TRUE(std::filesystem::is_empty(tmp.path()));
  EXPECT_TRUE(exists(next / "d/a"));
  // The handle is gone with its close.
  EXPECT_EQ(KelUtility::CloseDuplicateMedia(handle), 0x6000305u);
}

TEST_F(DuplicateClassTest, TheCallersCopyFlagGoesOnInverted) {
  file("b", {1});
  host().attributes[0x1505] = {1, Bytes(8, 1)};
  void* handle = nullptr;
  ASSERT_EQ(KelUtility::OpenDuplicateMedia(u"S:", kelutil::DuplicateVolume_CMNoCopy, handle), 0u);
  ASSERT_EQ(KelUtility::RetrieveVolumeforSingle(handle, wide(tmp.path()), kelutil::DuplicateVolume_StopOnError,
                                                nullptr),
            0u);
  changeCartridge();
  host().controls.clear();
  ASSERT_EQ(KelUtility::DuplicateVolumeforSingle(handle, kelutil::DuplicateVolume_StopOnError, false, nullptr), 0u);
  EXPECT_EQ(attributeWrites(), 0u);
  EXPECT_EQ(KelUtility::CloseDuplicateMedia(handle), 0u);
}

TEST_F(DuplicateClassTest, BadHandlesAreRefusedByEveryMethod) {
  int notAHandle = 0;
  for (void* handle : {static_cast<void*>(nullptr), static_cast<void*>(&notAHandle)}) {
    bool flag = false;
    kelutil::DuplicateVolume_CheckResult verdict{};
    EXPECT_EQ(KelUtility::CloseDuplicateMedia(handle), 0x6000305u);
    EXPECT_EQ(KelUtility::CheckFreeSpaceMedia(handle, kelutil::DuplicateVolume_Directory, u"/", false, flag, verdict),
              0x6000305u);
    EXPECT_EQ(KelUtility::RetrieveVolumeforSingle(handle, u"/", kelutil::DuplicateVolume_StopOnError, nullptr),
              0x6000305u);
    EXPECT_EQ(KelUtility::DuplicateVolumeforSingle(handle, kelutil::DuplicateVolume_StopOnError, false, nullptr),
              0x6000305u);
  }
}

TEST_F(DuplicateClassTest, VerdictIsStoredOnlyWhenTheCheckAnswersZero) {
  file("b", {1});
  void* handle = nullptr;
  ASSERT_EQ(KelUtility::OpenDuplicateMedia(u"S:\\", kelutil::DuplicateVolume_CMNoCopy, handle), 0u);
  bool flag = false;
  kelutil::DuplicateVolume_CheckResult verdict = kelutil::DuplicateVolume_TooManyEntries;
  // No drive behind Q: the check cannot open it.
  EXPECT_NE(KelUtility::CheckFreeSpaceMedia(handle, kelutil::DuplicateVolume_KelDrive, u"Q:\\", false, flag, verdict),
            0u);
  EXPECT_EQ(verdict, kelutil::DuplicateVolume_TooManyEntries);
  EXPECT_EQ(KelUtility::CloseDuplicateMedia(handle), 0u);
}

TEST_F(DuplicateClassTest, OpenOfAVolumeWithoutMediumAnswersItsCode) {
  void* handle = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(KelUtility::OpenDuplicateMedia(u"Q:\\", kelutil::DuplicateVolume_CMNoCopy, handle), 0x220003u);
  EXPECT_EQ(handle, reinterpret_cast<void*>(0x1));
}

// Outside the engine's process no control callback is set: the open fails
// at the engine's first control, and the log says why.
TEST_F(DuplicateClassTest, WithoutAnEngineHostTheOpenFailsAndTheLogSaysWhy) {
  host().install(0x5151, 4, /*withControl=*/false);
  void* handle = nullptr;
  EXPECT_EQ(KelUtility::OpenDuplicateMedia(u"S:\\", kelutil::DuplicateVolume_CMNoCopy, handle), 0x121600u);
  EXPECT_EQ(handle, nullptr);
  EXPECT_TRUE(host().logged("protectVolumeFromChange error"));
  EXPECT_TRUE(host().logged("no engine host in this process"));
}

TEST(DuplicateProgressAdapter, PercentOfTheLow60BitsOfThePosition) {
  struct Case {
    std::uint64_t position, total;
    std::uint32_t percent;
  };
  const Case cases[] = {
      {(1ull << 60) | 50, 200, 25},
      {(2ull << 60) | 200, 200, 100},
      {0x0FFFFFFFFFFFFFFFull, 0x0FFFFFFFFFFFFFFFull, 100},  // no overflow in the product
  };
  for (const Case& c : cases) {
    Percentages seen;
    PxoUtilityLib::DuplicateMediaCallbackImpl adapter(&seen, c.total);
    const std::uint64_t pair[2] = {3, c.position};
    adapter.progress(pair, 0x0FFFFFFFFFFFFFFFull);
    EXPECT_EQ(seen.seen, (std::vector<std::uint32_t>{c.percent}));
  }
}

}  // namespace
}  // namespace sdktest
