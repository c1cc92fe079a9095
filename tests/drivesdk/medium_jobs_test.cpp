// All delete and finalize over the scripted engine callbacks and the
// simulated drive: the controls and their records, the refusals, the
// backtrack polling on an injected clock, and finalize rewriting real slot
// images of a write-once cartridge.
#include "sdk_support.h"
#include "support/recorded_disc.h"

#include "confirm.h"
#include "file_list.h"
#include "finalize.h"
#include "root_directory.h"
#include "utility_impl.h"

#include "engine/udf/support_image.h"
#include "platform/sync.h"
#include "udf/udf_tag.h"

#include <algorithm>
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
  // Slot 0 (loaded) holds a write-once volume whose root holds `root`, as
  // the disc an all delete leaves.
  void erasedVolume(const std::vector<RootName>& root = {}) {
    writeSlot(sim_->cartridge(), 0, volumeWithRoot(udf_test::spec_for(udf_test::MediumClass::WriteOnce), root));
  }
  Recorder progress_;
  std::vector<Bytes> dirty_;
  platform::ManualClock clock_;
  platform::ScopedClock scoped_{clock_};
};

// --- all delete ---------------------------------------------------------------

TEST_F(SdkMediumJobs, AllDeleteErasesInPrivilegedModeAndChecksTheEmptyRoot) {
  start();
  erasedVolume({{"$QuorvelData", 0x02}});
  host().records[0x40107014] = {mountInfo(0xE1, 0x91), mountInfo(0xE1, 0x81)};
  keepDirtyRecords();
  EXPECT_EQ(run([](PxoUtilityImpl& p) { return p.doAllDelete(false, nullptr); }), 0u);
  // The end actions: one more privileged-mode exit, the mount information.
  // The root is read from the disc, not asked of the engine.
  EXPECT_EQ(host().controlCodes(), (std::vector<unsigned>{0x40107014, 0x20007007, 0x20007000, 0x8004700E, 0x20007001,
                                                          0x40107014, 0x20007001, 0x40107014}));
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
    std::uint32_t result;
  } rows[] = {
      {"write-once protected", mountInfo(0xE1, 0x81, 0x800), {}, 0x1000001},
      {"write-once state 2", mountInfo(0xE1, 0x82), {}, 0x1000001},
      {"write-once not valid", mountInfo(0xE1, 0x01), {}, 0x1000001},
      {"unknown medium", mountInfo(0x10, 0x81), {}, 0x1000001},
      {"rewritable other protection", mountInfo(0xE2, 0x81, 0x1000), {}, 0x1000001},
      {"worn out without backtrack", mountInfo(0xE2, 0x81, 0x800), {}, 0x1000001},
      {"rewritable erased", mountInfo(0xE2, 0x81, 0x80000), mountInfo(0xE2, 0x81), 0},
      {"not valid after", mountInfo(0xE1, 0x81), mountInfo(0xE1, 0x01), 0x1000002},
      {"read-only after", mountInfo(0xE1, 0x81), mountInfo(0xE1, 0x81, 0, 0, 1), 0x1000002},
      {"unsupported after", mountInfo(0xE1, 0x81), mountInfo(0x10, 0x81), 0x1000002},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    start();
    erasedVolume();
    host().records[0x40107014] = {row.before};
    if (!row.after.empty()) host().records[0x40107014].push_back(row.after);
    EXPECT_EQ(run([&](PxoUtilityImpl& p) { return p.doAllDelete(false, nullptr); }), row.result);
    const bool refused = row.result == 0x1000001;
    EXPECT_EQ(calls(0x8004700E) + (refused ? 1 : 0), 1u);  // no erase after a refusal
    EXPECT_EQ(host().mounts, 0);
    SdkSimTest::TearDown();
  }
}

