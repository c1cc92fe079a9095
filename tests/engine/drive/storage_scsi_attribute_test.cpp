// Cartridge-memory attributes: both command forms, lists, truncation, the
// 1500h volume information and the cartridge checks.
#include "drive_fixture.h"

#include <cstring>
#include <functional>
#include <optional>

namespace {

void seal(std::vector<std::uint8_t>& v) {
  const std::uint16_t crc = calculate_crc(v.data(), 126);
  v[126] = static_cast<std::uint8_t>(crc >> 8);
  v[127] = static_cast<std::uint8_t>(crc);
}
std::uint8_t stored_state() {
  int size = 1;
  std::uint8_t v = 0xEE;
  EXPECT_EQ(1, config_get_uint8(0, "1500H_FAILREAD_OR_CRC", &size, &v));
  return v;
}

}  // namespace

class Attributes : public DriveTest {
 protected:
  void SetUp() override {
    DriveTest::SetUp();
    fakedrive::fill_good_attributes(0xE1);
  }
};

TEST_F(Attributes, CrcIsXmodem) {
  const std::uint8_t abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(0x9DD6, calculate_crc(abc, 3));
  EXPECT_EQ(0, calculate_crc(abc, 0));
  const std::uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(0x31C3, calculate_crc(check, 9));
  EXPECT_EQ(0, calculate_crc(nullptr, 3));
  EXPECT_EQ(0, calculate_crc(abc, -1));
}

TEST_F(Attributes, ReadsSeveralAttributesAsOneList) {
  fakedrive::drive().attributes[0x0D00].value = {4, 0, 0, 0};
  fakedrive::drive().attributes[0x0D02].value = {1, 2, 3, 4};
  std::uint8_t ans[28] = {};
  ASSERT_EQ(0, ss_->get_read_attribute(0x0D00, ans, sizeof(ans)));
  EXPECT_EQ(0x0D, ans[4]);
  EXPECT_EQ(0x00, ans[5]);
  EXPECT_EQ(4, ans[9]);           // 0D00h value byte 0
  EXPECT_EQ(0x0D, ans[13]);       // 0D01h header
  EXPECT_EQ(0x01, ans[14]);
  EXPECT_EQ(0x02, ans[23]);       // 0D02h header
  EXPECT_EQ(1, ans[27]);          // its first value byte, the last that fits
}

TEST_F(Attributes, TruncatedAnswerStaysWithinTheAllocation) {
  std::uint8_t ans[40];
  std::memset(ans, 0xCC, sizeof(ans));
  ASSERT_EQ(0, ss_->get_read_attribute(0x0D00, ans, 12));
  EXPECT_EQ(0, ans[9]);
  for (int i = 12; i < 40; ++i) EXPECT_EQ(0xCC, ans[i]) << i;
  const auto c = fakedrive::calls_of(0x8C);
  ASSERT_EQ(1u, c.size());
  EXPECT_EQ(12u, c[0].transfer_len);
}

TEST_F(Attributes, AbsentAttributeFails) {
  std::uint8_t ans[16];
  EXPECT_EQ(5, ss_->get_read_attribute(0x0999, ans, sizeof(ans)));
  EXPECT_TRUE(fakelog::contains("READ ATTRIBUTE failed."));
  EXPECT_EQ(22, ss_->get_read_attribute(0x0D00, nullptr, 12));
  pxo_attribute_request_t rec{0x0D00, 12, 0, nullptr};
  EXPECT_EQ(22, ss_->pxo_read_attribute_scsi(reinterpret_cast<char*>(&rec)));
  EXPECT_TRUE(fakelog::contains("Invalid parameter. attr->buffer="));
}

TEST_F(Attributes, VendorFormsOnTheT400Models) {
  for (const char* p : {"QMR-T400A", "QMR-T400B", "QMR-T300A", "PXO-U2"}) {
    SCOPED_TRACE(p);
    fakedrive::drive().product = p;
    identify();
    std::uint8_t ans[12];
    ASSERT_EQ(0, ss_->get_read_attribute(0x0D03, ans, sizeof(ans)));
    char list[12] = {0, 0, 0, 8, 0x0D, 0x03, 0, 0, 1, 1, 0, 0};
    ASSERT_EQ(0, ss_->pxo_write_attribute(list));
    const bool vendor = std::string(p).rfind("QMR-T400", 0) == 0;
    const auto sent = fakedrive::transcript();
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ(vendor ? 0xDA : 0x8C, sent[0].cdb[0]);
    EXPECT_EQ(vendor ? 12u : 16u, sent[0].cdb.size());
    EXPECT_EQ(vendor ? 0xDB : 0x8D, sent[1].cdb[0]);
    EXPECT_EQ(vendor ? 12u : 16u, sent[1].cdb.size());
    EXPECT_EQ(1, fakedrive::drive().attributes[0x0D03].value[0]);
    fakedrive::drive().attributes[0x0D03].value[0] = 0;
  }
}

