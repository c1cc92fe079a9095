// Sense mapping, the drive alarm, mount-information updates, write
// protection, mode pages and the OPC resource count.
#include "drive_fixture.h"

#include <array>
#include <cstring>

namespace {
std::array<unsigned char, 16> sense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
  std::array<unsigned char, 16> s{};
  s[0] = 0x70;
  s[2] = key;
  s[7] = 0x0A;
  s[12] = asc;
  s[13] = ascq;
  return s;
}
}  // namespace

TEST(SenseMapping, IoReturnTable) {
  struct Row {
    std::uint8_t key, asc, ascq;
    int result;
    std::uint32_t io;
  };
  const Row rows[] = {
      {0x00, 0x00, 0x00, 0, 0},     {0x01, 0x17, 0x01, 0, 0},     {0x02, 0x3A, 0x00, 13, 728},
      {0x02, 0x04, 0x01, 13, 728},  {0x03, 0x11, 0x00, 5, 714},   {0x04, 0x44, 0x00, 5, 745},
      {0x05, 0x30, 0x10, 6, 741},   {0x05, 0x30, 0x00, 1, 721},   {0x05, 0x30, 0x02, 1, 721},
      {0x05, 0x31, 0x00, 1, 721},   {0x05, 0x31, 0x01, 1, 721},   {0x05, 0x24, 0x00, 5, 714},
      {0x06, 0x28, 0x00, 13, 728},  {0x06, 0x28, 0x01, 5, 1},     {0x06, 0x29, 0x00, 5, 1},
      {0x07, 0x27, 0x00, 1, 707},   {0x08, 0x00, 0x05, 1, 719},   {0x09, 0x00, 0x00, 5, 1},
      {0x0A, 0x00, 0x00, 5, 1},     {0x0B, 0x47, 0x00, 5, 747},   {0x0C, 0x00, 0x00, 5, 1},
      {0x0E, 0x1D, 0x00, 5, 1},     {0x21, 0x00, 0x00, 5, 1},
  };
  for (const Row& r : rows) {
    auto s = sense(r.key, r.asc, r.ascq);
    std::uint32_t io = 0xAAAA;
    EXPECT_EQ(r.result, get_err_from_sensekey_with_ioreturn(s.data(), &io))
        << std::hex << int(r.key) << "/" << int(r.asc) << "/" << int(r.ascq);
    EXPECT_EQ(r.io, io) << std::hex << int(r.key) << "/" << int(r.asc) << "/" << int(r.ascq);
  }
  std::uint32_t io = 0;
  EXPECT_EQ(22, get_err_from_sensekey_with_ioreturn(nullptr, &io));
  EXPECT_EQ(1u, io);
}

TEST(SenseMapping, PlainAndWriteRules) {
  struct Row {
    std::uint8_t key, asc, ascq;
    int plain, write;
  };
  for (Row r : {Row{0, 0, 0, 0, 0}, Row{1, 0x17, 0, 0, 0}, Row{2, 0x3A, 0, 5, 5},
                Row{3, 0x27, 0x00, 5, 11}, Row{3, 0x27, 0x01, 5, 5}, Row{7, 0x27, 0, 5, 5},
                Row{0x11, 0, 0, 5, 5}}) {
    auto s = sense(r.key, r.asc, r.ascq);
    EXPECT_EQ(r.plain, get_err_from_sensekey(s.data())) << int(r.key);
    EXPECT_EQ(r.write, get_err_from_sensekey_for_write(s.data())) << int(r.key);
  }
  EXPECT_EQ(22, get_err_from_sensekey(nullptr));
  EXPECT_EQ(22, get_err_from_sensekey_for_write(nullptr));
}

