// Mounts of builder images on the fake medium.
#include "engine/udf/support_mount.h"
#include "engine/udf/support_fakes.h"

#include "udf/udf_anchor_vds.h"
#include "udf/udf_extent.h"
#include "udf/udf_mount.h"
#include "udf/udf_names.h"
#include "udf/udf_tag.h"

#include <cstring>
#include <string>
#include <vector>

namespace udf_test {

void MountedImage::load(MediumClass cls, uint32_t slot) {
  spec = spec_for(cls, slot);
  env().reset(spec.sectors);
  layout = build_volume(spec, env().medium);
  mnt = std::make_unique<mdcudfsr_mount>();
  init_mount(mnt.get(), spec.sectors, spec.medium_type, slot);
  mdcudfsr_read_avdp(mnt.get(), nullptr, 1, 0, nullptr);
  mdcudfsr_read_vds(mnt.get(), nullptr, 0, 1, 0, nullptr);
  setup_partitions(mnt.get(), layout);
  env().calls.clear();
  env().logs.clear();
}

uint8_t* MountedImage::metadata_block(uint32_t lbn) {
  const uint32_t lsn = mdcudfsr_lbn2lsn(mnt.get(), 0, lbn, nullptr);
  return lsn == 0xFFFFFFFFu ? nullptr : env().sector(lsn);
}

uint32_t put_fid(mdcudfsr_mount* mnt, uint8_t* out, uint32_t tag_loc, uint8_t chars, const char* name, uint32_t icb,
                 uint64_t uid) {
  uint8_t cs0[256];
  uint32_t n = 0;
  if (name) {
    n = sizeof cs0;
    mdcudfsr_unicode_utf82udf(reinterpret_cast<const uint8_t*>(name), static_cast<uint32_t>(std::strlen(name)), cs0, &n);
  }
  fileid_desc f{};
  mdcudfsr_init_udf_tag(mnt, &f.tag, TAG_ID_FID, tag_loc);
  f.file_num = 1;
  f.file_char = chars;
  f.l_fi = static_cast<uint8_t>(n);
  f.icb = long_ad{kSector, lb_addr{icb, 0}, 0, static_cast<uint32_t>(uid)};
  const uint32_t len = (38 + n + 3) & ~3u;
  mdcudfsr_swap_host2le_fileid_desc(&f);
  std::memset(out, 0, len);
  std::memcpy(out, &f, sizeof f);
  std::memcpy(out + 38, cs0, n);
  mdcudfsr_set_udf_tag_crc_and_checksum(out, len);
  return len;
}

std::vector<DirEntry> read_dir_in_icb(const uint8_t* efe_block, uint32_t l_ea, uint32_t l_ad) {
  std::vector<DirEntry> out;
  const uint32_t base = sizeof(extended_file_entry) + l_ea;
  if (uint64_t{base} + l_ad > kSector) return {};
  for (uint32_t off = 0; off + 38 <= l_ad;) {
    const uint8_t* p = efe_block + base + off;
    fileid_desc f;
    std::memcpy(&f, p, sizeof f);
    mdcudfsr_swap_le2host_fileid_desc(&f);
    const uint32_t len = (38 + f.l_iu + f.l_fi + 3) & ~3u;
    if (!mdcudfsr_check_udf_tag(p, TAG_ID_FID) || !mdcudfsr_check_udf_tag_crc(p, len) || off + len > l_ad) return {};
    uint8_t utf8[512];
    uint64_t n = sizeof utf8;
    std::string name;
    if (f.l_fi) {
      if (mdcudfsr_unicode_udf2utf8(p + 38 + f.l_iu, f.l_fi, utf8, &n) != 0) return {};
      name.assign(reinterpret_cast<const char*>(utf8), static_cast<size_t>(n));
    }
    out.push_back({name, f.file_char, f.icb.loc.lb_num, f.icb.ad_id});
    off += len;
  }
  return out;
}

}  // namespace udf_test