TEST_F(Attributes, WriteIsSkippedOnAWriteProtectedMediumUnlessForced) {
  fakedrive::drive().medium_wp = true;
  ASSERT_EQ(0, ss_->init());
  ASSERT_TRUE(ss_->medium_write_protected());
  fakedrive::clear_transcript();
  char list[12] = {0, 0, 0, 8, 0x0D, 0x03, 0, 0, 1, 1, 0, 0};
  EXPECT_EQ(0, ss_->pxo_write_attribute(list));
  EXPECT_TRUE(fakedrive::transcript().empty());
  EXPECT_TRUE(fakelog::contains("pxo_write_attribute do nothing. m_MediumIsWriteProtected=1!"));
  ss_->set_force_write_attribute(true);
  EXPECT_EQ(0, ss_->pxo_write_attribute(list));
  EXPECT_EQ(1u, fakedrive::calls_of(0x8D).size());
}

TEST_F(Attributes, MediaProtectWritesAttribute0D03h) {
  char on = 1;
  ASSERT_EQ(0, ss_->media_protect(&on));
  const auto w = fakedrive::calls_of(0x8D);
  ASSERT_EQ(1u, w.size());
  EXPECT_EQ(bytes({0, 0, 0, 8, 0x0D, 0x03, 0, 0, 1, 1, 0, 0}), w[0].data_out);
  Boolean protect = false;
  ASSERT_EQ(0, ss_->isCMWriteProtect(&protect));
  EXPECT_TRUE(protect);
  EXPECT_TRUE(fakelog::contains("CM Write Protect On"));
  fakedrive::drive().attributes.erase(0x0D03);
  EXPECT_EQ(5, ss_->isCMWriteProtect(&protect));
  EXPECT_FALSE(protect);
}

TEST_F(Attributes, StatesOf1500h) {
  struct Row {
    const char* name;
    std::optional<std::vector<std::uint8_t>> value;
    std::uint8_t state;
    int result;  // -1: the read's error, whatever it is
    bool out;    // readable, but a format this system does not support
    std::uint8_t volume_type;  // FFh: not decided
  };
  auto v2 = value_1500h(0, true, 2);
  auto mac = value_1500h(0, true, 2);
  mac[32] = 3;
  mac[33] = 1;
  mac[37] = 16;
  mac[38] = 16;
  mac[39] = 31;
  seal(mac);
  auto other_id = value_1500h(0);
  other_id[12] = 'X';
  seal(other_id);
  const std::vector<Row> rows = {
      {"missing", std::nullopt, 1, -1, false, 0xFF},
      {"bad CRC", value_1500h(1, false), 2, 0, false, 0xFF},
      {"good, type 0", value_1500h(0), 5, 0, false, 0},
      {"good, type 1", value_1500h(1), 5, 0, false, 1},
      {"good CRC, version 2", v2, 4, 5, true, 0xFF},
      {"good CRC, another identifier", other_id, 4, 5, true, 0xFF},
      {"earlier format still mounts", mac, 1, 0, false, 0xFF},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    kel::ResetConfigCache();
    fakedrive::drive().attributes.erase(0x1500);
    if (r.value) fakedrive::drive().attributes[0x1500] = {0, *r.value};
    ss_ = std::make_unique<storage_scsi>();
    ss_->set_device_number("sg0");
    pxo_1500h_cm_record_t dst{};
    Boolean out = !r.out;
    const errno_t res = ss_->isCorrespondFormat(&dst, &out);
    if (r.result < 0) {
      EXPECT_NE(0, res);  // the read's own error
    } else {
      EXPECT_EQ(r.result, res);
    }
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.state, ss_->fail_state_1500h());
    EXPECT_EQ(r.state, stored_state());
    if (r.volume_type != 0xFF) {
      EXPECT_EQ(r.volume_type, ss_->get_volume_type_config(nullptr));
    }
    char reported = 0;
    ASSERT_EQ(0, ss_->report_1500H_CRC_result(&reported));
    EXPECT_EQ(r.state, static_cast<std::uint8_t>(reported));
    if (r.value) {
      EXPECT_EQ(0x15, dst.header[0]);  // attribute header first
      EXPECT_EQ(128, dst.header[4]);
      EXPECT_EQ(0, std::memcmp(&dst.value, r.value->data(), 128));
    }
  }
}

