// Volume device controls carried to the engine, the retry loop above them,
// the end actions of a drive control and the registry helpers.
#include "sdk_support.h"

#include "drive_ctrl.h"

#include "platform/registry.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace sdktest {
namespace {

using PxoUtilityLib::DriveCtrl;
using PxoUtilityLib::VolumeControl;

// A volume control answering from a script, recording each call's code.
struct ScriptedVolume : VolumeControl {
  std::deque<DWORD> answers;
  DWORD otherwise = 0;
  std::vector<std::uint32_t> calls;
  DWORD control(std::uint32_t code, const void*, std::uint32_t, void*, std::uint32_t, std::uint32_t*) override {
    calls.push_back(code);
    if (answers.empty()) return otherwise;
    const DWORD r = answers.front();
    answers.pop_front();
    return r;
  }
};

class SdkVolume : public ::testing::Test {
 protected:
  void SetUp() override { host().install(); }
  void TearDown() override { clearCallbacks(); }
  // A drive control opened by the reopen step (no drive traffic).
  std::unique_ptr<DriveCtrl> opened(bool refresh = false) {
    auto c = std::make_unique<DriveCtrl>(u"/dev/sd1a2b", refresh);
    EXPECT_EQ(c->reopen(), 0u);
    return c;
  }
};

TEST_F(SdkVolume, CreateNewTrackRetriesOnlyErrorRetryTenCallsInAll) {
  const struct {
    int retries;
    DWORD then;
    std::uint32_t result;
    std::size_t calls;
  } rows[] = {{12, 0, 0x120A00, 10}, {3, 0, 0, 4}, {0, 5, 0x120A00, 1}, {9, 0, 0, 10}};
  for (const auto& row : rows) {
    auto ctrl = opened();
    ScriptedVolume volume;
    volume.answers.assign(row.retries, 1237);
    volume.otherwise = row.then;
    ctrl->bindVolumeControl(volume);
    EXPECT_EQ(ctrl->createNewTrack(), row.result) << row.retries;
    EXPECT_EQ(volume.calls, std::vector<std::uint32_t>(row.calls, 0x20007044u)) << row.retries;
  }
  EXPECT_TRUE(host().logged("DeviceIoControl(0xC11)retry..."));
  EXPECT_TRUE(host().logged("DeviceIoControl(0xC11) Error(nRetryCnt=9) or Retry Over: GetLastError()=0x000004D5"));
  EXPECT_TRUE(host().logged("DeviceIoControl(0xC11) Success:nRetryCnt=3"));
}

TEST_F(SdkVolume, ControlsReachTheEngineThroughTheCallback) {
  auto ctrl = opened();
  ASSERT_EQ(ctrl->createNewTrack(), 0u);
  ASSERT_EQ(ctrl->sendVolumeControl(), 0u);
  EXPECT_TRUE(ctrl->volumeControlSent());
  EXPECT_EQ(host().controlCodes(), (std::vector<unsigned>{0x20007044, 0x20007055}));

  // Engine results mapped to Win32: EPERM is access denied.
  const std::pair<int, std::uint32_t> rows[] = {{1, 0x121601}, {22, 0x121600}, {5, 0x121600}};
  for (auto [engine, code] : rows) {
    auto other = opened();
    host().controlAnswers[0x20007055] = {engine};
    EXPECT_EQ(other->sendVolumeControl(), code) << engine;
    EXPECT_FALSE(other->volumeControlSent());
  }
  VolumeControl plain;
  EXPECT_EQ(plain.control(0x12345678, nullptr, 0, nullptr, 0, nullptr), 1u);
}

TEST_F(SdkVolume, WithoutControlCallbackEveryControlFailsWithInternalError) {
  host().install(1, 3, false);
  VolumeControl plain;
  EXPECT_EQ(plain.control(0x20007044, nullptr, 0, nullptr, 0, nullptr), 1359u);
  auto ctrl = opened();
  EXPECT_EQ(ctrl->createNewTrack(), 0x120A00u);
  EXPECT_EQ(GetLastError(), 1359u);
  MDCFS_MOUNT_INFORMATION info{};
  EXPECT_EQ(ctrl->getMountInformation(info), 1359u);
  EXPECT_EQ(ctrl->doExitPrivilegedMode(), 0x120200u);
}

TEST_F(SdkVolume, AttributeReadIsTheEnginesRecordAnsweredInTheLibrarysLayout) {
  host().attributes[0x0806] = {1, Bytes{'T', 'A', 'R', 'N', '-', '1'}};
  host().attributes[0x1580] = {2, Bytes(545, 7)};  // more than the answer holds
  auto ctrl = opened();
  std::uint8_t kind = 0;
  Bytes data;
  ASSERT_EQ(ctrl->readAttribute(0x0806, kind, data), 0u);
  EXPECT_EQ(kind, 1);
  EXPECT_EQ(data, (Bytes{'T', 'A', 'R', 'N', '-', '1'}));
  ASSERT_EQ(host().controls.size(), 1u);
  const ControlCall& call = host().controls[0];
  EXPECT_EQ(call.code, 0xC2007034u);
  std::uint16_t id;
  std::uint32_t length;
  std::memcpy(&id, call.record.data(), 2);
  std::memcpy(&length, call.record.data() + 4, 4);
  EXPECT_EQ(id, 0x0806);
  EXPECT_EQ(length, 544u);

  EXPECT_EQ(ctrl->readAttribute(0x1580, kind, data), 0x121B00u);  // the engine's 22
  EXPECT_EQ(ctrl->readAttribute(0x0001, kind, data), 0x121B00u);  // the engine's 5

  // The raw answer as a volume control gives it.
  VolumeControl volume;
  std::uint8_t input[4] = {0x06, 0x08, 0, 0};
  std::uint8_t answer[552];
  std::memset(answer, 0xEE, sizeof answer);
  std::uint32_t returned = 0;
  ASSERT_EQ(volume.control(0xC00C7034, input, 4, answer, sizeof answer, &returned), 0u);
  EXPECT_EQ(returned, 14u);
  EXPECT_EQ(answer[0], 0x06);
  EXPECT_EQ(answer[1], 0x08);
  EXPECT_EQ(answer[2], 1);
  std::memcpy(&length, answer + 4, 4);
  EXPECT_EQ(length, 6u);
  EXPECT_EQ(std::memcmp(answer + 8, "TARN-1", 6), 0);
  EXPECT_EQ(volume.control(0xC00C7034, input, 4, answer, 7, &returned), 122u);
  EXPECT_EQ(volume.control(0xC00C7034, input, 1, answer, 552, &returned), 87u);
}

TEST_F(SdkVolume, AttributeWriteIsTheEnginesRecord) {
  auto ctrl = opened();
  const std::uint8_t value[5] = {1, 2, 3, 4, 5};
  ASSERT_EQ(ctrl->writeAttribute(0x1581, 0x0102, 5, value), 0u);
  ASSERT_EQ(host().controls.size(), 1u);
  const ControlCall& call = host().controls[0];
  EXPECT_EQ(call.code, 0x800C7035u);
  std::uint16_t id;
  std::uint32_t length;
  std::memcpy(&id, call.record.data(), 2);
  std::memcpy(&length, call.record.data() + 4, 4);
  EXPECT_EQ(id, 0x1581);
  EXPECT_EQ(call.record[2], 0x02);  // the low byte of the value word is the format
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(call.value, (Bytes{1, 2, 3, 4, 5}));
  host().controlAnswers[0x800C7035] = {22};
  EXPECT_EQ(ctrl->writeAttribute(0x1600, 0, 5, value), 0x121C00u);
  // An input whose length word claims more than it holds is refused.
  VolumeControl volume;
  std::uint8_t lying[12] = {0x81, 0x15, 0, 0, 200, 0, 0, 0};
  EXPECT_EQ(volume.control(0x800C7035, lying, sizeof lying, nullptr, 0, nullptr), 87u);
}

TEST_F(SdkVolume, EndActionsRunOnceAlsoDuringAnException) {
  for (bool throwing : {false, true}) {
    host().install();
    try {
      auto ctrl = opened();
      ctrl->privileged = true;
      ctrl->dismountAtEnd = true;
      if (throwing) throw std::runtime_error("user failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(host().controlCodes(), std::vector<unsigned>{0x20007001}) << throwing;
    EXPECT_EQ(host().unmounts, std::vector<bool>{true}) << throwing;
  }
}

TEST_F(SdkVolume, EachSuppressFlagStopsItsAction) {
  {
    auto ctrl = opened();
    ctrl->privileged = ctrl->dismountAtEnd = true;
    ctrl->suppressPrivilegedExit = true;
  }
  EXPECT_TRUE(host().controls.empty());
  EXPECT_EQ(host().unmounts.size(), 1u);
  host().install();
  {
    auto ctrl = opened();
    ctrl->privileged = ctrl->dismountAtEnd = true;
    ctrl->suppressDismount = true;
  }
  EXPECT_EQ(host().controlCodes(), std::vector<unsigned>{0x20007001});
  EXPECT_TRUE(host().unmounts.empty());
  // A failing exit or dismount throws nothing.
  host().install();
  host().controlAnswers[0x20007001] = {5};
  host().unmountResult = 16;
  {
    auto ctrl = opened();
    ctrl->privileged = ctrl->dismountAtEnd = true;
  }
  EXPECT_TRUE(host().logged("IoControl(MDCFSCTL_EXIT_PRIVILEGED_MODE) error=5"));
  EXPECT_TRUE(host().logged("Unmount() error=16"));
}

TEST_F(SdkVolume, RefreshReadsTheMountInformationAgain) {
  host().mediumType = 0xF2;
  auto ctrl = opened();
  ctrl->closeHandle();
  ctrl->lastProcess(true);
  EXPECT_EQ(host().controlCodes(), std::vector<unsigned>{0x40107014});
  EXPECT_EQ(ctrl->mediumType(), 0xF2);
  EXPECT_EQ(ctrl->rubSectors(), 128u);
  EXPECT_FALSE(ctrl->isOpen());
  // A failing read is only logged; the medium type stays.
  host().controlAnswers[0x40107014] = {5};
  ctrl->lastProcess(true);
  EXPECT_EQ(ctrl->mediumType(), 0xF2);
  EXPECT_TRUE(host().logged("getMountInformation error"));
  // The destructor of a refreshing control reads it once more.
  host().install();
  { DriveCtrl closed(u"/dev/sd1a2b", true); }
  EXPECT_EQ(host().controlCodes(), std::vector<unsigned>{0x40107014});
}

TEST_F(SdkVolume, ClosedHandleFailsTheOpenCheck) {
  DriveCtrl ctrl(u"/dev/sd1a2b", false);
  try {
    ctrl.createNewTrack();
    ADD_FAILURE() << "nothing thrown";
  } catch (const PxoUtilityLib::PxoUtilityLibException& e) {
    EXPECT_EQ(e.code(), 0xFF0001u);
    EXPECT_EQ(e.function(), u"DriveCtrl::openCheck");
  }
  EXPECT_TRUE(host().controls.empty());
  EXPECT_FALSE(ctrl.getVolumeLabel(*std::make_unique<std::u16string>()));
  EXPECT_FALSE(ctrl.setVolumeLabel(u"LABEL"));
  EXPECT_TRUE(host().logged("SetVolumeLabelW(/dev/sd1a2b\\, LABEL) error GetLastError="));
}

class SdkRegistry : public SdkVolume {
 protected:
  void SetUp() override {
    SdkVolume::SetUp();
    file_ = ::testing::TempDir() + "sdk_registry_test.reg";
    std::filesystem::remove(file_);
    if (const char* old = std::getenv("KEL_REGISTRY")) old_ = old;
    ::setenv("KEL_REGISTRY", file_.c_str(), 1);
  }
  void TearDown() override {
    if (old_.empty())
      ::unsetenv("KEL_REGISTRY");
    else
      ::setenv("KEL_REGISTRY", old_.c_str(), 1);
    std::filesystem::remove(file_);
    std::filesystem::remove(file_ + ".lock");  // the registry's lock beside it
    SdkVolume::TearDown();
  }
  std::string file_, old_;
};

TEST_F(SdkRegistry, SettingsAreWrittenAndReadInThe32BitView) {
  std::vector<PxoUtilityLib::RegistryValue> missingKey;
  EXPECT_FALSE(PxoUtilityLib::getRegistory(missingKey));
  EXPECT_TRUE(host().logged("RegOpenKeyExA error=2"));

  DWORD verify = 1, policy = 0x11;
  char text[] = "abc";
  std::vector<PxoUtilityLib::RegistryValue> values = {
      {"VerifyOnWrite", REG_DWORD, &verify, 4},
      {"Broken", REG_DWORD, nullptr, 4},  // fails; the others are still written
      {"DfltFsFlshPlcy", REG_DWORD, &policy, 4},
      {"Text", REG_SZ, text, 4},
  };
  EXPECT_FALSE(PxoUtilityLib::setRegistory(PxoUtilityLib::kSettingsKey, values));
  EXPECT_TRUE(host().logged("RegSetValueExA error=87 subKey=SOFTWARE\\Tarn Corporation\\Velmaro Software\\Settings "
                            "valueName=Broken type=4 size=4"));
  // The values live in the 32-bit view only.
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, PxoUtilityLib::kSettingsKey, 0, KEY_READ | KEY_WOW64_64KEY, &key),
            ERROR_FILE_NOT_FOUND);

  DWORD readVerify = 0, readPolicy = 0, wrongType = 0, absent = 0;
  std::vector<PxoUtilityLib::RegistryValue> reads = {
      {"VerifyOnWrite", REG_DWORD, &readVerify, 4},
      {"Text", REG_DWORD, &wrongType, 4},
      {"RecInhibit", REG_DWORD, &absent, 4},
      {"DfltFsFlshPlcy", REG_DWORD, &readPolicy, 4},
  };
  ASSERT_TRUE(PxoUtilityLib::getRegistory(reads));
  EXPECT_EQ(reads[0].found, 1);
  EXPECT_EQ(readVerify, 1u);
  EXPECT_EQ(reads[1].found, 0);
  EXPECT_EQ(reads[1].missing, 0);
  EXPECT_EQ(reads[2].found, 0);
  EXPECT_EQ(reads[2].missing, 1);
  EXPECT_EQ(reads[3].found, 1);
  EXPECT_EQ(readPolicy, 0x11u);
  EXPECT_TRUE(host().logged("RegQueryValueExA bad type(1) requestType=4 subKey=SOFTWARE\\Tarn Corporation\\Velmaro "
                            "Software\\Settings valueName=Text size=4"));
  EXPECT_TRUE(host().logged("RegQueryValueExA not found subKey=SOFTWARE\\Tarn Corporation\\Velmaro "
                            "Software\\Settings valueName=RecInhibit size=4"));
}

}  // namespace
}  // namespace sdktest
