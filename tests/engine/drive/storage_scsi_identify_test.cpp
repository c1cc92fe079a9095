// Device start-up, drive identification, medium properties and verdicts.
#include "drive_fixture.h"

#include <atomic>
#include <cstring>

namespace {
std::atomic<std::int64_t> g_fake_seconds{0};
int fake_time(struct timeval* tv, void*) {
  tv->tv_sec = g_fake_seconds;
  tv->tv_usec = 0;
  return 0;
}
struct FakeTime {
  explicit FakeTime(std::int64_t s) {
    g_fake_seconds = s;
    storage_scsi_set_time_of_day_source(fake_time);
  }
  ~FakeTime() { storage_scsi_set_time_of_day_source(nullptr); }
};
std::uint32_t read_u32_key(const char* key) {
  int size = 4;
  std::uint32_t v = 0xDEADBEEF;
  EXPECT_EQ(4, config_get_uint32(0, key, &size, &v)) << key;
  return v;
}
std::uint8_t read_u8_key(const char* key) {
  int size = 1;
  std::uint8_t v = 0xEE;
  EXPECT_EQ(1, config_get_uint8(0, key, &size, &v)) << key;
  return v;
}
}  // namespace

class Identify : public DriveTest {};

TEST_F(Identify, InitFindsEverySupportedModelAndSetsItsValues) {
  struct Row {
    const char* product;
    const char* revision;
    std::uint16_t units;  // no OS limit file: 8 on the B models, else 1
    int alarm;
  };
  const Row rows[] = {
      {"PXO-U2", "9000", 1, 0},     {"QMR-T10A", "9000", 1, 0},   {"QMR-T20A", "1651", 1, 0},
      {"QMR-T20A", "1652", 1, 2},   {"QMR-T20B", "1651", 8, 0},   {"QMR-T20B", "1652", 8, 2},
      {"QMR-T300A", "0794", 1, 0},  {"QMR-T300A", "0795", 1, 2},  {"QMR-T300B", "0794", 8, 0},
      {"QMR-T300B", "0795", 8, 2},  {"QMR-T400A", "0001", 1, 2},  {"QMR-T400B", "0000", 8, 2},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.product) + " " + r.revision);
    fakedrive::reset();
    fakedrive::drive().product = r.product;
    fakedrive::drive().revision = r.revision;
    fakedrive::drive().transfer_units = 4;  // the page does not decide without an OS limit
    fakedrive::drive().medium_type = 0xE3;
    ss_ = std::make_unique<storage_scsi>();
    ss_->set_device_number("sg0");
    ss_->set_device_name("/dev/sg-no-such-device");
    ASSERT_EQ(0, ss_->init());
    EXPECT_EQ(r.units, ss_->read_block_size());
    EXPECT_EQ(r.units, ss_->write_block_size());
    EXPECT_EQ(r.alarm, ss_->alarm_state());
    EXPECT_STREQ(r.product, ss_->product_id());
    EXPECT_EQ(0xE3, ss_->medium_type());
    EXPECT_TRUE(ss_->is_write_once());
    EXPECT_EQ(0xE3, read_u8_key("Medium Type"));
    // Drive clock set once; transcript begins with TEST UNIT READY.
    const auto sent = fakedrive::transcript();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(0x00, sent[0].cdb[0]);
    EXPECT_EQ(1u, fakedrive::calls_of(0xCF).size());
    // The block-size page is asked only by models other than T10A and T20A.
    bool asked22 = false;
    for (const auto& c : fakedrive::calls_of(0x5A)) asked22 |= c.cdb[2] == 0x22;
    const bool small = std::string(r.product) == "QMR-T10A" || std::string(r.product) == "QMR-T20A";
    EXPECT_EQ(!small, asked22);
  }
}

TEST_F(Identify, UnsupportedProductFailsWithOne) {
  for (const char* p : {"QMR-T30A", "DVD-ROM X", "QMR-T400"}) {
    SCOPED_TRACE(p);
    fakedrive::reset();
    fakedrive::drive().product = p;
    ss_ = std::make_unique<storage_scsi>();
    ss_->set_device_number("sg0");
    EXPECT_EQ(1, ss_->init());
    EXPECT_TRUE(fakelog::contains("Product ID is not supported"));
    EXPECT_TRUE(fakelog::contains("check_product_name failed. Prod.ID="));
  }
}

