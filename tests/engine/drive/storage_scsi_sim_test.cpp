// storage_scsi through the real pipe client against the simulated host
// service and changer drive: what the drive receives and how its answers
// are read.
#include "drive_fixture.h"
#include "support/settles.h"

#include "command_cases.h"

#include "kel/scsi.h"
#include "kel/pipe_client.h"
#include "sim/harness.h"
#include "support/recorded_disc.h"
#include "support/test_dir.h"

#include <chrono>
#include <cstring>
#include <functional>
#include <numeric>
#include <optional>

namespace {

std::int64_t g_seconds = 0;
int fixed_time(struct timeval* tv, void*) {
  tv->tv_sec = g_seconds;
  tv->tv_usec = 0;
  return 0;
}

class SimDrive : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("kel_drive_sim_" + std::to_string(::getpid()) + "_" +
            kel_test::flat_test_name());
    std::filesystem::create_directories(dir_);
    ::setenv("KEL_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
    kel::ResetConfigCache();
    fakelog::reset();
    fakedrive::use_pipe(true);
  }
  void TearDown() override {
    ss_.reset();
    stop();
    fakedrive::use_pipe(false);
    kel::ResetConfigCache();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  void start(const char* product = "QMR-T300B", std::uint8_t medium = 0xE1,
             const char* revision = "1700", bool rewritable_formatted = true) {
    stop();
    kelsim::HarnessOptions o;
    o.drive = drive_;
    o.drive.product = product;
    o.drive.revision = revision;
    o.cartridge.medium_type = medium;
    o.cartridge.disc_blocks = 0x20000;
    o.cartridge.rewritable_formatted = rewritable_formatted;
    sim_ = std::make_unique<kelsim::SimHarness>(o);
    kel::SetMediumCookie(sim_->cookie());
    ss_ = std::make_unique<storage_scsi>();
    ss_->set_device_number("sg0");
    ss_->set_device_name("/dev/sg-no-such-device");
  }
  void stop() {
    if (!sim_) return;
    ss_.reset();
    sim_.reset();
    kel::SetMediumCookie(0);
    // The client notices the broken pipe on its reader thread.
    kel_test::settles([] { return !kel::ServiceInterface().isConnected(); });
  }
  // SCSI requests the service received (end-of-request notices left out).
  std::vector<kelsim::TranscriptEntry> commands(int opcode = -1) const {
    std::vector<kelsim::TranscriptEntry> out;
    for (auto& e : sim_->service().transcript())
      if (!e.is_notice() && (opcode < 0 || e.opcode() == opcode)) out.push_back(e);
    return out;
  }

  std::filesystem::path dir_;
  kelsim::DriveConfig drive_;  // the drive start() serves (product and revision its own)
  std::unique_ptr<kelsim::SimHarness> sim_;
  std::unique_ptr<storage_scsi> ss_;
};

}  // namespace

TEST_F(SimDrive, InitFindsEveryModelAndReadsItsIdentity) {
  struct Row {
    const char* product;
    const char* revision;
    std::uint16_t units;
    int alarm;
    std::uint8_t page80;
  };
  const Row rows[] = {
      {"PXO-U2", "2000", 1, 0, 20},    {"QMR-T10A", "2000", 1, 0, 20},  {"QMR-T20A", "1651", 1, 0, 20},
      {"QMR-T20A", "1652", 1, 2, 20},  {"QMR-T20B", "1651", 8, 0, 20},  {"QMR-T20B", "1652", 8, 2, 20},
      {"QMR-T300A", "0794", 1, 0, 20}, {"QMR-T300A", "0795", 1, 2, 20}, {"QMR-T300B", "0794", 8, 0, 20},
      {"QMR-T300B", "0795", 8, 2, 20}, {"QMR-T400A", "0100", 1, 2, 32}, {"QMR-T400B", "0100", 8, 2, 32},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.product) + " " + r.revision);
    kel::ResetConfigCache();
    start(r.product, 0xE3, r.revision);
    ASSERT_EQ(0, ss_->init());
    EXPECT_STREQ(r.product, ss_->product_id());
    EXPECT_EQ(r.units, ss_->read_block_size());
    EXPECT_EQ(r.units, ss_->write_block_size());
    EXPECT_EQ(r.alarm, ss_->alarm_state());
    EXPECT_EQ(0xE3, ss_->medium_type());
    EXPECT_TRUE(ss_->is_write_once());
    const auto cmds = commands();
    ASSERT_FALSE(cmds.empty());
    EXPECT_EQ(0x00, cmds[0].opcode());
    for (const auto& e : cmds) {
      EXPECT_EQ(16, e.sense_capacity);
      EXPECT_EQ(0u, e.sequence);  // before the request loop: sequence and phase 0
      EXPECT_EQ(0u, e.phase);
    }
    bool saw80 = false;
    for (const auto& e : commands(0x12)) {
      if (e.cdb[1] == 1 && e.cdb[2] == 0x80) {
        saw80 = true;
        EXPECT_EQ(r.page80, e.cdb[4]);
        EXPECT_EQ(32u, e.data_length);
      }
    }
    EXPECT_TRUE(saw80);

    pxo_devinfo_t info{};
    ASSERT_EQ(0, ss_->get_devinfo(reinterpret_cast<char*>(&info)));
    const auto* raw = reinterpret_cast<const std::uint8_t*>(&info);
    EXPECT_EQ(0, std::memcmp(raw, "TARN\0", 5));
    EXPECT_STREQ(r.product, reinterpret_cast<const char*>(raw + 9));
    EXPECT_STREQ(r.revision, reinterpret_cast<const char*>(raw + 26));
    EXPECT_STREQ(sim_->drive().config().serial.c_str(), reinterpret_cast<const char*>(raw + 31));
    const auto& uid = sim_->cartridge().disc(sim_->cartridge().loaded_slot).unique_id;
    EXPECT_EQ(0, std::memcmp(raw + 48, uid.data(), 14));
  }
}

