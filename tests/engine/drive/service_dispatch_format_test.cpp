// The automatic-format retries and the format request of the media service
// dispatcher, with the media services answered by recording stand-ins and
// the drive by the recording drive.
#include "drive_fixture.h"

#include "drive/client_if.h"
#include "drive/device_control.h"

#include <cstring>

namespace media_standin {
void activate(bool on);
void set_result(const char* name, int result);
void set_wo_steps(std::uint32_t steps);
void set_serial_known(bool on);
std::vector<std::string> calls();
int count(const char* name);
std::uint64_t last_arg(const char* name, int i);
}  // namespace media_standin

namespace {

std::uint32_t lba_of(const fakedrive::Call& c) {
  return (static_cast<std::uint32_t>(c.cdb[2]) << 24) | (c.cdb[3] << 16) | (c.cdb[4] << 8) | c.cdb[5];
}
std::uint16_t le16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
std::uint32_t le32(const std::vector<std::uint8_t>& b, std::size_t at) {
  std::uint32_t v;
  std::memcpy(&v, &b[at], 4);
  return v;
}

class Format : public DriveTest {
 protected:
  void SetUp() override {
    DriveTest::SetUp();
    medium(0xE1);
    pclient_if = new client_if();
    st().set_device_number("sg0");
    st().set_device_name("/dev/sgtest-none");
    media_standin::activate(true);
  }
  void TearDown() override {
    media_standin::activate(false);
    clientif_delete();
    DriveTest::TearDown();
  }
  void medium(std::uint8_t type) {
    fakedrive::drive().medium_type = type;
    fakedrive::fill_good_attributes(type);
  }
  storage_scsi& st() { return *pclient_if->storage(); }
  scsi_service& svc() { return pclient_if->service(); }
  std::uint32_t n() const { return fakedrive::drive().capacity_blocks; }
  int retry_wo(bool drive_verify = false, Boolean* serial = nullptr) {
    Boolean known = false;
    return svc().auto_format_retry_wo(false, serial ? serial : &known, &st(), drive_verify);
  }
};

}  // namespace

// The format gave up at the end of the medium: the end area is written so
// that it ends with the disc, its anchor in the disc's last sector.
TEST_F(Format, EndAreaEndsWithTheDisc) {
  media_standin::set_result("wo.auto_format", 5);
  media_standin::set_wo_steps(40);
  svc().set_storage(&st());
  EXPECT_EQ(0, retry_wo());
  EXPECT_EQ(1, media_standin::count("wo.auto_format"));
  const auto writes = fakedrive::calls_of(0x2A);
  ASSERT_EQ(10u, writes.size());
  for (std::uint32_t k = 0; k < 9; ++k) EXPECT_EQ(n() - 288 + 32 * k, lba_of(writes[k])) << k;
  const auto& area = writes[9];
  EXPECT_EQ(n() - 32, lba_of(area));
  ASSERT_EQ(65536u, area.data_out.size());
  // The anchor: last sector of the area, tag location N - 1.
  const std::vector<std::uint8_t> avdp(area.data_out.begin() + 31 * 2048, area.data_out.end());
  EXPECT_EQ(2, le16(avdp, 0));
  EXPECT_EQ(3, le16(avdp, 2));
  EXPECT_EQ(n() - 1, le32(avdp, 12));
  EXPECT_EQ(0x8000u, le32(avdp, 16));
  EXPECT_EQ(288u, le32(avdp, 20));
  EXPECT_EQ(0x8000u, le32(avdp, 24));
  EXPECT_EQ(304u, le32(avdp, 28));
  std::uint8_t sum = 0;
  for (int i = 0; i < 16; ++i)
    if (i != 4) sum = static_cast<std::uint8_t>(sum + avdp[i]);
  EXPECT_EQ(sum, avdp[4]);
  // Nothing past the end of the disc.
  for (const auto& w : writes) EXPECT_LE(lba_of(w) + w.data_out.size() / 2048, n());
  const auto verify = fakedrive::calls_of(0x2F);
  ASSERT_EQ(1u, verify.size());
  EXPECT_EQ(n() - 32, lba_of(verify[0]));
  EXPECT_TRUE(svc().wo().get_AutoFormatted_flag());
}

