// Cartridge-memory record, descriptor checksums, serial-number checks and
// the initial-volume sections of the media services, without a drive or with
// the recording drive.
#include "drive_fixture.h"

#include "drive/scsi_service_re.h"
#include "drive/scsi_service_wo.h"
#include "drive/scsi_service.h"
#include "udf/udf_records.h"
#include "udf/udf_regid.h"
#include "udf/udf_tag.h"

#include "../../../engine/drive/src/cm_data_internal.h"

#include <cstring>
#include <vector>

namespace {

std::uint16_t be16v(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
std::uint32_t be32v(const std::uint8_t* p) { return p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

timestamp format_time() {
  timestamp t{};
  t.type_tz = 0x1000;
  t.year = 2026;
  t.month = 12;
  t.day = 9;
  t.hour = 10;
  t.minute = 20;
  t.second = 30;
  return t;
}

TEST(MediaChecksums, CrcAndSums) {
  std::uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(0x31C3, scsi_service_cm::calculate_crc(digits, 9));
  EXPECT_EQ(0, scsi_service_cm::calculate_crc(digits, 0));
  EXPECT_EQ(0, scsi_service_cm::calculate_crc(nullptr, 4));
  EXPECT_EQ(0, scsi_service_cm::calculate_crc(digits, -1));
  std::uint8_t ff[16];
  std::memset(ff, 0xFF, sizeof(ff));
  EXPECT_EQ(0xF0, scsi_service_cm::calculate_checksum(ff, 16));
  EXPECT_EQ(0x0FF0, scsi_service_cm::calculate_checksum_ex(ff, 16));
  EXPECT_EQ(0, scsi_service_cm::calculate_checksum_ex(ff, -2));
}

TEST(MediaChecksums, DescriptorTagIsAcceptedByTheUdfChecks) {
  std::uint8_t d[512] = {};
  auto* t = reinterpret_cast<desc_tag*>(d);
  t->id = TAG_ID_AVDP;
  t->descriptor_ver = 3;
  t->tag_loc = 256;
  d[20] = 0x55;
  scsi_service_cm::CalcDescriptorCRCAndChecksum(d, 512);
  EXPECT_EQ(496, t->desc_crc_len);
  EXPECT_EQ(1, mdcudfsr_check_udf_tag_checksum(d));
  EXPECT_EQ(1, mdcudfsr_check_udf_tag_crc(d, 512));
}

TEST(MediaSerial, CheckOfTheMediumSerialNumber) {
  struct Row {
    const char* text;
    errno_t want;
  } rows[] = {
      {"                                ", 0}, {"ABC-123", 0},  {".ABC", 1},  {"", 2},      {"AB\x01", 3},
      {"A:B", 4},  {"A\"B", 4}, {"A*B", 4},   {"A/B", 4},  {"A<B", 4}, {"A>B", 4}, {"A?B", 4},
      {"A\\B", 4}, {"A|B", 4},  {"A\x7F", 4}, {"\xC3\xA9t\xC3\xA9", 0},
  };
  for (const Row& r : rows) {
    char buf[32] = {};
    std::memcpy(buf, r.text, std::min<std::size_t>(32, std::strlen(r.text)));
    EXPECT_EQ(r.want, scsi_service_cm::checkMediumSerialNumStr(buf, 32)) << r.text;
  }
  EXPECT_EQ(22, scsi_service_cm::checkMediumSerialNumStr(nullptr, 32));
  // A full 32-character serial has no terminating NUL and is still checked safely.
  char full[32];
  std::memset(full, 'Z', sizeof(full));
  EXPECT_EQ(0, scsi_service_cm::checkMediumSerialNumStr(full, 32));
}

TEST(MediaBuffers, AllocFree) {
  char* p = nullptr;
  EXPECT_EQ(22, scsi_service_cm::mem_alloc_free(nullptr, 8));
  ASSERT_EQ(0, scsi_service_cm::mem_alloc_free(&p, 44));
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(std::vector<char>(44, 0), std::vector<char>(p, p + 44));
  ASSERT_EQ(0, scsi_service_cm::mem_alloc_free(&p, 0));
  EXPECT_EQ(nullptr, p);
}

TEST(MediaCmRecord, DefaultsInHostOrder) {
  scsi_service_wo wo;
  pxo_attribute_data_t r;
  std::memset(&r, 0xAA, sizeof(r));
  ASSERT_EQ(0, wo.initializeCMData(&r, format_time()));
  EXPECT_EQ(468u, r.length);
  const auto* b = reinterpret_cast<const std::uint8_t*>(&r);
  for (int i = 0; i < cm_attr::kCount; ++i) {
    const std::uint8_t* h = b + cm_attr::kOffsets[i];
    EXPECT_EQ(cm_attr::kIds[i], media::get_le16(h));
    EXPECT_EQ(cm_attr::kFormats[i], h[2]);
    EXPECT_EQ(cm_attr::kLengths[i], media::get_le16(h + 3));
  }
  EXPECT_EQ(0, std::memcmp(b + 9, "TARN    ", 8));
  EXPECT_EQ(0, std::memcmp(b + 22, "Velmaro Software                ", 32));
  EXPECT_EQ(0, std::memcmp(b + 59, "1.0.0   ", 8));
  EXPECT_EQ(0x80, b[254]);
  const std::uint8_t* v = b + cm_attr::k1500Value;
  EXPECT_EQ(0, std::memcmp(v, "KEL", 3));
  EXPECT_EQ(1, v[3]);
  EXPECT_EQ(120, v[7]);
  regid want{};
  const char ctx[2] = {0, 1};
  make_reg_id(ctx, &want, REGKIND_IMPLEMENTATION, 9);
  EXPECT_EQ(0, std::memcmp(v + 8, &want, 32));
  EXPECT_EQ(media::packed_time(2026, 12, 9, 10, 20, 30), media::get_le32(v + 52));
  // Bits 25-31 year - 1980, 21-24 month, 16-20 day, 11-15 hour, 5-10 minute, 0-4 second / 2.
  EXPECT_EQ((46u << 25) | (12u << 21) | (9u << 16) | (10u << 11) | (20u << 5) | 15u, media::get_le32(v + 52));
  for (std::uint32_t i = 469; i < 472; ++i) EXPECT_EQ(0, b[i]);
  EXPECT_EQ(22, wo.initializeCMData(nullptr, format_time()));
}

TEST(MediaCmRecord, ByteOrderRoundTripAndWireLayout) {
  scsi_service_re re;
  pxo_attribute_data_t host{};
  ASSERT_EQ(0, re.initializeCMData(&host, format_time()));
  auto* hv = reinterpret_cast<std::uint8_t*>(&host) + cm_attr::k1500Value;
  media::put_le16(hv + 42, 0x0102);
  media::put_le64(hv + 44, 0x1122334455667788ull);
  media::put_le32(hv + 60, 0xA0B0C0D0);
  media::put_le32(hv + 68 + 4 * 13, 0x01020304);
  auto* hb = reinterpret_cast<std::uint8_t*>(&host);
  media::put_le64(hb + cm_attr::kOffsets[8] + 5, 0x0807060504030201ull);
  media::put_le32(hb + cm_attr::kOffsets[11] + 5, 0xCAFEBABE);
  hb[cm_attr::kOffsets[3] + 5] = 'A';  // UTF-16 unit of the text label
  pxo_attribute_data_t wire = host;
  ASSERT_EQ(0, scsi_service_cm::convEndianForCMData(&wire));
  const auto* w = reinterpret_cast<const std::uint8_t*>(&wire);
  EXPECT_EQ(468u, be32v(w));
  for (int i = 0; i < cm_attr::kCount; ++i) {
    EXPECT_EQ(cm_attr::kIds[i], be16v(w + cm_attr::kOffsets[i]));
    EXPECT_EQ(cm_attr::kLengths[i], be16v(w + cm_attr::kOffsets[i] + 3));
  }
  const std::uint8_t* wv = w + cm_attr::k1500Value;
  EXPECT_EQ(0x0102, be16v(wv + 42));
  EXPECT_EQ(0x1122334455667788ull, media::get_be64(wv + 44));
  EXPECT_EQ(0xA0B0C0D0u, be32v(wv + 60));
  EXPECT_EQ(0x01020304u, be32v(wv + 68 + 4 * 13));
  EXPECT_EQ(0x0807060504030201ull, media::get_be64(w + cm_attr::kOffsets[8] + 5));
  EXPECT_EQ(0xCAFEBABEu, be32v(w + cm_attr::kOffsets[11] + 5));
  EXPECT_EQ('A', w[cm_attr::kOffsets[3] + 6]);
  // Text attributes other than the label stay as they are.
  EXPECT_EQ(0, std::memcmp(w + 9, "TARN", 4));
  ASSERT_EQ(0, scsi_service_cm::convEndianForCMData(&wire));
  EXPECT_EQ(0, std::memcmp(&host, &wire, sizeof(host)));
}

TEST(MediaCmRecord, UnknownHeaderIsOnlySwapped) {
  pxo_attribute_data_t r{};
  r.length = 0;
  r.data[0] = 0x12;
  r.data[1] = 0x34;
  ASSERT_EQ(0, scsi_service_cm::convEndianForCMData(&r));
  EXPECT_EQ(0u, r.length);
  EXPECT_EQ(0x12, r.data[0]);
  r.length = 7;
  ASSERT_EQ(0, scsi_service_cm::convEndianForCMData(&r));
  EXPECT_EQ(0x07000000u, r.length);
  EXPECT_EQ(22, scsi_service_cm::convEndianForCMData(nullptr));
}

TEST(MediaCmRecord, AttributeListOfASelection) {
  const UInt32 sizes[12] = {13, 37, 13, 165, 17, 6, 37, 133, 13, 13, 9, 9};
  for (int i = 0; i < 12; ++i) EXPECT_EQ(sizes[i], scsi_service_cm::calcAttrListDataSize(1u << i));
  EXPECT_EQ(468u - 3u, scsi_service_cm::calcAttrListDataSize(0xFFF));
  scsi_service_wo wo;
  pxo_attribute_data_t r{};
  ASSERT_EQ(0, wo.initializeCMData(&r, format_time()));
  ASSERT_EQ(0, scsi_service_cm::convEndianForCMData(&r));
  const UInt32 mask = 0x001 | 0x080;
  const UInt32 size = (scsi_service_cm::calcAttrListDataSize(mask) + 3) / 4 * 4 + 4;
  std::vector<UInt8> list(size + 8, 0xEE);
  scsi_service_cm::makeAttrListDataForCMWA(mask, list.data(), size, &r);
  EXPECT_EQ(size - 4, be32v(list.data()));
  const auto* b = reinterpret_cast<const std::uint8_t*>(&r);
  EXPECT_EQ(0, std::memcmp(list.data() + 4, b + 4, 13));
  EXPECT_EQ(0, std::memcmp(list.data() + 17, b + 292, 133));
  EXPECT_EQ(0xEE, list[size]);  // nothing written past the list
  // The cache takes the header and the selected attributes only.
  pxo_attribute_data_t cache{};
  scsi_service_cm::updateCMCacheData(0x080, &r, &cache);
  EXPECT_EQ(r.length, cache.length);
  const auto* c = reinterpret_cast<const std::uint8_t*>(&cache);
  EXPECT_EQ(0, std::memcmp(c + 292, b + 292, 133));
  EXPECT_EQ(0, c[4]);
}

class MediaCmDrive : public DriveTest {};

TEST_F(MediaCmDrive, StrideWriteRepairsThe1500hHeaderAndItsCrc) {
  identify();
  scsi_service_wo wo;
  pxo_attribute_data_t cache{};
  std::uint8_t stamp[8] = {};
  wo.init(ss_.get(), 0, 1, stamp, &cache);
  ASSERT_EQ(0, wo.initializeCMData(&cache, format_time()));
  ASSERT_EQ(0, scsi_service_cm::convEndianForCMData(&cache));
  cm_set_1500h_crc_wire(&cache);
  // A correct header: nothing is sent.
  EXPECT_EQ(0, wo.writeAttributeFromStride(format_time()));
  EXPECT_TRUE(fakedrive::calls_of(0x8D).empty());
  // A damaged header is repaired, and the CRC follows the repaired value.
  auto* v = reinterpret_cast<std::uint8_t*>(&cache) + cm_attr::k1500Value;
  v[3] = 7;
  v[7] = 0;
  EXPECT_EQ(0, wo.writeAttributeFromStride(format_time()));
  const auto calls = fakedrive::calls_of(0x8D);
  ASSERT_EQ(1u, calls.size());
  const auto& out = calls[0].data_out;
  ASSERT_EQ(4u + 136u, out.size());
  EXPECT_EQ(136u, be32v(out.data()));
  EXPECT_EQ(0x1500, be16v(out.data() + 4));
  const std::uint8_t* sent = out.data() + 9;
  EXPECT_EQ(1, sent[3]);
  EXPECT_EQ(120, sent[7]);
  EXPECT_EQ(scsi_service_cm::calculate_crc(const_cast<std::uint8_t*>(sent), 126), be16v(sent + 126));
  EXPECT_EQ(0, std::memcmp(v, sent, 128));  // the cache follows what was written
  const auto& a = fakedrive::drive().attributes[0x1500].value;
  ASSERT_EQ(128u, a.size());
}

TEST_F(MediaCmDrive, StrideWriteWithoutCacheOrStorage) {
  scsi_service_wo wo;
  EXPECT_EQ(0, wo.writeAttributeFromStride(format_time()));
  pxo_attribute_data_t cache{};
  std::uint8_t stamp[8] = {};
  wo.init(nullptr, 0, 1, stamp, &cache);  // refused: nothing stored
  EXPECT_EQ(0, wo.writeAttributeFromStride(format_time()));
  EXPECT_TRUE(fakelog::contains("Invalid parameter. pscsi="));
}

TEST_F(MediaCmDrive, MediumSerialNumberFromTheMemberOrAttribute0401h) {
  identify();
  fakedrive::drive().attributes[0x0401] = {1, std::vector<std::uint8_t>(32, 'Q')};
  scsi_service_wo wo;
  pxo_attribute_data_t cache{};
  std::uint8_t stamp[8] = {};
  wo.init(ss_.get(), 0, 1, stamp, &cache);
  UInt8 out[32] = {};
  ASSERT_EQ(0, wo.getMediumSerialNum(out));
  EXPECT_EQ(std::vector<UInt8>(32, 'Q'), std::vector<UInt8>(out, out + 32));
  fakedrive::drive().attributes.erase(0x0401);
  EXPECT_NE(0, wo.getMediumSerialNum(out));
  EXPECT_TRUE(fakelog::contains("fail ReadAttribute[0401h:MEDIUM SERIAL NUMBER]"));
}

TEST_F(MediaCmDrive, AutoFormattedFlagRecords) {
  scsi_service_wo wo;
  wo.set_AutoFormatted_flag(true);
  pxo_auto_formatted_info_t r{0, 0, 0};
  ASSERT_EQ(0, wo.get_AutoFormatted_flag(reinterpret_cast<caddr_t>(&r)));
  EXPECT_EQ(1u, r.auto_formatted);
  EXPECT_TRUE(wo.get_AutoFormatted_flag());
  r.clear_request = 1;
  ASSERT_EQ(0, wo.get_AutoFormatted_flag(reinterpret_cast<caddr_t>(&r)));
  EXPECT_EQ(1u, r.auto_formatted);
  EXPECT_FALSE(wo.get_AutoFormatted_flag());
  EXPECT_EQ(22, wo.get_AutoFormatted_flag(nullptr));
  scsi_service_re re;
  re.set_AutoFormatted_flag(true);
  r = {0, 0, 1};
  ASSERT_EQ(0, re.get_AutoFormatted_flag(reinterpret_cast<caddr_t>(&r)));
  EXPECT_EQ(1u, r.auto_formatted);
  EXPECT_FALSE(re.get_AutoFormatted_flag());
}

TEST_F(MediaCmDrive, FormatUnitLeavingAnotherTrackCountIsAFailure) {
  identify();
  // READ DISC INFORMATION: a blank disc first, then an incomplete disc whose
  // last session ends with track 3.
  int reads = 0;
  fakedrive::drive().hook = [&](const fakedrive::Call& c, std::vector<std::uint8_t>* in) {
    if (c.cdb[0] != 0x51) return false;
    in->assign(34, 0);
    (*in)[1] = 32;
    (*in)[2] = reads == 0 ? 0 : 1;
    (*in)[6] = reads == 0 ? 1 : 3;
    ++reads;
    return true;
  };
  scsi_service_wo wo;
  pxo_attribute_data_t cache{};
  std::uint8_t stamp[8] = {};
  wo.init(ss_.get(), 0, 0xFFFF, stamp, &cache);
  std::uint32_t steps = 0;
  Boolean msn = 0;
  EXPECT_EQ(5, wo.auto_format(&steps, false, &msn, ss_.get(), false));
  EXPECT_EQ(2, reads);
  EXPECT_TRUE(fakedrive::calls_of(0x2A).empty());
  EXPECT_TRUE(fakelog::contains("track num:3"));
  reads = 0;  // the stride format reads the disc before FORMAT UNIT (blank) and after
  EXPECT_EQ(5, wo.auto_format_for_stride(&steps, false, &msn, ss_.get(), false));
  EXPECT_TRUE(fakelog::contains("fail LastTrackNumberItLastSession 0x3"));
  EXPECT_TRUE(fakedrive::calls_of(0x2A).empty());
}

// ---------------------------------------------------------------- sections

// A write-once service whose medium serial number is set as a format sets it.
struct WoWithSerial : scsi_service_wo {
  void serial(const char* text) {
    std::memset(m_medium_serial_number, ' ', sizeof(m_medium_serial_number));
    std::memcpy(m_medium_serial_number, text, std::strlen(text));
  }
};

class MediaSections : public DriveTest {
 protected:
  void SetUp() override {
    DriveTest::SetUp();
    identify();
    buf_.assign(0x80000, 0xCC);
  }
  setup_buffer_info_t setup(std::uint32_t type, std::uint32_t size, std::uint32_t n) {
    setup_buffer_info_t s{};
    s.type = type;
    s.buffer = buf_.data();
    s.buffer_size = size;
    s.year = 2026;
    s.month = 12;
    s.day = 9;
    s.hour = 10;
    s.minute = 20;
    s.second = 30;
    s.type_and_timezone = 0x1000;
    s.block_count = n;
    return s;
  }
  void medium(std::uint8_t type) {
    fakedrive::drive().medium_type = type;
    kel::ResetConfigCache();
  }
  std::vector<std::uint8_t> buf_;
  pxo_attribute_data_t cache_{};
  std::uint8_t stamp_[8] = {'2', '0', '2', '6', '1', '2', '0', '9'};
};

TEST_F(MediaSections, WriteOnceBufferSizesAndPaddingSections) {
  scsi_service_wo wo;
  wo.init(ss_.get(), 0, 5, stamp_, &cache_);
  for (std::uint32_t type = 0; type <= 11; ++type) {
    auto s = setup(type, 65535, 0x10000);
    const bool descriptor = type != 1 && type != 3 && type != 8 && type < 10;
    EXPECT_EQ(descriptor ? 0 : 1, wo.autoFormatSetUpWriteBuffer(&s, 0, nullptr, 0, 0, 1)) << type;
  }
  auto s = setup(3, 0x80000, 0x10000);
  s.clear_64k_only = 1;
  ASSERT_EQ(1, wo.autoFormatSetUpWriteBuffer(&s, 0, nullptr, 0, 0, 1));
  EXPECT_EQ(0, buf_[65535]);
  EXPECT_EQ(0xCC, buf_[65536]);
  EXPECT_EQ(0, wo.autoFormatSetUpWriteBuffer(nullptr, 0, nullptr, 0, 0, 1));
}

TEST_F(MediaSections, F2hSequencesNeedTheirWholeBuffer) {
  medium(0xF2);
  scsi_service_wo wo;
  wo.init(ss_.get(), 0, 5, stamp_, &cache_);
  // A buffer too small for the section is refused instead of written past.
  auto small = setup(6, 0x10000, 0x10000);
  EXPECT_EQ(0, wo.autoFormatSetUpWriteBuffer(&small, 0, nullptr, 0, 0, 1));
  auto s = setup(6, 0x80000, 0x10000);
  ASSERT_EQ(1, wo.autoFormatSetUpWriteBuffer(&s, 0, nullptr, 0, 0, 1));
  const auto* main_lvd = reinterpret_cast<const part_map_metadata*>(buf_.data() + 0x1800 + sizeof(logvol_desc));
  const auto* res_lvd =
      reinterpret_cast<const part_map_metadata*>(buf_.data() + 0x40000 + 0x1800 + sizeof(logvol_desc));
  EXPECT_EQ(288u, main_lvd->file_loc);
  EXPECT_EQ(304u, main_lvd->mirror_file_loc);
  EXPECT_EQ(384u, res_lvd->file_loc);
  EXPECT_EQ(512u, res_lvd->mirror_file_loc);
  EXPECT_EQ(384u, reinterpret_cast<const desc_tag*>(buf_.data())->tag_loc);
  EXPECT_EQ(512u, reinterpret_cast<const desc_tag*>(buf_.data() + 0x40000)->tag_loc);
  EXPECT_EQ(640u, reinterpret_cast<const logvol_desc*>(buf_.data() + 0x1800)->integrity_seq_id.loc);
  auto a = setup(9, 0x40000, 0x10000);
  ASSERT_EQ(1, wo.autoFormatSetUpWriteBuffer(&a, 0, nullptr, 0, 0, 1));
  const auto* avdp = reinterpret_cast<const anchor_vdp*>(buf_.data() + 0x3F800);
  EXPECT_EQ(0xFFFFu, avdp->tag.tag_loc);
  EXPECT_EQ(384u, avdp->main_vds_ex.loc);
  EXPECT_EQ(512u, avdp->reserve_vds_ex.loc);
}

TEST_F(MediaSections, SlotDecidesVolumeIdentifierMapsAndIntegrityTables) {
  for (std::uint8_t slot : {0, 11}) {
    scsi_service_wo wo;
    wo.init(ss_.get(), slot, 5, stamp_, &cache_);
    auto s = setup(6, 0x10000, 0x10000);
    ASSERT_EQ(1, wo.autoFormatSetUpWriteBuffer(&s, 4416, nullptr, 0, 0, 1));
    const auto* pvd = reinterpret_cast<const pri_vol_desc*>(buf_.data());
    char name[32];
    std::snprintf(name, sizeof(name), "KELFS VOL%02d", slot + 1);
    EXPECT_EQ(0, std::memcmp(pvd->vol_id + 1, name, 11));
    EXPECT_EQ(slot + 1, pvd->vds_num);
    const auto* lvd = reinterpret_cast<const logvol_desc*>(buf_.data() + 0x1800);
    EXPECT_EQ(slot + 2u, lvd->n_pm);
    EXPECT_EQ(70u + 6u * slot, lvd->mt_l);
    EXPECT_EQ(510u + 6u * slot - 16u, lvd->tag.desc_crc_len);
    const auto* mp = reinterpret_cast<const part_map_metadata*>(buf_.data() + 0x1800 + sizeof(logvol_desc));
    EXPECT_EQ(4416u - 4096u, mp->file_loc);
    EXPECT_EQ(4416u - 4080u, mp->mirror_file_loc);
    EXPECT_EQ(0xFFFFFFFFu, mp->bitmap_file_loc);
    auto l = setup(7, 0x10000, 0x10000);
    ASSERT_EQ(1, wo.autoFormatSetUpWriteBuffer(&l, 0, nullptr, 0, 0, 0));
    const auto* lvid = reinterpret_cast<const logvol_integrity_desc*>(buf_.data());
    EXPECT_EQ(slot + 2u, lvid->num_partitions);
    EXPECT_EQ(1u, lvid->integrity_type);
    EXPECT_EQ(28u, lvid->unique_id);
    const auto* tables = reinterpret_cast<const std::uint32_t*>(buf_.data() + sizeof(logvol_integrity_desc));
    EXPECT_EQ(32u, tables[slot + 2]);
    EXPECT_EQ(0x10000u - 4096u - 288u, tables[slot + 3]);
    EXPECT_EQ(126u + 8u * (slot + 2u) - 16u, lvid->tag.desc_crc_len);
  }
}

TEST_F(MediaSections, IdentifiersWithAndWithoutSerial) {
  // Without a serial: "_" and the packed time; the short volume set identifier.
  scsi_service_wo wo;
  wo.init(ss_.get(), 0, 5, stamp_, &cache_);
  auto s = setup(6, 0x10000, 0x10000);
  ASSERT_EQ(1, wo.autoFormatSetUpWriteBuffer(&s, 0, nullptr, 0, 0, 1));
  const auto* pvd = reinterpret_cast<const pri_vol_desc*>(buf_.data());
  char packed[16];
  std::snprintf(packed, sizeof(packed), "_%08X", media::packed_time(2026, 12, 9, 10, 20, 30));
  const auto* iuvd = reinterpret_cast<const logvol_info*>(buf_.data() + 0x800 + 52);
  EXPECT_EQ(0, std::memcmp(iuvd->logvol_id + 1, packed, 9));
  EXPECT_EQ(10, iuvd->logvol_id[127]);
  EXPECT_EQ(17, pvd->volset_id[127]);
  EXPECT_EQ(0, std::memcmp(pvd->volset_id + 1 + 8, "KELFS   ", 8));
  // With a serial with trailing blanks: trimmed in the logical volume
  // identifier, whole and right-aligned in the volume set identifier.
  WoWithSerial ws;
  ws.init(ss_.get(), 0, 5, stamp_, &cache_);
  ws.serial("SER-9");
  ASSERT_EQ(1, ws.autoFormatSetUpWriteBuffer(&s, 0, nullptr, 0, 0, 1));
  EXPECT_EQ(0, std::memcmp(iuvd->logvol_id + 1, "SER-9", 5));
  EXPECT_EQ(6, iuvd->logvol_id[127]);
  EXPECT_EQ(49, pvd->volset_id[127]);
  std::string serial = "SER-9";
  serial.resize(32, ' ');
  char want[64];
  std::snprintf(want, sizeof(want), "%08X%s%32s", media::packed_time(2026, 12, 9, 10, 20, 30), "KELFS   ",
                serial.c_str());
  EXPECT_EQ(0, std::memcmp(pvd->volset_id + 1, want, 48));
  // Stride format: the volume set number, or the format timestamp when it is 0.
  ws.set_StrideFormat_flag(true);
  ASSERT_EQ(1, ws.autoFormatSetUpWriteBuffer(&s, 0, nullptr, 0x12345678, 0, 1));
  EXPECT_EQ(0, std::memcmp(pvd->volset_id + 1, "12345678KELFS   ", 16));
  ASSERT_EQ(1, ws.autoFormatSetUpWriteBuffer(&s, 0, nullptr, 0, 0, 1));
  EXPECT_EQ(0, std::memcmp(pvd->volset_id + 1, "20261209KELFS   ", 16));
  EXPECT_EQ(49, pvd->volset_id[127]);
}

TEST_F(MediaSections, RewritableSectionsAndTheirPlaces) {
  scsi_service_re re;
  re.init(ss_.get(), 0, 9, stamp_, &cache_);
  const std::uint32_t N = 0x20000, L = N - 1;
  auto s = setup(3, 0x10000, L);
  ASSERT_EQ(1, re.autoFormatSetUpWriteBuffer(&s, 4400, 0, 0, 0, nullptr, nullptr, 0, 0, 1));
  EXPECT_EQ(N - 32, reinterpret_cast<const desc_tag*>(buf_.data())->tag_loc);
  const auto* pd = reinterpret_cast<const part_desc*>(buf_.data() + 0x1000);
  EXPECT_EQ(N - 4384, pd->part_len);
  EXPECT_EQ(4u, pd->access_type);
  const auto* mp = reinterpret_cast<const part_map_metadata*>(buf_.data() + 0x1800 + sizeof(logvol_desc));
  EXPECT_EQ(304u, mp->file_loc);
  EXPECT_EQ(320u, mp->mirror_file_loc);
  EXPECT_EQ(0xFFFFFFFFu, mp->bitmap_file_loc);
  EXPECT_EQ(0x50, mp->id.id_suffix[0]);  // revision 2.50 on rewritable media
  const auto* avdp = reinterpret_cast<const anchor_vdp*>(buf_.data() + 0xF800);
  EXPECT_EQ(L, avdp->tag.tag_loc);
  EXPECT_EQ(272u, avdp->main_vds_ex.loc);
  EXPECT_EQ(N - 32, avdp->reserve_vds_ex.loc);
  EXPECT_EQ(1, mdcudfsr_check_udf_tag_crc(avdp, 512));
  // A caller's logical volume identifier is used unchanged.
  std::uint8_t lvid[128] = {8, 'R', 'O', 'L', 'L'};
  lvid[127] = 5;
  auto p4 = setup(4, 0x10000, L);
  ASSERT_EQ(1, re.autoFormatSetUpWriteBuffer(&p4, 0, 0, 0, 0, lvid, nullptr, 0, 0, 1));
  const auto* lvd = reinterpret_cast<const logvol_desc*>(buf_.data() + 0x8000 + 0x1800);
  EXPECT_EQ(0, std::memcmp(lvd->logvol_id, lvid, 128));
  const auto* mp0 = reinterpret_cast<const part_map_metadata*>(buf_.data() + 0x8000 + 0x1800 + sizeof(logvol_desc));
  EXPECT_EQ(288u, mp0->file_loc);
  EXPECT_EQ(304u, mp0->mirror_file_loc);
  // Integrity descriptor revisions and open/closed.
  auto p2 = setup(2, 0x10000, L);
  ASSERT_EQ(1, re.autoFormatSetUpWriteBuffer(&p2, 0, 0, 0, 0, nullptr, nullptr, 0, 77, 0));
  const auto* lv = reinterpret_cast<const logvol_integrity_desc*>(buf_.data());
  EXPECT_EQ(1u, lv->integrity_type);
  EXPECT_EQ(77u, lv->unique_id);
  const auto* iu = reinterpret_cast<const imp_use_logvol_integrity_desc*>(buf_.data() + sizeof(logvol_integrity_desc) + 16);
  EXPECT_EQ(0x0250, iu->min_udf_read_rev);
  EXPECT_EQ(0x0250, iu->min_udf_write_rev);
  EXPECT_EQ(0x0250, iu->max_udf_write_rev);
  // Types 6 and above: a cleared buffer and success; 65535 bytes fail every section.
  auto p6 = setup(6, 0x10000, L);
  ASSERT_EQ(1, re.autoFormatSetUpWriteBuffer(&p6, 0, 0, 0, 0, nullptr, nullptr, 0, 0, 1));
  EXPECT_EQ(std::vector<std::uint8_t>(0x10000, 0), std::vector<std::uint8_t>(buf_.begin(), buf_.begin() + 0x10000));
  for (std::uint32_t t = 0; t <= 5; ++t) {
    auto small = setup(t, 65535, L);
    EXPECT_EQ(0, re.autoFormatSetUpWriteBuffer(&small, 0, 0, 0, 0, nullptr, nullptr, 0, 0, 1)) << t;
  }
}

}  // namespace

// A disc smaller than the volume of its class needs (the simulated drive
// holds no such disc) is refused with 22 by every format, erase and end-area
// writer before a block is written: the layout's sums would wrap.
TEST_F(MediaCmDrive, DiscTooSmallForAVolumeIsRefused) {
  identify();
  pxo_attribute_data_t cache{};
  std::uint8_t stamp[8] = {};
  struct Row {
    std::uint8_t type;
    std::uint32_t blocks;  // one below what the class needs
  };
  for (const Row& r : {Row{0xE1, 4352 + 64 + 288 - 1}, Row{0xF2, 4352 + 64 + 512 - 1},
                       Row{0xE2, 4352 + 288 + 64 - 1}}) {
    SCOPED_TRACE(static_cast<int>(r.type));
    fakedrive::drive().medium_type = r.type;
    fakedrive::fill_good_attributes(r.type);
    fakedrive::drive().attributes[0x1500] = {0, value_1500h(0)};
    fakedrive::drive().capacity_blocks = r.blocks;
    fakedrive::drive().hook = [&r](const fakedrive::Call& c, std::vector<std::uint8_t>* in) {
      if (c.cdb[0] == 0x51 && r.type != 0xE2) {  // READ DISC INFORMATION: blank, nothing recorded
        in->assign(34, 0);
        (*in)[1] = 32;
        (*in)[6] = 1;
        return true;
      }
      if (c.cdb[0] != 0x23) return false;  // READ FORMAT CAPACITIES: formatted, r.blocks
      in->assign(12, 0);
      (*in)[3] = 8;
      for (int i = 0; i < 4; ++i) (*in)[4 + i] = static_cast<std::uint8_t>(r.blocks >> (24 - 8 * i));
      (*in)[8] = 2;
      return true;
    };
    // A fresh store: the medium type comes from the drive.
    std::filesystem::remove(dir_ / "registry.reg");
    kel::ResetConfigCache();
    bool undefined = false;
    ASSERT_EQ(0, ss_->determin_medium_properties(&undefined));
    char type = 0;
    ASSERT_EQ(0, ss_->get_medium_type(&type));
    ASSERT_EQ(r.type, static_cast<std::uint8_t>(type));
    fakedrive::clear_transcript();
    pxo_all_erase_info_t info{};
    if (r.type == 0xE2) {
      scsi_service_re re;
      re.init(ss_.get(), 0, 1, stamp, &cache);
      Boolean ok = 0;
      bool wrote = false;
      EXPECT_EQ(22, re.auto_format(false, &ok, ss_.get(), false, &wrote, false));
      EXPECT_EQ(22, re.all_erase(&info, 4352, false));
      EXPECT_EQ(22, re.EraseDescriptorData());
      EXPECT_EQ(22, re.backtrackFlushRollbackPoint(4352, 4384));
      EXPECT_TRUE(fakedrive::calls_of(0x04).empty());
    } else {
      scsi_service_wo wo;
      wo.init(ss_.get(), 0, 1, stamp, &cache);
      std::uint32_t steps = 0;
      Boolean msn = 0;
      EXPECT_EQ(22, wo.auto_format(&steps, true, &msn, ss_.get(), false));
      EXPECT_EQ(22, wo.all_erase(&info, false));
      pxo_auto_format_last_info_t last{1, 0, 0};
      EXPECT_EQ(22, wo.reserveTrackAndWriteLastAVDP(&last));
      EXPECT_TRUE(fakedrive::calls_of(0x53).empty());
    }
    EXPECT_TRUE(fakedrive::calls_of(0x2A).empty());
  }
}