TEST_F(SimDrive, UnsupportedProductFails) {
  start("QMR-T999Z");
  EXPECT_EQ(1, ss_->init());
  EXPECT_TRUE(fakelog::contains("Product ID is not supported"));
}

TEST_F(SimDrive, NoDiscMakesInitGiveUpAfter59TestUnitReadies) {
  start();
  ASSERT_TRUE(sim_->make_ready());
  sim_->drive().unload();
  InstantClock clock;
  platform::ScopedClock scope(clock);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(138, ss_->init());
  ::testing::internal::GetCapturedStderr();
  const auto cmds = commands();
  EXPECT_EQ(59u, cmds.size());
  for (const auto& e : cmds) {
    EXPECT_EQ(0x00, e.opcode());
    EXPECT_TRUE(e.check_condition);
    EXPECT_EQ(2, e.sense.key);
  }
  EXPECT_EQ(58, clock.sleeps());
}

TEST_F(SimDrive, DriveClockCountsFrom2003) {
  start();
  ASSERT_TRUE(sim_->make_ready());
  g_seconds = 1041379200 + 86400;
  storage_scsi_set_time_of_day_source(fixed_time);
  EXPECT_EQ(0, ss_->setCurrentTime());
  EXPECT_EQ(86400u, sim_->drive().observed().clock_seconds);
  g_seconds = 1041379199;
  EXPECT_EQ(22, ss_->setCurrentTime());
  storage_scsi_set_time_of_day_source(nullptr);
  EXPECT_EQ(1u, commands(0xCF).size());
  EXPECT_EQ(12u, commands(0xCF)[0].data_length);
  EXPECT_TRUE(commands(0xCF)[0].data_out);
}