TEST_F(Identify, ProductNamesArePrefixesInInitAndSubstringsInTheSearch) {
  EXPECT_EQ(DriveModel::kT400A, model_from_product("QMR-T400AXYZ"));
  EXPECT_EQ(DriveModel::kPxoU2, model_from_product("PXO-U2 rev"));
  EXPECT_EQ(DriveModel::kNone, model_from_product(" QMR-T400A"));
  fakedrive::drive().product = "X QMR-T20B Y";
  EXPECT_EQ(0, ss_->scsi_dev_search(1, 7));
  EXPECT_EQ(7, ss_->get_device_number());
  EXPECT_FALSE(ss_->check_product_name());
  fakedrive::drive().vendor = "OTHER";
  EXPECT_EQ(-1, ss_->scsi_dev_search(1, 3));
  EXPECT_EQ(-1, ss_->scsi_dev_search(-1, 3));
  EXPECT_EQ(-1, ss_->scsi_dev_search(1, -3));
}

TEST_F(Identify, TestUnitReadyIsRetried59TimesOnTheClockAnd13Becomes138) {
  fakedrive::add_fault({0x00, 0x02, 0x04, 0x01});
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(138, ss_->init());
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(59u, fakedrive::calls_of(0x00).size());
  EXPECT_EQ(1u, fakedrive::transcript().size() - 58);  // nothing else was sent
  EXPECT_EQ(58000u, clock_.slept_ms());
  EXPECT_NE(std::string::npos, err.find("Checking for media ...\n"));
  EXPECT_NE(std::string::npos, err.find("Checking for media ... Please wait.\n"));
  EXPECT_TRUE(fakelog::contains("TEST_UNIT_READY retry over[13]"));
}

TEST_F(Identify, MediumBecomingReadyLetsInitGoOn) {
  fakedrive::Fault f{0x00, 0x02, 0x04, 0x01};  // becoming ready: 13, asked again each second
  f.times = 4;
  fakedrive::add_fault(f);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(0, ss_->init());
  EXPECT_EQ("Checking for media ...\n", ::testing::internal::GetCapturedStderr());
  EXPECT_EQ(5u, fakedrive::calls_of(0x00).size());
  EXPECT_EQ(4000u, clock_.slept_ms());
}

// A drive just powered on answers its first command with unit attention
// 06/29/00, and one whose disc was just changed with 06/28/00: the start-up
// asks again at once and goes on; a drive that keeps answering a unit
// attention fails the start-up after a few tries (06/29/00 with 5; 06/28/00
// is then waited on as not ready, each second).
TEST_F(Identify, APowerOnUnitAttentionIsAskedAgainAtOnce) {
  const struct {
    std::uint8_t asc;
    int times;
    int result;
    std::size_t calls;
    std::uint32_t slept_ms;
  } cases[] = {{0x29, 1, 0, 2, 0}, {0x29, -1, 5, 5, 0}, {0x28, 1, 0, 2, 0}, {0x28, 4, 0, 5, 0}, {0x28, 5, 0, 6, 1000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << int(c.asc) << " " << std::dec << c.times);
    fakedrive::reset();
    const std::uint64_t slept_before = clock_.slept_ms();
    ss_ = std::make_unique<storage_scsi>();
    ss_->set_device_number("sg0");
    fakedrive::Fault f{0x00, 0x06, c.asc, 0x00};
    f.times = c.times;
    fakedrive::add_fault(f);
    EXPECT_EQ(c.result, ss_->init());
    EXPECT_EQ(c.calls, fakedrive::calls_of(0x00).size());
    EXPECT_EQ(c.slept_ms, clock_.slept_ms() - slept_before);
  }
}

TEST_F(Identify, OtherTestUnitReadyFailureIsReturned) {
  fakedrive::add_fault({0x00, 0x03, 0x11, 0x00});
  EXPECT_EQ(5, ss_->init());
  EXPECT_EQ(1u, fakedrive::calls_of(0x00).size());
}

