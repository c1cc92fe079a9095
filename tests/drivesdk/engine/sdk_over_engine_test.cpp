// The drive utility library's medium jobs over the real engine in this
// process: the engine's own file-system controls, mount and unmount (the
// forwarders of the running interface) are the library's callbacks, and the
// volume is the one the engine wrote on the simulated drive. Finalize, all
// delete and the rollback point search without injected failures.
#include "engine/main/engine_on_sim.h"

#include "KelDriveSDK/KelDriveSDK.h"
#include "KelDriveSDK/quorvel_api.h"
#include "drivesdk/confirm.h"
#include "finalize.h"
#include "rollback.h"
#include "scsi_device.h"
#include "utility_impl.h"

#include "kel/entry.h"
#include "kel/kel_interface.h"
#include "kel/mdcfs.h"
#include "kel/volctrl.h"
#include "kelmain/slots.h"
#include "platform/sync.h"
#include "support/udfinfo.h"
#include "udf/udf_tag.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using PxoUtilityLib::PxoUtilityImpl;
using PxoUtilityLib::PxoUtilityLibException;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kSector = 2048;

struct Recorder : PxoUtilityLib::ProcessCallback {
  std::mutex mu;
  std::vector<int> values;
  void progress(std::uint8_t percent, std::uint32_t) override {
    std::lock_guard<std::mutex> g(mu);
    values.push_back(percent);
  }
};

std::int64_t collect_name(const void* context, std::uint64_t, const char*, const void* record) {
  auto* names = static_cast<std::vector<std::string>*>(const_cast<void*>(context));
  names->push_back(static_cast<const KELFS_OBJECT_INFO*>(record)->ObjectName);
  return 0;
}

class SdkOverEngine : public enginetest::EngineOnSim {
 protected:
  void SetUp() override {
    EngineOnSim::SetUp();
    setenv("TZ", "UTC-9", 1), tzset();
    RuvoCtrlVolume::resetForTesting();
  }
  void TearDown() override {
    KelDriveSDK_Quorvel_SetCallbacks(nullptr, nullptr, nullptr, nullptr, 0, 0);
    kel::SetCurrentInterface(nullptr);
    RuvoCtrlVolume::resetForTesting();
    EngineOnSim::TearDown();
    kel_test::settles([] { return !PxoUtilityLib::sdkServiceInterface().isConnected(); });
    unsetenv("TZ");
    tzset();
  }
  // The engine initialised on a blank medium and mounted; the interface
  // runs and the library's callbacks are its forwarders.
  void engineMounted(std::uint8_t medium, int phase) {
    ASSERT_NO_FATAL_FAILURE(start_sim(medium, medium == 0xF2 ? "QMR-T400B" : "QMR-T300B"));
    ASSERT_EQ(initialise(), 0);
    ASSERT_EQ(kelmain::MountDefault(), 0);
    ASSERT_NO_FATAL_FAILURE(interfaceRuns(phase));
  }
  std::u16string path() const { return PxoUtilityLib::widen(sim_->cookie_text()); }
  std::uint32_t run(const std::function<std::uint32_t(PxoUtilityImpl&)>& job) {
    try {
      PxoUtilityImpl impl(path(), &progress_);
      return job(impl);
    } catch (const PxoUtilityLibException& e) {
      return e.code();
    }
  }
  void makeFolders(const std::vector<std::string>& names) {
    for (const auto& n : names) ASSERT_EQ(kelmain::CreateDirectory("/", n.c_str(), false), 0) << n;
  }
  // An empty file as CreateFile leaves it (its data comes through the
  // writer, which these jobs do not need).
  void makeFile(const char* name) {
    char stored[264] = {};
    void* made = nullptr;
    ASSERT_EQ(kelmain::CreateFile("/", name, sizeof stored, stored, &made), 0);
    ASSERT_EQ(kelmain::CloseFile(made, false), 0);
  }
  std::vector<std::string> rootListing() {
    std::vector<std::string> names;
    EXPECT_EQ(kelmain::ReadDirectory(&names, 0, "/", collect_name), 0);
    return names;
  }
  kelmain::MountInformation mountInformation() {
    kelmain::MountInformation mi{};
    EXPECT_EQ(kelmain::Fsctl(kelmain::kFsctlMountInformation, &mi), 0);
    return mi;
  }
  std::vector<std::uint8_t> slotImage(int slot, std::uint32_t sectors) {
    std::vector<std::uint8_t> image(std::size_t{sectors} * kSector);
    EXPECT_EQ(sim_->cartridge().read_blocks(slot, 0, sectors, image.data()), ERROR_SUCCESS);
    return image;
  }
  std::size_t commands(std::uint8_t opcode) const {
    std::size_t n = 0;
    for (const auto& e : sim_->service().transcript()) n += !e.is_notice() && !e.cdb.empty() && e.cdb[0] == opcode;
    return n;
  }

  void interfaceRuns(int phase) {
    ASSERT_GE(itf_.Initialise(&kelmain::operation_table()), 0);
    kel::SetCurrentInterface(&itf_);
    ASSERT_EQ(KelDriveSDK_Quorvel_SetCallbacks(ForwardMountDefault, ForwardUnmount, quorvel_fsctl,
                                               ForwardLogMessage, 0x5151, phase),
              0u);
  }

