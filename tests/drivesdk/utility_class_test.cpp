// The progress worker on an injected clock, the user settings behind the
// operational modes, and the plain functions over the class interface that
// need no medium (argument checks, stubs, CRC, version, eject, the
// duplication error mapping).
#include "sdk_support.h"
#include "support/settles.h"

#include "progress.h"
#include "utility_impl.h"

#include "platform/registry.h"
#include "platform/sync.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace sdktest {
namespace {

using PxoUtilityLib::Progress;
using PxoUtilityLib::UserSetting;

struct Reports : PxoUtilityLib::ProcessCallback {
  std::mutex mu;
  std::vector<std::pair<int, std::uint32_t>> seen;
  void progress(std::uint8_t percent, std::uint32_t kind) override {
    std::lock_guard<std::mutex> g(mu);
    seen.emplace_back(percent, kind);
  }
  std::vector<int> values() {
    std::lock_guard<std::mutex> g(mu);
    std::vector<int> out;
    for (auto& s : seen) out.push_back(s.first);
    return out;
  }
};

template <class Pred>
bool eventually(Pred pred) {
  return kel_test::settles(pred);
}

TEST(SdkProgress, StartStepsEveryTenSecondsAndNeverReachesItsEnd) {
  platform::ManualClock clock;
  platform::ScopedClock scoped(clock);
  Reports reports;
  Progress progress(&reports, 2);
  progress.start(10, 30);
  ASSERT_TRUE(eventually([&] { return clock.waiters() == 1; }));  // the worker waits
  EXPECT_EQ(reports.values(), (std::vector<int>{10}));
  clock.advance(9999);
  ASSERT_TRUE(eventually([&] { return clock.waiters() == 1; }));
  EXPECT_EQ(reports.values(), (std::vector<int>{10}));
  for (int step = 11; step < 30; ++step) {
    clock.advance(Progress::kStepMs);
    ASSERT_TRUE(eventually([&] { return static_cast<int>(reports.values().size()) == step - 9; })) << step;
    // The next step is measured from the worker's next wait: advance only
    // once it waits again.
    if (step < 29) {
      ASSERT_TRUE(eventually([&] { return clock.waiters() == 1; })) << step;
    }
  }
  ASSERT_TRUE(eventually([&] { return clock.waiters() == 0; }));  // the worker ended at 29
  clock.advance(10 * Progress::kStepMs);
  EXPECT_EQ(reports.values().back(), 29);
  EXPECT_EQ(reports.values().size(), 20u);
  progress.set(30);
  progress.set(30);  // an equal value is not reported twice
  EXPECT_EQ(reports.values().back(), 30);
  EXPECT_EQ(reports.values().size(), 21u);
  EXPECT_EQ(reports.seen.front().second, 2u);
}

TEST(SdkProgress, StopWakesTheWorkerAtOnce) {
  platform::ManualClock clock;
  platform::ScopedClock scoped(clock);
  Reports reports;
  {
    Progress progress(&reports, 0);
    progress.start(0, 40);
    ASSERT_TRUE(eventually([&] { return clock.waiters() == 1; }));
    progress.set(40);  // joins the worker without the clock moving
    EXPECT_EQ(clock.waiters(), 0);
    progress.start(50, 60);
  }  // the destructor stops the second worker
  EXPECT_EQ(reports.values(), (std::vector<int>{0, 40, 50}));
  Progress silent(nullptr, 0);
  silent.set(5);  // no callback: nothing to call
}

class SdkSettings : public ::testing::Test {
 protected:
  void SetUp() override {
    // Tests may run side by side: one registry file each.
    file_ = ::testing::TempDir() + "sdk_settings_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" + std::to_string(getpid()) + ".reg";
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
  }
  static void put(const char* name, DWORD value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, PxoUtilityLib::kSettingsKey, 0, nullptr, 0,
                              KEY_WRITE | KEY_WOW64_32KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4), ERROR_SUCCESS);
    RegCloseKey(key);
  }
  static UserSetting read() {
    UserSetting s;
    PxoUtilityLib::PxoUtilityImpl(u"", nullptr).getUserSetting(s);
    return s;
  }
  std::string file_, old_;
};

