// All delete and finalize over the scripted engine callbacks and the
// simulated drive: the controls and their records, the refusals, the
// backtrack polling on an injected clock, and finalize rewriting real slot
// images of a write-once cartridge.
#include "sdk_support.h"

#include "finalize.h"
#include "utility_impl.h"

#include "engine/udf/support_image.h"
#include "platform/sync.h"
#include "udf/udf_tag.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace sdktest {
namespace {

using PxoUtilityLib::PxoUtilityImpl;
using PxoUtilityLib::PxoUtilityLibException;

constexpr std::uint32_t kSector = 2048;
constexpr std::uint32_t kImageSectors = 8192;

template <class T>
Bytes bytesOf(const T& v) {
  Bytes b(sizeof v);
  std::memcpy(b.data(), &v, sizeof v);
  return b;
}

Bytes mountInfo(std::uint8_t type, std::uint8_t status, std::uint32_t protect = 0, std::uint32_t mount = 0,
                std::uint32_t access = 0) {
  MDCFS_MOUNT_INFORMATION i{};
  i.MountStatus = mount;
  i.WriteProtectReasonFlags = protect;
  i.AccessMode = access;
  i.MediumType = type;
  i.VolumeStatus = status;
  return bytesOf(i);
}

Bytes trackInfo(std::uint32_t count, std::uint32_t slot, std::uint32_t next, std::uint32_t end) {
  return bytesOf(PxoUtilityLib::TrackInformation{count, slot, next, end});
}

struct Recorder : PxoUtilityLib::ProcessCallback {
  std::mutex mu;
  std::vector<int> values;
  void progress(std::uint8_t percent, std::uint32_t) override {
    std::lock_guard<std::mutex> g(mu);
    values.push_back(percent);
  }
  std::vector<int> taken() {
    std::lock_guard<std::mutex> g(mu);
    return values;
  }
};

struct Confirm : kelutil::FormatCallback {
  bool answer = true;
  std::vector<std::uint32_t> asked;
  bool progress(std::uint32_t value) override {
    asked.push_back(value);
    return answer;
  }
};

// Advances the manual clock by `step` whenever a thread waits on it while
// armed: the backtrack polling's pauses pass without real time.
class ClockPump {
 public:
  ClockPump(platform::ManualClock& clock, std::uint64_t step) : clock_(clock), step_(step), thread_([this] { run(); }) {}
  ~ClockPump() {
    stop_ = true;
    thread_.join();
  }
  std::atomic<bool> armed{false};

