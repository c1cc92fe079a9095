// The drive client through the real pipe client against the simulated host
// service and changer drive: pre-mount, mount of the last slot, and blocks
// read and written through the buffer and cluster calls.
#include "drive_fixture.h"
#include "support/recorded_disc.h"
#include "support/settles.h"

#include "drive/client_if.h"
#include "drive/device_control.h"
#include "drive/scsi_service.h"
#include "drive/scsi_service_re.h"
#include "kel/errors.h"
#include "kel/pipe_client.h"
#include "kel/scsi.h"
#include "kelhost/kern.h"
#include "kelhost/vnode.h"
#include "sim/harness.h"
#include "support/test_dir.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>

namespace {

int map_from_lsn_100(void* a) {
  auto* args = static_cast<vnop_blockmap_args*>(a);
  *args->a_bpn = 100 + static_cast<std::int32_t>(args->a_foffset / 2048);
  *args->a_run = args->a_size;
  return 0;
}

class SimClient : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("kel_client_sim_" + std::to_string(::getpid()) + "_" +
            kel_test::flat_test_name());
    std::filesystem::create_directories(dir_);
    ::setenv("KEL_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
    kel::ResetConfigCache();
    fakelog::reset();
    fakedrive::use_pipe(true);
    clock_scope_ = std::make_unique<platform::ScopedClock>(clock_);
  }
  void TearDown() override {
    clientif_delete();
    stop();
    clock_scope_.reset();
    fakedrive::use_pipe(false);
    kel::ResetConfigCache();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  void start(std::uint8_t medium, std::uint8_t loaded = 0) {
    kelsim::HarnessOptions o;
    o.cartridge.medium_type = medium;
    o.cartridge.loaded_slot = loaded;
    o.cartridge.disc_blocks = 0x20000;
    sim_ = std::make_unique<kelsim::SimHarness>(o);
    kel::SetMediumCookie(sim_->cookie());
  }
  void stop() {
    if (!sim_) return;
    sim_.reset();
    kel::SetMediumCookie(0);
    kel_test::settles([] { return !kel::ServiceInterface().isConnected(); });
  }
  // A new client on a new cartridge of `medium`.
  void restart(std::uint8_t medium, std::uint8_t loaded = 0) {
    clientif_delete();
    stop();
    start(medium, loaded);
  }
  // Disc 0 of a write-once cartridge as the automatic format leaves it.
  void format_write_once_disc0() { format_write_once_disc(0); }
  void format_write_once_disc(int slot) {
    auto& d = sim_->cartridge().disc(slot);
    d.formatted = true;
    d.status = kelsim::DiscStatus::Incomplete;
    d.tracks = {kelsim::Track{0, 0x1100, 0x1100, false, false},
                kelsim::Track{0x1100, 0x20000 - 0x1100, 0x1100, false, true}};
    sim_->cartridge().attributes[0x1500] = {0, value_1500h(0)};
  }
  void blank(int slot) {
    auto& d = sim_->cartridge().disc(slot);
    d = kelsim::Disc{};
    d.tracks = {kelsim::Track{0, 0x20000, 0, false, false}};
  }
  // The client as the pre-mount leaves it, up to and with the mount start
  // (a blank rewritable disc would get a raw verdict from the medium check).
  int mount_start() {
    init_client();
    return pclient_if->MountStart();
  }
  void init_client() {
    if (pclient_if == nullptr) pclient_if = new client_if();
    pclient_if->storage()->set_device_number("sg0");
    pclient_if->storage()->set_device_name("/dev/sg-no-such-device");
    EXPECT_EQ(0, pclient_if->storage()->init());
  }
  int mount_last_slot() {
    char verify = 0;
    return VNOP_IOCTL(nullptr, PXOIOMOUNTLASTSLOT, &verify, 0, nullptr);
  }
  int premount(int* finalized, int* wp, int* wu) {
    char dev[] = "sg0";
    char media[] = "notused";
    return premount_operation(dev, media, finalized, wp, wu);
  }
  // A rewritable cartridge whose disc 0 holds a complete volume, through
  // the pre-mount.
  void premount_complete_disc() {
    start(0xE2);
    auto& disc = sim_->cartridge().disc(0);
    disc.formatted = true;
    disc.status = kelsim::DiscStatus::Complete;
    int f = 0, wp = 0, wu = 0;
    ASSERT_EQ(0, premount(&f, &wp, &wu));
  }
  MDCFS_MOUNT_INFORMATION mount_info() {
    MDCFS_MOUNT_INFORMATION mi{};
    EXPECT_EQ(0, VNOP_IOCTL(nullptr, PXOIOGETMOUNTINFO, reinterpret_cast<char*>(&mi), 0, nullptr));
    return mi;
  }

  std::filesystem::path dir_;
  InstantClock clock_;
  std::unique_ptr<platform::ScopedClock> clock_scope_;
  std::unique_ptr<kelsim::SimHarness> sim_;
};

}  // namespace

TEST_F(SimClient, PremountOfAFormattedCartridge) {
  start(0xE1);
  format_write_once_disc0();
  int finalized = -1, wp = -1, wu = -1;
  EXPECT_EQ(0, premount(&finalized, &wp, &wu));
  EXPECT_EQ(0, finalized);
  EXPECT_EQ(0, wp);
  EXPECT_EQ(0, wu);
  ASSERT_NE(nullptr, pclient_if);
  EXPECT_EQ(0xE1, clientif_get_medium_type());
  EXPECT_EQ(0, VNOP_IOCTL(nullptr, PXOIOMOUNTLASTSLOT, const_cast<char*>("\0"), 0, nullptr));
  EXPECT_NE(2u, mount_info().AccessMode);
  // The program name of later log lines is the drive's serial number.
  EXPECT_TRUE(fakelog::contains("[" + sim_->drive().config().serial));
}