TEST(MediumClasses, OneClassificationForTheSystem) {
  for (int t = 0; t < 256; ++t) {
    const bool wo = t == 0xE1 || t == 0xE3 || t == 0xE5 || t == 0xE7 || t == 0xF1 || t == 0xF2;
    const bool re = t == 0x53 || t == 0xE2 || t == 0xE4 || t == 0xE6 || t == 0xE8;
    EXPECT_EQ(wo, medium::is_write_once(static_cast<std::uint8_t>(t))) << t;
    EXPECT_EQ(re, medium::is_rewritable(static_cast<std::uint8_t>(t))) << t;
  }
}

class SenseAndProtection : public DriveTest {};

TEST_F(SenseAndProtection, MediumStatusReadMapsItsCheckCondition) {
  std::uint32_t io = 0xAAAA;
  EXPECT_EQ(0, ss_->check_medium_status(&io));
  EXPECT_EQ(0u, io);
  fakedrive::add_fault({0x28, 0x05, 0x30, 0x10});
  EXPECT_EQ(6, ss_->check_medium_status(&io));
  EXPECT_EQ(741u, io);
  fakedrive::clear_faults();
  fakedrive::add_fault({0x28, 0x01, 0x00, 0x00});  // no data wanted: success
  EXPECT_EQ(0, ss_->check_medium_status(&io));
  EXPECT_EQ(0u, io);
  storage_scsi closed;
  EXPECT_EQ(19, closed.check_medium_status(&io));
  EXPECT_EQ(714u, io);
}

TEST_F(SenseAndProtection, AlarmIsReportedOnceWhenEnabled) {
  fakedrive::drive().product = "QMR-T400B";
  fakedrive::drive().serial = "SN0123456789";
  fakedrive::fill_good_attributes(0xE1);
  ASSERT_EQ(0, ss_->init());
  ASSERT_EQ(2, ss_->alarm_state());

  // Disabled by the default setting.
  pxo_report_error_t e{1};
  EXPECT_EQ(0, ss_->report_error(&e));
  EXPECT_TRUE(fakedrive::calls_of(0xDC).empty());
  EXPECT_TRUE(fakelog::contains("(Disabled By Setting), ErrorType:0x01, DriveSNo:SN0123456789"));

  int w = 0;
  config_set_uint32(0, "", "Sensitive Alarm Mode", 1, &w);
  EXPECT_EQ(0, ss_->report_error(&e));
  auto sent = fakedrive::calls_of(0xDC);
  ASSERT_EQ(1u, sent.size());
  std::vector<std::uint8_t> expect = {0xDC, 1, 1, 1};
  for (char c : std::string("23456789")) expect.push_back(static_cast<std::uint8_t>(c));
  EXPECT_EQ(expect, sent[0].cdb);
  EXPECT_TRUE(ss_->alarm_set());
  EXPECT_TRUE(fakelog::contains("(Set Alarm To Drive)"));

  EXPECT_EQ(0, ss_->report_error(&e));
  EXPECT_EQ(1u, fakedrive::calls_of(0xDC).size());
  EXPECT_TRUE(fakelog::contains("(Already Set Alarm)"));

  pxo_report_error_t bad{3};
  EXPECT_EQ(22, ss_->report_error(&bad));
  EXPECT_EQ(22, ss_->report_error(nullptr));
}

TEST_F(SenseAndProtection, AlarmOnOtherModelsAndShortSerials) {
  fakedrive::drive().product = "QMR-T300A";
  fakedrive::drive().revision = "0800";
  fakedrive::drive().serial = "AB12";
  ASSERT_EQ(0, ss_->init());
  int w = 0;
  config_set_uint32(0, "", "Sensitive Alarm Mode", 1, &w);
  pxo_report_error_t e{2};
  EXPECT_EQ(0, ss_->report_error(&e));
  auto sent = fakedrive::calls_of(0xE6);
  ASSERT_EQ(1u, sent.size());
  EXPECT_EQ(bytes({0xE6, 1, 1, 2, ' ', ' ', ' ', ' ', 'A', 'B', '1', '2'}), sent[0].cdb);

  // A failed report leaves the alarm unset.
  fakedrive::reset();
  kel::ResetConfigCache();
  config_set_uint32(0, "", "Sensitive Alarm Mode", 1, &w);
  fakedrive::drive().product = "QMR-T400A";
  ss_ = std::make_unique<storage_scsi>();
  ss_->set_device_number("sg0");
  ASSERT_EQ(0, ss_->init());
  fakedrive::add_fault({0xDC, 0x05, 0x24, 0x00});
  EXPECT_EQ(5, ss_->report_error(&e));
  EXPECT_FALSE(ss_->alarm_set());
  EXPECT_TRUE(fakelog::contains("DRIVE CONTROL failed."));
}