// Empty after all delete, as the disc's root tells: no entry, or only the
// metadata folder, found in any case of its letters. A root that cannot be
// read is a failure, never an empty one.
TEST_F(SdkMediumJobs, AnErasedVolumeKeepsNoFolderButTheMetadataFolder) {
  const struct {
    const char* name;
    std::vector<RootName> root;
    std::uint32_t result;
  } rows[] = {
      {"nothing", {}, 0},
      {"the metadata folder", {{"$QuorvelData", 0x02}}, 0},
      {"its name in other letters", {{"$QUORVELDATA", 0x02}}, 0},
      {"deleted entries", {{"old", 0x04}, {"$QuorvelData", 0x02}, {"older", 0x06}}, 0},
      {"a file", {{"note.txt", 0}}, 0x1000003},
      {"another folder", {{"data", 0x02}}, 0x1000003},
      {"a longer name", {{"$QuorvelData2", 0x02}}, 0x1000003},
      {"a shorter name", {{"$Quorvel", 0x02}}, 0x1000003},
      {"not a folder", {{"$QuorvelData", 0}}, 0x1000003},
      {"the folder and one more", {{"$QuorvelData", 0x02}, {"x", 0x02}}, 0x1000003},
      {"the folder twice", {{"$QuorvelData", 0x02}, {"$quorveldata", 0x02}}, 0x1000003},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    start();
    erasedVolume(row.root);
    host().records[0x40107014] = {mountInfo(0xE1, 0x81)};
    EXPECT_EQ(run([](PxoUtilityImpl& p) { return p.doAllDelete(false, nullptr); }), row.result);
    EXPECT_EQ(host().mounts, 0);
    SdkSimTest::TearDown();
  }
  // A blank disc in the drive: the erase wrote no volume. A blank
  // write-once disc fails the anchor's read, whose failure is answered; a
  // rewritable one reads zeros there: the descriptors are erased.
  const struct {
    std::uint8_t medium;
    std::uint32_t result;
  } blanks[] = {{0xE1, 0x110500}, {0xE2, PxoUtilityLib::kErrRootErased}};
  for (const auto& blank : blanks) {
    SCOPED_TRACE(int(blank.medium));
    kelsim::CartridgeSetup c;
    c.medium_type = blank.medium;
    start("QMR-T300B", c);
    host().records[0x40107014] = {mountInfo(blank.medium, 0x81)};
    EXPECT_EQ(run([](PxoUtilityImpl& p) { return p.doAllDelete(false, nullptr); }), blank.result);
    EXPECT_TRUE(host().logged("root directory read error"));
    SdkSimTest::TearDown();
  }
}

// The record of the backtrack carries the volume type the volume has (high
// nibble of the mount information's type byte), so that it keeps it.
TEST_F(SdkMediumJobs, BacktrackSendsTheVolumeTypeAndFollowsThePolledRecords) {
  kelsim::CartridgeSetup rewritable;  // backtracks are made on rewritable media only
  rewritable.medium_type = 0xE2;
  start("QMR-T300B", rewritable);  // the disc as a backtrack leaves it: its descriptors erased
  ClockPump pump(clock_, 100);
  Bytes typeOne = mountInfo(0xE2, 0x81, 0x800);
  typeOne[14] = 0x12;  // volume type 1, information version 2
  host().records[0x40107014] = {typeOne, mountInfo(0xE2, 0x81)};
  host().records[0xC0107016] = {trackInfo(3, 1, 0, 0)};
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
  EXPECT_EQ(run([&](PxoUtilityImpl& p) { return p.doAllDelete(true, &confirm); }), 0u);
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
    EXPECT_EQ(run([](PxoUtilityImpl& p) { return p.doAllDelete(true, nullptr); }), row.result);
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
  EXPECT_EQ(run([&](PxoUtilityImpl& p) { return p.doAllDelete(true, &no); }), 0u);
  EXPECT_EQ(no.asked, (std::vector<std::uint32_t>{1}));
  EXPECT_EQ(calls(0x8004700E), 0u);
  EXPECT_EQ(host().unmounts, (std::vector<bool>{true}));
  EXPECT_EQ(host().mounts, 0);
}

TEST_F(SdkMediumJobs, MediumChecksComeFirst) {
  start("QMR-X999");
  EXPECT_EQ(run([](PxoUtilityImpl& p) { return p.doAllDelete(false, nullptr); }), 0x220002u);
  SdkSimTest::TearDown();
  start();
  sim_->drive().add_fault(kelsim::command_fails(0x00, {0x02, 0x3A, 0x00}));
  EXPECT_EQ(run([](PxoUtilityImpl& p) { return p.doFinalize(); }), 0x220003u);
  sim_->drive().clear_faults();
  host().controlAnswers[0x40107014] = {31};
  EXPECT_EQ(run([](PxoUtilityImpl& p) { return p.doFinalize(); }), 0x120800u);
  EXPECT_TRUE(host().unmounts.empty());
}