// A write-once disc with nothing recorded at its start, on a drive whose
// reads of it fail: never formatted (05/30/10), or formatted with its first
// track blank (03/11/00), as a format cut short after FORMAT UNIT leaves it.
// The pre-mount takes it as a sound medium, not as an uninitialised or
// unreadable one, and the mount of the last slot then formats it: the disc
// gets its second track and reads from its start.
TEST_F(SimClient, AWriteOnceDiscWithNothingRecordedAtItsStartIsNoRawMedium) {
  for (bool formatted : {false, true}) {
    SCOPED_TRACE(formatted ? "formatted, first track blank" : "never formatted");
    restart(0xE1);
    if (formatted) {
      auto& d = sim_->cartridge().disc(0);
      d.formatted = true;
      d.status = kelsim::DiscStatus::Incomplete;
      d.tracks = {kelsim::Track{0, 0x20000, 0, false, false}};
    }
    int f = 0, wp = 0, wu = 0;
    EXPECT_EQ(0, premount(&f, &wp, &wu));
    EXPECT_NE(2u, mount_info().AccessMode);
    EXPECT_EQ(0, mount_last_slot());
    EXPECT_NE(2u, mount_info().AccessMode);
    const kelsim::Disc& d = sim_->cartridge().disc(0);
    EXPECT_TRUE(d.formatted);
    ASSERT_EQ(2u, d.tracks.size());
    EXPECT_GT(d.tracks[0].nwa, 256u) << "the anchor is recorded";
    std::uint32_t io = 0;
    EXPECT_EQ(0, pclient_if->storage()->check_medium_status(&io));
    EXPECT_EQ(0u, io);
  }
}

TEST_F(SimClient, PremountArgumentsAreChecked) {
  int f = 0;
  char dev[] = "sg0";
  EXPECT_EQ(-1, premount_operation(dev, nullptr, &f, &f, &f));
  EXPECT_EQ(nullptr, pclient_if);
}

TEST_F(SimClient, UnsupportedMediumGivesTheMountVerdictAnd95) {
  start(0xE1);
  sim_->cartridge().attributes[0x0408].value = {0x01};
  int finalized = -1, wp = -1, wu = -1;
  EXPECT_EQ(95, premount(&finalized, &wp, &wu));
  const auto mi = mount_info();
  EXPECT_EQ(0x80000020u, mi.MountStatus);
  EXPECT_EQ(0x100u, mi.WriteProtectReasonFlags & 0x100u);
  EXPECT_EQ(2u, mi.AccessMode);
  // The flags are still reported.
  EXPECT_EQ(0, wp);
  EXPECT_EQ(0, finalized);
}

TEST_F(SimClient, BlankDiscWithUnreadableVolumeTypeGives123) {
  std::ofstream(dir_ / "registry.reg")
      << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Quorvel\\Stravo\\KELFS]\n"
      << "\"Volume Type\"=\"bad\"\n";
  kel::ResetConfigCache();
  start(0xE1);
  int finalized = -1, wp = -1, wu = -1;
  ASSERT_EQ(0, premount(&finalized, &wp, &wu));
  sim_->service().clear_transcript();
  char verify = 0;
  EXPECT_EQ(123, VNOP_IOCTL(nullptr, PXOIOMOUNTLASTSLOT, &verify, 0, nullptr));
  const auto mi = mount_info();
  EXPECT_EQ(0x80000010u, mi.MountStatus);
  EXPECT_EQ(2u, mi.AccessMode);
  // Nothing was written to the blank disc.
  for (const auto& e : sim_->service().transcript()) EXPECT_NE(0x2A, e.opcode());
  EXPECT_EQ(kelsim::DiscStatus::Blank, sim_->cartridge().disc(0).status);
}

TEST_F(SimClient, BuffersAndClustersReadTheImage) {
  ASSERT_NO_FATAL_FAILURE(premount_complete_disc());
  std::vector<std::uint8_t> img(64 * 2048);
  for (std::size_t i = 0; i < img.size(); ++i) img[i] = static_cast<std::uint8_t>(i / 2048 + i);
  ASSERT_EQ(0u, sim_->cartridge().write_blocks(0, 96, 64, img.data()));
  int dummy = 0;
  vnode_t vp = reinterpret_cast<vnode_t>(&dummy);

  buf_t bp = nullptr;
  ASSERT_EQ(0, buf_meta_bread(vp, 100, 8192, nullptr, &bp));
  EXPECT_EQ(0, std::memcmp(reinterpret_cast<void*>(buf_dataptr(bp)), img.data() + 4 * 2048, 8192));
  buf_brelse(bp);

  const vnop_handler_t saved = kel_vnops.blockmap;
  kel_vnops.blockmap = map_from_lsn_100;
  std::vector<std::uint8_t> out(10000, 0xEE);
  uio_t u = uio_create(1, 0, UIO_SYSSPACE, UIO_READ);
  uio_addiov(u, reinterpret_cast<user_addr_t>(out.data()), out.size());
  EXPECT_EQ(0, cluster_read(vp, u, 9000, 0));
  kel_vnops.blockmap = saved;
  uio_free(u);
  EXPECT_EQ(0, std::memcmp(out.data(), img.data() + 4 * 2048, 9000));
  EXPECT_EQ(0xEE, out[9000]);
}