TEST_F(Format, EndAreaOnF2hMediaWithReserveAndWithoutVerify) {
  medium(0xF2);
  media_standin::set_result("wo.auto_format", 5);
  media_standin::set_wo_steps(32);
  svc().set_storage(&st());
  EXPECT_EQ(0, retry_wo(true));
  EXPECT_EQ(1, media_standin::count("wo.autoFormatLOWInitTrack"));
  EXPECT_EQ(2u, media_standin::last_arg("wo.autoFormatLOWInitTrack", 0));
  EXPECT_EQ(n(), media_standin::last_arg("wo.autoFormatLOWInitTrack", 1));
  const auto reserve = fakedrive::calls_of(0xD2);
  ASSERT_EQ(1u, reserve.size());
  const auto writes = fakedrive::calls_of(0x2A);
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(n() - 128, lba_of(writes.front()));
  std::size_t bytes = 0;
  for (auto& w : writes) bytes += w.data_out.size();
  EXPECT_EQ(4u * 65536, bytes);
  const auto& last = writes.back();
  EXPECT_EQ(n(), lba_of(last) + last.data_out.size() / 2048);
  const std::vector<std::uint8_t> avdp(last.data_out.end() - 2048, last.data_out.end());
  EXPECT_EQ(2, le16(avdp, 0));
  EXPECT_EQ(n() - 1, le32(avdp, 12));
  EXPECT_EQ(384u, le32(avdp, 20));
  EXPECT_EQ(512u, le32(avdp, 28));
  EXPECT_TRUE(fakedrive::calls_of(0x2F).empty());
  EXPECT_TRUE(fakelog::contains("Verify skip for Drive Verify"));
}

TEST_F(Format, EndAreaWriteFailsTenTimes) {
  media_standin::set_result("wo.auto_format", 5);
  media_standin::set_wo_steps(40);
  svc().set_storage(&st());
  fakedrive::add_fault({0x2A, 3, 0x0C, 0, 0, -1, 9, 1});  // the nine padding writes pass
  EXPECT_NE(0, retry_wo());
  EXPECT_EQ(19u, fakedrive::calls_of(0x2A).size());
  EXPECT_TRUE(fakelog::contains("retry NG. retry_count=10"));
}

// An early failure: track 1 is padded up to 4352 and the format is tried once
// more, skipping FORMAT UNIT.
TEST_F(Format, EarlyFailurePadsTrackOneAndRetriesOnce) {
  media_standin::set_result("wo.auto_format", 5);
  media_standin::set_wo_steps(3);
  svc().set_storage(&st());
  fakedrive::drive().tracks = 1;  // track 2 was never reserved
  fakedrive::drive().hook = [](const fakedrive::Call& c, std::vector<std::uint8_t>* in) {
    if (c.cdb[0] != 0x52 || c.cdb[5] != 1) return false;
    in->assign(52, 0);
    (*in)[1] = 50;
    (*in)[15] = 0xA0;  // NWA 4000 (0FA0h)
    (*in)[14] = 0x0F;
    return true;
  };
  EXPECT_EQ(5, retry_wo());
  ASSERT_EQ(2, media_standin::count("wo.auto_format"));
  EXPECT_EQ(1u, media_standin::last_arg("wo.auto_format", 0));  // skip-format on the second try
  const auto writes = fakedrive::calls_of(0x2A);
  ASSERT_EQ(2u * 11, writes.size());  // 4000, 4032, ... 4320, once after each failure
  EXPECT_EQ(4000u, lba_of(writes[0]));
  EXPECT_EQ(4320u, lba_of(writes[10]));
}

TEST_F(Format, UnknownSerialStopsAtOnce) {
  media_standin::set_result("wo.auto_format", 22);
  media_standin::set_serial_known(false);
  svc().set_storage(&st());
  Boolean known = true;
  EXPECT_EQ(22, retry_wo(false, &known));
  EXPECT_FALSE(known);
  EXPECT_EQ(1, media_standin::count("wo.auto_format"));
  EXPECT_TRUE(fakedrive::calls_of(0x2A).empty());
}