TEST_F(SdkMediumJobs, PlainFunctionsAnswerTheDriveLibrarysCodes) {
  start();
  host().records[0x40107014] = {mountInfo(0xE2, 0x81)};  // a rewritable medium cannot be finalized
  EXPECT_EQ(KelDriveSDK_DoFinalize(path().c_str()), 0x3000001u);
  EXPECT_EQ(KelDriveSDK_DoFinalize(nullptr), KELSDK_ERR_INVALID_PARAMETER);

  // A backtrack the progress function declines: success, nothing erased.
  host().records[0x40107014] = {mountInfo(0xE1, 0x81)};
  host().records[0xC0107016] = {trackInfo(3, 1, 0, 0)};
  struct Asked {
    std::vector<unsigned> values;
  } asked;
  auto decline = [](unsigned value, void* user) {
    static_cast<Asked*>(user)->values.push_back(value);
    return 0;
  };
  EXPECT_EQ(KelDriveSDK_DoAllDelete(path().c_str(), 1, 0, decline, &asked), 0u);
  EXPECT_EQ(asked.values, (std::vector<unsigned>{2}));
  EXPECT_EQ(calls(0x8004700E), 0u);
}

// Outside the engine's process no control callback is set: all delete and
// finalize fail at the mount information with 0x120800, and the log gives
// the reason after the step's own line. With the callback the reason is not
// given.
TEST_F(SdkMediumJobs, WithoutAnEngineHostTheLogSaysWhy) {
  const std::u16string reason = u"no engine host in this process";
  const std::function<std::uint64_t()> jobs[] = {
      [this] { return KelDriveSDK_DoAllDelete(path().c_str(), 0, 0, nullptr, nullptr); },
      [this] { return KelDriveSDK_DoFinalize(path().c_str()); }};
  for (const auto& job : jobs) {
    start();
    host().install(0x5151, 4, /*withControl=*/false);
    EXPECT_EQ(job(), 0x120800u);
    const auto& logs = host().logs;
    const auto at = std::find_if(logs.begin(), logs.end(),
                                 [](const LogLine& l) { return l.text == u"getMountInformation error"; });
    ASSERT_NE(at, logs.end());
    ASSERT_NE(at + 1, logs.end());
    EXPECT_EQ((at + 1)->text, reason);
    SdkSimTest::TearDown();
  }
  start();
  host().controlAnswers[0x40107014] = {31};
  EXPECT_EQ(KelDriveSDK_DoFinalize(path().c_str()), 0x120800u);
  EXPECT_TRUE(host().logged("getMountInformation error"));
  EXPECT_FALSE(host().logged("no engine host"));
}

// --- finalize -------------------------------------------------------------------

