// Format and erase of write-once and rewritable media by the media services,
// through the real pipe client and storage_scsi against the simulated drive.
// The slot images are checked with udfinfo and with the volume rules of this
// system (sequence numbers, partition maps, identifiers, positions).
#include "drive_fixture.h"
#include "support/settles.h"

#include "drive/client_if.h"
#include "drive/scsi_service.h"
#include "drive/scsi_service_re.h"
#include "drive/scsi_service_wo.h"
#include "kel/scsi.h"
#include "kel/pipe_client.h"
#include "sim/harness.h"
#include "udf/udf_records.h"
#include "udf/udf_tag.h"

#include "../../../engine/drive/src/cm_data_internal.h"
#include "support/recorded_disc.h"
#include "support/test_dir.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstddef>
#include <functional>
#include <set>
#include <unistd.h>

namespace {

std::time_t fixed_now() {
  std::tm t{};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 11;
  t.tm_mday = 9;
  t.tm_hour = 10;
  t.tm_min = 20;
  t.tm_sec = 30;
  return timegm(&t);
}
std::time_t broken_clock() { return static_cast<std::time_t>(-1); }

// Identifier, checksum and CRC of a descriptor.
bool tag_ok(const void* d, std::uint16_t id) {
  return mdcudfsr_check_udf_tag(d, id) == 1 && mdcudfsr_check_udf_tag_checksum(d) == 1 &&
         mdcudfsr_check_udf_tag_crc(d, 2048) == 1;
}

std::vector<char> fmt_list() { return {0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0}; }

std::uint32_t be32v(const std::uint8_t* p) { return p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

class MediaSim : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("kel_media_" + std::to_string(::getpid()) + "_" +
            kel_test::flat_test_name());
    std::filesystem::create_directories(dir_);
    ::setenv("KEL_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
    kel::ResetConfigCache();
    fakelog::reset();
    fakedrive::use_pipe(true);
    media::set_time_source(fixed_now);
  }
  void TearDown() override {
    media::set_time_source(nullptr);
    stop();
    fakedrive::use_pipe(false);
    kel::ResetConfigCache();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  void start(std::uint8_t medium, std::uint32_t blocks = 0x10000, const std::string& serial = "SER-0001",
             std::uint8_t loaded = 0) {
    stop();
    kelsim::HarnessOptions o;
    o.drive.product = "QMR-T300B";
    o.cartridge.medium_type = medium;
    o.cartridge.disc_blocks = blocks;
    o.cartridge.medium_serial = serial;
    o.cartridge.loaded_slot = loaded;
    sim_ = std::make_unique<kelsim::SimHarness>(o);
    kel::SetMediumCookie(sim_->cookie());
    ss_ = std::make_unique<storage_scsi>();
    ss_->set_device_number("sg0");
    ss_->set_device_name("/dev/sg-no-such-device");
    ASSERT_EQ(0, ss_->init());
    N_ = sim_->cartridge().disc_blocks();
    sim_->service().clear_transcript();
  }
  void stop() {
    if (!sim_) return;
    ss_.reset();
    sim_.reset();
    kel::SetMediumCookie(0);
    kel_test::settles([] { return !kel::ServiceInterface().isConnected(); });
  }
  std::vector<kelsim::TranscriptEntry> commands(int opcode = -1) const {
    std::vector<kelsim::TranscriptEntry> out;
    for (auto& e : sim_->service().transcript())
      if (!e.is_notice() && (opcode < 0 || e.opcode() == opcode)) out.push_back(e);
    return out;
  }
  // First LBA of every WRITE(10), in order.
  std::vector<std::uint32_t> writes() const {
    std::vector<std::uint32_t> out;
    for (auto& e : commands(0x2A)) out.push_back(be32v(e.cdb.data() + 2));
    return out;
  }
  std::vector<std::uint8_t> block(int slot, std::uint32_t lba, std::uint32_t count = 1) {
    std::vector<std::uint8_t> b(count * 2048u);
    EXPECT_EQ(0u, sim_->cartridge().read_blocks(slot, lba, count, b.data()));
    return b;
  }
  void load(int slot) {
    ASSERT_EQ(0u, sim_->drive().load(slot));
    ss_->scsi_cache_clear();
  }
  std::string image(int slot) {
    char path[64];
    std::snprintf(path, sizeof(path), "/slot-%02d.img", slot);
    return sim_->cartridge_directory() + path;
  }
  const kelsim::Attribute* attribute(std::uint16_t id) {
    auto& a = sim_->cartridge().attributes;
    auto it = a.find(id);
    return it == a.end() ? nullptr : &it->second;
  }

  // The system's own rules of an initial volume in the given slot.
  struct Layout {
    std::uint32_t main, reserve, integrity, last_anchor;
  };
  void check_volume(int slot, const Layout& l, bool rewritable) {
    SCOPED_TRACE("slot " + std::to_string(slot));
    auto a = block(slot, 256);
    ASSERT_TRUE(tag_ok(a.data(), TAG_ID_AVDP));
    const auto* avdp = reinterpret_cast<const anchor_vdp*>(a.data());
    EXPECT_EQ(l.main, avdp->main_vds_ex.loc);
    EXPECT_EQ(l.reserve, avdp->reserve_vds_ex.loc);
    auto last = block(slot, l.last_anchor);
    EXPECT_TRUE(tag_ok(last.data(), TAG_ID_AVDP));
    for (std::uint32_t seq : {l.main, l.reserve}) {
      auto v = block(slot, seq, 6);
      const std::uint16_t ids[6] = {1, 4, 5, 6, 7, 8};
      for (int i = 0; i < 6; ++i) {
        EXPECT_TRUE(tag_ok(v.data() + 2048 * i, ids[i])) << "descriptor " << i << " at " << seq;
        EXPECT_EQ(seq + i, reinterpret_cast<const desc_tag*>(v.data() + 2048 * i)->tag_loc);
      }
      const auto* pvd = reinterpret_cast<const pri_vol_desc*>(v.data());
      char name[32];
      std::snprintf(name, sizeof(name), "KELFS VOL%02d", slot + 1);
      EXPECT_EQ(0, std::memcmp(pvd->vol_id + 1, name, 11));
      EXPECT_EQ(12, pvd->vol_id[31]);
      EXPECT_EQ(slot + 1, pvd->vds_num);
      const auto* pd = reinterpret_cast<const part_desc*>(v.data() + 4096);
      EXPECT_EQ(rewritable ? 4u : 0u, pd->access_type);
      EXPECT_EQ(4096u, pd->start_loc);
      const auto* lvd = reinterpret_cast<const logvol_desc*>(v.data() + 6144);
      EXPECT_EQ(static_cast<std::uint32_t>(slot + 2), lvd->n_pm);
      EXPECT_EQ(70u + 6u * slot, lvd->mt_l);
      EXPECT_EQ(l.integrity, lvd->integrity_seq_id.loc);
      const auto* mp = reinterpret_cast<const part_map_metadata*>(v.data() + 6144 + sizeof(logvol_desc));
      EXPECT_EQ(2, mp->type);
      EXPECT_EQ(slot + 1, mp->vol_seq_num);
      EXPECT_EQ(0, std::memcmp(mp->id.id, "*UDF Metadata Partition", 23));
      const auto* t1 = reinterpret_cast<const part_map_type1*>(v.data() + 6144 + sizeof(logvol_desc) + 64);
      for (int i = 0; i <= slot; ++i) {
        EXPECT_EQ(1, t1[i].type);
        EXPECT_EQ(i + 1, t1[i].vol_seq_num);
      }
      // The metadata file entry the map points at, and its extent's file set.
      if (seq == l.main) {
        auto fe = block(slot, 4096 + mp->file_loc);
        ASSERT_TRUE(tag_ok(fe.data(), TAG_ID_EFE));
        const auto* efe = reinterpret_cast<const extended_file_entry*>(fe.data());
        EXPECT_EQ(250, efe->icbtag.file_type);
        const auto* ad = reinterpret_cast<const short_ad*>(fe.data() + sizeof(extended_file_entry));
        auto fsd = block(slot, 4096 + ad->pos);
        EXPECT_TRUE(tag_ok(fsd.data(), TAG_ID_FSD));
        auto mirror = block(slot, 4096 + mp->mirror_file_loc);
        EXPECT_EQ(251, reinterpret_cast<const extended_file_entry*>(mirror.data())->icbtag.file_type);
      }
    }
    auto lv = block(slot, l.integrity, 2);
    ASSERT_TRUE(tag_ok(lv.data(), TAG_ID_LVID));
    EXPECT_TRUE(tag_ok(lv.data() + 2048, TAG_ID_TD));
    EXPECT_EQ(static_cast<std::uint32_t>(slot + 2),
              reinterpret_cast<const logvol_integrity_desc*>(lv.data())->num_partitions);
  }
  void expect_udfinfo(int slot, const std::vector<std::string>& lines) { ::expect_udfinfo(image(slot), lines); }
  // A blank disc of `type` in slot 0 taken by `wo` through the whole
  // automatic format.
  void format_slot0(scsi_service_wo& wo, std::uint8_t type) {
    start(type);
    wo.init(ss_.get(), 0, 0xFFFF, stamp_, &cache_);
    std::uint32_t steps = 0;
    Boolean msn = 0;
    ASSERT_EQ(0, wo.auto_format(&steps, false, &msn, ss_.get(), false));
  }

  std::filesystem::path dir_;
  std::unique_ptr<kelsim::SimHarness> sim_;
  std::unique_ptr<storage_scsi> ss_;
  std::uint32_t N_ = 0;
  pxo_attribute_data_t cache_{};
  std::uint8_t stamp_[8] = {'2', '0', '2', '6', '1', '2', '0', '9'};
};

// ---------------------------------------------------------------- write-once

struct WoCase {
  std::uint8_t type;
  std::uint32_t main, reserve, integrity, big, r;
};
const WoCase kWoCases[] = {
    {0xE1, 288, 304, 320, 32, 288},
    {0xF1, 288, 304, 320, 32, 1152},
    {0xF2, 384, 512, 640, 128, 2560},
};

TEST_F(MediaSim, WriteOnceFullFormatOfSlot0AndOfALaterSlot) {
  for (const WoCase& c : kWoCases) {
    for (int slot : {0, 3}) {
      SCOPED_TRACE(std::to_string(c.type) + " slot " + std::to_string(slot));
      start(c.type, 0x10000, "SER-0001", static_cast<std::uint8_t>(slot));
      scsi_service_wo wo;
      wo.init(ss_.get(), static_cast<std::uint8_t>(slot), 0xFFFF, stamp_, &cache_);
      std::uint32_t steps = 0;
      Boolean msn = 0;
      ASSERT_EQ(0, wo.auto_format(&steps, false, &msn, ss_.get(), false));
      EXPECT_EQ(1, msn);
      EXPECT_GT(steps, 31u);
      check_volume(slot, {c.main, c.reserve, c.integrity, N_ - 1}, false);
      // The last anchor lies in the last write: N - 32, or N - 128 on F2h.
      bool last_written = false;
      for (auto lba : writes()) last_written |= lba == N_ - c.big || (c.big == 128 && lba == N_ - 32);
      EXPECT_TRUE(last_written);
      auto pd = block(slot, c.main + 2);
      EXPECT_EQ(N_ - 4096 - c.r, reinterpret_cast<const part_desc*>(pd.data())->part_len);
      // Track 2 was reserved at N - X and is padded to the end.
      const auto& disc = sim_->cartridge().disc(slot);
      ASSERT_EQ(2u, disc.tracks.size());
      const std::uint32_t x = c.type == 0xF2 ? 512 : c.type == 0xF1 ? 128 : 288;
      EXPECT_EQ(N_ - x, disc.tracks[1].start);
      EXPECT_EQ(N_, disc.tracks[1].nwa);
      char vid[32];
      std::snprintf(vid, sizeof(vid), "vid=KELFS VOL%02d", slot + 1);
      expect_udfinfo(slot, {vid, "label=SER-0001", "integrity=opened", "numdirs=1", "udfwriterev=2.60",
                            "start=256, blocks=1, type=ANCHOR"});
    }
  }
}

TEST_F(MediaSim, WriteOnceFormatWritesTheCartridgeMemoryWithAValidCrc) {
  start(0xE1);
  scsi_service_wo wo;
  wo.init(ss_.get(), 0, 0xFFFF, stamp_, &cache_);
  std::uint32_t steps = 0;
  Boolean msn = 0;
  ASSERT_EQ(0, wo.auto_format(&steps, false, &msn, ss_.get(), false));
  const std::uint16_t ids[12] = {0x0800, 0x0801, 0x0802, 0x0803, 0x0804, 0x0805,
                                 0x0806, 0x1500, 0x1501, 0x1502, 0x1503, 0x1504};
  for (auto id : ids) EXPECT_NE(nullptr, attribute(id)) << std::hex << id;
  const auto* a = attribute(0x1500);
  ASSERT_NE(nullptr, a);
  ASSERT_EQ(128u, a->value.size());
  std::vector<std::uint8_t> v = a->value;
  EXPECT_EQ(0, std::memcmp(v.data(), "KEL", 3));
  const std::uint16_t crc = static_cast<std::uint16_t>(v[126] << 8 | v[127]);
  EXPECT_EQ(scsi_service_cm::calculate_crc(v.data(), 126), crc);
  // Packed format time of the recording time, big-endian.
  EXPECT_EQ(media::packed_time(2026, 12, 9, 10, 20, 30), be32v(v.data() + 52));
  const auto* vendor = attribute(0x0800);
  EXPECT_EQ(std::string("TARN    "), std::string(vendor->value.begin(), vendor->value.end()));
  const auto* when = attribute(0x0804);
  EXPECT_EQ(std::string("202612091020"), std::string(when->value.begin(), when->value.end()));
  // Each command of a step is logged with the progress counter.
  EXPECT_TRUE(fakelog::contains("completedsteps=6, #05:WRITE_10"));
  EXPECT_TRUE(fakelog::contains("#28:VERIFY"));
  // The tag serial number came from attribute 0007h (1 on a blank cartridge).
  auto anchor = block(0, 256);
  EXPECT_EQ(1, reinterpret_cast<const desc_tag*>(anchor.data())->serial_num);
}

TEST_F(MediaSim, WriteOnceStrideFormatWritesOnlyTheStartOfTheVolume) {
  for (const WoCase& c : kWoCases) {
    SCOPED_TRACE(c.type);
    start(c.type, 0x10000, "SER-0001", 2);
    scsi_service_wo wo;
    wo.init(ss_.get(), 2, 0x0042, stamp_, &cache_);
    wo.set_StrideFormat_flag(true);
    std::uint32_t steps = 0;
    Boolean msn = 0;
    ASSERT_EQ(0, wo.auto_format_for_stride(&steps, false, &msn, ss_.get(), false));
    EXPECT_EQ(1, msn);
    const bool lp = c.type != 0xE1;
    for (auto lba : writes()) {
      // Sections 0-3 only, and on low-padded media the padding of track 1.
      EXPECT_LT(lba, 4352u) << lba;
    }
    const auto w = writes();
    std::set<std::uint32_t> s(w.begin(), w.end());
    EXPECT_TRUE(s.count(0) && s.count(256));
    if (!lp) {
      EXPECT_TRUE(s.count(32) && s.count(224) && s.count(288) && s.count(4320));
    }
    auto a = block(2, 256);
    EXPECT_TRUE(tag_ok(a.data(), TAG_ID_AVDP));
    EXPECT_EQ(0x42, reinterpret_cast<const desc_tag*>(a.data())->serial_num);
    EXPECT_TRUE(block(2, c.main) == std::vector<std::uint8_t>(2048, 0));
    EXPECT_EQ(1u, sim_->cartridge().disc(2).tracks.size());
  }
}

TEST_F(MediaSim, DriveVerifyModeSendsNoVerify) {
  start(0xE1);
  scsi_service_wo wo;
  wo.init(ss_.get(), 0, 0xFFFF, stamp_, &cache_);
  std::uint32_t steps = 0;
  Boolean msn = 0;
  ASSERT_EQ(0, wo.auto_format(&steps, false, &msn, ss_.get(), true));
  EXPECT_TRUE(commands(0x2F).empty());
  EXPECT_FALSE(commands(0x2A).empty());
  // MODE SELECT page 20h carries the drive-verify flag.
  const auto pages = sim_->drive().observed().mode_pages_selected;
  ASSERT_TRUE(pages.count(0x20));
  EXPECT_EQ(1, pages.at(0x20)[11]);
  pxo_all_erase_info_t info{};
  sim_->service().clear_transcript();
  ASSERT_EQ(0, wo.all_erase(&info, true));
  EXPECT_TRUE(commands(0x2F).empty());
}

TEST_F(MediaSim, RejectedMediumSerialEndsFormatStrideAndErase) {
  for (const char* serial : {".hidden", "A:B"}) {
    SCOPED_TRACE(serial);
    start(0xE1, 0x10000, serial);
    scsi_service_wo wo;
    wo.init(ss_.get(), 0, 0xFFFF, stamp_, &cache_);
    std::uint32_t steps = 0;
    Boolean msn = 1;
    EXPECT_EQ(22, wo.auto_format(&steps, false, &msn, ss_.get(), false));
    EXPECT_EQ(0, msn);
    EXPECT_TRUE(commands(0x2A).empty());
    wo.set_StrideFormat_flag(true);
    msn = 1;
    EXPECT_EQ(-1, wo.auto_format_for_stride(&steps, true, &msn, ss_.get(), false));
    EXPECT_EQ(0, msn);
    pxo_all_erase_info_t info{};
    EXPECT_EQ(84, wo.all_erase(&info, false));
    EXPECT_TRUE(commands(0x2A).empty());
  }
}

TEST_F(MediaSim, FormatUnitLeavingABlankDiscIsAFailure) {
  start(0xE1);
  sim_->drive().add_fault(kelsim::command_fails(0x04, {0x05, 0x24, 0x00}));
  scsi_service_wo wo;
  wo.init(ss_.get(), 0, 0xFFFF, stamp_, &cache_);
  std::uint32_t steps = 0;
  Boolean msn = 0;
  EXPECT_EQ(5, wo.auto_format(&steps, false, &msn, ss_.get(), false));
  EXPECT_TRUE(commands(0x2A).empty());
  EXPECT_EQ(5, wo.auto_format_for_stride(&steps, false, &msn, ss_.get(), false));
}

TEST_F(MediaSim, AlreadyFormattedDiscIsLeftAlone) {
  start(0xE1);
  scsi_service_wo wo;
  wo.init(ss_.get(), 0, 0xFFFF, stamp_, &cache_);
  std::uint32_t steps = 0;
  Boolean msn = 0;
  ASSERT_EQ(0, wo.auto_format(&steps, false, &msn, ss_.get(), false));
  sim_->service().clear_transcript();
  EXPECT_EQ(0, wo.auto_format(&steps, false, &msn, ss_.get(), false));
  EXPECT_TRUE(commands(0x2A).empty());
  EXPECT_TRUE(commands(0x04).empty());
}

TEST_F(MediaSim, ASectionThatNeverGetsWrittenEndsTheFormatAtOnce) {
  start(0xE1);
  sim_->drive().add_fault(kelsim::write_error(256, 256));
  scsi_service_wo wo;
  wo.init(ss_.get(), 0, 0xFFFF, stamp_, &cache_);
  std::uint32_t steps = 0;
  Boolean msn = 0;
  EXPECT_NE(0, wo.auto_format(&steps, false, &msn, ss_.get(), false));
  const auto w = writes();
  EXPECT_EQ(10, std::count(w.begin(), w.end(), 256u));
  for (auto lba : w) EXPECT_LE(lba, 256u);
  EXPECT_LE(steps, 31u);
}

TEST_F(MediaSim, ProgressCounterTellsWhereTheFormatStopped) {
  // A failure in the end area leaves the counter above 31.
  start(0xE1);
  sim_->drive().add_fault(kelsim::write_error(N_ - 32, N_ - 1));
  scsi_service_wo wo;
  wo.init(ss_.get(), 0, 0xFFFF, stamp_, &cache_);
  std::uint32_t steps = 0;
  Boolean msn = 0;
  EXPECT_NE(0, wo.auto_format(&steps, false, &msn, ss_.get(), false));
  EXPECT_GT(steps, 31u);
  // A failed FORMAT UNIT on a disc whose track 1 is already past 4351 skips
  // both padding sections and counts 3 for each.
  start(0xE1);
  ASSERT_EQ(0, ss_->format_unit(fmt_list().data(), false));
  std::vector<std::uint8_t> zero(4352 * 2048, 0);
  ASSERT_EQ(0u, sim_->cartridge().write_blocks(0, 0, 4352, zero.data()));
  sim_->cartridge().disc(0).tracks[0].nwa = 4352;
  sim_->drive().add_fault(kelsim::command_fails(0x04, {0x05, 0x2C, 0x00}));
  sim_->service().clear_transcript();
  scsi_service_wo wo2;
  wo2.init(ss_.get(), 0, 0xFFFF, stamp_, &cache_);
  ASSERT_EQ(0, wo2.auto_format(&steps, false, &msn, ss_.get(), false));
  const auto w = writes();
  for (std::uint32_t pad : {32u, 64u, 224u, 320u + 32u, 4320u}) EXPECT_EQ(0, std::count(w.begin(), w.end(), pad)) << pad;
  check_volume(0, {288, 304, 320, N_ - 1}, false);
}

TEST_F(MediaSim, LastAreaIsReservedOnce) {
  for (const WoCase& c : kWoCases) {
    SCOPED_TRACE(c.type);
    start(c.type);
    ASSERT_EQ(0, ss_->format_unit(fmt_list().data(), false));
    scsi_service_wo wo;
    wo.init(ss_.get(), 0, 0xFFFF, stamp_, &cache_);
    pxo_auto_format_last_info_t info{0x0007, 0, 0};
    ASSERT_EQ(0, wo.reserveTrackAndWriteLastAVDP(&info));
    EXPECT_EQ(1u, std::uint32_t{info.track_reserved});  // packed: compared by value
    ASSERT_EQ(0, wo.reserveTrackAndWriteLastAVDP(&info));
    EXPECT_EQ(1u, commands(0x53).size());
    auto last = block(0, N_ - 1);
    ASSERT_TRUE(tag_ok(last.data(), TAG_ID_AVDP));
    EXPECT_EQ(7, reinterpret_cast<const desc_tag*>(last.data())->serial_num);
    EXPECT_EQ(c.main, reinterpret_cast<const anchor_vdp*>(last.data())->main_vds_ex.loc);
  }
}

TEST_F(MediaSim, TrackPaddingAtItsLimitWritesNothing) {
  start(0xF1);
  ASSERT_EQ(0, ss_->format_unit(fmt_list().data(), false));
  scsi_service_wo wo;
  wo.init(ss_.get(), 0, 0xFFFF, stamp_, &cache_);
  ASSERT_EQ(0, wo.autoFormatLOWInitTrack(1, 4352));
  EXPECT_EQ(4352u / 32, commands(0x2A).size());
  ASSERT_EQ(1u, sim_->drive().observed().reserved_writes.size());
  EXPECT_EQ(std::make_pair(0u, 4352u), sim_->drive().observed().reserved_writes[0]);
  sim_->service().clear_transcript();
  ASSERT_EQ(0, wo.autoFormatLOWInitTrack(1, 4352));
  EXPECT_TRUE(commands(0x2A).empty());
}

TEST_F(MediaSim, EraseOfAWrittenWriteOnceDiscLeavesAFreshEmptyVolume) {
  for (const WoCase& c : kWoCases) {
    SCOPED_TRACE(c.type);
    scsi_service_wo wo;
    format_slot0(wo, c.type);
    if (HasFatalFailure()) return;
    // The volume was used: the last unique id is 500.
    auto& v = sim_->cartridge().attributes[0x1500].value;
    v[60] = 0, v[61] = 0, v[62] = 0x01, v[63] = 0xF4;
    const std::uint32_t nwa = sim_->cartridge().disc(0).tracks[0].nwa;
    sim_->service().clear_transcript();
    pxo_all_erase_info_t info{};
    ASSERT_EQ(0, wo.all_erase(&info, false));
    for (auto lba : writes()) EXPECT_TRUE(lba >= nwa || (lba >= c.main && lba < c.integrity + c.big)) << lba;
    auto lv = block(0, c.integrity);
    const auto* lvid = reinterpret_cast<const logvol_integrity_desc*>(lv.data());
    EXPECT_EQ(1u, lvid->integrity_type);
    EXPECT_EQ(501u, lvid->unique_id);
    check_volume(0, {c.main, c.reserve, c.integrity, N_ - 1}, false);
    // The metadata now lies behind the old one: its 32 blocks of content at
    // the NWA, its entries at the next NWA, past the padding of their
    // recording cluster.
    auto vds = block(0, c.main + 3);
    const auto* mp = reinterpret_cast<const part_map_metadata*>(vds.data() + sizeof(logvol_desc));
    EXPECT_EQ(nwa + c.big - 4096, mp->file_loc);
    expect_udfinfo(0, {"integrity=closed", "vid=KELFS VOL01"});
    // The tag serial number was known from the format: no 0007h read.
    for (auto& e : commands(0x8C)) EXPECT_NE(0x0007, e.cdb[8] << 8 | e.cdb[9]);
    if (c.type == 0xF2) {
      const auto r = sim_->drive().observed().reserved_writes;
      EXPECT_NE(r.end(), std::find(r.begin(), r.end(), std::make_pair(384u, 256u)));
      EXPECT_NE(r.end(), std::find(r.begin(), r.end(), std::make_pair(640u, 128u)));
    }
  }
}

// The erase writes its new metadata only at a valid next writable address
// of track 1 that leaves 32 blocks before track 2; anything else is refused
// (5) before a block is written.
TEST_F(MediaSim, EraseRefusesAWriteAddressOutsideTrack1) {
  struct Row {
    const char* name;
    int nwa_from_track2;  // track 1's NWA relative to the start of track 2
    std::uint32_t nwa_absolute;  // or this NWA when not 0
  };
  const Row rows[] = {
      {"track 1 full: no valid NWA", 0, 0},
      {"less than 32 blocks left", -16, 0},
      {"inside the recognition area", 0, 100},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    start(0xE1);
    scsi_service_wo wo;
    wo.init(ss_.get(), 0, 0xFFFF, stamp_, &cache_);
    std::uint32_t steps = 0;
    Boolean msn = 0;
    ASSERT_EQ(0, wo.auto_format(&steps, false, &msn, ss_.get(), false));
    auto& tracks = sim_->cartridge().disc(0).tracks;
    ASSERT_EQ(2u, tracks.size());
    tracks[0].nwa = r.nwa_absolute ? r.nwa_absolute : tracks[1].start + r.nwa_from_track2;
    ss_->scsi_cache_clear();
    sim_->service().clear_transcript();
    pxo_all_erase_info_t info{};
    EXPECT_EQ(5, wo.all_erase(&info, false));
    EXPECT_TRUE(writes().empty());
  }
}

// A caller's NWA for the rewritable erase must leave the recognition area,
// the first anchor and the end area alone.
TEST_F(MediaSim, RewritableEraseRefusesAnNwaOutsideTheVolumeArea) {
  start(0xE2);
  scsi_service_re re;
  re.init(ss_.get(), 0, 0xFFFF, stamp_, &cache_);
  Boolean ok = 0;
  bool wrote = false;
  ASSERT_EQ(0, re.auto_format(false, &ok, ss_.get(), false, &wrote, false));
  for (std::uint32_t nwa : {0u, 4351u, N_ - 352 + 1, N_ - 32, 0xFFFFFFFFu}) {
    SCOPED_TRACE(nwa);
    sim_->service().clear_transcript();
    pxo_all_erase_info_t info{};
    EXPECT_EQ(22, re.all_erase(&info, nwa, false));
    EXPECT_TRUE(writes().empty());
  }
  EXPECT_EQ(4416u, re.get_nwa());
}

TEST_F(MediaSim, EraseStopsWhenTheNewMetadataNeverGetsWritten) {
  start(0xE1);
  scsi_service_wo wo;
  wo.init(ss_.get(), 0, 0xFFFF, stamp_, &cache_);
  std::uint32_t steps = 0;
  Boolean msn = 0;
  ASSERT_EQ(0, wo.auto_format(&steps, false, &msn, ss_.get(), false));
  const auto before = block(0, 288, 16);
  const std::uint32_t nwa = sim_->cartridge().disc(0).tracks[0].nwa;
  sim_->drive().add_fault(kelsim::write_error(nwa, N_ - 1024));
  sim_->service().clear_transcript();
  pxo_all_erase_info_t info{};
  EXPECT_NE(0, wo.all_erase(&info, false));
  // The old sequences still point at the old, intact metadata.
  EXPECT_EQ(before, block(0, 288, 16));
  for (auto lba : writes()) EXPECT_GE(lba, nwa);
  check_volume(0, {288, 304, 320, N_ - 1}, false);
}

TEST_F(MediaSim, FailingClockEndsFormatAndErase) {
  start(0xE1);
  media::set_time_source(broken_clock);
  scsi_service_wo wo;
  wo.init(ss_.get(), 0, 0xFFFF, stamp_, &cache_);
  std::uint32_t steps = 0;
  Boolean msn = 0;
  EXPECT_EQ(-1, wo.auto_format(&steps, false, &msn, ss_.get(), false));
  pxo_all_erase_info_t info{};
  EXPECT_EQ(-1, wo.all_erase(&info, false));
  EXPECT_TRUE(commands(0x2A).empty());
}

// ---------------------------------------------------------------- rewritable

TEST_F(MediaSim, RewritableFormatOfSlot0AndOfALaterSlot) {
  for (int slot : {0, 4}) {
    SCOPED_TRACE(slot);
    start(0xE2, 0x10000, "SER-0001", static_cast<std::uint8_t>(slot));
    scsi_service_re re;
    re.init(ss_.get(), static_cast<std::uint8_t>(slot), 0xFFFF, stamp_, &cache_);
    Boolean ok = 0;
    bool wrote = false;
    ASSERT_EQ(0, re.auto_format(false, &ok, ss_.get(), false, &wrote, false));
    EXPECT_EQ(1, ok);
    EXPECT_TRUE(wrote);
    EXPECT_EQ((std::vector<std::uint32_t>{4352, 4384, 320, N_ - 32, 256, 0}), writes());
    EXPECT_EQ(4416u, re.get_nwa());
    check_volume(slot, {272, N_ - 32, 320, N_ - 1}, true);
    auto pd = block(slot, 274);
    EXPECT_EQ(N_ - 4384, reinterpret_cast<const part_desc*>(pd.data())->part_len);
    auto vds = block(slot, 275);
    const auto* mp = reinterpret_cast<const part_map_metadata*>(vds.data() + sizeof(logvol_desc));
    EXPECT_EQ(288u, mp->file_loc);
    EXPECT_EQ(304u, mp->mirror_file_loc);
    EXPECT_EQ(0xFFFFFFFFu, mp->bitmap_file_loc);
    const auto* a = attribute(0x1500);
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(scsi_service_cm::calculate_crc(const_cast<std::uint8_t*>(a->value.data()), 126),
              static_cast<std::uint16_t>(a->value[126] << 8 | a->value[127]));
    char vid[32];
    std::snprintf(vid, sizeof(vid), "vid=KELFS VOL%02d", slot + 1);
    expect_udfinfo(slot, {vid, "label=SER-0001", "integrity=opened", "udfwriterev=2.50",
                          "start=256, blocks=1, type=ANCHOR"});
  }
}

TEST_F(MediaSim, RewritableDriveVerifyAndStrideFormat) {
  start(0xE2);
  scsi_service_re re;
  re.init(ss_.get(), 0, 0xFFFF, stamp_, &cache_);
  Boolean ok = 0;
  bool wrote = false;
  ASSERT_EQ(0, re.auto_format(false, &ok, ss_.get(), false, &wrote, true));
  EXPECT_TRUE(commands(0x2F).empty());
  const auto pages = sim_->drive().observed().mode_pages_selected;
  ASSERT_TRUE(pages.count(0x20));
  EXPECT_EQ(1, pages.at(0x20)[11]);
  EXPECT_EQ(1, pages.at(0x20)[10]);
  // A stride-formatted disc is formatted but not written.
  start(0xE2);
  scsi_service_re re2;
  re2.init(ss_.get(), 0, 0xFFFF, stamp_, &cache_);
  re2.set_StrideFormat_flag(true);
  sim_->cartridge().attributes[0x1500] = {0, std::vector<std::uint8_t>(128, 0)};
  ASSERT_EQ(0, re2.auto_format(false, &ok, ss_.get(), false, &wrote, false));
  EXPECT_TRUE(commands(0x2A).empty());
  EXPECT_EQ(1u, commands(0x04).size());
}

// Every kind of rejected serial is "invalid" (22) to the caller of the format
// and of the erase, never the checker's own code (1-4), which a mount would
// pass up as EPERM, ENOENT, ESRCH or EINTR.
TEST_F(MediaSim, RewritableRejectedSerialEndsFormatAndEraseWithInvalid) {
  for (const char* serial : {".hidden", "BAD\x01", "BAD|SERIAL", "A:B"}) {
    SCOPED_TRACE(serial);
    start(0xE2, 0x10000, serial);
    scsi_service_re re;
    re.init(ss_.get(), 0, 0xFFFF, stamp_, &cache_);
    Boolean ok = 1;
    bool wrote = false;
    EXPECT_EQ(22, re.auto_format(false, &ok, ss_.get(), false, &wrote, false));
    EXPECT_EQ(0, ok);
    EXPECT_FALSE(wrote);
    sim_->cartridge().attributes[0x1500] = {0, std::vector<std::uint8_t>(128, 0)};
    pxo_all_erase_info_t info{};
    EXPECT_EQ(22, re.all_erase(&info, 6000, false));
    EXPECT_TRUE(commands(0x2A).empty());
  }
}

TEST_F(MediaSim, RewritableEraseWritesAClosedEmptyVolumeAndLeavesTheStartAlone) {
  start(0xE2);
  scsi_service_re re;
  re.init(ss_.get(), 0, 0xFFFF, stamp_, &cache_);
  Boolean ok = 0;
  bool wrote = false;
  ASSERT_EQ(0, re.auto_format(false, &ok, ss_.get(), false, &wrote, false));
  auto& v = sim_->cartridge().attributes[0x1500].value;
  v[60] = 0, v[61] = 0, v[62] = 0, v[63] = 99;
  sim_->service().clear_transcript();
  pxo_all_erase_info_t info{};
  ASSERT_EQ(0, re.all_erase(&info, 6000, false));
  EXPECT_EQ((std::vector<std::uint32_t>{6000, 6032, 320, N_ - 32, 256}), writes());
  EXPECT_TRUE(commands(0x04).empty());
  const auto* lvid = reinterpret_cast<const logvol_integrity_desc*>(block(0, 320).data());
  auto lv = block(0, 320);
  lvid = reinterpret_cast<const logvol_integrity_desc*>(lv.data());
  EXPECT_EQ(1u, lvid->integrity_type);
  EXPECT_EQ(100u, lvid->unique_id);
  check_volume(0, {272, N_ - 32, 320, N_ - 1}, true);
  auto vds = block(0, 275);
  EXPECT_EQ(6032u - 4096, reinterpret_cast<const part_map_metadata*>(vds.data() + sizeof(logvol_desc))->file_loc);
  expect_udfinfo(0, {"integrity=closed"});
}

TEST_F(MediaSim, DescriptorAreasAreErasedAndReformatFollowsTheFlag) {
  start(0xE2);
  scsi_service_re re;
  re.init(ss_.get(), 0, 0xFFFF, stamp_, &cache_);
  Boolean ok = 0;
  bool wrote = false;
  ASSERT_EQ(0, re.auto_format(false, &ok, ss_.get(), false, &wrote, false));
  ASSERT_EQ(0, re.EraseDescriptorData());
  const std::vector<std::uint8_t> zero(32 * 2048, 0);
  EXPECT_EQ(zero, block(0, 0, 32));
  EXPECT_EQ(zero, block(0, 256, 32));
  EXPECT_EQ(zero, block(0, N_ - 32, 32));
  EXPECT_NE(zero, block(0, 4352, 32));
  EXPECT_EQ(-1, re.reFormat(nullptr, ss_.get()));
  // With "RE Reformat" set the medium properties are determined again.
  ss_->set_reformat_flg(1);
  sim_->service().clear_transcript();
  EXPECT_EQ(0, re.reFormat(nullptr, ss_.get()));
  EXPECT_FALSE(commands().empty());
  re.set_format_flg(true);
  EXPECT_EQ(1u, ss_->get_reformat_flg());
  EXPECT_TRUE(re.get_reformat_flag());
  re.set_format_flg(false);
  EXPECT_EQ(0u, ss_->get_reformat_flg());
}

TEST_F(MediaSim, RewritableSectionThatNeverGetsWrittenEndsTheFormat) {
  start(0xE2);
  sim_->drive().add_fault(kelsim::write_error(320, 320));
  scsi_service_re re;
  re.init(ss_.get(), 0, 0xFFFF, stamp_, &cache_);
  Boolean ok = 0;
  bool wrote = false;
  EXPECT_NE(0, re.auto_format(false, &ok, ss_.get(), false, &wrote, false));
  const auto w = writes();
  EXPECT_EQ(10, std::count(w.begin(), w.end(), 320u));
  EXPECT_EQ(0, std::count(w.begin(), w.end(), 256u));
  EXPECT_EQ(0, std::count(w.begin(), w.end(), 0u));
}

TEST_F(MediaSim, RewritableVerifyFailureMovesTheMetadataPastTheBadArea) {
  start(0xE2);
  kelsim::FaultRule f = kelsim::command_fails(0x2F, {0x03, 0x11, 0x00});
  f.first_lba = 4352;
  f.last_lba = 4352;
  f.times = 1;
  sim_->drive().add_fault(f);
  scsi_service_re re;
  re.init(ss_.get(), 0, 0xFFFF, stamp_, &cache_);
  Boolean ok = 0;
  bool wrote = false;
  ASSERT_EQ(0, re.auto_format(false, &ok, ss_.get(), false, &wrote, false));
  EXPECT_EQ((std::vector<std::uint32_t>{4352, 4384, 4416, 320, N_ - 32, 256, 0}), writes());
  auto vds = block(0, 275);
  const auto* mp = reinterpret_cast<const part_map_metadata*>(vds.data() + sizeof(logvol_desc));
  EXPECT_EQ(4416u - 4096u, mp->file_loc);
  EXPECT_EQ(4416u - 4080u, mp->mirror_file_loc);
  auto fe = block(0, 4416);
  EXPECT_EQ(4384u - 4096u, reinterpret_cast<const short_ad*>(fe.data() + sizeof(extended_file_entry))->pos);
  check_volume(0, {272, N_ - 32, 320, N_ - 1}, true);
}

// Ten failed VERIFYs of the metadata content (03/11/00, the drive cannot read
// it back): the format and the erase fail with the VERIFY's error and write
// nothing after that section, so no descriptor points at the unverified
// blocks. The volume a failed erase leaves is the one before it; an erase
// without the fault then writes a good one.
TEST_F(MediaSim, RewritableTenthVerifyFailureFailsFormatAndErase) {
  start(0xE2);
  kelsim::FaultRule f = kelsim::command_fails(0x2F, {0x03, 0x11, 0x00});
  f.times = 10;
  const int id = sim_->drive().add_fault(f);
  scsi_service_re re;
  re.init(ss_.get(), 0, 0xFFFF, stamp_, &cache_);
  Boolean ok = 0;
  bool wrote = false;
  EXPECT_EQ(5, re.auto_format(false, &ok, ss_.get(), false, &wrote, false));
  EXPECT_EQ(10, sim_->drive().fault_fired(id));
  std::vector<std::uint32_t> tries;
  for (std::uint32_t i = 0; i < 10; ++i) tries.push_back(4352u + 32u * i);
  EXPECT_EQ(tries, writes()) << "only the ten tries of the metadata content";
  EXPECT_TRUE(fakelog::contains("retry NG. retry_count=10 err(5)"));

  sim_->drive().clear_faults();
  ASSERT_EQ(0, re.auto_format(false, &ok, ss_.get(), false, &wrote, false));
  check_volume(0, {272, N_ - 32, 320, N_ - 1}, true);
  const std::vector<std::uint8_t> formatted = block(0, 0, 512), end_area = block(0, N_ - 32, 32);

  const int erase_id = sim_->drive().add_fault(f);
  sim_->service().clear_transcript();
  pxo_all_erase_info_t info{};
  EXPECT_EQ(5, re.all_erase(&info, 6000, false));
  EXPECT_EQ(10, sim_->drive().fault_fired(erase_id));
  tries.clear();
  for (std::uint32_t i = 0; i < 10; ++i) tries.push_back(6000u + 32u * i);
  EXPECT_EQ(tries, writes());
  EXPECT_EQ(formatted, block(0, 0, 512)) << "the descriptors of the format are untouched";
  EXPECT_EQ(end_area, block(0, N_ - 32, 32));
  expect_udfinfo(0, {"integrity=opened"});

  sim_->drive().clear_faults();
  sim_->service().clear_transcript();
  ASSERT_EQ(0, re.all_erase(&info, 6000, false));
  EXPECT_EQ((std::vector<std::uint32_t>{6000, 6032, 320, N_ - 32, 256}), writes());
  auto vds = block(0, 275);
  EXPECT_EQ(6032u - 4096u, reinterpret_cast<const part_map_metadata*>(vds.data() + sizeof(logvol_desc))->file_loc);
  expect_udfinfo(0, {"integrity=closed"});
}

// The two recoveries of a failed format. Once track 2 is reserved, a
// failure of the last anchor (N - 32) is mended by writing the end area
// again, whether the drive verifies (no VERIFY counted) or not: the 288
// blocks before the end, then the area of the last anchor; no second
// FORMAT UNIT or RESERVE TRACK.
TEST_F(MediaSim, RecoveryAfterAFailureInTheEndAreaRewritesOnlyTheEndArea) {
  for (bool verify : {false, true}) {
    SCOPED_TRACE(verify ? "drive verify" : "host verify");
    start(0xE1);
    kelsim::FaultRule f = kelsim::write_error(N_ - 32, N_ - 1);
    f.times = 10;  // every attempt of the format's last anchor
    sim_->drive().add_fault(f);
    scsi_service svc;
    svc.set_storage(ss_.get());
    svc.set_write_once(true);
    svc.wo().init(ss_.get(), 0, 0xFFFF, stamp_, &cache_);
    Boolean known = 0;
    ASSERT_EQ(0, svc.auto_format_retry_wo(false, &known, ss_.get(), verify));
    EXPECT_EQ(1, known);
    EXPECT_TRUE(svc.wo().get_AutoFormatted_flag());
    EXPECT_EQ(1u, commands(0x04).size());  // formatted once
    EXPECT_EQ(1u, commands(0x53).size());  // track 2 reserved once
    EXPECT_EQ(verify, commands(0x2F).empty());
    const auto w = writes();
    const auto tenth = std::find(w.begin(), w.end(), N_ - 32) + 9;
    ASSERT_LT(tenth - w.begin(), static_cast<long>(w.size()));
    std::vector<std::uint32_t> want;
    for (std::uint32_t k = 0; k < 9; ++k) want.push_back(N_ - 288 + 32 * k);
    want.push_back(N_ - 32);
    EXPECT_EQ(want, std::vector<std::uint32_t>(tenth + 1, w.end()));
    auto last = block(0, N_ - 1);
    ASSERT_TRUE(tag_ok(last.data(), TAG_ID_AVDP));
    check_volume(0, {288, 304, 320, N_ - 1}, false);
  }
}

TEST_F(MediaSim, RecoveryAfterAnEarlyFailurePadsTrack1AndFormatsAgain) {
  start(0xE1);
  kelsim::FaultRule f = kelsim::write_error(256, 256);
  f.times = 10;  // every attempt of the first anchor
  sim_->drive().add_fault(f);
  scsi_service svc;
  svc.set_storage(ss_.get());
  svc.set_write_once(true);
  svc.wo().init(ss_.get(), 0, 0xFFFF, stamp_, &cache_);
  Boolean known = 0;
  ASSERT_EQ(0, svc.auto_format_retry_wo(false, &known, ss_.get(), false));
  EXPECT_EQ(1u, commands(0x04).size());  // the second attempt skips FORMAT UNIT
  const auto w = writes();
  // Track 1 was padded from its NWA (256) up to 4352 between the attempts.
  auto at = [&](std::uint32_t lba) { return std::find(w.begin(), w.end(), lba) - w.begin(); };
  EXPECT_LT(at(4320), at(4352));
  // The metadata of the second attempt follows the padding at once.
  EXPECT_EQ(4416u, sim_->cartridge().disc(0).tracks[0].nwa);
  check_volume(0, {288, 304, 320, N_ - 1}, false);
  expect_udfinfo(0, {"vid=KELFS VOL01"});
}

// ---------------------------------------------------------------- what track 1 of a write-once disc holds

// Slot 1 holds the first `blocks` blocks of the complete format of slot 0,
// recorded on a formatted one-track disc, changed by `change` when given.
// Only this system's format cut short may be formatted again; a disc with
// any block another program recorded (or one of this system's changed) is
// reported formatted and foreign, and neither format writes to it: no
// FORMAT UNIT, WRITE, reservation or track, and no padding between the
// two attempts of the automatic format.
TEST_F(MediaSim, OnlyTheSystemsOwnFormatCutShortIsFormattedAgain) {
  using Image = std::vector<std::uint8_t>;
  struct Row {
    const char* what;
    std::uint32_t blocks;  // 0xFFFFFFFF: the whole of track 1
    std::function<void(Image&, const WoCase&)> change;
    bool own;
  };
  auto at = [](Image& m, std::uint32_t lsn) { return m.data() + std::size_t{lsn} * 2048; };
  auto retag = [&](Image& m, std::uint32_t lsn) {
    scsi_service_cm::CalcDescriptorCRCAndChecksum(at(m, lsn), 512);
  };
  const std::uint32_t kWhole = 0xFFFFFFFFu;
  const Row rows[] = {
      {"formatted, nothing recorded", 0, {}, true},
      {"the recognition sequence", 32, {}, true},
      {"up to the first anchor", 257, {}, true},
      {"the format area, descriptors not yet written", 4352,
       [&](Image& m, const WoCase& c) {
         for (std::uint32_t b : {c.main, c.reserve, c.integrity}) std::memset(at(m, b), 0, 16 * 2048);
       },
       true},
      {"the format area", 4352, {}, true},
      {"the whole first track", kWhole, {}, true},
      {"a byte before the recognition sequence", kWhole, [&](Image& m, const WoCase&) { at(m, 3)[9] = 1; }, false},
      {"another recognition sequence", kWhole,
       [&](Image& m, const WoCase&) { std::memcpy(at(m, 16) + 1, "CD001", 5); }, false},
      {"a byte of the padding", kWhole, [&](Image& m, const WoCase&) { at(m, 100)[2047] = 0x5A; }, false},
      {"a byte past the descriptor areas", kWhole, [&](Image& m, const WoCase&) { at(m, 4000)[0] = 1; }, false},
      {"an anchor naming other sequences", kWhole,
       [&](Image& m, const WoCase&) {
         at(m, 256)[20] = 96;
         at(m, 256)[21] = 0;
         retag(m, 256);
       },
       false},
      {"a sequence of another implementation", kWhole,
       [&](Image& m, const WoCase& c) {
         std::memcpy(at(m, c.main) + offsetof(pri_vol_desc, imp_id) + 1, "*Other", 6);
         retag(m, c.main);
       },
       false},
      {"a descriptor whose CRC fails", kWhole, [&](Image& m, const WoCase& c) { at(m, c.main + 3)[300] ^= 1; },
       false},
  };
  for (const WoCase& c : kWoCases) {
    scsi_service_wo full;
    format_slot0(full, c.type);
    if (HasFatalFailure()) return;
    std::uint32_t steps = 0;
    Boolean msn = 0;
    const std::uint32_t track1 = sim_->cartridge().disc(0).tracks[0].nwa;
    const Image format = block(0, 0, track1);
    for (const Row& r : rows) {
      SCOPED_TRACE(std::to_string(c.type) + ": " + r.what);
      const std::uint32_t blocks = r.blocks == kWhole ? track1 : r.blocks;
      Image image(format.begin(), format.begin() + std::size_t{blocks} * 2048);
      if (r.change) r.change(image, c);
      kelsim::Disc& d = sim_->cartridge().disc(1);
      d.formatted = true;
      d.status = kelsim::DiscStatus::Incomplete;
      d.tracks = {kelsim::Track{0, N_, 0, false, false}};
      if (blocks) kel_test::record_blocks(sim_->cartridge(), 1, 0, blocks, image.data());
      if (HasFatalFailure()) return;
      load(1);
      sim_->service().clear_transcript();
      scsi_service svc;
      svc.set_storage(ss_.get());
      svc.set_write_once(true);
      svc.wo().init(ss_.get(), 1, 0xFFFF, stamp_, &cache_);
      bool own = !r.own, formatted = r.own, caperr = false, foreign = r.own;
      ASSERT_EQ(0, svc.wo().track1_holds_own_format(&own));
      EXPECT_EQ(r.own, own);
      ASSERT_EQ(0, svc.isFormatted(&formatted, &caperr, &foreign));
      EXPECT_EQ(!r.own, formatted);
      EXPECT_EQ(!r.own, foreign);
      if (r.own) continue;
      Boolean known = 0;
      EXPECT_EQ(95, svc.auto_format_retry_wo(false, &known, ss_.get(), false)) << "automatic format";
      for (bool skip : {false, true}) {
        svc.wo().set_StrideFormat_flag(true);
        EXPECT_EQ(95, svc.wo().auto_format_for_stride(&steps, skip, &msn, ss_.get(), false)) << "stride " << skip;
        svc.wo().set_StrideFormat_flag(false);
        EXPECT_EQ(95, svc.wo().auto_format(&steps, skip, &msn, ss_.get(), false)) << "format " << skip;
        EXPECT_TRUE(svc.wo().disc_refused());
      }
      for (int op : {0x04, 0x2A, 0x53, 0x5B, 0xD2}) EXPECT_TRUE(commands(op).empty()) << std::hex << op;
      EXPECT_EQ(1u, sim_->cartridge().disc(1).tracks.size());
      EXPECT_EQ(blocks, sim_->cartridge().disc(1).tracks[0].nwa);
      EXPECT_TRUE(block(1, 0, blocks) == image) << "the disc is left as it was";
    }
  }
}

// ---------------------------------------------------------------- first use

TEST_F(MediaSim, FirstUseThroughMountForLastSlotFormatsSlot0) {
  struct Row {
    std::uint8_t type;
    Layout layout;
    bool rewritable;
  };
  for (int verify = 0; verify < 2; ++verify) {
    const std::uint32_t n = 0x10000;  // the disc size start() gives
    const Row rows[] = {
        {0xE1, {288, 304, 320, n - 1}, false},
        {0xF1, {288, 304, 320, n - 1}, false},
        {0xF2, {384, 512, 640, n - 1}, false},
        {0xE2, {272, n - 32, 320, n - 1}, true},
    };
    for (const Row& r : rows) {
      SCOPED_TRACE(r.type);
      start(r.type);
      pclient_if = new client_if();
      pclient_if->storage()->set_device_number("sg0");
      pclient_if->storage()->set_device_name("/dev/sg-no-such-device");
      ASSERT_EQ(0, pclient_if->storage()->init());
      sim_->service().clear_transcript();
      EXPECT_EQ(0, pclient_if->MountForLastSlot(verify != 0));
      clientif_delete();
      pclient_if = nullptr;
      check_volume(0, r.layout, r.rewritable);
      if (verify) {
        EXPECT_TRUE(commands(0x2F).empty());
      }
      expect_udfinfo(0, {"vid=KELFS VOL01", "label=SER-0001", "integrity=opened"});
    }
  }
}

}  // namespace