TEST_F(SdkSettings, ValuesOutOfRangeKeepTheirDefaults) {
  EXPECT_THROW(read(), PxoUtilityLib::PxoUtilityLibException);  // no key yet
  put("DfltFsFlshPlcy", 7);
  put("RecInhibit", 2);
  put("VerifyOnWrite", 0);
  put("DefaultVolType", 0x105);
  const UserSetting s = read();
  EXPECT_EQ(s.DfltFsFlshPlcy, 1u);
  EXPECT_FALSE(s.RecInhibit);
  EXPECT_FALSE(s.VerifyOnWrite);
  EXPECT_EQ(s.DefaultVolType, 5);
}

TEST_F(SdkSettings, OperationalModesThroughThePlainFunctions) {
  std::uint8_t buffer[8];
  std::memset(buffer, 0xEE, sizeof buffer);
  // Argument checks leave the buffer alone.
  const struct {
    const char* name;
    std::function<std::uint64_t()> call;
  } refused[] = {
      {"get mode 4", [&] { return KelDriveSDK_GetOperationalMode(4, buffer, 8); }},
      {"get null", [&] { return KelDriveSDK_GetOperationalMode(0, nullptr, 8); }},
      {"get size 0", [&] { return KelDriveSDK_GetOperationalMode(0, buffer, 0); }},
      {"set mode 4", [&] { return KelDriveSDK_SetOperationalMode(4, buffer, 8); }},
      {"set null", [&] { return KelDriveSDK_SetOperationalMode(0, nullptr, 1); }},
      {"all delete backtrack 2", [&] { return KelDriveSDK_DoAllDelete(u"/dev/sd1", 2, 0, nullptr, nullptr); }},
      {"all delete slot 2", [&] { return KelDriveSDK_DoAllDelete(u"/dev/sd1", 0, 2, nullptr, nullptr); }},
      // The engine goes back to slot 0 only.
      {"all delete slot 1", [&] { return KelDriveSDK_DoAllDelete(u"/dev/sd1", 1, 1, nullptr, nullptr); }},
      {"write attribute null", [&] { return KelDriveSDK_WriteAttribute(u"/dev/sd1", 1, 0, nullptr, 1); }},
      {"driver log null", [&] { return KelDriveSDK_GetDriverLog(0, nullptr); }},
  };
  for (const auto& row : refused) EXPECT_EQ(row.call(), KELSDK_ERR_INVALID_PARAMETER) << row.name;
  for (std::uint8_t b : buffer) EXPECT_EQ(b, 0xEE);
  // Mode -1 passes the plain check; the method refuses it.
  EXPECT_EQ(KelDriveSDK_GetOperationalMode(-1, buffer, 8), KELSDK_ERR_INVALID_PARAMETER);
  std::uint64_t code = 0;
  const char *file = nullptr, *function = nullptr;
  std::uint64_t line = 0;
  KelDriveSDK_GetLastErrorMessageDetail(&code, &file, &function, &line);
  EXPECT_STREQ(function, "kelutil::KelUtility::GetOperationalMode");

  // Without the settings key a read fails.
  EXPECT_EQ(KelDriveSDK_GetOperationalMode(0, buffer, 8), KELSDK_ERR_INTERNAL);
  ASSERT_EQ(KelDriveSDK_ResetOperationalMode(), 0u);
  UserSetting s = read();
  EXPECT_EQ((std::vector<unsigned>{s.RecInhibit, s.VerifyOnWrite, s.DefaultVolType, s.DfltFsFlshPlcy}),
            (std::vector<unsigned>{0, 1, 0, 1}));
  const std::uint8_t five = 5;
  ASSERT_EQ(KelDriveSDK_SetOperationalMode(0, &five, 1), 0u);
  EXPECT_EQ(read().DefaultVolType, 1);
  const std::uint32_t policy = 0;
  ASSERT_EQ(KelDriveSDK_SetOperationalMode(3, &policy, 4), 0u);
  EXPECT_EQ(read().DfltFsFlshPlcy, 0u);
  EXPECT_EQ(KelDriveSDK_SetOperationalMode(3, &policy, 2), KELSDK_ERR_INTERNAL);

  const struct {
    int mode;
    std::uint64_t size;
    std::uint64_t result;
    std::vector<std::uint8_t> bytes;
  } gets[] = {
      {0, 4, 0, {1, 0, 0, 0, 0xEE}},
      {1, 2, 0, {1, 0, 0xEE}},
      {2, 1, 0, {0, 0xEE}},
      {3, 4, 0, {0, 0, 0, 0, 0xEE}},
      {3, 2, KELSDK_ERR_INTERNAL, {0, 0, 0xEE}},  // zeroed, then refused
  };
  for (const auto& row : gets) {
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(KelDriveSDK_GetOperationalMode(row.mode, buffer, row.size), row.result) << row.mode;
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + row.bytes.size()), row.bytes) << row.mode;
  }
}