class SdkFinalize : public SdkMediumJobs {
 protected:
  // A three-slot cartridge of builder images, every slot formatted and
  // written up to its end, slot 2 loaded.
  void cartridgeOfImages(std::uint8_t type) {
    type_ = type;
    kelsim::CartridgeSetup c;
    c.medium_type = type;
    c.slots = 3;
    c.disc_blocks = kImageSectors;
    c.loaded_slot = 2;
    start(type == 0xF2 ? "QMR-T400B" : "QMR-T300B", c);
    // Loaded discs are ready at once: the progress is counted on the manual
    // clock, which a wait for a disc becoming ready would have to move.
    sim_->drive().set_loading_commands(0);
    for (std::uint32_t slot = 0; slot < 3; ++slot) {
      auto spec = udf_test::spec_for(type == 0xF2 ? udf_test::MediumClass::F2 : udf_test::MediumClass::WriteOnce, slot);
      spec.medium_type = type;
      layout_ = udf_test::layout_for(spec);
      std::vector<std::uint8_t> image;
      udf_test::build_volume(spec, image);
      if (slot == 0) {
        // Slot 0's main PVD already holds the number finalize sets.
        std::uint8_t* pvd = &image[std::size_t{layout_.main_vds} * kSector];
        pvd[58] = 3;
        udf_test::reseal(pvd);
      }
      kel_test::record_volume(sim_->cartridge(), static_cast<int>(slot), image.data(), kImageSectors);
    }
    ASSERT_EQ(sim_->cartridge().save(), ERROR_SUCCESS);
    host().records[0x40107014] = {mountInfo(type, 0x91), mountInfo(type, 0x83, 0x1000)};
    host().records[0xC0107016] = {trackInfo(3, 2, kImageSectors - 64, kImageSectors)};
  }
  std::vector<std::uint8_t> slotImage(int slot) {
    std::vector<std::uint8_t> image(std::size_t{kImageSectors} * kSector);
    EXPECT_EQ(sim_->cartridge().read_blocks(slot, 0, kImageSectors, image.data()), ERROR_SUCCESS);
    return image;
  }
  static bool tagHolds(const std::uint8_t* d) {
    return mdcudfsr_check_udf_tag_checksum(d) == 1 && mdcudfsr_check_udf_tag_crc(d, kSector) == 1;
  }
  // Every slot: LVID closed and finalized, PVD maximum sequence number 3.
  void expectFinalized() {
    for (int slot = 0; slot < 3; ++slot) {
      SCOPED_TRACE(slot);
      const auto image = slotImage(slot);
      const std::uint8_t* lvid = &image[std::size_t{layout_.lvid} * kSector];
      EXPECT_TRUE(tagHolds(lvid));
      std::uint32_t integrity, partitions;
      std::memcpy(&integrity, lvid + 28, 4);
      std::memcpy(&partitions, lvid + 72, 4);
      EXPECT_EQ(integrity, 1u);
      const std::uint8_t* id = lvid + 80 + 8 * partitions;
      EXPECT_EQ((Bytes{id[24], id[25], id[28], id[29], id[30], id[31]}), (Bytes{6, 0, 3, 0x13, 0, 0}));
      // Local time of the fixed zone (nine hours east): type 1, +540 minutes.
      EXPECT_EQ(lvid[16] | lvid[17] << 8, 0x1000 | 540);
      for (std::uint32_t at : {layout_.main_vds, layout_.reserve_vds}) {
        const std::uint8_t* pvd = &image[std::size_t{at} * kSector];
        EXPECT_TRUE(tagHolds(pvd));
        EXPECT_EQ(pvd[58] | pvd[59] << 8, 3);
        const bool kept = slot == 0 && at == layout_.main_vds;
        EXPECT_EQ(pvd[388 + 29] == 0x13, !kept) << at;
      }
    }
  }
  std::uint8_t type_ = 0;
  udf_test::ImageLayout layout_{};
};

TEST_F(SdkFinalize, ThreeSlotsOfWriteOnceMediaAreRewrittenAndClosed) {
  for (std::uint8_t type : {std::uint8_t{0xE1}, std::uint8_t{0xF2}}) {
    SCOPED_TRACE(static_cast<int>(type));
    progress_.values.clear();
    cartridgeOfImages(type);
    EXPECT_EQ(run([](PxoUtilityImpl& p) { return p.doFinalize(); }), 0u);
    expectFinalized();
    EXPECT_EQ(commands(0x5B).size(), 3u);
    EXPECT_EQ(progress_.taken(), (std::vector<int>{0, 10, 30, 40, 53, 66, 80, 90, 98, 99, 100}));
    EXPECT_EQ(host().mounts, 1);
    if (type == 0xF2) {
      // The sequences go MVDS RUB first, then the RVDS RUB, each reserved.
      std::vector<std::uint32_t> vdsWrites;
      for (const auto& e : commands(0x2A)) {
        const std::uint32_t lba = kelsim::get_be32(e.cdb.data() + 2);
        if (lba == 0x180 || lba == 0x200) vdsWrites.push_back(lba);
      }
      EXPECT_EQ(vdsWrites, (std::vector<std::uint32_t>{0x180, 0x200, 0x180, 0x200, 0x180, 0x200}));
      EXPECT_EQ(commands(0xD2).size(), commands(0x2A).size());
    }
    for (int slot = 0; slot < 3; ++slot) EXPECT_TRUE(sim_->cartridge().disc(slot).finalized) << slot;
    SdkSimTest::TearDown();
  }
}

