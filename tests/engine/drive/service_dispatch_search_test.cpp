// The medium-level checks of the media service dispatcher against the
// recording drive: formatted checks of both medium classes, the walk down
// the cartridge (loadSLN), the search for the last written slot and the
// next-slot bookkeeping.
#include "drive_fixture.h"

#include "drive/client_if.h"

#include <cstring>
#include <set>

namespace {

class Search : public DriveTest {
 protected:
  void SetUp() override {
    DriveTest::SetUp();
    medium(0xE1);
    pclient_if = new client_if();
    st().set_device_number("sg0");
    st().set_device_name("/dev/sgtest-none");
    svc().set_storage(&st());
    svc().set_write_once(true);
    fakedrive::drive().hook = [this](const fakedrive::Call& c, std::vector<std::uint8_t>* in) {
      if (c.cdb[0] == 0x51) {
        in->assign(34, 0);
        (*in)[1] = 32;
        (*in)[6] = blank_.count(fakedrive::drive().loaded_slot) ? 1 : 2;
        return true;
      }
      if (c.cdb[0] == 0x23 && capacity_) {
        in->assign(12, 0);
        (*in)[3] = 8;
        (*in)[4] = static_cast<std::uint8_t>(capacity_ >> 24);
        (*in)[5] = static_cast<std::uint8_t>(capacity_ >> 16);
        (*in)[6] = static_cast<std::uint8_t>(capacity_ >> 8);
        (*in)[7] = static_cast<std::uint8_t>(capacity_);
        (*in)[8] = descriptor_;
        return true;
      }
      return false;
    };
  }
  void TearDown() override {
    clientif_delete();
    DriveTest::TearDown();
  }
  void medium(std::uint8_t type) {
    fakedrive::drive().medium_type = type;
    fakedrive::fill_good_attributes(type);
  }
  storage_scsi& st() { return *pclient_if->storage(); }
  scsi_service& svc() { return pclient_if->service(); }
  std::vector<int> loads() {
    std::vector<int> out;
    for (auto& c : fakedrive::calls_of(0xA6)) out.push_back(c.cdb[8]);
    return out;
  }
  void last_written(int slot) {
    fakedrive::drive().attributes[0x0D00] = {0, {static_cast<std::uint8_t>(slot), 0, 0, 0}};
    st().config_mirror_for_update().last_written_slot = static_cast<std::uint8_t>(slot);
    st().config_mirror_for_update().current_slot = static_cast<std::uint8_t>(slot == 0 ? 1 : 0);
  }

  std::set<int> blank_;
  std::uint32_t capacity_ = 0;
  std::uint8_t descriptor_ = 2;
};

}  // namespace

TEST_F(Search, WriteOnceFormattedNeedsTrackTwo) {
  svc().set_write_once(true);
  bool formatted = false, caperr = false;
  EXPECT_EQ(0, svc().isFormatted(&formatted, &caperr));
  EXPECT_TRUE(formatted);
  blank_ = {0};
  EXPECT_EQ(0, svc().isFormatted(&formatted, &caperr));
  EXPECT_FALSE(formatted);
  // The format capacity says unformatted: no disc information is read.
  blank_.clear();
  capacity_ = 0x1000;
  descriptor_ = 1;
  fakedrive::clear_transcript();
  EXPECT_EQ(0, svc().isFormatted(&formatted, &caperr));
  EXPECT_FALSE(formatted);
  EXPECT_TRUE(fakedrive::calls_of(0x51).empty());
  // A failed format-capacity read counts as formatted and says so.
  fakedrive::add_fault({0x23, 3, 0x0C, 0, 0, -1, 0, 1});
  EXPECT_NE(0, svc().isFormatted(&formatted, &caperr));
  EXPECT_TRUE(formatted);
  EXPECT_TRUE(caperr);
}