TEST(SdkUtilityClass, StubsCrcVersionAndDuplicationErrors) {
  for (std::uint64_t r : {KelDriveSDK_EnterExclusiveAccessMode(nullptr), KelDriveSDK_ExitExclusiveAccessMode(nullptr),
                          KelDriveSDK_WriteAttribute(u"x", 1, 0, "a", 1), KelDriveSDK_GetDriveLog(u"x", u"y"),
                          KelDriveSDK_GetCartridgeType(u"x", nullptr), KelDriveSDK_GetDriverLog(0, u"y"),
                          KelDriveSDK_DoRemount(u"x")})
    EXPECT_EQ(r, KELSDK_ERR_INTERNAL);
  const std::uint8_t abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(kelutil::KelUtility::CalculateCRC(abc, 3), 0x9DD6);
  EXPECT_EQ(kelutil::KelUtility::CalculateCRC(abc, 0), 0);
  EXPECT_EQ(kelutil::KelUtility::CalculateCRC(nullptr, 5), 0);
  EXPECT_EQ(kelutil::KelUtility::GetVersion(), "5.0.0.2");
  EXPECT_EQ(std::u16string(KelDriveSDK_GetVersion()), u"5.0.0.2");

  EXPECT_NO_THROW(kelutil::KelUtility::throwExceptionDuplicateError(0x600FFFF, "none"));
  const struct {
    std::uint32_t code;
    std::uint64_t mapped;
  } rows[] = {
      {0x220003, KELSDK_ERR_NO_DISC},         {0x130100, KELSDK_ERR_VOLUME_LOCKED},
      {0x120500, KELSDK_ERR_DEVICE_IO_CONTROL}, {0x210009, KELSDK_ERR_DUPLICATE_DRIVE},
      {0x06000001, KELSDK_ERR_DUPLICATE_OTHER}, {0x0600FFFE, KELSDK_ERR_DUPLICATE_OTHER},
      {0x02000001, KELSDK_ERR_INTERNAL},       {0x110500, KELSDK_ERR_INTERNAL},
  };
  for (const auto& row : rows) {
    try {
      kelutil::KelUtility::throwExceptionDuplicateError(row.code, "text");
      ADD_FAILURE() << std::hex << row.code << " threw nothing";
    } catch (const kelutil::KelUtilityException& e) {
      EXPECT_EQ(e.code(), row.mapped) << std::hex << row.code;
      EXPECT_STREQ(e.what(), "text");
    }
  }
}

// A clock whose sleeps return at once and are recorded.
class SleepRecorder final : public platform::Clock {
 public:
  std::uint64_t now_ms() override { return now_; }
  void wait_until(std::unique_lock<std::mutex>&, std::condition_variable&, std::uint64_t deadline) override {
    now_ = std::max(now_, deadline);
  }
  void sleep_ms(std::uint64_t ms) override {
    sleeps.push_back(ms);
    now_ += ms;
  }
  std::vector<std::uint64_t> sleeps;

 private:
  std::uint64_t now_ = 0;
};

TEST(SdkUtilityClass, EjectTriesTenTimesPausingOnTheClock) {
  SleepRecorder clock;
  platform::ScopedClock scoped(clock);
  EXPECT_EQ(KelDriveSDK_DoEject(u"/dev/nothing"), KELSDK_ERR_INTERNAL);  // "cannot open device"
  EXPECT_EQ(clock.sleeps, std::vector<std::uint64_t>(9, 100));
  std::uint64_t code = 0;
  const char *file = nullptr, *function = nullptr;
  std::uint64_t line = 0;
  KelDriveSDK_GetLastErrorMessageDetail(&code, &file, &function, &line);
  EXPECT_STREQ(function, "kelutil::KelFile::Open");
  // A path that opens: one attempt, no pause, and false.
  clock.sleeps.clear();
  EXPECT_EQ(KelDriveSDK_DoEject(u"/dev/sd1a2b"), KELSDK_ERR_INTERNAL);
  EXPECT_TRUE(clock.sleeps.empty());
}

}  // namespace
}  // namespace sdktest