TEST_F(SdkFinalize, UdfinfoParsesEveryFinalizedSlot) {
  if (access("/usr/bin/udfinfo", X_OK) != 0) GTEST_SKIP() << "udfinfo is not installed";
  cartridgeOfImages(0xE1);
  ASSERT_EQ(run([](PxoUtilityImpl& p) { return p.doFinalize(); }), 0u);
  for (int slot = 0; slot < 3; ++slot) {
    char name[32];
    std::snprintf(name, sizeof name, "/slot-%02d.img", slot);
    const std::string command = "/usr/bin/udfinfo --blocksize=2048 " + sim_->cartridge().directory() + name + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
    const int status = pclose(pipe);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out.find("rror"), std::string::npos) << out;
    EXPECT_NE(out.find("integrity=closed\n"), std::string::npos) << out;
  }
}

TEST_F(SdkFinalize, AFailedWriteLeavesPrivilegedModeAndASecondRunFinishes) {
  cartridgeOfImages(0xE1);
  // Every write of an LVIS RUB fails after three have passed: slot 2
  // marked finalizing, slot 0 marked and closed; slot 1's mark fails.
  kelsim::FaultRule fail = kelsim::write_error(layout_.lvid, layout_.lvid);
  fail.skip = 3;
  sim_->drive().add_fault(fail);
  const std::uint32_t first = run([](PxoUtilityImpl& p) { return p.doFinalize(); });
  EXPECT_EQ(first, 0x110600u);
  EXPECT_TRUE(sim_->cartridge().disc(0).finalized);
  EXPECT_FALSE(sim_->cartridge().disc(1).finalized);
  const auto codes = host().controlCodes();
  EXPECT_EQ(codes[codes.size() - 2], 0x20007001u);  // privileged mode left
  EXPECT_EQ(host().unmounts, (std::vector<bool>{true}));

  sim_->drive().clear_faults();
  sim_->service().clear_transcript();
  host().records[0x40107014] = {mountInfo(0xE1, 0x91), mountInfo(0xE1, 0x83, 0x1000)};
  EXPECT_EQ(run([](PxoUtilityImpl& p) { return p.doFinalize(); }), 0u);
  expectFinalized();
  // Slot 0 (disc status 2) is passed over: no reads of its descriptors.
  EXPECT_EQ(commands(0x5B).size(), 2u);
}

TEST_F(SdkFinalize, AFailedCloseLeavesAFinalizedLvidThatOnlyGetsItsClose) {
  cartridgeOfImages(0xE1);
  kelsim::FaultRule close = kelsim::command_fails(0x5B, {0x03, 0x0C, 0x00});
  close.skip = 1;  // slot 0 closes; slot 1's close fails
  sim_->drive().add_fault(close);
  EXPECT_EQ(run([](PxoUtilityImpl& p) { return p.doFinalize(); }), 0x110D00u);
  sim_->drive().clear_faults();
  const auto lvisWrites = [&] {
    std::size_t n = 0;
    for (const auto& e : commands(0x2A)) n += kelsim::get_be32(e.cdb.data() + 2) == layout_.lvid;
    return n;
  };
  sim_->service().clear_transcript();
  host().records[0x40107014] = {mountInfo(0xE1, 0x91), mountInfo(0xE1, 0x83, 0x1000)};
  EXPECT_EQ(run([](PxoUtilityImpl& p) { return p.doFinalize(); }), 0u);
  expectFinalized();
  // Slot 1 (already closed and finalized in its LVID) and slot 2: two
  // closes; only slot 2's LVID is written, once.
  EXPECT_EQ(commands(0x5B).size(), 2u);
  EXPECT_EQ(lvisWrites(), 1u);
}