// Rewritable: the recognition area, the first anchor area and the last area
// are each read; the first all-zero one ends the check.
TEST_F(Search, RewritableAllZeroAreas) {
  medium(0xE2);
  svc().set_write_once(false);
  const std::uint32_t n = 0x10000;
  capacity_ = n;
  auto& b = fakedrive::drive().blocks;
  struct Row {
    std::vector<std::uint32_t> written;  // one non-zero block in each of these areas
    bool formatted;
    std::size_t areas;                   // areas read: at 0, 256, N - 33
    const char* message;
  };
  const Row rows[] = {
      {{}, false, 1, "VRS all zero"},
      {{16}, false, 2, "AVDP1/MVDS all zero"},
      {{16, 256}, false, 3, "RVDS/AVDP3 all zero"},
      {{16, 256, n - 2}, true, 3, nullptr},
      {{16, 256, n - 1}, false, 3, "RVDS/AVDP3 all zero"},  // the last sector is not part of it
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.written.size());
    b.clear();
    for (std::uint32_t lsn : r.written) b[lsn] = std::vector<std::uint8_t>(2048, 1);
    fakedrive::clear_transcript();
    fakelog::reset();
    bool formatted = !r.formatted, caperr = false;
    EXPECT_EQ(0, svc().isFormatted(&formatted, &caperr));
    EXPECT_EQ(r.formatted, formatted);
    std::set<std::uint32_t> first_blocks;
    for (auto& c : fakedrive::calls_of(0x28)) {
      const std::uint32_t lba = (c.cdb[2] << 24) | (c.cdb[3] << 16) | (c.cdb[4] << 8) | c.cdb[5];
      first_blocks.insert(lba < 256 ? 0 : lba < n - 64 ? 256 : n - 33);
    }
    EXPECT_EQ(r.areas, first_blocks.size());
    if (r.message) {
      EXPECT_TRUE(fakelog::contains(r.message));
    }
  }
}

TEST_F(Search, CheckDataZero) {
  const std::uint8_t z[4] = {0, 0, 0, 0}, nz[4] = {0, 0, 1, 0};
  EXPECT_TRUE(svc().check_data_zero(z, 4));
  EXPECT_TRUE(svc().check_data_zero(nz, 0));
  EXPECT_FALSE(svc().check_data_zero(nz, 4));
  EXPECT_FALSE(svc().check_data_zero(nullptr, 4));
  EXPECT_FALSE(svc().check_data_zero(z, -1));
}

TEST_F(Search, LoadSlnModes) {
  struct Row {
    std::uint32_t mode;
    int slot;
    std::set<int> blank;
    std::vector<int> loads;
    int last;
  };
  const Row rows[] = {
      {5, 4, {}, {3}, 3},              // never the given slot
      {5, 4, {3, 2}, {3, 2, 1}, 1},
      {5, 0, {}, {}, 0},               // nothing below slot 0
      {5, 2, {1, 0}, {1, 0}, 0},
      {7, 4, {}, {4}, 4},              // the given slot first
      {7, 4, {4}, {4, 3}, 3},
      {7, 1, {1, 0}, {1, 0}, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::to_string(r.mode) + "/" + std::to_string(r.slot));
    blank_ = r.blank;
    fakedrive::clear_transcript();
    std::uint8_t last = 99;
    Boolean unknown = false;
    EXPECT_EQ(0, svc().loadSLN(r.mode, static_cast<char>(r.slot), &last, &unknown, 0));
    EXPECT_EQ(r.loads, loads());
    EXPECT_EQ(r.last, last);
  }
  std::uint8_t last = 0;
  Boolean unknown = false;
  EXPECT_EQ(22, svc().loadSLN(7, static_cast<char>(200), &last, &unknown, 0));
  EXPECT_EQ(22, svc().loadSLN(5, 3, nullptr, &unknown, 0));
}