  void finalizeTheEnginesVolume(std::uint8_t type);
  void allDeleteTheEnginesVolume(std::uint8_t type);
  void searchTheEnginesFlushes(std::uint8_t type);

  CKelInterface itf_;
  Recorder progress_;
};

// --- finalize -------------------------------------------------------------------

// The udfinfo report of a slot image of the cartridge; empty (and a skip
// reason) without the tool.
std::string udfinfo(const std::string& image, int* status) {
  const std::string command = "/usr/bin/udfinfo --blocksize=2048 " + image + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return {};
  std::string out;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
  *status = pclose(pipe);
  return out;
}

TEST_F(SdkOverEngine, FinalizeClosesTheVolumeTheEngineWroteAndItMountsFinalized) {
  for (std::uint8_t type : {std::uint8_t{0xE1}, std::uint8_t{0xF2}}) {
    SCOPED_TRACE(static_cast<int>(type));
    ASSERT_NO_FATAL_FAILURE(finalizeTheEnginesVolume(type));
    TearDown();
    SetUp();
    progress_.values.clear();
  }
}

void SdkOverEngine::finalizeTheEnginesVolume(std::uint8_t type) {
  ASSERT_NO_FATAL_FAILURE(engineMounted(type, 4));
  ASSERT_NO_FATAL_FAILURE(makeFolders({"a", "b"}));
  ASSERT_NO_FATAL_FAILURE(makeFile("note.txt"));
  ASSERT_EQ(kelmain::Flush(true), 0);
  const auto before = mountInformation();
  ASSERT_EQ(before.volume_status & 0x8F, 0x81);

  ASSERT_EQ(run([](PxoUtilityImpl& p) { return p.doFinalize(); }), 0u);
  // One slot: its descriptors take the whole 40 to 80.
  EXPECT_EQ(progress_.values, (std::vector<int>{0, 10, 30, 40, 80, 90, 98, 99, 100}));
  EXPECT_EQ(commands(0x5B), 1u);  // CLOSE TRACK/SESSION of the one slot
  EXPECT_TRUE(sim_->cartridge().disc(0).finalized);
  // Mounted again by the library through the engine: finalized and
  // write-protected for that reason, the files still there.
  ASSERT_NE(kel_global_mount()->mnt_data, nullptr);
  const auto after = mountInformation();
  EXPECT_EQ(after.volume_status, 0x83);
  EXPECT_EQ(after.write_protect_reason_flags & 0x1000u, 0x1000u);
  const auto names = rootListing();
  for (const char* n : {"a", "b", "note.txt"})
    EXPECT_NE(std::find(names.begin(), names.end(), n), names.end()) << n;

  if (access("/usr/bin/udfinfo", X_OK) != 0) GTEST_SKIP() << "udfinfo is not installed";
  int status = -1;
  const std::string out = udfinfo(sim_->cartridge().directory() + "/slot-00.img", &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(out.find("rror"), std::string::npos) << out;
  EXPECT_NE(out.find("integrity=closed\n"), std::string::npos) << out;
}

// A rewritable volume is never finalized: refused before any write, and
// the volume stays mounted with its files.
TEST_F(SdkOverEngine, FinalizeOfARewritableVolumeIsRefusedAndLeavesItMounted) {
  ASSERT_NO_FATAL_FAILURE(engineMounted(0xE2, 4));
  ASSERT_NO_FATAL_FAILURE(makeFolders({"a"}));
  ASSERT_EQ(kelmain::Flush(true), 0);
  const std::size_t writes = commands(0x2A);
  EXPECT_EQ(run([](PxoUtilityImpl& p) { return p.doFinalize(); }), 0x3000001u);
  EXPECT_EQ(commands(0x2A), writes);
  EXPECT_EQ(commands(0x5B), 0u);
  ASSERT_NE(kel_global_mount()->mnt_data, nullptr);
  EXPECT_EQ(mountInformation().volume_status & 0x8F, 0x81);
  const auto names = rootListing();
  EXPECT_NE(std::find(names.begin(), names.end(), "a"), names.end());
}

// The volume the engine wrote over three slots: a folder flushed on each,
// the engine going on to the next slot through its new-track control, the
// one the file writer sends when a disc is full.
class ThreeSlotVolume : public SdkOverEngine {
 protected:
  // The descriptors finalize rewrites, found as a reader finds them: the
  // anchor at 256 names both sequences, the main sequence's LVD the
  // integrity sequence.
  struct Located {
    std::uint32_t mainPvd = 0, reservePvd = 0, lvid = 0;
  };
  Bytes sector(int slot, std::uint32_t lba) {
    Bytes b(kSector);
    EXPECT_EQ(sim_->cartridge().read_blocks(slot, lba, 1, b.data()), ERROR_SUCCESS) << slot << " " << lba;
    return b;
  }
  static std::uint16_t tagOf(const Bytes& b) { return static_cast<std::uint16_t>(b[0] | b[1] << 8); }
  static std::uint32_t u32(const Bytes& b, std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
  }
  static std::uint16_t u16(const Bytes& b, std::size_t at) { return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8); }
  static bool tagHolds(const Bytes& b) {
    return mdcudfsr_check_udf_tag_checksum(b.data()) == 1 && mdcudfsr_check_udf_tag_crc(b.data(), kSector) == 1;
  }
  // First sector of tag `tag` in the extent (length in bytes, location).
  std::uint32_t find(int slot, std::uint32_t length, std::uint32_t location, std::uint16_t tag) {
    for (std::uint32_t i = 0; i < std::min<std::uint32_t>(length / kSector, 64); ++i)
      if (tagOf(sector(slot, location + i)) == tag) return location + i;
    ADD_FAILURE() << "slot " << slot << ": no descriptor " << tag << " at " << location;
    return 0;
  }
  Located locate(int slot) {
    Located at;
    const Bytes avdp = sector(slot, 256);
    EXPECT_EQ(tagOf(avdp), 2) << slot;
    at.mainPvd = find(slot, u32(avdp, 16), u32(avdp, 20), 1);
    at.reservePvd = find(slot, u32(avdp, 24), u32(avdp, 28), 1);
    const Bytes lvd = sector(slot, find(slot, u32(avdp, 16), u32(avdp, 20), 6));
    at.lvid = u32(lvd, 436);
    return at;
  }
  void nextSlot() {
    ASSERT_EQ(kelmain::Fsctl(0x20007007, nullptr), 0);
    ASSERT_EQ(kelmain::Fsctl(0x20007000, nullptr), 0);
    ASSERT_EQ(kelmain::Fsctl(0x20007044, nullptr), 0);
    ASSERT_EQ(kelmain::Fsctl(0x20007001, nullptr), 0);
  }
  void threeSlotsWritten(std::uint8_t type) {
    ASSERT_NO_FATAL_FAILURE(engineMounted(type, 4));
    for (int slot = 0; slot < kSlots; ++slot) {
      if (slot > 0) {
        ASSERT_NO_FATAL_FAILURE(nextSlot());
      }
      ASSERT_NO_FATAL_FAILURE(makeFolders({"s" + std::to_string(slot)}));
      ASSERT_EQ(kelmain::Flush(true), 0);
      ASSERT_EQ(sim_->cartridge().loaded_slot, slot);
    }
    ASSERT_EQ(mountInformation().volume_status & 0x8F, 0x81);
  }
  // Where every slot's descriptors lie, its PVDs before finalize, and the
  // number finalize writes into them.
  struct Before {
    std::vector<Located> at;
    std::vector<Bytes> pvds;
    std::uint16_t v = 0;
  };
  void recordBefore(Before& b) {
    for (int slot = 0; slot < kSlots; ++slot) {
      b.at.push_back(locate(slot));
      ASSERT_NE(b.at.back().lvid, 0u) << slot;
      for (std::uint32_t lba : {b.at.back().mainPvd, b.at.back().reservePvd}) b.pvds.push_back(sector(slot, lba));
    }
    // The sequence number of the last slot is the volume's number of discs.
    b.v = u16(sector(kSlots - 1, b.at.back().mainPvd), 56);
    ASSERT_EQ(b.v, kSlots);
  }
  void expectSlotFinalized(const Before& b, int slot);
  void expectFinalized(const Before& b);
  void finalizeThreeSlots(std::uint8_t type);
  static constexpr int kSlots = 3;
};