TEST_F(SimClient, BufferWritesAndTheirFailures) {
  ASSERT_NO_FATAL_FAILURE(premount_complete_disc());
  int dummy = 0;
  vnode_t vp = reinterpret_cast<vnode_t>(&dummy);

  buf_t bp = buf_getblk(vp, 320, 65536, 0, 0, 0);
  ASSERT_NE(nullptr, bp);
  std::memset(reinterpret_cast<void*>(buf_dataptr(bp)), 0x77, 65536);
  EXPECT_EQ(0, buf_bwrite(bp));
  std::vector<std::uint8_t> back(2048);
  ASSERT_EQ(0u, sim_->cartridge().read_blocks(0, 351, 1, back.data()));
  EXPECT_EQ(0x77, back[2047]);

  sim_->drive().add_fault(kelsim::write_error(640, 700));
  for (int i = 0; i < 2; ++i) {
    bp = buf_getblk(vp, 640, 65536, 0, 0, 0);
    ASSERT_NE(nullptr, bp);
    EXPECT_NE(0, buf_bwrite(bp));
  }
  std::uint32_t fails = 0;
  EXPECT_EQ(0, VNOP_IOCTL(vp, PXOIOCGETWRITEFAILCNT, reinterpret_cast<char*>(&fails), 0, nullptr));
  EXPECT_EQ(2u, fails);
  EXPECT_EQ(2, fakelog::count("WRITE_10 failed. err["));
}

namespace {
int map_unmapped(void* a) {
  auto* args = static_cast<vnop_blockmap_args*>(a);
  *args->a_bpn = -1;
  *args->a_run = args->a_size;
  return 0;
}
}  // namespace

// A run that ends inside a sector is written whole: its data, then zeros to
// the end of the sector; every WRITE(10) carries exactly its blocks x 2048
// bytes. An offset without a block behind it is refused and writes nothing.
TEST_F(SimClient, ClusterWriteOfRunsEndingInsideASector) {
  ASSERT_NO_FATAL_FAILURE(premount_complete_disc());
  int dummy = 0;
  vnode_t vp = reinterpret_cast<vnode_t>(&dummy);
  const vnop_handler_t saved = kel_vnops.blockmap;
  kel_vnops.blockmap = map_from_lsn_100;
  for (std::size_t len : {std::size_t{3000}, std::size_t{1000}, std::size_t{2048 + 3000}, std::size_t{65536 + 100}}) {
    SCOPED_TRACE(len);
    const std::vector<std::uint8_t> old(40 * 2048, 0xEE);
    ASSERT_EQ(0u, sim_->cartridge().write_blocks(0, 100, 40, old.data()));
    std::vector<std::uint8_t> data(len);
    for (std::size_t i = 0; i < len; ++i) data[i] = static_cast<std::uint8_t>(i * 13 + 1);
    uio_t u = uio_create(1, 0, UIO_SYSSPACE, UIO_WRITE);
    uio_addiov(u, reinterpret_cast<user_addr_t>(data.data()), data.size());
    sim_->service().clear_transcript();
    EXPECT_EQ(0, cluster_write(vp, u, 1, static_cast<off64_kel_t>(len), 0, 0, 0));
    EXPECT_EQ(0, uio_resid(u));
    uio_free(u);
    const std::size_t sectors = (len + 2047) / 2048;
    std::vector<std::uint8_t> back(40 * 2048);
    ASSERT_EQ(0u, sim_->cartridge().read_blocks(0, 100, 40, back.data()));
    EXPECT_EQ(0, std::memcmp(back.data(), data.data(), len));
    for (std::size_t i = len; i < sectors * 2048; ++i) ASSERT_EQ(0, back[i]) << i;
    EXPECT_EQ(0xEE, back[sectors * 2048]);
    std::uint32_t blocks = 0;
    for (const auto& e : sim_->service().transcript()) {
      if (e.is_notice() || e.opcode() != 0x2A) continue;
      const std::uint32_t n = static_cast<std::uint32_t>(e.cdb[7] << 8 | e.cdb[8]);
      EXPECT_EQ(n * 2048u, e.data_length);
      blocks += n;
    }
    EXPECT_EQ(sectors, blocks);
  }
  kel_vnops.blockmap = map_unmapped;
  std::vector<std::uint8_t> data(4096, 0x55);
  uio_t u = uio_create(1, 0, UIO_SYSSPACE, UIO_WRITE);
  uio_addiov(u, reinterpret_cast<user_addr_t>(data.data()), data.size());
  sim_->service().clear_transcript();
  EXPECT_EQ(5, cluster_write(vp, u, 1, 4096, 0, 0, 0));
  uio_free(u);
  kel_vnops.blockmap = saved;
  for (const auto& e : sim_->service().transcript()) EXPECT_NE(0x2A, e.opcode());
}

namespace {
// Runs up to the end of the first 64 KiB of the file, from LSN 100; no run
// (0) from there on, as the block map answers past the last extent.
int map_first_unit_only(void* a) {
  auto* args = static_cast<vnop_blockmap_args*>(a);
  *args->a_bpn = 100 + static_cast<std::int32_t>(args->a_foffset / 2048);
  *args->a_run = args->a_foffset >= 65536 ? 0 : std::min<std::uint64_t>(args->a_size, 65536 - args->a_foffset);
  return 0;
}
}  // namespace