TEST_F(Identify, MediumTypeIsAskedAgainAfterFailuresAndUnknownValues) {
  fakedrive::Fault f{0x5A, 0x02, 0x04, 0x00};
  f.times = 2;
  fakedrive::add_fault(f);
  fakedrive::drive().medium_type = 0xE2;
  ASSERT_EQ(0, ss_->init());
  EXPECT_EQ(0xE2, ss_->medium_type());
  EXPECT_FALSE(ss_->is_write_once());
  EXPECT_EQ(2000u, clock_.slept_ms());

  fakedrive::reset();
  fakedrive::drive().medium_type = 0x77;
  ss_ = std::make_unique<storage_scsi>();
  ss_->set_device_number("sg0");
  ASSERT_EQ(0, ss_->init());
  EXPECT_EQ(0x77, ss_->medium_type());
  int page01 = 0;
  for (const auto& c : fakedrive::calls_of(0x5A))
    if (c.cdb[2] == 0x01 && c.cdb[8] == 0x12 && c.cdb[7] == 0) ++page01;
  EXPECT_GE(page01, 3);
}

TEST_F(Identify, CartridgeWriteProtectClosesTheReasons) {
  fakedrive::drive().cartridge_wp = true;
  fakedrive::drive().medium_wp = true;
  ASSERT_EQ(0, ss_->init());
  EXPECT_TRUE(ss_->cartridge_write_protected());
  EXPECT_TRUE(ss_->medium_write_protected());
  EXPECT_FALSE(ss_->reasons_open());
}

TEST_F(Identify, DriveClockCountsFrom2003) {
  struct Row {
    std::int64_t now;
    int result;
    bool sent;
    std::uint32_t seconds;
  };
  for (Row r : {Row{1041379200, 0, true, 0}, Row{1041379199, 22, false, 0},
                Row{1041379200 + 0x01020304, 0, true, 0x01020304}}) {
    FakeTime t(r.now);
    fakedrive::clear_transcript();
    EXPECT_EQ(r.result, ss_->setCurrentTime());
    const auto sent = fakedrive::calls_of(0xCF);
    ASSERT_EQ(r.sent ? 1u : 0u, sent.size());
    if (r.sent) {
      const auto& d = sent[0].data_out;
      ASSERT_EQ(12u, d.size());
      EXPECT_EQ(r.seconds, (std::uint32_t(d[0]) << 24) | (d[1] << 16) | (d[2] << 8) | d[3]);
    }
  }
  fakedrive::add_fault({0xCF, 0x01, 0x00, 0x00});
  EXPECT_EQ(0, ss_->setTime(5));
  fakedrive::clear_faults();
  fakedrive::add_fault({0xCF, 0x05, 0x24, 0x00});
  EXPECT_EQ(5, ss_->setTime(5));
  EXPECT_TRUE(fakelog::contains("SCSIOP_TIME failed."));
}

TEST_F(Identify, DeviceInformationRecordLayout) {
  fakedrive::drive().product = "QMR-T400B";
  fakedrive::drive().revision = "0123";
  fakedrive::drive().serial = "AB CD\x01" "EF1234567";
  pxo_devinfo_t info{};
  ASSERT_EQ(0, ss_->get_devinfo(reinterpret_cast<char*>(&info)));
  const auto* raw = reinterpret_cast<const std::uint8_t*>(&info);
  EXPECT_EQ(0, std::memcmp(raw, "TARN\0", 5));
  EXPECT_EQ(0, std::memcmp(raw + 9, "QMR-T400B\0", 10));
  EXPECT_EQ(0, std::memcmp(raw + 26, "0123\0", 5));
  EXPECT_STREQ("ABCDEF1234567", reinterpret_cast<const char*>(raw + 31));
  EXPECT_EQ(0, std::memcmp(raw + 48, "UID-0000000001", 14));
  for (int i = 62; i < 80; ++i) EXPECT_EQ(0, raw[i]) << i;

  // Without a disc the identifier stays zero.
  fakedrive::drive().disc_loaded = false;
  ASSERT_EQ(0, ss_->get_devinfo(reinterpret_cast<char*>(&info)));
  for (int i = 48; i < 62; ++i) EXPECT_EQ(0, raw[i]);
  EXPECT_TRUE(fakedrive::calls_of(0x12).size() >= 5u);

  // A failed serial page gives 5.
  fakedrive::add_fault({0x12, 0x05, 0x24, 0x00, 0, -1, 1});
  fakedrive::clear_faults();
  fakedrive::Fault f{0x12, 0x05, 0x24, 0x00};
  f.skip = 1;
  fakedrive::add_fault(f);
  EXPECT_EQ(5, ss_->get_devinfo(reinterpret_cast<char*>(&info)));
}