TEST_F(Format, RewritableRetries) {
  medium(0xE2);
  svc().set_storage(&st());
  Boolean known = false;
  media_standin::set_result("re.auto_format", 5);
  EXPECT_EQ(5, svc().auto_format_retry_re(false, &known, &st(), false, false));
  EXPECT_EQ(2, media_standin::count("re.auto_format"));
  EXPECT_EQ(1u, media_standin::last_arg("re.auto_format", 2));  // the first attempt wrote
  media_standin::activate(true);
  media_standin::set_serial_known(false);
  media_standin::set_result("re.auto_format", 5);
  EXPECT_EQ(5, svc().auto_format_retry_re(false, &known, &st(), false, false));
  EXPECT_EQ(1, media_standin::count("re.auto_format"));
  media_standin::activate(true);
  EXPECT_EQ(0, svc().auto_format_retry_re(false, &known, &st(), false, true));
  EXPECT_EQ(1u, media_standin::last_arg("re.auto_format", 3));  // drive verify
  EXPECT_TRUE(svc().re().get_AutoFormatted_flag());
}

TEST_F(Format, FormatRequestRunsTheStrideFormat) {
  pxo_attribute_data_t attributes{};
  pxo_auto_format_request_t req{};
  req.attribute_data = reinterpret_cast<std::uintptr_t>(&attributes);
  req.request_time = 0x0102030405060708ull;
  req.request_serial = 0x4321;
  req.volume_type = 1;
  req.drive_verify = 1;
  EXPECT_EQ(0, VNOP_IOCTL(nullptr, PXOIOAUTOFORMATREQUEST, reinterpret_cast<char*>(&req), 0, nullptr));
  EXPECT_EQ(1, media_standin::count("wo.auto_format_for_stride"));
  EXPECT_EQ(0, media_standin::count("wo.auto_format"));
  EXPECT_EQ(1u, media_standin::last_arg("wo.auto_format_for_stride", 2));
  EXPECT_FALSE(svc().wo().get_StrideFormat_flag());
  EXPECT_FALSE(svc().wo().get_AutoFormatted_flag());  // the stride format does not count
  EXPECT_EQ(0x4321, svc().request_serial());
  EXPECT_EQ(0x4321, svc().wo().get_tag_serial_number());
  EXPECT_EQ(1, st().get_volume_type_config(nullptr));
}

TEST_F(Format, FormatRequestErasesWhenAsked) {
  medium(0xE2);
  pxo_auto_format_request_t req{};
  req.all_erase = 1;
  req.all_erase_nwa = 0x777;
  EXPECT_EQ(0, VNOP_IOCTL(nullptr, PXOIOAUTOFORMATREQUEST, reinterpret_cast<char*>(&req), 0, nullptr));
  EXPECT_EQ(1, media_standin::count("re.all_erase"));
  EXPECT_EQ(0x777u, media_standin::last_arg("re.all_erase", 1));
  EXPECT_EQ(0u, media_standin::last_arg("re.all_erase", 2));
  EXPECT_TRUE(svc().re().get_AutoFormatted_flag());
  EXPECT_FALSE(svc().re().get_StrideFormat_flag());
}

TEST_F(Format, FailedFormatRequestIsRecordedInTheMountInformation) {
  media_standin::set_result("wo.auto_format_for_stride", 22);
  media_standin::set_serial_known(false);
  pxo_auto_format_request_t req{};
  EXPECT_EQ(22, VNOP_IOCTL(nullptr, PXOIOAUTOFORMATREQUEST, reinterpret_cast<char*>(&req), 0, nullptr));
  MDCFS_MOUNT_INFORMATION mi{};
  ASSERT_EQ(0, st().get_mount_info(reinterpret_cast<caddr_t>(&mi)));
  EXPECT_EQ(0x80000020u, mi.MountStatus);
  EXPECT_TRUE(mi.WriteProtectReasonFlags & 0x4000u);
  EXPECT_EQ(2u, mi.AccessMode);
  EXPECT_FALSE(svc().wo().get_StrideFormat_flag());
}