void ThreeSlotVolume::expectSlotFinalized(const Before& b, int slot) {
  SCOPED_TRACE(slot);
  EXPECT_TRUE(sim_->cartridge().disc(slot).finalized);
  const Bytes lvid = sector(slot, b.at[slot].lvid);
  EXPECT_EQ(tagOf(lvid), 9);
  EXPECT_TRUE(tagHolds(lvid));
  EXPECT_EQ(u32(lvid, 28), 1u);  // Close
  const std::size_t id = 80 + 8 * std::size_t{u32(lvid, 72)};
  EXPECT_EQ((Bytes{lvid[id + 24], lvid[id + 25], lvid[id + 28], lvid[id + 29], lvid[id + 30], lvid[id + 31]}),
            (Bytes{6, 0, 3, 0x13, 0, 0}));
  EXPECT_EQ(u16(lvid, 16), 0x1000 | 540);  // local time nine hours east
  for (int which = 0; which < 2; ++which) {
    const Bytes pvd = sector(slot, which == 0 ? b.at[slot].mainPvd : b.at[slot].reservePvd);
    const Bytes& before = b.pvds[static_cast<std::size_t>(slot * 2 + which)];
    EXPECT_TRUE(tagHolds(pvd)) << which;
    EXPECT_EQ(u16(pvd, 58), b.v) << which;
    // A PVD that already held the number keeps every byte.
    if (u16(before, 58) == b.v)
      EXPECT_EQ(pvd, before) << which;
    else
      EXPECT_EQ(pvd[388 + 29], 0x13) << which;
  }
}

// Every slot closed, and the volume mounted again through the engine:
// finalized, write-protected for that reason, the folders of every slot
// there; udfinfo reads every slot image as closed.
void ThreeSlotVolume::expectFinalized(const Before& b) {
  for (int slot = 0; slot < kSlots; ++slot) expectSlotFinalized(b, slot);
  const auto after = mountInformation();
  EXPECT_EQ(after.volume_status, 0x83);
  EXPECT_EQ(after.write_protect_reason_flags & 0x1000u, 0x1000u);
  const auto names = rootListing();
  for (int slot = 0; slot < kSlots; ++slot)
    EXPECT_NE(std::find(names.begin(), names.end(), "s" + std::to_string(slot)), names.end()) << slot;
  for (int slot = 0; slot < kSlots; ++slot) {
    char image[32];
    std::snprintf(image, sizeof image, "/slot-%02d.img", slot);
    expect_udfinfo(sim_->cartridge().directory() + image, {"integrity=closed"});
  }
}