TEST_F(Identify, ProductSerialIsStoredInTheConfiguration) {
  char serial[17] = {};
  ASSERT_TRUE(ss_->get_product_id(serial));
  EXPECT_STREQ("KSIM00000001", serial);
  int size = 17;
  char stored[17] = {};
  EXPECT_EQ(12, config_get_string(0, "Product Serial Number", &size, stored));
  EXPECT_STREQ("KSIM00000001", stored);
}

TEST_F(Identify, MediumUniqueIdFallsBackWithoutTakingTheCacheLockTwice) {
  // From the cartridge memory.
  fakedrive::fill_good_attributes(0xE1);
  std::uint8_t id[32] = {};
  ASSERT_EQ(0, ss_->getMediumUniqueID(id, 32));
  EXPECT_EQ(0, std::memcmp(id, "MEDIUMSERIAL0001                ", 32));
  EXPECT_EQ(22, ss_->getMediumUniqueID(id, 31));

  // No attribute, no serial cache, a disc loaded: the device information is
  // read while the cache lock is held. This must not hang.
  fakedrive::drive().attributes.clear();
  std::memset(id, 0xAA, sizeof(id));
  ASSERT_EQ(0, ss_->getMediumUniqueID(id, 32));
  EXPECT_EQ(0, std::memcmp(id, "UID-0000000001", 14));
  for (int i = 14; i < 32; ++i) EXPECT_EQ(0, id[i]);

  // Now the serial cache answers without another INQUIRY.
  fakedrive::clear_transcript();
  std::memset(id, 0xAA, sizeof(id));
  ASSERT_EQ(0, ss_->getMediumUniqueID(id, 32));
  EXPECT_EQ(0, std::memcmp(id, "UID-0000000001", 14));
  EXPECT_TRUE(fakedrive::calls_of(0x12).empty());

  // No disc and no cache: zeros.
  storage_scsi fresh;
  fresh.set_device_number("sg0");
  fakedrive::drive().disc_loaded = false;
  std::memset(id, 0xAA, sizeof(id));
  ASSERT_EQ(0, fresh.getMediumUniqueID(id, 32));
  for (int i = 0; i < 32; ++i) EXPECT_EQ(0, id[i]);
}

TEST_F(Identify, MediumUniqueIdFromInquiry) {
  std::uint8_t id[16];
  EXPECT_EQ(22, ss_->getMediumUniqueIdFromINQUIRY(id, 13));
  ASSERT_EQ(0, ss_->getMediumUniqueIdFromINQUIRY(id, 14));
  EXPECT_EQ(0, std::memcmp(id, "UID-0000000001", 14));
  fakedrive::drive().disc_loaded = false;
  std::memset(id, 0xAA, sizeof(id));
  ASSERT_EQ(0, ss_->getMediumUniqueIdFromINQUIRY(id, 16));
  for (int i = 0; i < 16; ++i) EXPECT_EQ(0, id[i]);
}

TEST_F(Identify, SlotInformation) {
  fakedrive::fill_good_attributes(0xE1);
  fakedrive::drive().loaded_slot = 3;
  fakedrive::drive().attributes[0x0D00].value[0] = 3;
  // Stored slots differ: the memory's last written slot is taken.
  pxo_slot_info_t differ{2, 1, 0, 0};
  ASSERT_EQ(0, ss_->set_slot_info(reinterpret_cast<char*>(&differ)));
  pxo_slot_info_t s{};
  ASSERT_EQ(0, ss_->get_slot_info(reinterpret_cast<char*>(&s)));
  EXPECT_EQ(3u, s.current_slot);
  EXPECT_EQ(3u, s.last_written_slot);
  EXPECT_EQ(3u, s.last_written_slot_drive);
  EXPECT_EQ(3u, s.last_written_slot_cm);
  EXPECT_EQ(3, ss_->config_mirror().last_written_slot);

  // Stored current and last written slot agree and the memory says another:
  // the stored one is reported.
  pxo_slot_info_t in{5, 5, 0, 0};
  ASSERT_EQ(0, ss_->set_slot_info(reinterpret_cast<char*>(&in)));
  ASSERT_EQ(0, ss_->get_slot_info(reinterpret_cast<char*>(&s)));
  EXPECT_EQ(5u, s.last_written_slot);
  EXPECT_EQ(3u, s.last_written_slot_cm);

  // No disc: current slot 255.
  fakedrive::drive().disc_loaded = false;
  ASSERT_EQ(0, ss_->get_slot_info(reinterpret_cast<char*>(&s)));
  EXPECT_EQ(255u, s.current_slot);

  // Attribute unreadable: the stored value is reported with the error.
  fakedrive::drive().attributes.clear();
  EXPECT_EQ(5, ss_->get_slot_info(reinterpret_cast<char*>(&s)));
  EXPECT_EQ(5u, s.last_written_slot);
  EXPECT_TRUE(fakelog::contains("ReadAttribute failed. Return lastWrittenSlot is 5"));

  // MECHANISM STATUS failing: the stored current slot.
  fakedrive::add_fault({0xBD, 0x04, 0x00, 0x00});
  EXPECT_EQ(5, ss_->get_slot_info(reinterpret_cast<char*>(&s)));
  EXPECT_EQ(5u, s.current_slot);
}