TEST_F(SenseAndProtection, UnsupportedDriveOnlyLogs) {
  fakedrive::drive().product = "QMR-T10A";
  ASSERT_EQ(0, ss_->init());
  int w = 0;
  config_set_uint32(0, "", "Sensitive Alarm Mode", 1, &w);
  pxo_report_error_t e{0};
  EXPECT_EQ(0, ss_->report_error(&e));
  EXPECT_TRUE(fakelog::contains("(Unsupported Drive)"));
  EXPECT_TRUE(fakedrive::calls_of(0xE6).empty());
}

TEST_F(SenseAndProtection, RawMountStatusUpdatesOnlyTheGivenFields) {
  MDCFS_MOUNT_INFORMATION in{0x80000010u, 0x100, 0, 0xE1, 1, 2, 0};
  ASSERT_EQ(0, ss_->set_mount_info(reinterpret_cast<char*>(&in)));
  ASSERT_EQ(0, ss_->set_raw_mount_status_to_mount_info_no_error_report(0xFFFFFFFFu, 0x80000, 2, 0xFF, 0xFF));
  MDCFS_MOUNT_INFORMATION out{};
  ASSERT_EQ(0, ss_->get_mount_info(reinterpret_cast<char*>(&out)));
  EXPECT_EQ(0x80000010u, out.MountStatus);
  EXPECT_EQ(0x80100u, out.WriteProtectReasonFlags);
  EXPECT_EQ(2u, out.AccessMode);
  EXPECT_EQ(0xE1, out.MediumType);
  EXPECT_EQ(1, out.VolumeStatus);
  ASSERT_EQ(0, ss_->set_read_only_status_to_mount_info(0x4000));
  ASSERT_EQ(0, ss_->get_mount_info(reinterpret_cast<char*>(&out)));
  EXPECT_EQ(0x84100u, out.WriteProtectReasonFlags);
  ASSERT_EQ(0, ss_->set_raw_mount_status_to_mount_info_no_error_report(0x80000020u, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xE3, 0));
  ASSERT_EQ(0, ss_->get_mount_info(reinterpret_cast<char*>(&out)));
  EXPECT_EQ(0x80000020u, out.MountStatus);
  EXPECT_EQ(0xE3, out.MediumType);
  EXPECT_EQ(0, out.VolumeStatus);
  EXPECT_TRUE(fakedrive::transcript().empty());
}

TEST_F(SenseAndProtection, RawMountStatusWithAccessTwoRaisesTheAlarm) {
  fakedrive::drive().product = "QMR-T400B";
  fakedrive::fill_good_attributes(0xE1);
  ASSERT_EQ(0, ss_->init());
  int w = 0;
  config_set_uint32(0, "", "Sensitive Alarm Mode", 1, &w);
  ASSERT_EQ(0, ss_->set_raw_mount_status_to_mount_info(0xFFFFFFFFu, 0x80000, 2, 0xFF, 0xFF));
  auto sent = fakedrive::calls_of(0xDC);
  ASSERT_EQ(1u, sent.size());
  EXPECT_EQ(0, sent[0].cdb[3]);  // error type 0
  ASSERT_EQ(0, ss_->set_raw_mount_status_to_mount_info(0xFFFFFFFFu, 0, 0, 0xFF, 0xFF));
  EXPECT_EQ(1u, fakedrive::calls_of(0xDC).size());
}