TEST_F(ThreeSlotVolume, EverySlotTheEngineWroteIsClosedAndTheVolumeMountsFinalized) {
  for (std::uint8_t type : {std::uint8_t{0xE1}, std::uint8_t{0xF2}}) {
    SCOPED_TRACE(static_cast<int>(type));
    ASSERT_NO_FATAL_FAILURE(finalizeThreeSlots(type));
    TearDown();
    SetUp();
    progress_.values.clear();
  }
}

void ThreeSlotVolume::finalizeThreeSlots(std::uint8_t type) {
  ASSERT_NO_FATAL_FAILURE(threeSlotsWritten(type));
  Before before;
  ASSERT_NO_FATAL_FAILURE(recordBefore(before));
  ASSERT_EQ(run([](PxoUtilityImpl& p) { return p.doFinalize(); }), 0u);
  EXPECT_EQ(progress_.values, (std::vector<int>{0, 10, 30, 40, 53, 66, 80, 90, 98, 99, 100}));
  EXPECT_EQ(commands(0x5B), std::size_t{kSlots});  // CLOSE TRACK/SESSION of every slot
  expectFinalized(before);
}

// A write that fails on slot 1 stops the run with the drive's code, the
// privileged mode left and the volume unmounted; the host mounts the volume
// again, and a second run finishes it without touching slot 0 again.
TEST_F(ThreeSlotVolume, AFailedWriteOnTheSecondSlotIsFinishedByASecondRun) {
  ASSERT_NO_FATAL_FAILURE(threeSlotsWritten(0xE1));
  Before before;
  ASSERT_NO_FATAL_FAILURE(recordBefore(before));
  // Every integrity sequence write on slot 1 fails, its finalizing mark
  // first.
  kelsim::FaultRule fail = kelsim::write_error(before.at[1].lvid, before.at[1].lvid);
  fail.slot = 1;
  sim_->drive().add_fault(fail);
  enginetest::clear_log();
  EXPECT_EQ(run([](PxoUtilityImpl& p) { return p.doFinalize(); }), 0x110600u);
  EXPECT_TRUE(sim_->cartridge().disc(0).finalized);
  EXPECT_FALSE(sim_->cartridge().disc(1).finalized);
  EXPECT_FALSE(sim_->cartridge().disc(2).finalized);
  EXPECT_EQ(kel_global_mount()->mnt_data, nullptr);
  EXPECT_TRUE(enginetest::logged("EXIT_PRIVILEGED_MODE flag trun off"));

  sim_->drive().clear_faults();
  sim_->service().clear_transcript();
  progress_.values.clear();
  ASSERT_EQ(kelmain::MountDefault(), 0);
  // Mounted half finalized: valid, open, state 2 (finalizing).
  EXPECT_EQ(mountInformation().volume_status, 0x92);
  ASSERT_EQ(run([](PxoUtilityImpl& p) { return p.doFinalize(); }), 0u);
  EXPECT_EQ(commands(0x5B), std::size_t{kSlots - 1});
  EXPECT_EQ(progress_.values.back(), 100);
  expectFinalized(before);
}

// --- all delete -------------------------------------------------------------------

TEST_F(SdkOverEngine, AllDeleteLeavesAnEmptyRootTheFileCountAgreesWith) {
  for (std::uint8_t type : {std::uint8_t{0xE1}, std::uint8_t{0xE2}, std::uint8_t{0xF2}}) {
    SCOPED_TRACE(static_cast<int>(type));
    ASSERT_NO_FATAL_FAILURE(allDeleteTheEnginesVolume(type));
    TearDown();
    SetUp();
    progress_.values.clear();
  }
}

void SdkOverEngine::allDeleteTheEnginesVolume(std::uint8_t type) {
  ASSERT_NO_FATAL_FAILURE(engineMounted(type, 4));
  ASSERT_NO_FATAL_FAILURE(makeFolders({"a", "b"}));
  ASSERT_NO_FATAL_FAILURE(makeFile("note.txt"));
  ASSERT_EQ(kelmain::Flush(true), 0);
  PxoUtilityLib::FileCount before{};
  ASSERT_EQ(kelmain::Fsctl(kelmain::kFsctlObjectCounts, &before), 0);
  ASSERT_GE(before.files, 1u);

  // The engine holds no volume after the library's unmount: the library
  // reads the erased volume's root from the disc.
  ASSERT_EQ(run([](PxoUtilityImpl& p) { return p.doAllDelete(false, nullptr); }), 0u);
  EXPECT_EQ(progress_.values, (std::vector<int>{0, 25, 40, 80, 98, 99, 100}));
  // The library unmounts and never mounts: the host mounts afterwards.
  EXPECT_EQ(kel_global_mount()->mnt_data, nullptr);
  ASSERT_EQ(kelmain::MountDefault(), 0);
  EXPECT_EQ(mountInformation().volume_status & 0x8F, 0x81);
  std::vector<std::string> names = rootListing();
  names.erase(std::remove_if(names.begin(), names.end(), [](const std::string& n) { return n == "." || n == ".."; }),
              names.end());
  EXPECT_TRUE(names.empty()) << names.front();
  PxoUtilityLib::FileCount after{9, 9};
  ASSERT_EQ(kelmain::Fsctl(kelmain::kFsctlObjectCounts, &after), 0);
  EXPECT_EQ(after.files, 0u);
  EXPECT_LE(after.directories, 1u);
  for (const char* n : {"/a", "/b", "/note.txt"}) {
    KELFS_OBJECT_INFO info{};
    EXPECT_NE(kelmain::GetPathInfo(n, 0, &info), 0) << n;
  }
}