TEST_F(SdkFinalize, StatesThatRefuseOrEndEarly) {
  const struct {
    const char* name;
    Bytes before, after;
    std::uint32_t result;
  } rows[] = {
      {"mounted elsewhere", mountInfo(0xE1, 0x91, 0, 1), {}, 0x3000001},
      {"rewritable", mountInfo(0xE2, 0x91), {}, 0x3000001},
      {"protected", mountInfo(0xE1, 0x91, 0x1000), {}, 0x3000001},
      {"not valid", mountInfo(0xE1, 0x11), {}, 0x3000001},
      {"raw", mountInfo(0xE1, 0x91, 0, 0, 2), {}, 0x3000001},
      {"not finalized after", mountInfo(0xE1, 0x92), mountInfo(0xE1, 0x91), 0x3000002},
      {"no reason after", mountInfo(0xE1, 0x92), mountInfo(0xE1, 0x83), 0x3000002},
      {"other medium after", mountInfo(0xE1, 0x92), mountInfo(0xE2, 0x83, 0x1000), 0x3000002},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    cartridgeOfImages(0xE1);
    host().records[0x40107014] = {row.before};
    if (!row.after.empty()) host().records[0x40107014].push_back(row.after);
    // Every disc already complete: no descriptor work, whatever the state.
    for (int slot = 0; slot < 3; ++slot) sim_->cartridge().disc(slot).status = kelsim::DiscStatus::Complete;
    EXPECT_EQ(run([](PxoUtilityImpl& p) { return p.doFinalize(); }), row.result);
    EXPECT_TRUE(commands(0x2A).empty());
    EXPECT_TRUE(commands(0x5B).empty());
    SdkSimTest::TearDown();
  }
}

TEST_F(SdkFinalize, RoomAndResourcesMarkTheVolumeFull) {
  const struct {
    const char* name;
    std::uint8_t type;
    std::uint32_t next, end;
    std::uint32_t mapEntries, updates;
    std::uint16_t opc;
    std::uint32_t count;
    bool roomy, full, newTrack;
  } rows[] = {
      {"E1 room and resources", 0xE1, 0, 0x40000, 257, 101, 5, 3, true, true, false},
      {"E1 just too little room", 0xE1, 1, 0x40000, 257, 101, 5, 3, false, false, false},
      {"F2 room", 0xF2, 0, 0x180000, 257, 101, 5, 3, true, true, false},
      {"F2 below its threshold", 0xF2, 0, 0x17FFFF, 257, 101, 5, 3, false, false, false},
      {"whole track free", 0xE1, 0xFFFFFFFF, 0x40000, 257, 101, 5, 3, true, true, false},
      {"next address past the end", 0xE1, 0x50000, 0x40000, 257, 101, 5, 3, false, false, false},
      {"map entries short", 0xE1, 0, 0x40000, 256, 101, 5, 3, true, false, false},
      {"updates short", 0xE1, 0, 0x40000, 257, 100, 5, 3, true, false, false},
      {"OPC short", 0xE1, 0, 0x40000, 257, 101, 4, 3, true, false, false},
      {"not the last slot", 0xE1, 0, 0x10, 257, 101, 5, 4, false, false, true},
      {"resources short, not the last slot", 0xE1, 0, 0x40000, 256, 101, 5, 4, true, false, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    kelsim::CartridgeSetup c;
    c.medium_type = row.type;
    c.loaded_slot = 2;
    c.pow_map_entries = row.mapEntries;
    c.pow_updates = row.updates;
    c.opc_count = row.opc;
    start("QMR-T400B", c);
    dirty_.clear();
    for (int slot = 0; slot < sim_->cartridge().slots(); ++slot) {
      sim_->cartridge().disc(slot).formatted = true;
      sim_->cartridge().disc(slot).status = kelsim::DiscStatus::Complete;
    }
    keepDirtyRecords();
    host().records[0x40107014] = {mountInfo(row.type, 0x91), mountInfo(row.type, 0x83, 0x1000)};
    host().records[0xC0107016] = {trackInfo(row.count, 2, row.next, row.end)};
    EXPECT_EQ(run([](PxoUtilityImpl& p) { return p.doFinalize(); }), 0u);
    EXPECT_EQ(dirty_.size(), row.full ? 1u : 0u);
    if (row.full) {
      EXPECT_EQ(dirty_[0], (Bytes{2, 0, 0, 0}));
    }
    EXPECT_EQ(calls(0x20007044), row.newTrack ? 1u : 0u);
    EXPECT_EQ(calls(0xC0107016), row.newTrack ? 2u : 1u);
    EXPECT_EQ(commands(0xD5).size(), row.roomy ? 1u : 0u);
    SdkSimTest::TearDown();
  }
}

}  // namespace
}  // namespace sdktest