TEST_F(Search, LoadSlnDiscThatDoesNotLoadMakesTheMountReadOnly) {
  fakedrive::drive().hook = [](const fakedrive::Call& c, std::vector<std::uint8_t>* in) {
    if (c.cdb[0] == 0xA6) return true;  // accepted, but nothing moves
    if (c.cdb[0] == 0x51) {
      in->assign(34, 0);
      (*in)[6] = 2;
      return true;
    }
    return false;
  };
  fakedrive::drive().loaded_slot = 5;
  std::uint8_t last = 99;
  Boolean unknown = false;
  EXPECT_EQ(0, svc().loadSLN(7, 2, &last, &unknown, 5));
  EXPECT_EQ(0, last);
  MDCFS_MOUNT_INFORMATION mi{};
  ASSERT_EQ(0, st().get_mount_info(reinterpret_cast<caddr_t>(&mi)));
  EXPECT_TRUE(mi.WriteProtectReasonFlags & 1u);
  EXPECT_TRUE(fakelog::contains("[1]Slot:2 disc not load. Do Read Only Mount"));
}

TEST_F(Search, LastWrittenSlotOverSeveralSlots) {
  struct Row {
    int last_written;
    std::set<int> blank;
    int found;
  };
  const Row rows[] = {
      {0, {}, 0}, {5, {}, 5}, {5, {5}, 4}, {5, {5, 4, 3}, 2}, {3, {3, 2, 1, 0}, 0}, {11, {}, 11},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.last_written);
    blank_ = r.blank;
    last_written(r.last_written);
    fakedrive::drive().loaded_slot = 0;
    std::uint8_t last = 99;
    Boolean unknown = false;
    EXPECT_EQ(0, svc().last_written_disc_search(&st(), &last, &unknown));
    EXPECT_EQ(r.found, last);
    EXPECT_EQ(r.found, fakedrive::drive().loaded_slot);
    EXPECT_EQ(r.found, svc().current_slot());
    EXPECT_EQ(r.found, st().config_mirror().last_written_slot);
    EXPECT_FALSE(unknown);
  }
  // The slot count caps the target.
  last_written(11);
  fakedrive::drive().slots = 6;
  std::uint8_t last = 99;
  Boolean unknown = false;
  EXPECT_EQ(0, svc().last_written_disc_search(&st(), &last, &unknown));
  EXPECT_EQ(5, last);
}

TEST_F(Search, LastWrittenSlotFailures) {
  std::uint8_t last = 0;
  Boolean unknown = false;
  fakedrive::add_fault({0x5A, 3, 0x0C, 0, 0, -1, 0, 1});
  EXPECT_NE(0, svc().last_written_disc_search(&st(), &last, &unknown));
  EXPECT_TRUE(unknown);
  fakedrive::clear_faults();
  unknown = false;
  fakedrive::add_fault({0xBD, 3, 0x0C, 0, 0, -1, 0, 1});
  EXPECT_NE(0, svc().last_written_disc_search(&st(), &last, &unknown));
  EXPECT_FALSE(unknown);
  EXPECT_EQ(22, svc().last_written_disc_search(nullptr, &last, &unknown));
  // A failed format-capacity read on the target: raw verdict and the error.
  fakedrive::clear_faults();
  fakedrive::add_fault({0x23, 3, 0x0C, 0, 0, -1, 0, 1});
  EXPECT_NE(0, svc().last_written_disc_search(&st(), &last, &unknown));
  MDCFS_MOUNT_INFORMATION mi{};
  ASSERT_EQ(0, st().get_mount_info(reinterpret_cast<caddr_t>(&mi)));
  EXPECT_TRUE(mi.WriteProtectReasonFlags & 0x80000u);
  EXPECT_EQ(2u, mi.AccessMode);
}

TEST_F(Search, SearchControlSetsTheCurrentSlot) {
  last_written(4);
  blank_ = {4};
  EXPECT_EQ(0, svc().search_last_written_slot());
  EXPECT_EQ(3, svc().current_slot());
}