// A host that, as soon as the library unmounted the erased volume, mounts
// it, makes a folder by the given name, flushes and unmounts again (another
// program in between): the engine holds no volume when the library checks,
// and the disc holds the folder.
std::string g_folderAfterUnmount;
int unmountThenFolder(bool force) {
  if (const int r = ForwardUnmount(force)) return r;
  if (const int r = kelmain::MountDefault()) return r;
  if (const int r = kelmain::CreateDirectory("/", g_folderAfterUnmount.c_str(), false)) return r;
  if (const int r = kelmain::Flush(true)) return r;
  return kelmain::Unmount(true);
}

TEST_F(SdkOverEngine, TheOneFolderAnEmptyVolumeMayHoldIsTheMetadataFolder) {
  const struct {
    const char* folder;
    std::uint32_t result;
  } rows[] = {{"$QuorvelData", 0}, {"data", 0x1000003}, {"$QuorvelData2", 0x1000003}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.folder);
    ASSERT_NO_FATAL_FAILURE(engineMounted(0xE1, 4));
    g_folderAfterUnmount = row.folder;
    ASSERT_EQ(KelDriveSDK_Quorvel_SetCallbacks(ForwardMountDefault, unmountThenFolder, quorvel_fsctl,
                                               ForwardLogMessage, 0x5151, 4),
              0u);
    ASSERT_NO_FATAL_FAILURE(makeFolders({"a"}));
    ASSERT_NO_FATAL_FAILURE(makeFile("note.txt"));
    ASSERT_EQ(kelmain::Flush(true), 0);
    EXPECT_EQ(run([](PxoUtilityImpl& p) { return p.doAllDelete(false, nullptr); }), row.result);
    EXPECT_EQ(kel_global_mount()->mnt_data, nullptr);
    // The engine's own answer of the volume mounted again agrees.
    ASSERT_EQ(kelmain::MountDefault(), 0);
    PxoUtilityLib::FileCount count{9, 9};
    ASSERT_EQ(kelmain::Fsctl(kelmain::kFsctlObjectCounts, &count), 0);
    EXPECT_EQ(count.files, 0u);
    EXPECT_EQ(count.directories, 1u);
    TearDown();
    SetUp();
  }
}

// --- backtrack -------------------------------------------------------------------

using sdktest::Confirm;

// A write-once volume cannot go back: the callback's no leaves it as it
// was; asked anyway, the engine refuses the backtrack when the privileged
// mode ends, and the volume keeps its files and takes new ones.
TEST_F(SdkOverEngine, ABacktrackOfAWriteOnceVolumeErasesNothing) {
  ASSERT_NO_FATAL_FAILURE(engineMounted(0xE1, 4));
  ASSERT_NO_FATAL_FAILURE(makeFolders({"a", "b"}));
  ASSERT_NO_FATAL_FAILURE(makeFile("note.txt"));
  ASSERT_EQ(kelmain::Flush(true), 0);
  auto expectAsBefore = [this] {
    EXPECT_EQ(kel_global_mount()->mnt_data, nullptr);  // the library unmounted, never mounted
    ASSERT_EQ(kelmain::MountDefault(), 0);
    const auto mi = mountInformation();
    EXPECT_EQ(mi.volume_status & 0x8F, 0x81);
    EXPECT_EQ(mi.write_protect_reason_flags, 0u);
    const auto names = rootListing();
    for (const char* n : {"a", "b", "note.txt"})
      EXPECT_NE(std::find(names.begin(), names.end(), n), names.end()) << n;
  };

  Confirm no;
  no.answer = false;
  sim_->service().clear_transcript();
  ASSERT_EQ(run([&](PxoUtilityImpl& p) { return p.doAllDelete(true, &no); }), 0u);
  EXPECT_EQ(no.asked, (std::vector<std::uint32_t>{1}));  // slot 0, plus one
  EXPECT_EQ(commands(0x2A), 0u);
  ASSERT_NO_FATAL_FAILURE(expectAsBefore());

  Confirm yes;
  progress_.values.clear();
  EXPECT_EQ(run([&](PxoUtilityImpl& p) { return p.doAllDelete(true, &yes); }), 0x120200u);
  EXPECT_EQ(yes.asked, (std::vector<std::uint32_t>{1}));
  EXPECT_EQ(progress_.values, (std::vector<int>{0, 40}));
  ASSERT_NO_FATAL_FAILURE(expectAsBefore());
  ASSERT_NO_FATAL_FAILURE(makeFolders({"c"}));
  ASSERT_EQ(kelmain::Flush(true), 0);
  ASSERT_EQ(kelmain::Unmount(false), 0);
  ASSERT_EQ(kelmain::MountDefault(), 0);
  const auto names = rootListing();
  EXPECT_NE(std::find(names.begin(), names.end(), "c"), names.end());
}

// --- rewritable backtrack ------------------------------------------------------------

