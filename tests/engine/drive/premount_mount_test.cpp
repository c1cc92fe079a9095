// The cases of the mount of the last slot, the mount start and the reformat
// control that the simulated drive cannot produce (their other verdicts are
// tested in premount_sim_test.cpp), and the finalized check, against the
// recording drive.
#include "drive_fixture.h"

#include "drive/client_if.h"
#include "drive/device_control.h"

#include <atomic>
#include <cstring>
#include <fstream>
#include <set>

namespace media_standin {
void activate(bool on);
void set_result(const char* name, int result);
int count(const char* name);
std::uint64_t last_arg(const char* name, int i);
}  // namespace media_standin

namespace {

// Disc information answer whose last track of the last session is `track`.
std::vector<std::uint8_t> disc_info(int track) {
  std::vector<std::uint8_t> a(34, 0);
  a[1] = 32;
  a[6] = static_cast<std::uint8_t>(track);
  return a;
}

void put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) { std::memcpy(&b[at], &v, 2); }
void put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) { std::memcpy(&b[at], &v, 4); }

class Mount : public DriveTest {
 protected:
  void SetUp() override {
    DriveTest::SetUp();
    fakedrive::drive().medium_type = 0xE1;
    fakedrive::fill_good_attributes(0xE1);
    pclient_if = new client_if();
    st().set_device_number("sg0");
    st().set_device_name("/dev/sgtest-none");
    // Written discs: the disc information shows track 2 for every disc not
    // listed as blank.
    fakedrive::drive().hook = [this](const fakedrive::Call& c, std::vector<std::uint8_t>* in) {
      if (c.cdb[0] != 0x51) return false;
      const int slot = fakedrive::drive().loaded_slot;
      *in = disc_info(blank_.count(slot) || (blank_after_ >= 0 && reads_++ >= blank_after_) ? 1 : 2);
      return true;
    };
  }
  void TearDown() override {
    media_standin::activate(false);
    clientif_delete();
    DriveTest::TearDown();
  }
  storage_scsi& st() { return *pclient_if->storage(); }
  MDCFS_MOUNT_INFORMATION mount_info() {
    MDCFS_MOUNT_INFORMATION mi{};
    EXPECT_EQ(0, st().get_mount_info(reinterpret_cast<caddr_t>(&mi)));
    return mi;
  }
  void set_mount_info(std::uint32_t status, std::uint32_t reasons, std::uint32_t access) {
    MDCFS_MOUNT_INFORMATION mi = mount_info();
    mi.MountStatus = status;
    mi.WriteProtectReasonFlags = reasons;
    mi.AccessMode = access;
    ASSERT_EQ(0, st().set_mount_info(reinterpret_cast<caddr_t>(&mi)));
  }
  // The cartridge memory and the configuration say `slot` was written last.
  void last_written(int slot) {
    fakedrive::drive().attributes[0x0D00] = {0, {static_cast<std::uint8_t>(slot), 0, 0, 0}};
    st().config_mirror_for_update().last_written_slot = static_cast<std::uint8_t>(slot);
    st().config_mirror_for_update().current_slot = static_cast<std::uint8_t>(slot == 0 ? 1 : 0);
  }
  int mount_last_slot(bool verify = false) {
    char flag = verify ? 1 : 0;
    return VNOP_IOCTL(reinterpret_cast<vnode_t>(this), PXOIOMOUNTLASTSLOT, &flag, 0, nullptr);
  }

  std::set<int> blank_;
  int blank_after_ = -1;  // from this disc-information read on, every disc is blank
  int reads_ = 0;
};

}  // namespace

// The search found slot 3 written, but the disc then reads as blank: a bad
// medium, mounted raw.
TEST_F(Mount, UnformattedDiscWithLaterLastSlotGivesRawAnd19) {
  last_written(3);
  blank_after_ = 1;  // the search's read sees track 2, the mount's does not
  EXPECT_EQ(19, mount_last_slot());
  const auto mi = mount_info();
  EXPECT_EQ(0x80000001u, mi.MountStatus);
  EXPECT_TRUE(mi.WriteProtectReasonFlags & 0x80000u);
  EXPECT_EQ(2u, mi.AccessMode);
  EXPECT_TRUE(fakelog::contains("Bad Media"));
}

// Rewritable medium whose 1500h record asks for an interrupted backtrack.
class MountBacktrack : public Mount {
 protected:
  void record_1500h(std::uint16_t slot, std::uint64_t address, bool good_crc) {
    std::vector<std::uint8_t> v(128, 0);
    std::memcpy(v.data(), "KEL", 3);
    v[3] = 1;
    v[7] = 120;
    std::memcpy(v.data() + 9, "*Tarn KELFS", 11);
    std::memcpy(v.data() + 42, &slot, 2);
    std::memcpy(v.data() + 44, &address, 8);
    std::uint16_t crc = calculate_crc(v.data(), 126);
    if (!good_crc) crc ^= 1;
    v[126] = static_cast<std::uint8_t>(crc >> 8);
    v[127] = static_cast<std::uint8_t>(crc);
    fakedrive::drive().attributes[0x1500] = {0, v};
  }
  void SetUp() override {
    Mount::SetUp();
    fakedrive::drive().medium_type = 0xE2;
    fakedrive::fill_good_attributes(0xE2);
    media_standin::activate(true);
  }
};