// The defect bitmap follows the disc: rebuilt when the new slot is at or
// above the last written one.
TEST_F(Search, NextSlotLoadRebuildsTheDefectBitmapOnTheLastDisc) {
  medium(0xE2);
  // A defect list without entries: piece 0 holds only the list header.
  std::vector<std::uint8_t> dfl(4 + 64, 0);
  dfl[1] = 2 + 64;
  dfl[3] = 1;
  fakedrive::drive().dfl = dfl;
  bool undefined = false;
  ASSERT_EQ(0, st().determin_medium_properties(&undefined));
  last_written(3);
  fakedrive::drive().loaded_slot = 1;
  std::uint8_t slot = 1;
  svc().setNextSlotLoad(&slot);
  EXPECT_EQ(1, svc().current_slot());
  EXPECT_FALSE(st().has_defect_bitmap());
  fakedrive::drive().loaded_slot = 3;
  slot = 3;
  svc().setNextSlotLoad(&slot);
  EXPECT_EQ(3, svc().current_slot());
  EXPECT_TRUE(st().has_defect_bitmap());
}

// Without slot information the mount becomes read-only and the search goes
// by the loaded disc: a finalized volume names the slot to start from.
class SearchWithoutSlotInformation : public Search {
 protected:
  void SetUp() override {
    Search::SetUp();
    fakedrive::drive().attributes.erase(0x0D00);
  }
  void finalized_image(std::uint16_t max_vsn) {
    auto& b = fakedrive::drive().blocks;
    auto sector = [] { return std::vector<std::uint8_t>(2048, 0); };
    auto put16 = [](std::vector<std::uint8_t>& s, std::size_t at, std::uint16_t v) { std::memcpy(&s[at], &v, 2); };
    auto put32 = [](std::vector<std::uint8_t>& s, std::size_t at, std::uint32_t v) { std::memcpy(&s[at], &v, 4); };
    auto avdp = sector(), pvd = sector(), lvd = sector(), term = sector(), lvid = sector();
    put16(avdp, 0, 2);
    put32(avdp, 20, 32);
    put32(avdp, 28, 48);
    put16(pvd, 0, 1);
    put16(pvd, 58, max_vsn);
    put16(lvd, 0, 6);
    put32(lvd, 436, 64);
    put16(term, 0, 8);
    put16(lvid, 0, 9);
    put32(lvid, 72, 1);
    lvid[116] = 3;
    b[256] = avdp;
    b[32] = pvd;
    b[33] = lvd;
    b[34] = term;
    b[64] = lvid;
  }
  std::uint32_t reasons() {
    MDCFS_MOUNT_INFORMATION mi{};
    EXPECT_EQ(0, st().get_mount_info(reinterpret_cast<caddr_t>(&mi)));
    return mi.WriteProtectReasonFlags;
  }
};

TEST_F(SearchWithoutSlotInformation, FinalizedVolumeNamesTheStartSlot) {
  finalized_image(7);
  blank_ = {7};
  std::uint8_t last = 99;
  Boolean unknown = false;
  EXPECT_EQ(0, svc().last_written_disc_search(&st(), &last, &unknown));
  EXPECT_EQ(6, last);
  EXPECT_EQ((std::vector<int>{7, 6}), loads());
  EXPECT_TRUE(reasons() & 0x4000u);
  EXPECT_TRUE(fakelog::contains("Max Slot Number of Written Disc not get. Do Read Only Mount"));
}

TEST_F(SearchWithoutSlotInformation, OtherwiseFromTheMiddleOrTheTop) {
  // The loaded disc is written but not finalized: slot 5 is loaded and,
  // being written too, the walk starts at the top slot.
  std::uint8_t last = 99;
  Boolean unknown = false;
  EXPECT_EQ(0, svc().last_written_disc_search(&st(), &last, &unknown));
  EXPECT_EQ(11, last);
  EXPECT_EQ((std::vector<int>{5, 11}), loads());
  // Slot 5 blank: the walk goes down from it.
  fakedrive::clear_transcript();
  blank_ = {5, 4};
  fakedrive::drive().loaded_slot = 0;
  EXPECT_EQ(0, svc().last_written_disc_search(&st(), &last, &unknown));
  EXPECT_EQ(3, last);
  EXPECT_EQ((std::vector<int>{5, 4, 3}), loads());
}