// Data left when the block map has no run for it is a failure: the unit
// that had a run is written, the uio moves over exactly that unit, and
// the rest of the medium is untouched.
TEST_F(SimClient, ClusterWriteWithDataLeftPastTheMappedRunsFails) {
  ASSERT_NO_FATAL_FAILURE(premount_complete_disc());
  const std::vector<std::uint8_t> old(64 * 2048, 0xEE);
  ASSERT_EQ(0u, sim_->cartridge().write_blocks(0, 100, 64, old.data()));
  int dummy = 0;
  vnode_t vp = reinterpret_cast<vnode_t>(&dummy);
  const vnop_handler_t saved = kel_vnops.blockmap;
  kel_vnops.blockmap = map_first_unit_only;
  std::vector<std::uint8_t> data(131072);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 3);
  uio_t u = uio_create(1, 0, UIO_SYSSPACE, UIO_WRITE);
  uio_addiov(u, reinterpret_cast<user_addr_t>(data.data()), data.size());
  sim_->service().clear_transcript();
  EXPECT_EQ(5, cluster_write(vp, u, 1, 131072, 0, 0, 0));
  kel_vnops.blockmap = saved;
  EXPECT_EQ(65536, uio_resid(u));
  EXPECT_EQ(65536, uio_offset(u));
  uio_free(u);
  std::size_t writes = 0;
  for (const auto& e : sim_->service().transcript())
    if (!e.is_notice() && e.opcode() == 0x2A) ++writes;
  EXPECT_EQ(1u, writes);
  std::vector<std::uint8_t> back(64 * 2048);
  ASSERT_EQ(0u, sim_->cartridge().read_blocks(0, 100, 64, back.data()));
  EXPECT_EQ(0, std::memcmp(back.data(), data.data(), 65536));
  EXPECT_TRUE(std::all_of(back.begin() + 65536, back.end(), [](std::uint8_t b) { return b == 0xEE; }));
  EXPECT_TRUE(fakelog::contains("write data 0"));
}

// A read while no host service listens (as while it restarts) fails with 5,
// which the host is told as a device error (1117), never as a missing file.
TEST_F(SimClient, AReadWithoutAHostServiceIsAnIOError) {
  ASSERT_NO_FATAL_FAILURE(premount_complete_disc());
  stop();
  int dummy = 0;
  vnode_t vp = reinterpret_cast<vnode_t>(&dummy);
  const vnop_handler_t saved = kel_vnops.blockmap;
  kel_vnops.blockmap = map_from_lsn_100;
  std::vector<std::uint8_t> out(4096, 0xEE);
  uio_t u = uio_create(1, 0, UIO_SYSSPACE, UIO_READ);
  uio_addiov(u, reinterpret_cast<user_addr_t>(out.data()), out.size());
  fakelog::reset();
  const int r = cluster_read(vp, u, 4096, 0);
  kel_vnops.blockmap = saved;
  uio_free(u);
  EXPECT_EQ(5, r);
  EXPECT_EQ(static_cast<DWORD>(ERROR_IO_DEVICE), kel::Win32FromEngineResult(r));
  EXPECT_TRUE(fakelog::contains("IOCTL_ERROR:0x00000002")) << "the Win32 code stays in the log";
  buf_t bp = nullptr;
  EXPECT_EQ(12, buf_meta_bread(vp, 100, 2048, nullptr, &bp));
  EXPECT_EQ(nullptr, bp);
}

// The first use of a blank cartridge formats slot 0 (its cartridge memory has
// no 1500h record yet); every later mount of that process mounts the disc.
TEST_F(SimClient, BlankCartridgeIsFormattedOnceAndMountsAgain) {
  for (std::uint8_t medium : {std::uint8_t{0xE1}, std::uint8_t{0xE2}}) {
    SCOPED_TRACE(static_cast<int>(medium));
    restart(medium);
    ASSERT_EQ(0, mount_start());
    EXPECT_TRUE(pclient_if->unread_1500h());
    ASSERT_EQ(0, mount_last_slot());
    EXPECT_FALSE(pclient_if->unread_1500h());
    ASSERT_EQ(1u, sim_->cartridge().attributes.count(0x1500));
    EXPECT_EQ(0, mount_last_slot());
    EXPECT_EQ(0, mount_last_slot());
    EXPECT_NE(2u, mount_info().AccessMode);
  }
}

// A blank cartridge memory and a first disc formatted into one track that
// another program recorded (here a volume recognised by "CD001" at block
// 16): the mount of the last slot refuses it as a volume this system did
// not format (95, status 80000200h, reason 200h, raw), sends nothing that
// writes the disc, and so does a second mount.
TEST_F(SimClient, AWriteOnceFirstDiscAnotherProgramRecordedIsRefused) {
  for (std::uint8_t medium : {std::uint8_t{0xE1}, std::uint8_t{0xF2}}) {
    SCOPED_TRACE(static_cast<int>(medium));
    restart(medium);
    std::vector<std::uint8_t> image(128 * 2048, 0);
    const std::uint8_t pvd[7] = {1, 'C', 'D', '0', '0', '1', 1};
    std::memcpy(image.data() + 16 * 2048, pvd, sizeof pvd);
    kel_test::record_blocks(sim_->cartridge(), 0, 0, 128, image.data());
    ASSERT_EQ(0, mount_start());
    sim_->service().clear_transcript();
    for (int mount = 0; mount < 2; ++mount) {
      EXPECT_EQ(95, mount_last_slot());
      const auto mi = mount_info();
      EXPECT_EQ(0x80000200u, mi.MountStatus);
      EXPECT_TRUE(mi.WriteProtectReasonFlags & 0x200u);
      EXPECT_EQ(2u, mi.AccessMode);
    }
    for (const auto& e : sim_->service().transcript()) {
      const int op = e.is_notice() ? -1 : e.opcode();
      EXPECT_TRUE(op != 0x04 && op != 0x2A && op != 0x53 && op != 0xD2) << e.line();
    }
    EXPECT_EQ(1u, sim_->cartridge().disc(0).tracks.size());
    EXPECT_EQ(128u, sim_->cartridge().disc(0).tracks[0].nwa);
  }
}