TEST_F(MountBacktrack, RestartRequestsByAddress) {
  struct Row {
    std::uint16_t slot;
    std::uint64_t address;
    bool good_crc;
    int starts;
    std::uint8_t policy;
    std::uint32_t skip;
  };
  const Row rows[] = {
      {0, 0x1234, true, 0, 0, 0},          // no slot: nothing to restart
      {2, 0x1234, false, 0, 0, 0},         // check value wrong: nothing
      {2, 0x1234, true, 1, 4, 0},          // back to a rollback point
      {2, 0, true, 1, 5, 0},               // back to the initial state
      {2, ~0ull, true, 1, 4, 1},           // all ones: only load the target
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.slot * 1000 + r.good_crc);
    media_standin::activate(true);
    media_standin::set_result("re.startBackTrack", 0);
    record_1500h(r.slot, r.address, r.good_crc);
    (void)pclient_if->MountStart();
    EXPECT_EQ(r.starts, media_standin::count("re.startBackTrack"));
    if (r.starts) {
      EXPECT_EQ(r.policy, media_standin::last_arg("re.startBackTrack", 0));
      EXPECT_EQ(r.skip, media_standin::last_arg("re.startBackTrack", 1));
    }
  }
}

TEST_F(MountBacktrack, RestartResultIsTheMountStartsResult) {
  record_1500h(3, 0x10, true);
  media_standin::set_result("re.startBackTrack", 5);
  EXPECT_EQ(5, pclient_if->MountStart());
}

// ---------------------------------------------------------------- reformat

// A reformat whose medium refresh fails (the simulated drive has no such
// fault) is returned at once and leaves the reformat state alone.
TEST_F(Mount, ReformatFailureIsReturnedAtOnce) {
  media_standin::activate(true);
  pxo_reformat_t rec{0xAAAA, 0};
  media_standin::set_result("re.reFormat", 5);
  EXPECT_EQ(5, VNOP_IOCTL(nullptr, PXOIOREFORMAT, reinterpret_cast<char*>(&rec), 0, nullptr));
  EXPECT_EQ(0, media_standin::count("re.set_format_flg"));
  EXPECT_EQ(0xAAAAu, rec.auto_formatted);
}

// ---------------------------------------------------------------- finalized

class Finalized : public Mount {
 protected:
  // Anchor at 256, descriptors at 32 (main) or 48 (reserve), integrity
  // descriptor at 64 with one partition.
  void image(std::uint8_t suffix_byte) {
    auto& b = fakedrive::drive().blocks;
    std::vector<std::uint8_t> s(2048, 0);
    put16(s, 0, 2);
    put32(s, 20, 32);
    put32(s, 28, 48);
    b[256] = s;
    for (std::uint32_t base : {32u, 48u}) {
      std::vector<std::uint8_t> pvd(2048, 0), lvd(2048, 0), term(2048, 0);
      put16(pvd, 0, 1);
      put16(pvd, 58, 7);
      put16(lvd, 0, 6);
      put32(lvd, 436, 64);
      put16(term, 0, 8);
      b[base] = pvd;
      b[base + 1] = lvd;
      b[base + 2] = term;
    }
    std::vector<std::uint8_t> lvid(2048, 0);
    put16(lvid, 0, 9);
    put32(lvid, 72, 1);
    lvid[116] = suffix_byte;
    b[64] = lvid;
  }
};

TEST_F(Finalized, IntegrityDescriptorDecides) {
  std::uint32_t msln = 0;
  EXPECT_FALSE(pclient_if->service().isLVIDFinalized(&msln));  // blank
  image(3);
  EXPECT_TRUE(pclient_if->service().isLVIDFinalized(&msln));
  EXPECT_EQ(7u, msln);
  image(2);
  EXPECT_FALSE(pclient_if->service().isLVIDFinalized(&msln));
  // The main sequence unreadable: the reserve one is used.
  image(3);
  fakedrive::add_fault({0x28, 3, 0x11, 0, 0, 1, 1, 1});  // the second read fails
  EXPECT_TRUE(pclient_if->service().isLVIDFinalized(&msln));
  fakedrive::clear_faults();
  fakedrive::add_fault({0x28, 3, 0x11, 0, 0, 1, 0, 1});  // the anchor cannot be read
  EXPECT_FALSE(pclient_if->service().isLVIDFinalized(&msln));
}