// The process clock while the library polls a backtrack of the engine: the
// real clock, except that a pause of the polling thread (this test's) takes
// no real time and runs the test's next step instead; without steps left a
// pause moves the clock on by its length, so that the library's bound ends a
// poll that would never end.
class PollSteps final : public platform::Clock {
 public:
  explicit PollSteps(std::vector<std::function<void()>> steps) : steps_(std::move(steps)) {}
  std::uint64_t now_ms() override { return real_.now_ms() + offset_.load(); }
  void wait_until(std::unique_lock<std::mutex>& lk, std::condition_variable& cv, std::uint64_t deadline) override {
    const std::uint64_t offset = offset_.load();
    real_.wait_until(lk, cv, deadline > offset ? deadline - offset : 0);
  }
  void sleep_ms(std::uint64_t ms) override {
    if (std::this_thread::get_id() != owner_) return real_.sleep_ms(ms);
    ++pauses;
    if (next_ < steps_.size()) return steps_[next_++]();
    offset_ += ms;
  }
  int pauses = 0;

 private:
  platform::SteadyClock real_;
  std::atomic<std::uint64_t> offset_{0};
  const std::thread::id owner_ = std::this_thread::get_id();
  std::vector<std::function<void()>> steps_;
  std::size_t next_ = 0;
};

// The control forwarder that adds a fault rule to the drive once the volume
// is marked for the backtrack: the rule then meets only the backtrack
// thread's commands.
kelsim::SimHarness* g_sim = nullptr;
kelsim::FaultRule g_afterMark;
int controlFaultAfterMark(unsigned code, void* record) {
  const int r = quorvel_fsctl(code, record);
  if (code == PxoUtilityLib::kFsctlMarkVolumeDirty && r == 0) g_sim->drive().add_fault(g_afterMark);
  return r;
}

class RewritableBacktrack : public SdkOverEngine {
 protected:
  void TearDown() override {
    if (sim_) sim_->service().release_held();
    g_sim = nullptr;
    SdkOverEngine::TearDown();
  }
  // A one-slot rewritable volume of volume type 1 (registry "Volume Type"),
  // with folders and a file flushed; the fault rule is added to the drive
  // after the mark.
  void typeOneVolume(const kelsim::FaultRule& afterMark) {
    {
      std::ofstream f(dir_ / "registry.reg", std::ios::trunc);
      f << "Windows Registry Editor Version 5.00\n\n"
        << "[HKEY_LOCAL_MACHINE\\Software\\Quorvel\\Stravo\\KELFS]\n\"Volume Type\"=dword:00000001\n";
    }
    kel::ResetConfigCache();
    ASSERT_NO_FATAL_FAILURE(engineMounted(0xE2, 4));
    ASSERT_EQ(typeByte(), 0x12);
    ASSERT_NO_FATAL_FAILURE(makeFolders({"a", "b"}));
    ASSERT_NO_FATAL_FAILURE(makeFile("note.txt"));
    ASSERT_EQ(kelmain::Flush(true), 0);
    g_sim = sim_.get();
    g_afterMark = afterMark;
    ASSERT_EQ(KelDriveSDK_Quorvel_SetCallbacks(ForwardMountDefault, ForwardUnmount, controlFaultAfterMark,
                                               ForwardLogMessage, 0x5151, 4),
              0u);
  }
  // The volume type and information version (mount information byte 14).
  std::uint8_t typeByte() { return mountInformation().reserved[0]; }
  static std::uint8_t backtrackStatus() {
    std::uint8_t record[8] = {};
    return kelmain::Fsctl(kelmain::kFsctlBacktrackProgress, record) == 0 ? record[0] : 0xFF;
  }
  std::vector<std::string> rootNames() {
    std::vector<std::string> names = rootListing();
    names.erase(std::remove_if(names.begin(), names.end(), [](const std::string& n) { return n == "." || n == ".."; }),
                names.end());
    return names;
  }
};

// The backtrack the library asks through the engine's controls: the volume
// marked (kind 5 with the volume's own type), the engine's backtrack thread
// polled through the volume control until it finished, its 50 % reported as
// 40 + 50 x 40 / 100. The engine's last write waits in the drive until the
// library has seen the 50 %. Mounted again by the host, the volume is empty
// and keeps volume type 1.
TEST_F(RewritableBacktrack, GoesBackToAnEmptyVolumeOfTheSameType) {
  ASSERT_NO_FATAL_FAILURE(typeOneVolume(kelsim::delay_answer(24ull * 3600 * 1000, 0x8D)));
  g_afterMark.times = 1;
  PollSteps steps({[this] { EXPECT_TRUE(kel_test::settles([this] { return sim_->service().held() >= 1; })); },
                   [this] {
                     sim_->service().release_held();
                     EXPECT_TRUE(kel_test::settles([] { return backtrackStatus() == 2; }));
                   }});
  Confirm yes;
  {
    platform::ScopedClock clock(steps);
    EXPECT_EQ(run([&](PxoUtilityImpl& p) { return p.doAllDelete(true, &yes); }), 0u);
  }
  EXPECT_EQ(yes.asked, (std::vector<std::uint32_t>{1}));
  EXPECT_EQ(progress_.values, (std::vector<int>{0, 40, 60, 80, 98, 99, 100}));
  EXPECT_EQ(steps.pauses, 2);
  EXPECT_EQ(kel_global_mount()->mnt_data, nullptr);  // the library unmounted, never mounted

  ASSERT_EQ(kelmain::MountDefault(), 0);
  EXPECT_EQ(typeByte(), 0x12);
  EXPECT_EQ(mountInformation().volume_status & 0x8F, 0x81);
  EXPECT_EQ(rootNames(), std::vector<std::string>{});
  ASSERT_NO_FATAL_FAILURE(makeFolders({"after"}));
  ASSERT_EQ(kelmain::Flush(true), 0);
  ASSERT_EQ(kelmain::Unmount(false), 0);
  expect_udfinfo(sim_->cartridge().directory() + "/slot-00.img", {"integrity=closed", "numdirs=2"});
}