TEST_F(Identify, MediumTypeFromTheConfigurationOrTheDrive) {
  int w = 0;
  config_set_uint8(0, "sg0", "Medium Type", 0xE5, &w);
  char t = 0;
  ASSERT_EQ(0, ss_->get_medium_type(&t));
  EXPECT_EQ(0xE5, static_cast<std::uint8_t>(t));
  EXPECT_TRUE(fakedrive::calls_of(0x5A).empty());
  config_set_uint8(0, "sg0", "Medium Type", 0x00, &w);
  fakedrive::drive().medium_type = 0xF2;
  ASSERT_EQ(0, ss_->get_medium_type(&t));
  EXPECT_EQ(0xF2, static_cast<std::uint8_t>(t));
  EXPECT_EQ(1u, fakedrive::calls_of(0x5A).size());
  EXPECT_TRUE(fakelog::contains("MediaType unknown(0x0). retry"));
  // The drive's answer was stored.
  EXPECT_EQ(0xF2, read_u8_key("Medium Type"));
  // A failed MODE SENSE reports E0h.
  config_set_uint8(0, "sg0", "Medium Type", 0x00, &w);
  fakedrive::add_fault({0x5A, 0x02, 0x3A, 0x00});
  EXPECT_EQ(5, ss_->get_medium_type(&t));
  EXPECT_EQ(0xE0, static_cast<std::uint8_t>(t));
}

TEST_F(Identify, DeviceNumberAndName) {
  storage_scsi s;
  EXPECT_EQ(-1, s.get_device_number());
  s.set_device_number("sg13");
  EXPECT_EQ(13, s.get_device_number());
  s.set_device_name("/dev/sg13");
  char name[65];
  s.get_device_name(name);
  EXPECT_STREQ("sg13", name);
  s.set_device_name(std::string(100, 'x').c_str());
  s.get_device_name(name);
  EXPECT_EQ(64u, std::strlen(name));
}

TEST_F(Identify, PassThroughServesOnlyItsFourCodes) {
  pxo_passthrough_t p{};
  p.cdb[0] = 0x00;
  EXPECT_EQ(0, ss_->scsi_passthrough(reinterpret_cast<char*>(&p)));
  EXPECT_EQ(1u, fakedrive::calls_of(0x00).size());
  fakedrive::drive().disc_loaded = false;
  EXPECT_EQ(13, ss_->scsi_passthrough(reinterpret_cast<char*>(&p)));
  for (std::uint8_t op : {0x23, 0xA6}) {
    fakedrive::clear_transcript();
    p.cdb[0] = op;
    EXPECT_EQ(0, ss_->scsi_passthrough(reinterpret_cast<char*>(&p)));
    EXPECT_TRUE(fakedrive::transcript().empty());
  }
  p.cdb[0] = 0x28;
  EXPECT_EQ(56, ss_->scsi_passthrough(reinterpret_cast<char*>(&p)));
  EXPECT_EQ(22, ss_->scsi_passthrough(nullptr));
}

// ------------------------------------------------ medium condition

