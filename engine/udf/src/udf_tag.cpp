// Descriptor tags, checksums and CRCs.
#include "udf/udf_tag.h"
#include "kelhost/kern_errno.h"
#include "udf/udf_mount.h"
#include "udf_log.h"

#include <array>
#include <cstring>

namespace {

constexpr std::array<uint32_t, 256> make_crc32_table() {
  std::array<uint32_t, 256> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int b = 0; b < 8; ++b) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : (c >> 1);
    t[i] = c;
  }
  return t;
}
constexpr auto kCrc32 = make_crc32_table();
static_assert(kCrc32[1] == 0x77073096u, "IEEE 802.3 table");

desc_tag load_tag(const void* desc) {
  desc_tag t;
  std::memcpy(&t, desc, sizeof t);
  return t;
}

}  // namespace

uint32_t mdcudfsr_crc32(const void* buf, uint64_t len) {
  if (len == 0) return 0;
  const auto* p = static_cast<const uint8_t*>(buf);
  uint32_t c = 0xFFFFFFFFu;
  for (uint64_t i = 0; i < len; ++i) c = (c >> 8) ^ kCrc32[(c ^ p[i]) & 0xFF];
  return ~c;
}

uint32_t mdcudfsr_byte_sum(const void* buf, uint32_t len) {
  const auto* p = static_cast<const uint8_t*>(buf);
  uint32_t s = 0;
  for (uint32_t i = 0; i < len; ++i) s += p[i];
  return s;
}

uint8_t mdcudfsr_udf_tag_checksum(const void* desc) {
  const auto* p = static_cast<const uint8_t*>(desc);
  uint8_t s = 0;
  for (int i = 0; i < 16; ++i)
    if (i != 4) s = static_cast<uint8_t>(s + p[i]);
  return s;
}

int mdcudfsr_init_udf_tag(const mdcudfsr_mount* mnt, desc_tag* tag, uint16_t id, uint32_t loc) {
  tag->id = id;
  tag->descriptor_ver = 3;
  tag->cksum = 0;
  tag->reserved = 0;
  tag->serial_num = mnt->avdp.tag.serial_num;
  tag->desc_crc = 0;
  tag->desc_crc_len = 0;
  tag->tag_loc = loc;
  return 0;
}

void mdcudfsr_set_udf_tag_crc_and_checksum(void* desc, uint32_t length) {
  auto* p = static_cast<uint8_t*>(desc);
  desc_tag t = load_tag(desc);
  if (length == 0 || length <= sizeof(desc_tag)) {
    t.desc_crc_len = 0;
    t.desc_crc = 0;
  } else {
    const uint32_t n = length - sizeof(desc_tag);
    t.desc_crc_len = mdcudfsr_le16_to_host(static_cast<uint16_t>(n));
    t.desc_crc = mdcudfsr_le16_to_host(mdcudfsr_crc16(p + sizeof(desc_tag), n));
  }
  std::memcpy(p, &t, sizeof t);
  p[4] = mdcudfsr_udf_tag_checksum(p);
}

int mdcudfsr_check_udf_tag_checksum(const void* desc) {
  const desc_tag t = load_tag(desc);
  const uint8_t sum = mdcudfsr_udf_tag_checksum(desc);
  if (sum == t.cksum) return 1;
  UDF_LOG(ERR, "tag check sum is invalid. tagid=%d checksum=%d sould be %d\n", t.id, sum, t.cksum);
  return 0;
}

int mdcudfsr_check_udf_tag(const void* desc, uint16_t expected_id) {
  const desc_tag t = load_tag(desc);
  if (t.id != expected_id) {
    UDF_LOG(ERR, "tag id is invallid. tag id=%d. should be %d\n", t.id, expected_id);
    return 0;
  }
  if (t.id == TAG_ID_FSD || t.id == TAG_ID_FID || t.id == TAG_ID_FE || t.id == TAG_ID_EFE) return 1;
  return mdcudfsr_check_udf_tag_checksum(desc);
}

int mdcudfsr_check_udf_tag_crc(const void* desc, uint32_t available) {
  const desc_tag t = load_tag(desc);
  const uint32_t n = mdcudfsr_le16_to_host(t.desc_crc_len);
  if (n + sizeof(desc_tag) > available) return 0;
  const uint16_t crc = mdcudfsr_crc16(static_cast<const uint8_t*>(desc) + sizeof(desc_tag), n);
  return crc == mdcudfsr_le16_to_host(t.desc_crc) ? 1 : 0;
}

int mdcudfsr_check_udf_tag_and_checksum(const mdcudfsr_mount*, const void* desc, uint16_t expected_id,
                                        uint32_t available) {
  const desc_tag t = load_tag(desc);
  if (t.id != expected_id) {
    UDF_LOG(WARN, "Tag id is invalid. tag id =%d. shuld be %d.\n", t.id, expected_id);
    return KEL_EBADF;
  }
  if (!mdcudfsr_check_udf_tag_crc(desc, available)) {
    UDF_LOG(WARN, "EFE CRC is invalid.\n");
    return KEL_EBADF;
  }
  if (!mdcudfsr_check_udf_tag_checksum(desc)) {
    UDF_LOG(WARN, "EFE checksum is invalid.\n");
    return KEL_EBADF;
  }
  return 0;
}

void mdcudfsr_MDCFS_SPACE_ENTRY_debug(const MDCFS_SPACE_ENTRY* e) {
  UDF_LOG(INFO, "ZoneId=%d BlockOffset=%d NumberOfBlocks=%d\n", e->ZoneId, e->BlockOffset, e->NumberOfBlocks);
}