// A backtrack whose erase fails half-way (the anchor area refuses every
// write) fails with the engine's failed status; the volume mounts again.
TEST_F(RewritableBacktrack, AFailureHalfWayLeavesAVolumeThatMounts) {
  ASSERT_NO_FATAL_FAILURE(typeOneVolume(kelsim::write_error(256, 287)));
  PollSteps steps({[] { EXPECT_TRUE(kel_test::settles([] { return backtrackStatus() == 3; })); }});
  Confirm yes;
  {
    platform::ScopedClock clock(steps);
    EXPECT_EQ(run([&](PxoUtilityImpl& p) { return p.doAllDelete(true, &yes); }), 0x220006u);
  }
  EXPECT_EQ(kel_global_mount()->mnt_data, nullptr);
  sim_->drive().clear_faults();
  ASSERT_EQ(kelmain::MountDefault(), 0);
  EXPECT_EQ(typeByte(), 0x12);
  ASSERT_NO_FATAL_FAILURE(makeFolders({"after"}));
  ASSERT_EQ(kelmain::Flush(true), 0);
  const auto names = rootNames();
  EXPECT_NE(std::find(names.begin(), names.end(), "after"), names.end());
}

// Only slot 0, where the engine goes back to, is a target: another slot is
// refused before anything reaches the volume, which keeps its files and its
// type.
TEST_F(RewritableBacktrack, AnotherTargetSlotIsRefusedBeforeAnythingIsErased) {
  ASSERT_NO_FATAL_FAILURE(typeOneVolume(kelsim::FaultRule{}));
  sim_->service().clear_transcript();
  EXPECT_EQ(KelDriveSDK_DoAllDelete(path().c_str(), 1, 1, nullptr, nullptr), KELSDK_ERR_INVALID_PARAMETER);
  try {
    kelutil::KelUtility::DoAllDelete(path(), true, nullptr, 1);
    ADD_FAILURE() << "slot 1 was taken";
  } catch (const kelutil::KelUtilityException& e) {
    EXPECT_EQ(e.code(), KELSDK_ERR_INVALID_PARAMETER);
  }
  EXPECT_EQ(commands(0x2A) + commands(0x8D), 0u);
  ASSERT_NE(kel_global_mount()->mnt_data, nullptr);
  EXPECT_EQ(typeByte(), 0x12);
  const auto names = rootNames();
  for (const char* n : {"a", "b", "note.txt"})
    EXPECT_NE(std::find(names.begin(), names.end(), n), names.end()) << n;
}

// --- rollback points ----------------------------------------------------------------

struct Found : PxoUtilityLib::RollbackCallback {
  std::vector<PxoUtilityLib::RollbackPointRecord> points;
  // Go on while running; at the end pick the first point.
  int notifyStatus(int status, const std::vector<std::uint32_t>&, std::uint32_t& selected) override {
    selected = 0;
    return status == PxoUtilityLib::kRollbackRunning ? 3 : 2;
  }
  void pointFound(const PxoUtilityLib::RollbackPointRecord& p) override { points.push_back(p); }
  void slotError(std::uint32_t) override {}
};

TEST_F(SdkOverEngine, TheSearchFindsAPointForEveryFlushTheEngineMade) {
  for (std::uint8_t type : {std::uint8_t{0xE1}, std::uint8_t{0xE2}}) {
    SCOPED_TRACE(static_cast<int>(type));
    ASSERT_NO_FATAL_FAILURE(searchTheEnginesFlushes(type));
    TearDown();
    SetUp();
  }
}