TEST_F(Attributes, CrcCheckAfterARead) {
  fakedrive::drive().attributes[0x1500] = {0, value_1500h(1)};
  std::uint8_t ans[140] = {};
  pxo_attribute_request_t rec{0x1500, 140, 0, ans};
  EXPECT_EQ(0, ss_->pxo_read_attribute(reinterpret_cast<char*>(&rec)));
  EXPECT_EQ(5, ss_->fail_state_1500h());
  EXPECT_EQ(1, ss_->volume_type_1500h());

  fakedrive::drive().attributes[0x1500] = {0, value_1500h(0, true, 2)};
  EXPECT_EQ(5, ss_->pxo_read_attribute(reinterpret_cast<char*>(&rec)));
  EXPECT_EQ(4, ss_->fail_state_1500h());
  EXPECT_TRUE(fakelog::contains("Attribute[1500h:VENDOR UNUQUE VOLUME INFORMATION] is invalid."));

  // Bad CRC: the volume type still follows the identifier; the mount goes on.
  fakedrive::drive().attributes[0x1500] = {0, value_1500h(0, false)};
  EXPECT_EQ(0, ss_->pxo_read_attribute(reinterpret_cast<char*>(&rec)));
  EXPECT_EQ(2, ss_->fail_state_1500h());
  EXPECT_EQ(0, ss_->volume_type_1500h());

  // A failed read reported to the check: state 1.
  EXPECT_EQ(0, ss_->check_1500H_CRC_result(reinterpret_cast<char*>(&rec), 5));
  EXPECT_EQ(1, ss_->fail_state_1500h());
}

TEST_F(Attributes, CartridgeOfThisSystem) {
  struct Row {
    const char* name;
    std::uint8_t medium;
    std::function<void(fakedrive::Drive&)> spoil;
    int result;
    bool unreadable;
    bool slotread;
  };
  const std::vector<Row> rows = {
      {"write-once", 0xE1, [](fakedrive::Drive&) {}, 0, false, true},
      {"two-disc class", 0xF1, [](fakedrive::Drive&) {}, 0, false, true},
      {"rewritable", 0xE2, [](fakedrive::Drive&) {}, 0, false, true},
      {"medium type bit set", 0xE1, [](fakedrive::Drive& d) { d.attributes[0x0408].value[0] = 0x01; }, 5, false, false},
      {"medium type information set", 0xE1, [](fakedrive::Drive& d) { d.attributes[0x0409].value[1] = 0x01; }, 5, false, false},
      {"bit 7 of 0408h is allowed", 0xE1, [](fakedrive::Drive& d) { d.attributes[0x0408].value[0] = 0x80; }, 0, false, true},
      {"slot 12", 0xE1, [](fakedrive::Drive& d) { d.attributes[0x0D00].value[0] = 12; }, 5, false, true},
      {"slot 11", 0xE1, [](fakedrive::Drive& d) { d.attributes[0x0D00].value[0] = 11; }, 0, false, true},
      {"cartridge type", 0xE1, [](fakedrive::Drive& d) { d.attributes[0x1100].value[0] = 2; }, 5, false, true},
      {"packaging policy", 0xE1, [](fakedrive::Drive& d) { d.attributes[0x1101].value[0] = 0; }, 5, false, true},
      {"number of discs", 0xF2, [](fakedrive::Drive& d) { d.attributes[0x1102].value[0] = 12; }, 5, false, true},
      {"0408h unreadable", 0xE1, [](fakedrive::Drive& d) { d.attributes.erase(0x0408); d.attributes.erase(0x0409); }, 5, true, true},
      {"1100h unreadable", 0xE1, [](fakedrive::Drive& d) { d.attributes.erase(0x1100); }, 5, true, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    fakedrive::reset();
    kel::ResetConfigCache();
    fakedrive::drive().medium_type = r.medium;
    fakedrive::fill_good_attributes(r.medium);
    r.spoil(fakedrive::drive());
    ss_ = std::make_unique<storage_scsi>();
    ss_->set_device_number("sg0");
    Boolean unreadable = !r.unreadable, slotread = false;
    UInt8 type = 0xAA;
    UInt16 typeinfo = 0xAAAA;
    EXPECT_EQ(r.result, ss_->isCorrespondMedia(&unreadable, &type, &typeinfo, &slotread));
    EXPECT_EQ(r.unreadable, unreadable);
    EXPECT_EQ(r.slotread, slotread);
  }
}