TEST_F(Identify, MediumConditionFollowsTheReadOfBlockZero) {
  struct Row {
    std::uint8_t key, asc, ascq;
    std::uint32_t condition;
    std::uint32_t media_status;
  };
  const Row rows[] = {
      {0, 0, 0, 0, 1},                          // readable
      {5, 0x30, 0x10, 1, 0},                    // unformatted
      {5, 0x30, 0x02, 0x80000001u, 1},          // incompatible medium
      {3, 0x11, 0x00, 0xFFFFFFFFu, 1},          // unreadable
      {2, 0x3A, 0x00, 0xFFFFFFFFu, 1},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.condition);
    fakedrive::reset();
    fakedrive::fill_good_attributes(0xE2);
    fakedrive::drive().medium_type = 0xE2;
    ss_ = std::make_unique<storage_scsi>();
    ss_->set_device_number("sg0");
    ASSERT_EQ(0, ss_->init());
    if (r.key != 0) fakedrive::add_fault({0x28, r.key, r.asc, r.ascq});
    ASSERT_EQ(0, ss_->reset_medium_properties());
    EXPECT_EQ(r.condition, ss_->medium_condition());
    EXPECT_EQ(r.media_status, ss_->config_mirror().media_status);
    EXPECT_EQ(2, ss_->config_mirror().mount.VolumeTypeAndInformationVersion);
    EXPECT_EQ(0u, ss_->config_mirror().mount.MountStatus);
  }
}

TEST_F(Identify, WriteProtectReasonsOfTheStateUpdate) {
  struct Row {
    bool cartridge_wp;
    bool cm_wp;
    std::uint32_t reasons;
  };
  for (Row r : {Row{false, false, 0}, Row{true, false, 0x400}, Row{false, true, 0x2000},
                Row{true, true, 0x2400}}) {
    fakedrive::reset();
    kel::ResetConfigCache();
    fakedrive::fill_good_attributes(0xE1);
    fakedrive::drive().cartridge_wp = r.cartridge_wp;
    fakedrive::drive().attributes[0x0D03].value[0] = r.cm_wp ? 1 : 0;
    ss_ = std::make_unique<storage_scsi>();
    ss_->set_device_number("sg0");
    ASSERT_EQ(0, ss_->init());
    ASSERT_EQ(0, ss_->reset_medium_properties());
    EXPECT_EQ(r.reasons, ss_->config_mirror().mount.WriteProtectReasonFlags)
        << r.cartridge_wp << r.cm_wp;
  }
}

TEST_F(Identify, RewritableMediumReadsLayerAddressesAndDds) {
  fakedrive::drive().medium_type = 0xE2;
  fakedrive::fill_good_attributes(0xE2);
  std::vector<std::uint8_t> di(224, 0);
  di[0] = 'D';
  di[1] = 'I';
  di[4] = 2;
  di[16] = 0x00; di[17] = 0x02; di[18] = 0x00; di[19] = 0x00;
  di[20] = 0x00; di[21] = 0x18; di[22] = 0x00; di[23] = 0x00;
  fakedrive::drive().di = di;
  fakedrive::drive().dds.assign(104, 0);
  fakedrive::drive().dds[36] = 0x01;
  ASSERT_EQ(0, ss_->init());
  ASSERT_EQ(0, ss_->reset_medium_properties());
  EXPECT_EQ(0x20000u, ss_->faa(0));
  EXPECT_EQ(0x180000u, ss_->laa(0));
  EXPECT_EQ(0x26B180u, ss_->faa(1));  // unit 1 absent
  EXPECT_EQ(0u, ss_->dds_error_state());
  EXPECT_EQ(0u, ss_->di_error_state());

  // Unformatted: DDS answers 05/30/10; not an error of the refresh.
  fakedrive::drive().dds.clear();
  ss_ = std::make_unique<storage_scsi>();
  ss_->set_device_number("sg0");
  ASSERT_EQ(0, ss_->init());
  ASSERT_EQ(0, ss_->reset_medium_properties());
  EXPECT_EQ(0x10000000u, ss_->dds_error_state());
  EXPECT_TRUE(fakelog::contains("Defect Unformatted Media."));

  // E6h uses fixed addresses and reads no DI.
  fakedrive::reset();
  fakedrive::drive().medium_type = 0xE6;
  fakedrive::drive().dds.assign(104, 0);
  ss_ = std::make_unique<storage_scsi>();
  ss_->set_device_number("sg0");
  ASSERT_EQ(0, ss_->init());
  ASSERT_EQ(0, ss_->reset_medium_properties());
  EXPECT_EQ(0x820000u, ss_->faa(2));
  EXPECT_EQ(0xA1137Eu, ss_->laa(2));
  for (const auto& c : fakedrive::calls_of(0xAD)) EXPECT_NE(0x00, c.cdb[7]);
}