// 1500h that cannot be read: a rewritable medium mounts in the mount start and
// is refused with 95 once its disc is found formatted; a write-once medium
// whose other cartridge attributes cannot be read either gets the read's error
// from the mount start, with the read-only reason set.
TEST_F(SimClient, Unreadable1500hVerdicts) {
  start(0xE2);
  ASSERT_EQ(0, mount_start());
  ASSERT_EQ(0, mount_last_slot());  // formats slot 0 and writes 1500h
  clientif_delete();
  sim_->cartridge().attributes.erase(0x1500);
  EXPECT_EQ(0, mount_start());
  EXPECT_TRUE(pclient_if->unread_1500h());
  EXPECT_EQ(95, mount_last_slot());
  auto mi = mount_info();
  EXPECT_EQ(0x80000200u, mi.MountStatus);
  EXPECT_EQ(2u, mi.AccessMode);

  restart(0xE1);
  format_write_once_disc0();
  sim_->cartridge().attributes.erase(0x1500);
  sim_->cartridge().attributes.erase(0x0408);
  int f = -1, wp = -1, wu = -1;
  const int r = premount(&f, &wp, &wu);
  EXPECT_NE(0, r);
  EXPECT_NE(95, r);
  EXPECT_TRUE(mount_info().WriteProtectReasonFlags & 0x4000u);
}