TEST_F(SenseAndProtection, MediumConditionProperty) {
  std::uint32_t v = 0x80000001u;
  ss_->set_pxo_property("Medium Condition", &v);
  EXPECT_EQ(0x80000001u, ss_->medium_condition());
  v = 3;
  ss_->set_pxo_property("Other", &v);
  EXPECT_EQ(0x80000001u, ss_->medium_condition());
  ss_->set_pxo_property(nullptr, &v);
  EXPECT_TRUE(fakelog::contains("invalid parameter. pLabel="));
}

TEST_F(SenseAndProtection, ModePageBits) {
  std::uint8_t bit = 9;
  ASSERT_EQ(0, ss_->check_writeprotected(&bit));
  EXPECT_EQ(0, bit);
  fakedrive::drive().medium_wp = true;
  ASSERT_EQ(0, ss_->check_writeprotected(&bit));
  EXPECT_EQ(1, bit);
  EXPECT_TRUE(fakelog::contains("WP bit is valid."));
  ASSERT_EQ(0, ss_->check_writeUnsupport(&bit));
  EXPECT_EQ(0, bit);
  fakedrive::drive().write_unsupported = true;
  ASSERT_EQ(0, ss_->check_writeUnsupport(&bit));
  EXPECT_EQ(1, bit);
  ASSERT_EQ(0, ss_->check_SWPStatus(&bit));
  EXPECT_EQ(0, bit);
  const auto pages = fakedrive::calls_of(0x5A);
  EXPECT_EQ(0x1C, pages.back().cdb[2]);
  EXPECT_EQ(16, pages.back().cdb[8]);
  fakedrive::add_fault({0x5A, 0x05, 0x24, 0x00});
  EXPECT_EQ(5, ss_->check_writeprotected(&bit));
}

TEST_F(SenseAndProtection, CartridgeOrMemoryProtection) {
  fakedrive::fill_good_attributes(0xE1);
  EXPECT_FALSE(ss_->isProtectFormCMorCartridge());
  fakedrive::drive().cartridge_wp = true;
  EXPECT_TRUE(ss_->isProtectFormCMorCartridge());
  fakedrive::drive().cartridge_wp = false;
  fakedrive::drive().attributes[0x0D03].value[0] = 1;
  EXPECT_TRUE(ss_->isProtectFormCMorCartridge());
  // The switch alone protects, whatever the attribute read does.
  fakedrive::drive().cartridge_wp = true;
  fakedrive::drive().attributes.erase(0x0D03);
  EXPECT_TRUE(ss_->isProtectFormCMorCartridge());
  // A protection that cannot be read counts as set: 0D03h unreadable, or
  // MECHANISM STATUS failing with 0D03h clear.
  fakedrive::drive().cartridge_wp = false;
  EXPECT_TRUE(ss_->isProtectFormCMorCartridge());
  fakedrive::fill_good_attributes(0xE1);
  fakedrive::add_fault({0xBD, 0x04, 0x00, 0x00});
  EXPECT_TRUE(ss_->isProtectFormCMorCartridge());
  EXPECT_TRUE(fakelog::contains("Mechanism err 0x5"));
  EXPECT_TRUE(fakelog::contains("write protection unknown, taken as protected"));
}

TEST_F(SenseAndProtection, BlockSizePageIsReadOnce) {
  fakedrive::drive().transfer_units = 6;
  pxo_read_write_block_size_mode_page_t p{};
  ASSERT_EQ(0, ss_->getReadWriteBlockSizeModeSense(&p));
  EXPECT_EQ(0x20, p.reserve_write_block_size);
  EXPECT_EQ(6, p.read_write_block_size);
  ASSERT_EQ(0, ss_->getReadWriteBlockSizeModeSense(&p));
  EXPECT_EQ(1u, fakedrive::calls_of(0x5A).size());
  storage_scsi t10a;
  t10a.set_device_number("sg0");
  fakedrive::add_fault({0x5A, 0x05, 0x24, 0x00});
  EXPECT_EQ(5, t10a.getReadWriteBlockSizeModeSense(&p));
  EXPECT_TRUE(fakelog::contains("Connection device may T10A(5)"));
}