TEST_F(Identify, DiReadIsRetriedThreeTimesOnTheClock) {
  fakedrive::drive().medium_type = 0xE4;
  fakedrive::drive().dds.assign(104, 0);
  ASSERT_EQ(0, ss_->init());
  fakedrive::Fault f{0xAD, 0x03, 0x02, 0x00};
  fakedrive::add_fault(f);
  const auto before = clock_.slept_ms();
  EXPECT_EQ(5, ss_->reset_medium_properties());
  EXPECT_EQ(3u, fakedrive::calls_of(0xAD).size());
  EXPECT_EQ(2000u, clock_.slept_ms() - before);
  EXPECT_EQ(5u, ss_->di_error_state());
}

TEST_F(Identify, VerdictsOfTheMediumCondition) {
  struct Row {
    std::uint32_t condition;
    bool rec_inhibit;
    std::uint32_t status, reasons, access;
    int result;
  };
  const Row rows[] = {
      {0, false, 0, 0, 0, 0},
      {1, false, 0x80000010u, 0, 2, 0},
      {0x80000000u, false, 0x80000020u, 0x100, 2, 25},
      {0x80000001u, false, 0x80000030u, 0x80000, 2, 25},
      {0xFFFFFFFFu, false, 0x80000001u, 0x80000, 2, 25},
      {7, false, 0, 0, 0, 0},
      {0, true, 0, 0x40000, 0, 30},
      {1, true, 0x80000010u, 0x40000, 2, 30},
      {0x80000000u, true, 0x80000020u, 0x40100, 2, 30},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.condition);
    ss_ = std::make_unique<storage_scsi>();
    ss_->set_device_number("sg0");
    kel::ResetConfigCache();
    auto& cfg = ss_->config_mirror_for_update();
    cfg.medium_condition = r.condition;
    cfg.rec_inhibit = r.rec_inhibit ? 1 : 0;
    EXPECT_EQ(r.result, ss_->util_check_medium_condition());
    EXPECT_EQ(r.status, ss_->config_mirror().mount.MountStatus);
    EXPECT_EQ(r.reasons, ss_->config_mirror().mount.WriteProtectReasonFlags);
    EXPECT_EQ(r.access, ss_->config_mirror().mount.AccessMode);
    if (r.result != 0) {
      EXPECT_EQ(r.status, read_u32_key("Mount Status"));
      EXPECT_EQ(r.reasons, read_u32_key("Write Protect Reason"));
    }
  }
}

TEST_F(Identify, AccessLedTimerBlinksOnlyAfterTwoIdleSeconds) {
  FakeTime t(1700000000);
  // A fresh access: the timer stays quiet while the time does not move.
  pxo_reserve_write_t rec{0, 32};
  ASSERT_EQ(0, ss_->reserve_write_range(reinterpret_cast<char*>(&rec)));
  ss_->set_timer_state(1);
  ss_->start_access_led_timer();
  while (clock_.now_ms() < 1000000 + 5000) std::this_thread::yield();  // several wake-ups
  EXPECT_TRUE(fakedrive::calls_of(0x4A).empty());
  g_fake_seconds += 3;
  while (fakedrive::calls_of(0x4A).empty()) std::this_thread::yield();
  ss_->set_timer_state(2);
  ss_.reset();  // joins the timer
  EXPECT_TRUE(fakelog::contains("terminate timer thread"));
}

TEST_F(Identify, RawPassThroughReadsIntoTheCallersBuffer) {
  std::uint8_t data[36] = {};
  pxo_passthrough_t p{};
  p.cdb[0] = 0x12;
  p.cdb[4] = 36;
  p.cdb_len = 6;
  p.data = data;
  p.transfer_len = 36;
  ASSERT_EQ(0, ss_->scsi_passthrough_ioctl(reinterpret_cast<char*>(&p)));
  EXPECT_EQ(0, std::memcmp(data + 8, "TARN    ", 8));
  const auto sent = fakedrive::transcript();
  ASSERT_EQ(1u, sent.size());
  EXPECT_EQ(6u, sent[0].cdb.size());
  EXPECT_EQ(-3, sent[0].direction);
  fakedrive::add_fault({0x12, 0x01, 0x00, 0x00});
  EXPECT_EQ(5, ss_->scsi_passthrough_ioctl(reinterpret_cast<char*>(&p)));
  EXPECT_TRUE(fakelog::contains("SCSI_CMD_PASSTHROUGH(12):failed. err(5)"));
  EXPECT_EQ(22, ss_->scsi_passthrough_ioctl(nullptr));
}