// A backtrack the engine left unfinished is taken up again at the mount
// start, unless the user protected the cartridge: then the volume is mounted
// raw with 95. The cartridge switch alone means protected, and so does a
// protection that cannot be read (switch or 0D03h): a failed read never
// starts the walk, which would erase the descriptors of discs above the
// target.
TEST_F(SimClient, ProtectedOrUnreadableProtectionNeverStartsAnUnfinishedBacktrack) {
  struct Row {
    const char* what;
    bool tab;
    bool attribute_readable;
    bool mechanism_fails;
  };
  const Row rows[] = {
      {"cartridge switch on", true, true, false},
      {"cartridge switch on, 0D03h unreadable", true, false, false},
      {"switch off, 0D03h unreadable", false, false, false},
      {"MECHANISM STATUS fails", false, true, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    restart(0xE2);
    ASSERT_EQ(0, mount_start());
    ASSERT_EQ(0, mount_last_slot());  // formats slot 0 and writes 1500h
    clientif_delete();
    // The record of an unfinished backtrack: slot 1, address 0x1234.
    std::vector<std::uint8_t>& v = sim_->cartridge().attributes.at(0x1500).value;
    const std::uint16_t slot = 1;
    const std::uint64_t address = 0x1234;
    std::memcpy(v.data() + 42, &slot, sizeof slot);
    std::memcpy(v.data() + 44, &address, sizeof address);
    const std::uint16_t crc = calculate_crc(v.data(), 126);
    v[126] = static_cast<std::uint8_t>(crc >> 8);
    v[127] = static_cast<std::uint8_t>(crc);
    sim_->drive().set_cartridge_write_protect(r.tab);
    if (!r.attribute_readable) {
      ASSERT_EQ(0u, sim_->drive().remove_attribute(0x0D03));
    }
    init_client();
    if (r.mechanism_fails) sim_->drive().add_fault(kelsim::command_fails(0xBD, {0x04, 0x3B, 0x0E}));
    sim_->service().clear_transcript();
    fakelog::reset();
    EXPECT_EQ(95, pclient_if->MountStart());
    sim_->drive().clear_faults();
    EXPECT_FALSE(fakelog::contains("BacktrackPolicy")) << "the walk did not start";
    for (const auto& e : sim_->service().transcript()) EXPECT_NE(0x2A, e.opcode());
    const auto mi = mount_info();
    EXPECT_EQ(0x80000500u, mi.MountStatus);
    EXPECT_EQ(2u, mi.AccessMode);
  }
}

// A readable 1500h record of another format: "Unsupported Format", 95, from
// the mount start.
TEST_F(SimClient, Unsupported1500hFormatGives95) {
  start(0xE1);
  format_write_once_disc0();
  sim_->cartridge().attributes[0x1500] = {0, value_1500h(0, true, 2)};
  int f = -1, wp = -1, wu = -1;
  EXPECT_EQ(95, premount(&f, &wp, &wu));
  const auto mi = mount_info();
  EXPECT_EQ(0x80000100u, mi.MountStatus);
  EXPECT_TRUE(mi.WriteProtectReasonFlags & 0x80000u);
  EXPECT_TRUE(fakelog::contains("Unsupported Format. err="));
}

// The caller's length word covers at most the record's identifier area:
// nothing past the 20-byte record is written, with or without a disc.
TEST_F(SimClient, MediumUniqueIdStaysInsideTheRecord) {
  start(0xE1);
  ASSERT_EQ(0, mount_start());
  for (bool loaded : {true, false}) {
    SCOPED_TRACE(loaded ? "disc loaded" : "no disc");
    if (!loaded) sim_->drive().unload();
    std::uint8_t buf[40];
    std::memset(buf, 0xAA, sizeof(buf));
    const std::uint32_t length = sizeof(buf);
    std::memcpy(buf + 16, &length, sizeof(length));
    EXPECT_EQ(0, VNOP_IOCTL(nullptr, PXOIOGETMEDIUMUNIQUEID, reinterpret_cast<char*>(buf), 0, nullptr));
    for (std::size_t i = 20; i < sizeof(buf); ++i) ASSERT_EQ(0xAA, buf[i]) << i;
    if (loaded) {
      EXPECT_EQ(0, std::memcmp(buf, sim_->cartridge().disc(0).unique_id.data(), 14));
    } else {
      for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(0, buf[i]) << i;
    }
  }
}

// Without slot information (no attribute 0D00h) on an 11-slot cartridge the
// search loads slot 5, which is not the middle slot (4): the mount goes
// read-only with the disc in the drive, and that slot is what is stored, not
// the caller's initial value. Without a mechanism answer nothing is stored.
TEST_F(SimClient, SlotSearchWithoutSlotInformationStoresOnlyAKnownSlot) {
  start(0xF1, 2);
  ASSERT_EQ(11, sim_->cartridge().slots());
  sim_->cartridge().attributes.erase(0x0D00);
  pclient_if = new client_if();
  storage_scsi& st = *pclient_if->storage();
  st.set_device_number("sg0");
  st.set_device_name("/dev/sg-no-such-device");
  ASSERT_EQ(0, st.init());
  EXPECT_EQ(0, VNOP_IOCTL(nullptr, PXOIOLASTWRITTENSLOT, nullptr, 0, nullptr));
  EXPECT_EQ(5, sim_->cartridge().loaded_slot);
  EXPECT_EQ(5, st.config_mirror().current_slot);
  EXPECT_EQ(5, st.config_mirror().last_written_slot);
  EXPECT_EQ(5, pclient_if->service().current_slot());
  EXPECT_TRUE(mount_info().WriteProtectReasonFlags & 0x4001u);

  // MECHANISM STATUS fails once the search has loaded its slot.
  st.config_mirror_for_update().current_slot = 7;
  st.config_mirror_for_update().last_written_slot = 7;
  ASSERT_EQ(0u, sim_->drive().load(2));
  kelsim::FaultRule f = kelsim::command_fails(0xBD, {0x04, 0x44, 0x00});
  f.skip = 4;  // search, slot information, read-only path, unique id of the loaded disc
  f.times = 1;
  const int id = sim_->drive().add_fault(f);
  fakelog::reset();
  (void)VNOP_IOCTL(nullptr, PXOIOLASTWRITTENSLOT, nullptr, 0, nullptr);
  ASSERT_EQ(1, sim_->drive().fault_fired(id));
  EXPECT_TRUE(fakelog::contains("no slot known"));
  EXPECT_EQ(7, st.config_mirror().current_slot);
  EXPECT_EQ(7, st.config_mirror().last_written_slot);
}

// ------------------------------------------------ blank first disc, reformat

// The first mount of a blank write-once cartridge formats slot 0 with the
// drive verifying (no VERIFY from the host) and marks it auto-formatted.
TEST_F(SimClient, BlankFirstDiscIsFormattedWithTheDriveVerifyFlag) {
  start(0xE1);
  ASSERT_EQ(0, mount_start());
  sim_->service().clear_transcript();
  char verify = 1;
  EXPECT_EQ(0, VNOP_IOCTL(nullptr, PXOIOMOUNTLASTSLOT, &verify, 0, nullptr));
  EXPECT_EQ(2u, sim_->cartridge().disc(0).tracks.size());
  bool any_write = false;
  for (const auto& e : sim_->service().transcript()) {
    EXPECT_NE(0x2F, e.opcode());
    any_write |= e.opcode() == 0x2A;
  }
  EXPECT_TRUE(any_write);
  EXPECT_TRUE(pclient_if->service().wo().get_AutoFormatted_flag());
  EXPECT_NE(2u, mount_info().AccessMode);
}

// A blank first disc with a write-protect reason recorded is not formatted.
TEST_F(SimClient, BlankFirstDiscWithWriteProtectReasonGives123) {
  start(0xE1);
  ASSERT_EQ(0, mount_start());
  MDCFS_MOUNT_INFORMATION mi = mount_info();
  mi.WriteProtectReasonFlags = 0x4;
  ASSERT_EQ(0, VNOP_IOCTL(nullptr, PXOIOSETMOUNTINFO, reinterpret_cast<char*>(&mi), 0, nullptr));
  sim_->service().clear_transcript();
  EXPECT_EQ(123, mount_last_slot());
  EXPECT_EQ(0x80000010u, mount_info().MountStatus);
  for (const auto& e : sim_->service().transcript()) EXPECT_NE(0x2A, e.opcode());
  EXPECT_EQ(kelsim::DiscStatus::Blank, sim_->cartridge().disc(0).status);
}

// A format that fails although the serial number was read is recorded as a
// bad medium (80000001h) and mounted raw.
TEST_F(SimClient, FailedFormatOfTheFirstDiscIsRecorded) {
  start(0xE1);
  ASSERT_EQ(0, mount_start());
  sim_->drive().add_fault(kelsim::write_error(0, 0xFFFFFFFFu));
  EXPECT_NE(0, mount_last_slot());
  const auto mi = mount_info();
  EXPECT_EQ(0x80000001u, mi.MountStatus);
  EXPECT_TRUE(mi.WriteProtectReasonFlags & 0x80000u);
  EXPECT_EQ(2u, mi.AccessMode);
}

// The reformat control: without the reformat flag nothing runs and the record
// is left alone; with it the medium is refreshed, the last slot mounted, the
// auto-formatted flag handed back and the flag cleared in the store.
TEST_F(SimClient, ReformatControl) {
  start(0xE2);
  ASSERT_EQ(0, mount_start());
  ASSERT_EQ(0, mount_last_slot());  // formats slot 0
  pxo_reformat_t rec{0xAAAA, 0};
  EXPECT_EQ(0, VNOP_IOCTL(nullptr, PXOIOREFORMAT, reinterpret_cast<char*>(&rec), 0, nullptr));
  EXPECT_EQ(0xAAAAu, rec.auto_formatted);

  storage_scsi& st = *pclient_if->storage();
  st.set_reformat_flg(1);
  pclient_if->service().re().set_AutoFormatted_flag(true);
  EXPECT_EQ(0, VNOP_IOCTL(nullptr, PXOIOREFORMAT, reinterpret_cast<char*>(&rec), 0, nullptr));
  EXPECT_EQ(1u, rec.auto_formatted);
  EXPECT_EQ(0u, st.get_reformat_flg());
  EXPECT_FALSE(pclient_if->service().re().get_reformat_flag());
  EXPECT_EQ(0, sim_->cartridge().loaded_slot);
}

// Every media-service control reaches the real service of the medium class.
TEST_F(SimClient, ServiceControlsReachTheMediaServices) {
  start(0xE2);
  ASSERT_EQ(0, mount_start());
  ASSERT_EQ(0, mount_last_slot());  // slot 0 formatted, NWA 4416
  scsi_service& svc = pclient_if->service();
  ASSERT_FALSE(svc.write_once());

  pxo_auto_formatted_info_t af{0xEE, 0xEE, 1};
  EXPECT_EQ(0, VNOP_IOCTL(nullptr, PXOIOGETAUTOFORMATTEDFLAG, reinterpret_cast<char*>(&af), 0, nullptr));
  EXPECT_EQ(1u, af.auto_formatted);
  EXPECT_EQ(4416u, af.nwa);
  EXPECT_FALSE(svc.re().get_AutoFormatted_flag());  // cleared on request

  std::uint8_t serial[32] = {};
  EXPECT_EQ(0, VNOP_IOCTL(nullptr, PXOIOGETMEDIUMSERIALNUM, reinterpret_cast<char*>(serial), 0, nullptr));
  const std::string want = sim_->cartridge().attributes[0x0401].value.empty()
                               ? std::string()
                               : std::string(sim_->cartridge().attributes[0x0401].value.begin(),
                                             sim_->cartridge().attributes[0x0401].value.end());
  EXPECT_EQ(want, std::string(reinterpret_cast<char*>(serial), 32));

  pxo_backtrack_progress_t p{9, 9, 9, 9, 9};
  EXPECT_EQ(0, VNOP_IOCTL(nullptr, PXOIORESETBACKTRACKINFO, nullptr, 0, nullptr));
  EXPECT_EQ(0, VNOP_IOCTL(nullptr, PXOIOGETBACKTRACKINFO, reinterpret_cast<char*>(&p), 0, nullptr));
  EXPECT_EQ(0, p.status);
  EXPECT_EQ(0, p.current_slot);  // the loaded slot

  pxo_backtrack_request_t bad{6, 0, 0, 0};
  EXPECT_EQ(22, VNOP_IOCTL(nullptr, PXOIOBACKTRACKSTART, reinterpret_cast<char*>(&bad), 0, nullptr));
  EXPECT_TRUE(fakelog::contains("Backtrack target is err."));

  // The last-area request is the write-once service's; on rewritable media it
  // does nothing.
  sim_->service().clear_transcript();
  pxo_auto_format_last_info_t last{1, 0, 1};
  EXPECT_EQ(0, VNOP_IOCTL(nullptr, PXOIORESERVETRACKWRITELASTAVDP, reinterpret_cast<char*>(&last), 0, nullptr));
  for (const auto& e : sim_->service().transcript()) EXPECT_NE(0x53, e.opcode());

  // On write-once media it reserves track 2 and writes the end area.
  restart(0xE1);
  ASSERT_EQ(0, mount_start());
  pclient_if->service().set_write_once(true);
  std::uint8_t list[12] = {0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(0, pclient_if->storage()->format_unit(reinterpret_cast<char*>(list), false));
  sim_->service().clear_transcript();
  last = {1, 0, 1};
  EXPECT_EQ(0, VNOP_IOCTL(nullptr, PXOIORESERVETRACKWRITELASTAVDP, reinterpret_cast<char*>(&last), 0, nullptr));
  EXPECT_EQ(1u, std::uint32_t{last.track_reserved});  // packed: by value
  EXPECT_EQ(2u, sim_->cartridge().disc(0).tracks.size());
  std::uint8_t serial_wo[32] = {};
  EXPECT_EQ(0, VNOP_IOCTL(nullptr, PXOIOGETMEDIUMSERIALNUM, reinterpret_cast<char*>(serial_wo), 0, nullptr));
  EXPECT_EQ(0, std::memcmp(serial_wo, sim_->cartridge().attributes[0x0401].value.data(), 32));
}

// ------------------------------------------------ verdicts of the last-slot mount

// The verdicts of MountForLastSlot on a write-once cartridge whose slots 0-3
// hold volumes, slot 3 written last.
TEST_F(SimClient, MountForLastSlotVerdicts) {
  struct Row {
    const char* name;
    std::function<void()> prep;
    int result;
    int loaded;                // -1: not checked
    std::uint32_t status;      // mount status, 0: not checked
    std::uint32_t reasons;     // reason bits that must be set
    std::uint32_t access;      // FFFFFFFFh: not checked
  };
  auto set_mi = [](std::uint32_t status, std::uint32_t reasons, std::uint32_t access) {
    MDCFS_MOUNT_INFORMATION mi{};
    ASSERT_EQ(0, VNOP_IOCTL(nullptr, PXOIOGETMOUNTINFO, reinterpret_cast<char*>(&mi), 0, nullptr));
    mi.MountStatus = status;
    mi.WriteProtectReasonFlags = reasons;
    mi.AccessMode = access;
    ASSERT_EQ(0, VNOP_IOCTL(nullptr, PXOIOSETMOUNTINFO, reinterpret_cast<char*>(&mi), 0, nullptr));
  };
  const Row rows[] = {
      {"formatted last slot", [] {}, 0, 3, 0, 0, 0xFFFFFFFFu},
      {"blank last slots fall back", [this] { blank(3), blank(2); }, 0, 1, 0, 0, 0xFFFFFFFFu},
      {"raw verdict already", [&] { set_mi(0x80000030u, 0, 2); }, 95, -1, 0, 0, 0xFFFFFFFFu},
      {"changer fails", [this] { sim_->drive().add_fault(kelsim::command_fails(0xBD, {4, 0x44, 0})); }, 19, -1,
       0x80000002u, 1, 2},
      {"medium type unknown", [this] { sim_->drive().add_fault(kelsim::command_fails(0x5A, {4, 0x44, 0})); }, 95,
       -1, 0x80000020u, 0x200, 2},
      {"read-only reason", [&] { set_mi(0, 0x80000, 1); }, 0, 3, 0x80000500u, 0, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    restart(0xE1, 0);
    for (int slot = 0; slot <= 3; ++slot) format_write_once_disc(slot);
    sim_->cartridge().attributes[0x0D00] = {0, {3}};
    ASSERT_EQ(0, mount_start());
    r.prep();
    EXPECT_EQ(r.result, mount_last_slot());
    sim_->drive().clear_faults();
    if (r.loaded >= 0) {
      EXPECT_EQ(r.loaded, sim_->cartridge().loaded_slot);
      EXPECT_EQ(r.loaded, pclient_if->service().current_slot());
    }
    const auto mi = mount_info();
    if (r.status) {
      EXPECT_EQ(r.status, mi.MountStatus);
    }
    EXPECT_EQ(r.reasons, mi.WriteProtectReasonFlags & r.reasons);
    if (r.access != 0xFFFFFFFFu) {
      EXPECT_EQ(r.access, mi.AccessMode);
    }
  }
}

// The search for the last written slot on a drive that reports a disc
// change as a real one does: the loaded disc spins up (02/04/01) and then
// answers one unit attention (06/28/00). A MECHANISM STATUS that fails once
// makes the search load the last written slot, which then mounts writable
// (the load waits for its disc); failing twice, before and after the load,
// the disc is taken as not loaded and the mount goes read-only.
TEST_F(SimClient, TheSlotLoadOfTheSearchWaitsForItsDiscAndTwoFailedMechanismReadsGoReadOnly) {
  // Failures of MECHANISM STATUS from the search's second read on (slot 0
  // is loaded, slot 2 the last written: the search loads it): that read,
  // then after the load the one of the unique id's log line and the check
  // of the load.
  const struct Case {
    int failures;
    bool read_only;
  } cases[] = {{0, false}, {1, false}, {3, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failures);
    restart(0xE1);
    format_write_once_disc(0);
    format_write_once_disc(2);
    sim_->cartridge().attributes[0x0D00] = {0, {2}};
    init_client();
    fakelog::reset();
    kelsim::FaultRule f = kelsim::command_fails(0xBD, {0x04, 0x44, 0x00});
    f.skip = 3;  // the attribute checks' reads and the search's first
    f.times = c.failures;
    const int id = sim_->drive().add_fault(f);
    sim_->service().clear_transcript();
    EXPECT_EQ(0, mount_last_slot());
    EXPECT_EQ(c.failures, sim_->drive().fault_fired(id));
    // Read-only, the search walks down from the last written slot to the
    // first formatted disc below it.
    EXPECT_EQ(c.read_only ? 0 : 2, sim_->cartridge().loaded_slot);
    EXPECT_EQ(c.read_only, fakelog::contains("Slot:2 disc not load. Do Read Only Mount"));
    EXPECT_EQ(c.read_only, (mount_info().WriteProtectReasonFlags & 0x1u) != 0);
    // The load was followed by the readiness of its disc before anything
    // else reached it.
    std::vector<kelsim::TranscriptEntry> after_load;
    bool seen = false;
    for (const auto& e : sim_->service().transcript()) {
      if (e.is_notice()) continue;
      if (e.opcode() == 0xA6) seen = true;
      else if (seen) after_load.push_back(e);
    }
    ASSERT_GE(after_load.size(), 3u);
    EXPECT_EQ((kelsim::Sense{2, 4, 1}), after_load[0].sense);
    EXPECT_EQ((kelsim::Sense{6, 0x28, 0}), after_load[1].sense);
    EXPECT_EQ(0x00, after_load[2].opcode());
    EXPECT_FALSE(after_load[2].check_condition);
  }
}