TEST_F(SenseAndProtection, RecoveryPageThresholdByModel) {
  for (const char* p : {"QMR-T300A", "QMR-T400B", "QMR-T20B"}) {
    SCOPED_TRACE(p);
    fakedrive::drive().product = p;
    fakedrive::drive().recovery_threshold = 0x123456;
    fakedrive::drive().write_unsupported = true;
    ss_ = std::make_unique<storage_scsi>();
    ss_->set_device_number("sg0");
    identify();
    pxo_read_write_error_recovery_parameters_mode_page_t r{};
    ASSERT_EQ(0, ss_->getReadWriteErrorRecoveryParametersModeSense(&r));
    EXPECT_EQ(1u, r.flag);
    EXPECT_EQ(std::string(p) == "QMR-T20B" ? 0u : 0x123456u, r.threshold);
    ASSERT_EQ(0, ss_->getReadWriteErrorRecoveryParametersModeSense(&r));
    EXPECT_EQ(1u, fakedrive::calls_of(0x5A).size());
    EXPECT_EQ(20, fakedrive::calls_of(0x5A)[0].cdb[8]);
  }
}

TEST_F(SenseAndProtection, ModeSelectFailureLogsTheList) {
  fakedrive::add_fault({0x55, 0x05, 0x26, 0x00});
  EXPECT_EQ(5, ss_->setControlMode(true));
  EXPECT_EQ(3u, fakedrive::calls_of(0x55).size());
  EXPECT_EQ(3, fakelog::count("buffer data (len=20):0A 00"));
  // The last send decides.
  fakedrive::clear_faults();
  fakedrive::clear_transcript();
  fakedrive::Fault f{0x55, 0x05, 0x26, 0x00};
  f.times = 2;
  fakedrive::add_fault(f);
  EXPECT_EQ(0, ss_->setControlMode(true));
  const auto sent = fakedrive::calls_of(0x55);
  ASSERT_EQ(3u, sent.size());
  EXPECT_EQ(0, sent[2].data_out[13]);
}

TEST_F(SenseAndProtection, OpcResourceCount) {
  struct Row {
    const char* product;
    std::uint8_t medium;
    bool wu;
    int result;
    std::uint16_t count;
    std::size_t d5;
  };
  for (Row r : {Row{"QMR-T300B", 0xE1, false, 0, 0x0012, 1}, Row{"QMR-T300B", 0xE1, true, 0, 0xFFFF, 0},
                Row{"QMR-T20B", 0xE1, true, 0, 0x0012, 1}, Row{"QMR-T400A", 0xE2, false, 22, 0, 0}}) {
    SCOPED_TRACE(r.product);
    fakedrive::reset();
    kel::ResetConfigCache();
    fakedrive::drive().product = r.product;
    fakedrive::drive().medium_type = r.medium;
    fakedrive::drive().write_unsupported = r.wu;
    ss_ = std::make_unique<storage_scsi>();
    ss_->set_device_number("sg0");
    ASSERT_EQ(0, ss_->init());
    fakedrive::clear_transcript();
    std::uint16_t c = 0;
    EXPECT_EQ(r.result, ss_->get_opc_resource_data(reinterpret_cast<char*>(&c)));
    if (r.result == 0) {
      EXPECT_EQ(r.count, c);
      EXPECT_EQ(r.d5, fakedrive::calls_of(0xD5).size());
      // Cached afterwards.
      fakedrive::clear_transcript();
      c = 0;
      EXPECT_EQ(0, ss_->get_opc_resource_data(reinterpret_cast<char*>(&c)));
      EXPECT_EQ(r.count, c);
      EXPECT_TRUE(fakedrive::transcript().empty());
    } else {
      EXPECT_TRUE(fakelog::contains("Invalid media type"));
    }
  }
}