 private:
  void run() {
    while (!stop_) {
      if (armed && clock_.waiters() > 0) clock_.advance(step_);
      std::this_thread::yield();
    }
  }
  platform::ManualClock& clock_;
  std::uint64_t step_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class SdkMediumJobs : public SdkSimTest {
 protected:
  void SetUp() override { setenv("TZ", "UTC-9", 1), tzset(); }
  void TearDown() override {
    unsetenv("TZ");
    tzset();
    SdkSimTest::TearDown();
  }
  std::uint32_t run(const std::function<std::uint32_t(PxoUtilityImpl&)>& job) {
    try {
      PxoUtilityImpl impl(path(), &progress_);
      return job(impl);
    } catch (const PxoUtilityLibException& e) {
      return e.code();
    }
  }
  static std::size_t calls(unsigned code) {
    std::size_t n = 0;
    for (const ControlCall& c : host().controls) n += c.code == code;
    return n;
  }
  // Keeps the records the mark-volume-dirty control was given.
  void keepDirtyRecords() {
    host().hook = [this](unsigned code, void* buffer) {
      if (code == PxoUtilityLib::kFsctlMarkVolumeDirty && buffer) {
        const auto* b = static_cast<const std::uint8_t*>(buffer);
        dirty_.emplace_back(b, b + 4);
      }
    };
  }
  Recorder progress_;
  std::vector<Bytes> dirty_;
  platform::ManualClock clock_;
  platform::ScopedClock scoped_{clock_};
};

// --- all delete ---------------------------------------------------------------

TEST_F(SdkMediumJobs, AllDeleteErasesInPrivilegedModeAndChecksTheEmptyRoot) {
  start();
  host().records[0x40107014] = {mountInfo(0xE1, 0x91), mountInfo(0xE1, 0x81)};
  host().records[0xC0087010] = {bytesOf(PxoUtilityLib::FileCount{0, 1})};
  keepDirtyRecords();
  EXPECT_EQ(run([](PxoUtilityImpl& p) { return p.doAllDelete(false, 0, nullptr); }), 0u);
  // The end actions: one more privileged-mode exit, the mount information.
  EXPECT_EQ(host().controlCodes(), (std::vector<unsigned>{0x40107014, 0x20007007, 0x20007000, 0x8004700E, 0x20007001,
                                                          0x40107014, 0xC0087010, 0x20007001, 0x40107014}));
  EXPECT_EQ(dirty_, (std::vector<Bytes>{{3, 0, 0, 0}}));
  EXPECT_EQ(host().unmounts, (std::vector<bool>{true}));
  EXPECT_EQ(host().mounts, 0);
  EXPECT_EQ(progress_.taken(), (std::vector<int>{0, 25, 40, 80, 98, 99, 100}));
  EXPECT_EQ(commands(0x00).size(), 1u);  // TEST UNIT READY
}

TEST_F(SdkMediumJobs, AllDeleteRefusalsAndStatesAfterIt) {
  const struct {
    const char* name;
    Bytes before, after;
    bool backtrack;
    PxoUtilityLib::FileCount count;
    int countAnswer;
    std::uint32_t result;
  } rows[] = {
      {"write-once protected", mountInfo(0xE1, 0x81, 0x800), {}, false, {0, 1}, 0, 0x1000001},
      {"write-once state 2", mountInfo(0xE1, 0x82), {}, false, {0, 1}, 0, 0x1000001},
      {"write-once not valid", mountInfo(0xE1, 0x01), {}, false, {0, 1}, 0, 0x1000001},
      {"unknown medium", mountInfo(0x10, 0x81), {}, false, {0, 1}, 0, 0x1000001},
      {"rewritable other protection", mountInfo(0xE2, 0x81, 0x1000), {}, false, {0, 1}, 0, 0x1000001},
      {"worn out without backtrack", mountInfo(0xE2, 0x81, 0x800), {}, false, {0, 1}, 0, 0x1000001},
      {"rewritable erased", mountInfo(0xE2, 0x81, 0x80000), mountInfo(0xE2, 0x81), false, {0, 1}, 0, 0},
      {"not valid after", mountInfo(0xE1, 0x81), mountInfo(0xE1, 0x01), false, {0, 1}, 0, 0x1000002},
      {"read-only after", mountInfo(0xE1, 0x81), mountInfo(0xE1, 0x81, 0, 0, 1), false, {0, 1}, 0, 0x1000002},
      {"unsupported after", mountInfo(0xE1, 0x81), mountInfo(0x10, 0x81), false, {0, 1}, 0, 0x1000002},
      {"files left", mountInfo(0xE1, 0x81), mountInfo(0xE1, 0x81), false, {1, 1}, 0, 0x1000003},
      {"folders left", mountInfo(0xE1, 0x81), mountInfo(0xE1, 0x81), false, {0, 2}, 0, 0x1000003},
      {"no file count", mountInfo(0xE1, 0x81), mountInfo(0xE1, 0x81), false, {0, 1}, 31, 0x1000002},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    start();
    host().records[0x40107014] = {row.before};
    if (!row.after.empty()) host().records[0x40107014].push_back(row.after);
    host().records[0xC0087010] = {bytesOf(row.count)};
    if (row.countAnswer) host().controlAnswers[0xC0087010] = {row.countAnswer};
    EXPECT_EQ(run([&](PxoUtilityImpl& p) { return p.doAllDelete(row.backtrack, 0, nullptr); }), row.result);
    const bool refused = row.result == 0x1000001;
    EXPECT_EQ(calls(0x8004700E) + (refused ? 1 : 0), 1u);  // no erase after a refusal
    EXPECT_EQ(host().mounts, 0);
    SdkSimTest::TearDown();
  }
}

TEST_F(SdkMediumJobs, BacktrackSendsItsTargetAndFollowsThePolledRecords) {
  start();
  ClockPump pump(clock_, 100);
  host().records[0x40107014] = {mountInfo(0xE2, 0x81, 0x800), mountInfo(0xE2, 0x81)};
  host().records[0xC0107016] = {trackInfo(3, 1, 0, 0)};
  host().records[0xC0087010] = {bytesOf(PxoUtilityLib::FileCount{0, 1})};
  host().records[0x4008704D] = {bytesOf(PxoUtilityLib::BacktrackInformation{1, 0, 0, 0, 0}),
                                bytesOf(PxoUtilityLib::BacktrackInformation{1, 50, 1, 0, 2}),
                                bytesOf(PxoUtilityLib::BacktrackInformation{2, 100, 2, 0, 2})};
  keepDirtyRecords();
  auto dirtyHook = host().hook;
  host().hook = [&](unsigned code, void* buffer) {
    dirtyHook(code, buffer);
    if (code == 0x4008704D) pump.armed = host().records[0x4008704D].size() > 1;
  };
  Confirm confirm;
  EXPECT_EQ(run([&](PxoUtilityImpl& p) { return p.doAllDelete(true, 1, &confirm); }), 0u);
  pump.armed = false;
  EXPECT_EQ(confirm.asked, (std::vector<std::uint32_t>{2}));
  EXPECT_EQ(dirty_, (std::vector<Bytes>{{5, 1, 0, 0}}));
  EXPECT_EQ(calls(0x4008704D), 3u);
  EXPECT_EQ(progress_.taken(), (std::vector<int>{0, 40, 60, 80, 98, 99, 100}));
  EXPECT_EQ(host().unmounts, (std::vector<bool>{true}));
  EXPECT_EQ(host().mounts, 0);
}

TEST_F(SdkMediumJobs, BacktrackFailuresAndTheCallbacksNo) {
  using PxoUtilityLib::BacktrackInformation;
  const struct {
    const char* name;
    std::vector<Bytes> polled;
    int pollAnswer;
    std::uint32_t result;
  } rows[] = {
      {"status 3", {bytesOf(BacktrackInformation{1, 10, 0, 0, 0}), bytesOf(BacktrackInformation{3, 10, 0, 0, 0})}, 0,
       0x220006},
      {"poll fails", {bytesOf(BacktrackInformation{1, 0, 0, 0, 0})}, 31, 0x121100},
      {"never starts", {bytesOf(BacktrackInformation{0, 0, 0, 0, 0})}, 0, 0x220006},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    start();
    ClockPump pump(clock_, 60 * 1000);
    pump.armed = true;
    host().records[0x40107014] = {mountInfo(0xE1, 0x81)};
    host().records[0x4008704D] = {row.polled.begin(), row.polled.end()};
    if (row.pollAnswer) host().controlAnswers[0x4008704D] = {row.pollAnswer};
    const std::uint64_t before = clock_.now_ms();
    EXPECT_EQ(run([](PxoUtilityImpl& p) { return p.doAllDelete(true, 0, nullptr); }), row.result);
    // The end actions leave privileged mode and unmount.
    const auto codes = host().controlCodes();
    EXPECT_EQ(codes[codes.size() - 2], 0x20007001u);
    EXPECT_EQ(host().unmounts, (std::vector<bool>{true}));
    if (std::string(row.name) == "never starts") {
      EXPECT_GE(clock_.now_ms() - before, PxoUtilityImpl::kBacktrackLimitMs);
    }
    SdkSimTest::TearDown();
  }

  // The callback says no: nothing is erased, the volume is unmounted, success.
  start();
  host().records[0x40107014] = {mountInfo(0xE1, 0x81)};
  host().records[0xC0107016] = {trackInfo(3, 0, 0, 0)};
  Confirm no;
  no.answer = false;
  EXPECT_EQ(run([&](PxoUtilityImpl& p) { return p.doAllDelete(true, 0, &no); }), 0u);
  EXPECT_EQ(no.asked, (std::vector<std::uint32_t>{1}));
  EXPECT_EQ(calls(0x8004700E), 0u);
  EXPECT_EQ(host().unmounts, (std::vector<bool>{true}));
  EXPECT_EQ(host().mounts, 0);
}

TEST_F(SdkMediumJobs, MediumChecksComeFirst) {
  start("QMR-X999");
  EXPECT_EQ(run([](PxoUtilityImpl& p) { return p.doAllDelete(false, 0, nullptr); }), 0x220002u);
  SdkSimTest::TearDown();
  start();
  sim_->drive().add_fault(kelsim::command_fails(0x00, {0x02, 0x3A, 0x00}));
  EXPECT_EQ(run([](PxoUtilityImpl& p) { return p.doFinalize(); }), 0x220003u);
  sim_->drive().clear_faults();
  host().controlAnswers[0x40107014] = {31};
  EXPECT_EQ(run([](PxoUtilityImpl& p) { return p.doFinalize(); }), 0x120800u);
  EXPECT_TRUE(host().unmounts.empty());
}

}  // namespace
}  // namespace sdktest