TEST_F(SimDrive, CommandBlocksAsTheDriveReceivesThem) {
  start("QMR-T400B", 0xE1);
  ASSERT_EQ(0, ss_->init());
  sim_->service().clear_transcript();
  struct Row {
    const char* name;
    std::function<void()> run;
    std::vector<std::uint8_t> cdb;
    bool out;
    std::uint32_t length;
  };
  std::uint8_t buf[256] = {};
  const std::vector<Row> rows = {
      {"disc information", [&] { pxo_disc_info_t r{}; r.datatype = 2; ss_->read_disc_info(reinterpret_cast<char*>(&r), true); },
       bytes({0x51, 2, 0, 0, 0, 0, 0, 0, 0x20, 0, 0, 0}), false, 32},
      {"track information", [&] { pxo_track_info_t r{}; r.track_no = 1; ss_->scsi_cache_clear(); ss_->read_track_info(reinterpret_cast<char*>(&r)); },
       bytes({0x52, 1, 0, 0, 0, 1, 0, 0, 52, 0, 0, 0}), false, 52},
      {"mechanism status", [&] { pxo_mechanism_status_t m{}; ss_->mechanism_status(reinterpret_cast<char*>(&m)); },
       bytes({0xBD, 0, 0, 0, 0, 0, 0, 0, 0, 0x0C, 0, 0}), false, 12},
      {"read capacity", [&] { std::uint64_t n = 0; ss_->get_block_count(reinterpret_cast<char*>(&n)); },
       bytes({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), false, 8},
      {"format capacities", [&] { ss_->read_format_capacity(reinterpret_cast<char*>(buf)); },
       bytes({0x23, 0, 0, 0, 0, 0, 0, 0, 0x0C, 0, 0, 0}), false, 12},
      {"verify", [&] { pxo_verify_range_t v{0x40, 32, 0}; ss_->verify_range(reinterpret_cast<char*>(&v)); },
       bytes({0x2F, 0, 0, 0, 0, 0x40, 0, 0, 32, 0, 0, 0}), false, 0},
      {"prevent", [&] { char d = 1; ss_->prevent_allow_medium_removal(&d); },
       bytes({0x1E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}), false, 0},
      {"attribute read, vendor form", [&] { ss_->get_read_attribute(0x0D00, buf, 28); },
       bytes({0xDA, 0, 0, 0, 0x0D, 0x00, 0, 0, 0, 28, 0, 0}), false, 28},
      {"attribute write, vendor form", [&] { char l[12] = {0, 0, 0, 8, 0x0D, 0x03, 0, 0, 1, 0, 0, 0}; ss_->pxo_write_attribute_scsi(l); },
       bytes({0xDB, 0, 0, 0, 0, 0, 0, 0, 0, 12, 0, 0}), true, 12},
      {"reserve write", [&] { pxo_reserve_write_t r{0x20, 0x40}; ss_->reserve_write_range(reinterpret_cast<char*>(&r)); },
       bytes({0xD2, 0, 0, 0, 0, 0, 0, 0x20, 0, 0, 0, 0x40}), false, 0},
      {"mode select 0Ah", [&] { ss_->setControlMode(true); },
       bytes({0x55, 0x10, 0, 0, 0, 0, 0, 0, 20, 0}), true, 20},
      {"maintenance read", [&] { pxo_mainte_read_error_info_t i{}; ss_->mainte_read_error_info(&i); },
       bytes({0xC3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), false, 16},
      {"event status", [&] { ss_->blink_access_led_once(); },
       bytes({0x4A, 0, 0, 0, 0, 0, 0, 0, 0x10, 0x40, 0, 0}), false, 16},
      {"C6h", [&] { char d = 0; ss_->increment_dfl_count(&d); },
       bytes({0xC6, 0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), false, 0},
      {"synchronize cache", [&] { ss_->synchronize_cache(nullptr); },
       bytes({0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), false, 0},
      {"load slot", [&] { char s = 2; ss_->next_slot_load(&s); },
       bytes({0xA6, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0}), false, 0},
      {"start stop", [&] { char d = 1; ss_->start_stop_unit(&d); },
       bytes({0x1B, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}), false, 0},
      {"get performance", [&] { std::uint32_t l = 0x100; ss_->getPerformance(&l); },
       bytes({0xAC, 0, 0, 0, 1, 0, 0, 0, 0, 1, 2, 0}), false, 2056},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    sim_->service().clear_transcript();
    r.run();
    const auto cmds = commands();
    ASSERT_FALSE(cmds.empty());
    const auto& e = cmds.front();  // a load is followed by the readiness it waits for
    EXPECT_EQ(r.cdb, e.cdb);
    EXPECT_EQ(r.out, e.data_out);
    EXPECT_EQ(r.length, e.data_length);
    EXPECT_EQ(16, e.sense_capacity);
  }
  EXPECT_EQ(2, sim_->cartridge().loaded_slot);
}

TEST_F(SimDrive, HalfMebibyteTransfersAreWrittenAndReadBack) {
  for (const char* product : {"QMR-T20B", "QMR-T300B", "QMR-T400B", "QMR-T300A"}) {
    SCOPED_TRACE(product);
    kel::ResetConfigCache();
    start(product, 0xE2);
    ASSERT_EQ(0, ss_->init());
    char list[12] = {0, 2, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(0, ss_->format_unit(list, false));
    sim_->service().clear_transcript();
    std::vector<std::uint8_t> data(640 * 1024);
    std::iota(data.begin(), data.end(), 3);
    pxo_buf bp{};
    bp.blkno = 0x100;
    bp.count = bp.bufsize = static_cast<std::uint32_t>(data.size());
    bp.data = data.data();
    ASSERT_EQ(0, ss_->pxo_write10_for_cluster(&bp, 0));
    const bool big = std::string(product).back() == 'B';
    const auto writes = commands(0x2A);
    ASSERT_EQ(big ? 2u : 10u, writes.size());
    EXPECT_EQ(big ? 524288u : 65536u, writes[0].data_length);
    std::vector<std::uint8_t> back(data.size(), 0);
    bp.data = back.data();
    ASSERT_EQ(0, ss_->pxo_read10(&bp));
    EXPECT_EQ(data, back);
    const auto reads = commands(0x28);
    ASSERT_EQ(big ? 2u : 10u, reads.size());
    EXPECT_EQ(big ? 524288u : 65536u, reads[0].data_length);
  }
}

TEST_F(SimDrive, UnalignedReadIsStagedAndCopiedExactly) {
  start("QMR-T300A", 0xE1);
  ASSERT_EQ(0, ss_->init());
  char list[12] = {0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(0, ss_->format_unit(list, false));  // a write-once disc takes writes once formatted
  std::vector<std::uint8_t> data(96 * 2048);
  std::iota(data.begin(), data.end(), 11);
  pxo_buf bp{};
  bp.blkno = 0;
  bp.count = bp.bufsize = static_cast<std::uint32_t>(data.size());
  bp.data = data.data();
  ASSERT_EQ(0, ss_->pxo_write10_for_buf(&bp, 0));
  std::vector<std::uint8_t> part(5 * 2048, 0xEE);
  pxo_buf rp{};
  rp.blkno = 35;
  rp.count = rp.bufsize = static_cast<std::uint32_t>(part.size());
  rp.data = part.data();
  sim_->service().clear_transcript();
  ASSERT_EQ(0, ss_->pxo_read10(&rp));
  EXPECT_TRUE(std::equal(part.begin(), part.end(), data.begin() + 35 * 2048));
  const auto reads = commands(0x28);
  ASSERT_EQ(1u, reads.size());
  EXPECT_EQ(bytes({0x28, 0, 0, 0, 0, 32, 0, 0, 32, 0, 0, 0}), reads[0].cdb);
}

TEST_F(SimDrive, SenseFromTheDriveIsMapped) {
  start("QMR-T300B", 0xE2, "1700", false);
  ASSERT_EQ(0, ss_->init());
  // Unformatted rewritable disc: block 0 answers 05/30/10.
  std::uint32_t io = 0;
  EXPECT_EQ(6, ss_->check_medium_status(&io));
  EXPECT_EQ(741u, io);
  ASSERT_EQ(0, ss_->reset_medium_properties());
  EXPECT_EQ(1u, ss_->medium_condition());
  EXPECT_EQ(0x10000000u, ss_->dds_error_state());
  // A recovered error on READ(10) carries no data: a failure.
  char list[12] = {0, 2, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(0, ss_->format_unit(list, false));
  sim_->drive().add_fault(kelsim::command_fails(0x28, {0x01, 0x17, 0x01}));
  std::vector<std::uint8_t> data(65536, 0xEE);
  pxo_buf bp{};
  bp.count = bp.bufsize = 65536;
  bp.data = data.data();
  EXPECT_EQ(5, ss_->pxo_read10(&bp));
  // Write protection of the cartridge: 03/27/00 becomes 11 on the buffer path.
  sim_->drive().clear_faults();
  sim_->drive().set_write_protect(true);
  EXPECT_EQ(11, ss_->pxo_write10_for_buf(&bp, 0));
  EXPECT_EQ(5, ss_->pxo_write10_for_cluster(&bp, 0));
}

// A transfer that fails on its way keeps its meaning in the engine's own
// results: the host's statuses for a write-protected medium, a full disc and
// a command it does not carry out become 11, 28 and 95; any other failure of
// the transport is 5. No Win32 code passes for an engine result.
TEST_F(SimDrive, TransportFailuresBecomeTheEnginesOwnResults) {
  start();
  ASSERT_EQ(0, ss_->init());
  struct Row {
    std::uint32_t status;  // as the host service answers it
    int want;
  };
  const Row rows[] = {
      {0xC00000A2u, 11},  // media write protected (Win32 19, ENODEV as an errno)
      {0xC000007Fu, 28},  // disk full (Win32 112)
      {0xC0000002u, 95},  // not implemented (Win32 1, EPERM as an errno)
      {0xC00000BBu, 95},  // not supported (Win32 50)
      {0xC0000185u, 5},   // I/O device error (Win32 1117)
      {121u, 5},          // time-out
      {31u, 5},           // device not functioning
      {2u, 5},            // no such file: never "file not found"
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.status);
    sim_->drive().add_fault(kelsim::transport_status(static_cast<std::int32_t>(r.status), 0x1B));
    char d = 1;
    EXPECT_EQ(r.want, ss_->start_stop_unit(&d));
    sim_->drive().clear_faults();
  }
  EXPECT_TRUE(fakelog::contains("IOCTL_ERROR:0x00000013"));
  sim_->drive().add_fault(kelsim::transport_status(121, 0x35));
  EXPECT_EQ(5, ss_->synchronize_cache(nullptr));
  EXPECT_EQ(3u, commands(0x35).size());
  EXPECT_EQ(3u, ss_->sync_fail_count());
}

// The drive loses power and reports its reset (unit attention 29h) to the
// next command, here a read: a SYNCHRONIZE CACHE after that cannot vouch for
// the writes its cache held, which never reached the disc. With nothing
// written since the last sync the reset costs nothing, and the sync after
// the failed one settles again.
TEST_F(SimDrive, ASyncAfterAResetOfTheDriveFailsWhenItsCacheHeldWrites) {
  start("QMR-T300B", 0xE2);
  ASSERT_EQ(0, ss_->init());
  char list[12] = {0, 2, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(0, ss_->format_unit(list, false));
  for (bool written : {true, false}) {
    SCOPED_TRACE(written ? "writes in the cache" : "nothing cached");
    ASSERT_EQ(0, ss_->synchronize_cache(nullptr));
    std::vector<std::uint8_t> data(64 * 1024, 0x5A), back(data.size(), 0);
    pxo_buf bp{};
    bp.blkno = 0x200;
    bp.count = bp.bufsize = static_cast<std::uint32_t>(data.size());
    bp.data = data.data();
    if (written) {
      ASSERT_EQ(0, ss_->pxo_write10_for_cluster(&bp, 0));
    }
    sim_->drive().power_cut(0);
    bp.data = back.data();
    // The read the drive reports its reset to is asked again and answered;
    // the reset still fails the sync of the writes it lost.
    EXPECT_EQ(0, ss_->pxo_read10(&bp)) << "the read the reset is reported to";
    EXPECT_EQ(written ? 5 : 0, ss_->synchronize_cache(nullptr));
    ASSERT_EQ(0, ss_->pxo_read10(&bp));
    EXPECT_EQ(std::vector<std::uint8_t>(data.size(), 0), back) << "nothing reached the disc";
    EXPECT_EQ(0, ss_->synchronize_cache(nullptr));
  }
}

// A read of the cartridge memory that the drive answers with its reset,
// after a loss of power, is asked again and answered, on both command forms.
TEST_F(SimDrive, ACartridgeMemoryReadMetByTheDrivesResetIsAskedAgain) {
  for (const auto& [model, opcode] : {std::pair{"QMR-T300B", 0x8C}, std::pair{"QMR-T400A", 0xDA}}) {
    SCOPED_TRACE(model);
    start(model);
    ASSERT_EQ(0, ss_->init());
    std::vector<std::uint8_t> list(4 + 5 + 128, 0);
    list[3] = 5 + 128;
    list[4] = 0x15;
    list[8] = 128;
    std::fill(list.begin() + 9, list.end(), 0x21);
    ASSERT_EQ(0, ss_->pxo_write_attribute(reinterpret_cast<char*>(list.data())));
    sim_->drive().power_cut(0);
    sim_->service().clear_transcript();
    std::uint8_t cm[184] = {};
    EXPECT_EQ(0, ss_->get_read_attribute(0x1500, cm, sizeof cm)) << "the read the reset is reported to";
    EXPECT_EQ(2u, commands(static_cast<std::uint8_t>(opcode)).size()) << "met the reset, then answered";
    EXPECT_EQ(std::vector<std::uint8_t>(cm + 9, cm + 9 + 128), std::vector<std::uint8_t>(128, 0x21));
  }
}

TEST_F(SimDrive, AlarmReachesTheDriveOnce) {
  start("QMR-T400A");
  ASSERT_EQ(0, ss_->init());
  int w = 0;
  config_set_uint32(0, "", "Sensitive Alarm Mode", 1, &w);
  pxo_report_error_t e{2};
  ASSERT_EQ(0, ss_->report_error(&e));
  ASSERT_EQ(0, ss_->report_error(&e));
  const auto seen = sim_->drive().observed();
  EXPECT_EQ(1, seen.alarms);
  ASSERT_EQ(12u, seen.last_alarm_cdb.size());
  EXPECT_EQ(0xDC, seen.last_alarm_cdb[0]);
  EXPECT_EQ(2, seen.last_alarm_cdb[3]);
  const std::string serial = sim_->drive().config().serial;
  EXPECT_EQ(0, std::memcmp(seen.last_alarm_cdb.data() + 4, serial.data() + serial.size() - 8, 8));
  EXPECT_TRUE(fakelog::contains("(Already Set Alarm)"));
}

TEST_F(SimDrive, FreshCartridgesOfEveryClassAreThisSystems) {
  for (std::uint8_t t : {0xE1, 0xE3, 0xE5, 0xE7, 0xF1, 0xF2, 0x53, 0xE2, 0xE4, 0xE6, 0xE8}) {
    SCOPED_TRACE(int(t));
    kel::ResetConfigCache();
    start(t == 0xE5 ? "QMR-T400B" : "QMR-T300B", t);
    ASSERT_EQ(0, ss_->init());
    Boolean unreadable = true, slotread = false;
    UInt8 type = 0xAA;
    UInt16 info = 0xAAAA;
    EXPECT_EQ(0, ss_->isCorrespondMedia(&unreadable, &type, &info, &slotread));
    EXPECT_FALSE(unreadable);
    EXPECT_TRUE(slotread);
    EXPECT_EQ(0, type);
    EXPECT_EQ(0, info);
    std::uint8_t id[32];
    ASSERT_EQ(0, ss_->getMediumUniqueID(id, 32));
    EXPECT_EQ(0, std::memcmp(id, sim_->cartridge().attributes[0x0401].value.data(), 32));
  }
}

TEST_F(SimDrive, Attribute1500hStates) {
  start();
  ASSERT_EQ(0, ss_->init());
  Boolean out = true;
  EXPECT_NE(0, ss_->isCorrespondFormat(nullptr, &out));  // missing: the read's error
  EXPECT_FALSE(out);
  EXPECT_EQ(1, ss_->fail_state_1500h());

  std::vector<std::uint8_t> v(128, 0);
  std::memcpy(v.data(), "KEL", 3);
  v[3] = 1;
  v[7] = 120;
  std::memcpy(v.data() + 9, "*Tarn KELFS", 11);
  v[28] = 1;
  const std::uint16_t crc = calculate_crc(v.data(), 126);
  v[126] = static_cast<std::uint8_t>(crc >> 8);
  v[127] = static_cast<std::uint8_t>(crc);
  // Written through WRITE ATTRIBUTE as the media services do.
  std::vector<std::uint8_t> list(4 + 5 + 128, 0);
  list[3] = 5 + 128;
  list[4] = 0x15;
  list[5] = 0x00;
  list[8] = 128;
  std::memcpy(list.data() + 9, v.data(), 128);
  ASSERT_EQ(0, ss_->pxo_write_attribute(reinterpret_cast<char*>(list.data())));
  EXPECT_EQ(0, ss_->isCorrespondFormat(nullptr, &out));
  EXPECT_FALSE(out);  // a format this system supports
  EXPECT_EQ(5, ss_->fail_state_1500h());
  EXPECT_EQ(1, ss_->volume_type_1500h());

  sim_->cartridge().attributes[0x1500].value[126] ^= 0xFF;
  std::uint8_t ans[140] = {};
  pxo_attribute_request_t rec{0x1500, 140, 0, ans};
  EXPECT_EQ(0, ss_->pxo_read_attribute(reinterpret_cast<char*>(&rec)));
  EXPECT_EQ(2, ss_->fail_state_1500h());
  char state = 0;
  ASSERT_EQ(0, ss_->report_1500H_CRC_result(&state));
  EXPECT_EQ(2, state);
}

// While reads are kept, the slots (MECHANISM STATUS) and the cartridge
// memory (READ ATTRIBUTE) read again while nothing could have changed them
// are answered as the drive answered the first time, without a command.
// Whatever may change them (a write of the cartridge memory, a cache flush,
// a failed command) or the drive utility library's turn makes the next read
// ask the drive again, and it gets the drive's new answer. Outside a keeping
// scope every read asks the drive.
TEST_F(SimDrive, ASecondReadOfTheSlotsOrCartridgeMemoryIsTheFirstOnesAnswer) {
  std::vector<std::uint8_t> written(128, 0x21);
  const auto write_1500h = [&written](storage_scsi& ss) {
    std::vector<std::uint8_t> list(4 + 5 + 128, 0);
    list[3] = 5 + 128;
    list[4] = 0x15;
    list[8] = 128;
    std::memcpy(list.data() + 9, written.data(), 128);
    ASSERT_EQ(0, ss.pxo_write_attribute(reinterpret_cast<char*>(list.data())));
  };
  const struct {
    const char* what;
    std::function<void(storage_scsi&, kelsim::SimHarness&)> between;
    bool asks_again;
    bool sees_write;
    bool kept = true;  // the reads run while reads are kept
  } cases[] = {
      {"nothing", [](storage_scsi&, kelsim::SimHarness&) {}, false, false},
      {"a read of the disc",
       [](storage_scsi& ss, kelsim::SimHarness&) {
         std::uint8_t d[64] = {};  // type 0: the disc information
         ASSERT_EQ(0, ss.read_disc_info(reinterpret_cast<char*>(d), true));
       },
       false, false},
      {"a write of the cartridge memory",
       [&](storage_scsi& ss, kelsim::SimHarness&) {
         written.assign(128, 0x42);
         write_1500h(ss);
       },
       true, true},
      {"a cache flush",
       [](storage_scsi& ss, kelsim::SimHarness&) {
         std::uint8_t immediate = 0;
         ss.synchronize_cache(reinterpret_cast<char*>(&immediate));
       },
       true, false},
      {"a failed read of another list",
       [](storage_scsi& ss, kelsim::SimHarness& sim) {
         auto f = kelsim::command_fails(0x8C, {0x03, 0x11, 0x00});
         f.times = 1;
         sim.drive().add_fault(f);
         std::uint8_t d[64] = {};
         EXPECT_NE(0, ss.get_read_attribute(0x0800, d, sizeof d));
       },
       true, false},
      {"the drive utility library's turn", [](storage_scsi&, kelsim::SimHarness&) { kel::BeginDriveSdkTurn(); },
       true, false},
      {"nothing, reads not kept", [](storage_scsi&, kelsim::SimHarness&) {}, true, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    start();
    ASSERT_EQ(0, ss_->init());
    written.assign(128, 0x21);
    write_1500h(*ss_);  // a fresh cartridge has none
    std::optional<storage_scsi::KeepReads> keep;
    if (c.kept) keep.emplace(*ss_);
    pxo_mechanism_status_t ms1{}, ms2{};
    std::uint8_t cm1[184] = {}, cm2[184] = {};
    ASSERT_EQ(0, ss_->mechanism_status(reinterpret_cast<char*>(&ms1)));
    ASSERT_EQ(0, ss_->get_read_attribute(0x1500, cm1, sizeof cm1));
    c.between(*ss_, *sim_);
    sim_->service().clear_transcript();
    ASSERT_EQ(0, ss_->mechanism_status(reinterpret_cast<char*>(&ms2)));
    ASSERT_EQ(0, ss_->get_read_attribute(0x1500, cm2, sizeof cm2));
    kel::EndDriveSdkTurn();
    keep.reset();
    EXPECT_EQ(commands(0xBD).size(), c.asks_again ? 1u : 0u);
    EXPECT_EQ(commands(0x8C).size(), c.asks_again ? 1u : 0u);
    EXPECT_EQ(0, std::memcmp(&ms1, &ms2, sizeof ms1));
    if (c.sees_write) {
      EXPECT_EQ(0, std::memcmp(cm2 + 9, written.data(), 128)) << "the drive's new answer";
    } else {
      EXPECT_EQ(0, std::memcmp(cm1, cm2, sizeof cm1));
    }
  }
}

TEST_F(SimDrive, RewritableDiscPropertiesAfterFormat) {
  start("QMR-T300B", 0xE4);
  ASSERT_EQ(0, ss_->init());
  char list[12] = {0, 2, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(0, ss_->format_unit(list, false));
  ASSERT_EQ(0, ss_->reset_medium_properties());
  const std::uint32_t per_layer = 0x20000 / 8 / 2;
  EXPECT_EQ(0x20000u, ss_->faa(0));
  EXPECT_EQ(0x20000u + per_layer + 0x100u, ss_->laa(0));
  EXPECT_EQ(0x20000u + per_layer + 0x40000u, ss_->faa(1));
  EXPECT_EQ(0u, ss_->dds_error_state());
  EXPECT_EQ(0u, ss_->di_error_state());
  EXPECT_EQ(0u, ss_->medium_condition());
  EXPECT_EQ(1u, ss_->config_mirror().media_status);
  // The defect list header of the formatted disc.
  std::vector<std::uint8_t> rec(4 + 64, 0);
  rec[0] = 0xE4;
  std::uint32_t total = 0, count = 0;
  ASSERT_EQ(0, ss_->get_dfl(rec.data(), 64, 0, &total, &count));
  EXPECT_EQ(1u, total);
  EXPECT_EQ(0u, count);
  EXPECT_EQ('D', rec[4]);
  EXPECT_EQ('L', rec[5]);
}

// A map that could not be rebuilt is not installed: the search then answers
// "no map" (255), never "no defect" (0) from an empty map.
TEST_F(SimDrive, FailedDefectMapRebuildLeavesNoMap) {
  start("QMR-T300B", 0xE2);
  ASSERT_EQ(0, ss_->init());
  char list[12] = {0, 2, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(0, ss_->format_unit(list, false));
  ASSERT_EQ(0, ss_->rebuildDefectBitmap());
  UInt32 nwa = 0;
  Boolean replaced = true;
  EXPECT_EQ(0, ss_->searchAndFindNwa(4352, 32, &nwa, &replaced));
  EXPECT_EQ(4352u, nwa);
  EXPECT_FALSE(replaced);
  const int fault = sim_->drive().add_fault(kelsim::command_fails(0xAD, {0x03, 0x11, 0x00}));
  EXPECT_NE(0, ss_->rebuildDefectBitmap());
  EXPECT_GT(sim_->drive().fault_fired(fault), 0);
  nwa = 0;
  EXPECT_EQ(255, ss_->searchAndFindNwa(4352, 32, &nwa, &replaced));
  EXPECT_EQ(4352u, nwa);
  std::vector<std::uint8_t> copy(storage_scsi::kDefectBitmapSize);
  UInt32 length = storage_scsi::kDefectBitmapSize;
  EXPECT_EQ(16, ss_->getDefectBitmap(copy.data(), &length));
}

TEST_F(SimDrive, WriteProtectedCartridge) {
  start("QMR-T300B", 0xE1);
  sim_->drive().set_write_protect(true);
  ASSERT_EQ(0, ss_->init());
  EXPECT_TRUE(ss_->medium_write_protected());
  EXPECT_TRUE(ss_->cartridge_write_protected());
  EXPECT_FALSE(ss_->reasons_open());
  ASSERT_EQ(0, ss_->reset_medium_properties());
  EXPECT_EQ(0x400u, ss_->config_mirror().mount.WriteProtectReasonFlags);
  EXPECT_TRUE(ss_->isProtectFormCMorCartridge());
  sim_->service().clear_transcript();
  char list[12] = {0, 0, 0, 8, 0x0D, 0x03, 0, 0, 1, 1, 0, 0};
  EXPECT_EQ(0, ss_->pxo_write_attribute(list));
  EXPECT_TRUE(commands(0x8D).empty());
}

TEST_F(SimDrive, VerdictOnAnUnformattedRewritableDisc) {
  start("QMR-T300B", 0xE8, "1700", false);
  ASSERT_EQ(0, ss_->init());
  ASSERT_EQ(0, ss_->reset_medium_properties());
  ASSERT_EQ(1u, ss_->medium_condition());
  EXPECT_EQ(0, ss_->util_check_medium_condition());
  EXPECT_EQ(0x80000010u, ss_->config_mirror().mount.MountStatus);
  EXPECT_EQ(2u, ss_->config_mirror().mount.AccessMode);
  // A verdict of result 0 is not written to the store; the next read of the
  // mount information takes the stored record.
  MDCFS_MOUNT_INFORMATION mi{};
  ASSERT_EQ(0, ss_->get_mount_info(reinterpret_cast<char*>(&mi)));
  EXPECT_EQ(0u, mi.MountStatus);
}

// The medium condition and the verdict on it for each state a disc can be
// in, from the answers of the drive itself: a write-once disc with nothing
// recorded at its start (never formatted, or formatted with its first track
// blank) is sound, while a read of block 0 that fails on a disc whose start
// is recorded, or on a rewritable one, decides by its sense: unformatted
// (05/30/10) is a blank medium, another incompatible or corrupted format
// (05/30/xx, 05/31/xx) a medium of another kind, anything else an
// unreadable one.
TEST_F(SimDrive, MediumConditionOfEachDiscStateFromTheDrivesAnswers) {
  enum class Disc { Blank, FormattedBlank, Recorded };
  struct Row {
    const char* name;
    std::uint8_t medium;
    Disc disc;
    std::optional<kelsim::Sense> read_fails;  // READ(10) of block 0
    std::uint32_t condition;
    std::uint32_t mount_status, access_mode;
    errno_t verdict;
    bool reads_block0;
  };
  const kelsim::Sense medium_error{3, 0x11, 0}, incompatible{5, 0x30, 2}, corrupted{5, 0x31, 0};
  const Row rows[] = {
      {"write-once never formatted", 0xE1, Disc::Blank, {}, 0, 0, 0, 0, false},
      {"write-once first track blank", 0xE1, Disc::FormattedBlank, {}, 0, 0, 0, 0, false},
      {"write-once start recorded", 0xE1, Disc::Recorded, {}, 0, 0, 0, 0, true},
      {"write-once start unreadable", 0xE1, Disc::Recorded, medium_error, 0xFFFFFFFFu, 0x80000001u, 2,
       drv_err::kMediumNotAccessible, true},
      {"write-once of another format", 0xE1, Disc::Recorded, incompatible, 0x80000001u, 0x80000030u, 2,
       drv_err::kMediumNotAccessible, true},
      {"write-once format corrupted", 0xF2, Disc::Recorded, corrupted, 0x80000001u, 0x80000030u, 2,
       drv_err::kMediumNotAccessible, true},
      {"rewritable never formatted", 0xE2, Disc::Blank, {}, 1, 0x80000010u, 2, 0, true},
      {"rewritable formatted, nothing written", 0xE2, Disc::FormattedBlank, {}, 0, 0, 0, 0, true},
      {"rewritable unreadable", 0xE2, Disc::FormattedBlank, medium_error, 0xFFFFFFFFu, 0x80000001u, 2,
       drv_err::kMediumNotAccessible, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    kel::ResetConfigCache();
    start(r.medium == 0xF2 ? "QMR-T400B" : "QMR-T300B", r.medium, "1700", r.disc != Disc::Blank);
    kelsim::Cartridge& cart = sim_->cartridge();
    if (cart.write_once() && r.disc == Disc::FormattedBlank) {
      kelsim::Disc& d = cart.disc(0);
      d.formatted = true;
      d.status = kelsim::DiscStatus::Incomplete;
      d.tracks = {kelsim::Track{0, cart.disc_blocks(), 0, false, false}};
    }
    if (r.disc == Disc::Recorded) {
      const std::vector<std::uint8_t> start_blocks(128 * 2048, 0x5A);
      kel_test::record_blocks(cart, 0, 0, 128, start_blocks.data());
    }
    if (r.read_fails) sim_->drive().add_fault(kelsim::read_error(0, 0, *r.read_fails));
    ASSERT_EQ(0, ss_->init());
    sim_->service().clear_transcript();
    ASSERT_EQ(0, ss_->reset_medium_properties());
    EXPECT_EQ(r.condition, ss_->medium_condition());
    bool read0 = false;
    for (const auto& e : commands(0x28)) read0 |= kelsim::get_be32(e.cdb.data() + 2) == 0;
    EXPECT_EQ(r.reads_block0, read0);
    EXPECT_EQ(r.verdict, ss_->util_check_medium_condition());
    const MDCFS_MOUNT_INFORMATION& mi = ss_->config_mirror().mount;
    EXPECT_EQ(r.mount_status, mi.MountStatus);
    EXPECT_EQ(r.access_mode, mi.AccessMode);
    EXPECT_EQ(r.mount_status >= 0x80000001u && r.mount_status != 0x80000010u,
              (mi.WriteProtectReasonFlags & 0x80000u) != 0);
    if (!cart.write_once()) {
      EXPECT_EQ(r.condition == 1 ? 0u : 1u, ss_->config_mirror().media_status);
    }
  }
}

TEST_F(SimDrive, EveryCommandOfTheTableReachesTheDriveAsBuilt) {
  // A load that takes no time to become ready sends the blocks of the table;
  // the commands of a drive that takes its time are tested on their own.
  drive_.loading_commands = 0;
  drive_.attention_after_load = false;
  for (const drivecases::CommandCase& c : drivecases::command_cases()) {
    SCOPED_TRACE(c.name);
    kel::ResetConfigCache();
    start(c.product, 0xE1);
    ASSERT_TRUE(sim_->make_ready());
    fakedrive::set_clear_hook([this] { sim_->service().clear_transcript(); });
    pxo_devinfo_t info{};
    ASSERT_EQ(0, ss_->get_devinfo(reinterpret_cast<char*>(&info)));
    sim_->service().clear_transcript();
    (void)c.run(*ss_);  // the simulated disc decides the outcome; the blocks matter here
    fakedrive::set_clear_hook(nullptr);
    const auto sent = commands();
    ASSERT_EQ(c.sent.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
      EXPECT_EQ(c.sent[i].cdb, sent[i].cdb) << "command " << i;
      EXPECT_EQ(c.sent[i].direction == drivecases::kOut, sent[i].data_out) << "command " << i;
      EXPECT_EQ(c.sent[i].transfer, sent[i].data_length) << "command " << i;
      EXPECT_EQ(16, sent[i].sense_capacity);
      EXPECT_TRUE(sent[i].answered);
    }
  }
}