void SdkOverEngine::searchTheEnginesFlushes(std::uint8_t type) {
  ASSERT_NO_FATAL_FAILURE(engineMounted(type, 3));
  Found first;
  ASSERT_EQ(PxoUtilityLib::runRollbackInfo(path().c_str(), first), 0u);
  const std::size_t base = first.points.size();
  constexpr int kFlushes = 3;
  for (int i = 0; i < kFlushes; ++i) {
    ASSERT_EQ(kelmain::CreateDirectory("/", ("g" + std::to_string(i)).c_str(), false), 0);
    ASSERT_EQ(kelmain::Flush(true), 0);
  }
  const auto slotBefore = sim_->cartridge().loaded_slot;
  Found found;
  ASSERT_EQ(PxoUtilityLib::runRollbackInfo(path().c_str(), found), 0u);
  EXPECT_EQ(sim_->cartridge().loaded_slot, slotBefore);
  // The format's point (on a rewritable disc also that of the flush the
  // first mount makes at once after the format) and one per flush.
  ASSERT_EQ(base, type == 0xE2 ? 2u : 1u);
  ASSERT_EQ(found.points.size(), base + kFlushes);

  // The host function lists the same points in the same order.
  std::vector<_KEL_SDK_ROLLBACK_INFO> listed;
  ASSERT_EQ(KelDriveSDK_Quorvel_GetRollbackInfo(path().c_str(), listed), 0u);
  ASSERT_EQ(listed.size(), found.points.size());
  for (std::size_t i = 0; i < listed.size(); ++i) {
    EXPECT_EQ(listed[i].SlotNumber, found.points[i].slot);
    EXPECT_EQ(static_cast<std::uint32_t>(listed[i].MetaDataFE_LSN), found.points[i].mfeLsn);
    EXPECT_EQ(static_cast<std::uint32_t>(listed[i].FsdLsn), found.points[i].fsdLsn);
  }
  // Newest first: each point mounts the volume as that flush left it.
  for (std::size_t i = 0; i < found.points.size(); ++i) {
    SCOPED_TRACE(i);
    const auto& p = found.points[i];
    if (i > 0) {
      EXPECT_LT(p.mfeLsn, found.points[i - 1].mfeLsn);
    }
    ASSERT_EQ(kelmain::Unmount(false), 0);
    ASSERT_EQ(kelmain::MountRollback(p.slot, p.mfeLsn, p.fsdLsn), 0);
    const int folders = kFlushes - static_cast<int>(i);
    const auto names = rootListing();
    for (int g = 0; g <= kFlushes; ++g) {
      const bool there = std::find(names.begin(), names.end(), "g" + std::to_string(g)) != names.end();
      EXPECT_EQ(there, g < folders) << "g" << g;
    }
  }
}

// A callback that throws from its first question: a standard exception, or
// something else.
struct Throws : PxoUtilityLib::RollbackCallback {
  bool standard = true;
  int notifyStatus(int, const std::vector<std::uint32_t>&, std::uint32_t&) override {
    if (standard) throw std::runtime_error("no answer");
    throw 7;
  }
  void pointFound(const PxoUtilityLib::RollbackPointRecord&) override {}
  void slotError(std::uint32_t) override {}
};

// The host's rollback information logs why a search failed: the drive
// library's exception with its code and where it was thrown, a standard
// exception with its text, anything else as unknown.
TEST_F(SdkOverEngine, TheRollbackInformationLogsWhyTheSearchFailed) {
  ASSERT_NO_FATAL_FAILURE(engineMounted(0xE1, 3));
  const int inquiry = sim_->drive().add_fault(kelsim::command_fails(0x12, {0x05, 0x24, 0x00}));
  enginetest::clear_log();
  std::vector<_KEL_SDK_ROLLBACK_INFO> points;
  EXPECT_EQ(KelDriveSDK_Quorvel_GetRollbackInfo(path().c_str(), points), 0x110200u);
  EXPECT_TRUE(enginetest::logged("getProductID error"));
  EXPECT_TRUE(enginetest::logged("PxoUtilityLibException result=0x00110200 throw at path=rollback.cpp "
                                 "function=PxoUtilityLib::Rollback::doRollback line="));
  sim_->drive().remove_fault(inquiry);

  Throws standard;
  EXPECT_EQ(PxoUtilityLib::runRollbackInfo(path().c_str(), standard), 0x10001u);
  EXPECT_TRUE(enginetest::logged("std::exception: what()=no answer"));
  Throws other;
  other.standard = false;
  EXPECT_FALSE(enginetest::logged("unknown exception"));
  EXPECT_EQ(PxoUtilityLib::runRollbackInfo(path().c_str(), other), 0x10002u);
  EXPECT_TRUE(enginetest::logged("unknown exception"));
}

// The search over the engine's three slots: points on every slot, newest
// first, the drive back on the slot it held; a point of slot 1 mounts the
// volume as it was before the engine went on to slot 2.
TEST_F(ThreeSlotVolume, TheSearchFindsPointsOnEverySlotAndOneOfSlot1Mounts) {
  ASSERT_NO_FATAL_FAILURE(threeSlotsWritten(0xE1));
  Found found;
  ASSERT_EQ(PxoUtilityLib::runRollbackInfo(path().c_str(), found), 0u);
  EXPECT_EQ(sim_->cartridge().loaded_slot, kSlots - 1);
  ASSERT_FALSE(found.points.empty());
  EXPECT_EQ(found.points.front().slot, kSlots - 1);
  std::set<int> slots;
  for (std::size_t i = 0; i < found.points.size(); ++i) {
    slots.insert(found.points[i].slot);
    if (i > 0) {
      EXPECT_LE(found.points[i].slot, found.points[i - 1].slot) << i;
    }
  }
  EXPECT_EQ(slots, (std::set<int>{0, 1, 2}));
  const auto onSlot1 = std::find_if(found.points.begin(), found.points.end(), [](const auto& p) { return p.slot == 1; });
  ASSERT_EQ(kelmain::Unmount(false), 0);
  ASSERT_EQ(kelmain::MountRollback(onSlot1->slot, onSlot1->mfeLsn, onSlot1->fsdLsn), 0);
  const auto names = rootListing();
  for (int slot = 0; slot < kSlots; ++slot) {
    const bool there = std::find(names.begin(), names.end(), "s" + std::to_string(slot)) != names.end();
    EXPECT_EQ(there, slot < 2) << slot;
  }
}

}  // namespace
