// Reads of the local copy of the metadata file: whole blocks, a node's
// content (in extents or inside its entry), file identifier descriptors,
// and the checkEFE bitmap the readers clear.
#include "cache_internal.h"
#include "kelhost/kern_errno.h"
#include "scan_internal.h"

#include "kelagent/metacache.h"
#include "udf/udf_efe.h"
#include "udf/udf_mount.h"
#include "udf/udf_neighbour_calls.h"
#include "udf/udf_tag.h"

#include <algorithm>
#include <cstring>

namespace kelcache {

namespace {

// One exchange: up to len bytes of the copy at file offset `at`.
int read_copy(mdcudfsr_mount* m, int alt, uint64_t at, uint32_t len, void* dst, uint32_t* got, uint32_t* cache_err) {
  const int32_t handle = alt ? m->fsmanage_handle : m->local_cache_handles[0];
  *got = 0;
  *cache_err = 0;
  return mdcudfsr_metacache_file_read(m, handle, at, len, dst, got, cache_err);
}

}  // namespace

int scan_read(mdcudfsr_mount* m, int alt, uint64_t offset, uint32_t len, void* dst, uint32_t* cache_err) {
  const uint64_t at = alt ? offset + MDC_METADATA_OFFSET : offset;
  if (m->scan_runs && len <= mdcudfsr_scan_runs::kLongest) return m->scan_runs->read(alt, at, len, dst, cache_err);
  uint32_t got = 0;
  int err = read_copy(m, alt, at, len, dst, &got, cache_err);
  if (!err && !*cache_err && got < len) err = KEL_EIO;  // a short copy is no copy
  return err;
}

void set_damaged(mdcudfsr_mount* m, vfs_context_t ctx) {
  (void)ctx;
  mdcudfsr_set_mntinfo_state(m, 0, MNTINFO_ENTRY_DAMAGED, 0x80000);
}
void set_invalid(mdcudfsr_mount* m) { mdcudfsr_set_mntinfo_state(m, 2, 0x80000100, 0x80000); }
void set_status_direct(mdcudfsr_mount* m, uint32_t status) {
  m->mntinfo.MountStatus = status;
  m->mntinfo.WriteProtectReasonFlags |= 0x80000;
}
void set_wrprot(mdcudfsr_mount* m, vfs_context_t ctx) { mdcudfsr_set_mntinfo_wrprot_reason(m, 0x80000, 1, ctx); }

bool check_efe_mode(const mdcudfsr_mount* m) {
  return (m->mount_ext_flags & MDCUDFSR_CHECK_EFE_FLAGS) == MDCUDFSR_CHECK_EFE_FLAGS;
}

void check_efe_clear(mdcudfsr_mount* m, uint32_t lbn, uint32_t blocks) {
  uint8_t* map = m->check_efe_bitmap;
  if (!map) return;
  uint32_t bits = 0;
  std::memcpy(&bits, map + 4, 4);
  for (uint64_t b = lbn; b < uint64_t(lbn) + blocks && b < bits; ++b)
    map[MDCUDFSR_CHECK_EFE_HEADER + b / 8] &= static_cast<uint8_t>(~(1u << (b % 8)));
}

}  // namespace kelcache

using namespace kelcache;

mdcudfsr_scan_runs::mdcudfsr_scan_runs(mdcudfsr_mount* m) : m_(m) { m_->scan_runs = this; }

mdcudfsr_scan_runs::~mdcudfsr_scan_runs() {
  for (Run& r : runs_) mdcudfsr_metacache_file_read_drop(m_, &r.ahead);
  m_->scan_runs = nullptr;
}

mdcudfsr_scan_runs::Run* mdcudfsr_scan_runs::holding(int alt, uint64_t at, uint32_t len) {
  for (Run& r : runs_)
    if (r.alt == alt && at >= r.start && at - r.start <= r.valid && len <= r.valid - (at - r.start)) return &r;
  return nullptr;
}

// The run a read at `start` continues (read whole and ending there) grows;
// otherwise the least recently used run starts short.
mdcudfsr_scan_runs::Run* mdcudfsr_scan_runs::to_fill(int alt, uint64_t start, uint32_t* size, bool* continues) {
  Run* oldest = &runs_[0];
  for (Run& r : runs_) {
    if (r.alt == alt && r.valid == r.asked && r.start + r.valid == start) {
      *size = std::min(2 * r.asked, kLongest);
      *continues = true;
      return &r;
    }
    if (r.used < oldest->used) oldest = &r;
  }
  *size = kShortest;
  *continues = false;
  return oldest;
}

int mdcudfsr_scan_runs::fill(Run* r, int alt, uint64_t start, uint32_t size, uint32_t* got, uint32_t* cache_err) {
  const int32_t handle = alt ? m_->fsmanage_handle : m_->local_cache_handles[0];
  r->bytes.resize(size);
  if (r->ahead.sent && r->alt == alt && r->ahead.handle == handle && r->ahead.offset == start &&
      r->ahead.length == size) {
    *got = 0;
    *cache_err = 0;
    return mdcudfsr_metacache_file_read_end(m_, &r->ahead, r->bytes.data(), got, cache_err);
  }
  mdcudfsr_metacache_file_read_drop(m_, &r->ahead);
  return read_copy(m_, alt, start, size, r->bytes.data(), got, cache_err);
}

int mdcudfsr_scan_runs::read(int alt, uint64_t at, uint32_t len, void* dst, uint32_t* cache_err) {
  *cache_err = 0;
  Run* r = holding(alt, at, len);
  if (!r) {
    // Runs begin on a block, so reads within a block never straddle two.
    const uint32_t bs = m_->logical_block_size ? m_->logical_block_size : 2048;
    const uint64_t start = at - at % bs;
    const uint64_t need = at + len - start;
    uint32_t size = 0;
    bool continues = false;
    r = to_fill(alt, start, &size, &continues);
    size = static_cast<uint32_t>(std::min<uint64_t>(kLongest, std::max<uint64_t>(size, (need + bs - 1) / bs * bs)));
    uint32_t got = 0;
    ++fills_;
    const int err = fill(r, alt, start, size, &got, cache_err);
    r->alt = -1;  // empty until the fill succeeds
    if (err || *cache_err) return err;
    r->start = start;
    r->valid = got;
    r->asked = size;
    r->used = 0;
    r->alt = alt;
    if (got < need) return KEL_EIO;  // a short copy is no copy
    if (continues && got == size) {
      // The run after this one, as the next continuing read would ask for it.
      const uint32_t next = std::min(2 * size, kLongest);
      const int32_t handle = alt ? m_->fsmanage_handle : m_->local_cache_handles[0];
      if (mdcudfsr_metacache_file_read_begin(m_, handle, start + got, next, &r->ahead) != 0) r->ahead = {};
    }
  }
  r->used = ++clock_;
  std::memcpy(dst, r->bytes.data() + (at - r->start), len);
  return 0;
}

// In-entry content: the bytes after the extended attributes.
int mdcudfsr_cache_read_file_mem_in_icb(mdcudfsr_mount* m, mdcudfsr_udf_data* d, uint64_t offset, uint8_t* dst,
                                        uint32_t* len, int alt) {
  const extended_file_entry& e = d->efe;
  if ((e.icbtag.flags & 7) != UDF_AD_IN_ICB) {
    CACHE_LOG(ERR, "(mdcudfsrcnp->udf_data->efe.icbtag.flags & UDF_ICB_TAG_FLAG_AD_MASK)!=UDF_ICB_TAG_FLAG_AD_IN_ICB. "
                   "flags=%d\n", e.icbtag.flags);
    *len = 0;
    return 0;
  }
  const uint64_t end = std::min<uint64_t>(e.l_ad, offset + *len);
  if (offset >= end) {
    *len = 0;
    return 0;
  }
  const uint32_t n = static_cast<uint32_t>(end - offset);
  const uint64_t at = uint64_t(d->efe_loc) * m->logical_block_size + sizeof(extended_file_entry) + e.l_ea + offset;
  uint32_t cache_err = 0;
  const int err = scan_read(m, alt, at, n, dst, &cache_err);
  if (err || cache_err) {
    CACHE_LOG(ERR, "Read FID data failed from Fs Local Cache. err = %d cache_err = %d\n", err, cache_err);
    *len = 0;
    return KEL_EINVAL;
  }
  *len = n;
  return 0;
}

int mdcudfsr_cache_read_file_mem(uint64_t metadata_size, mdcudfsr_cache_node* node, uint64_t offset, uint8_t* dst,
                                 uint32_t* len, int alt) {
  mdcudfsr_mount* m = node->mdcudfsrmp;
  mdcudfsr_udf_data* d = node->udf_data;
  CACHE_LOG(INFO, "offset=%d size=%d", static_cast<int>(offset), static_cast<int>(*len));
  if ((d->efe.icbtag.flags & 7) == UDF_AD_IN_ICB) return mdcudfsr_cache_read_file_mem_in_icb(m, d, offset, dst, len, alt);
  const uint64_t want = offset < d->efe.inf_len ? std::min<uint64_t>(*len, d->efe.inf_len - offset) : 0;
  *len = 0;
  if (!d->extents.first || want == 0) return 0;
  const uint32_t bs = m->logical_block_size;
  uint8_t* block = static_cast<uint8_t*>(cache_alloc(bs));
  if (!block) {
    CACHE_LOG(ERR, "failed to allocate memory for FID buffer\n");
    return KEL_ENOMEM;
  }
  int err = 0;
  uint64_t done = 0;
  while (done < want) {
    const uint64_t pos = offset + done;
    const uint32_t in_block = static_cast<uint32_t>(pos % bs);
    uint64_t left = 0;
    const uint32_t lbn = mdcudfsr_offset2lbn(m, &d->extents, pos - in_block, &left);
    if (lbn == MDCUDFSR_INVALID_LBN) break;  // unmapped: the read ends there
    const uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(bs - in_block, want - done));
    if (metadata_size < uint64_t(lbn) * bs + in_block + piece) {
      CACHE_LOGK(ERR, "Read File location over Metadata buffer. LBN=%d, BP=%d, buf_off = %d, len=%d, metadata size=%d\n",
                 lbn, in_block, static_cast<int>(done), piece, static_cast<int>(metadata_size));
      err = KEL_EINVAL;
      break;
    }
    uint32_t cache_err = 0;
    const int rerr = scan_read(m, alt, uint64_t(lbn) * bs + in_block, piece, block, &cache_err);
    if (rerr || cache_err) {
      CACHE_LOG(ERR, "Read FID data failed from Fs Local Cache. err = %d cache_err = %d\n", rerr, cache_err);
      err = KEL_EINVAL;
      break;
    }
    check_efe_clear(m, lbn, 1);
    std::memcpy(dst + done, block, piece);
    done += piece;
  }
  cache_free(block, bs);
  *len = static_cast<uint32_t>(done);
  return err;
}

int mdcudfsr_cache_get_fid(mdcudfsr_mount* m, uint64_t metadata_size, mdcudfsr_cache_node* dir, uint64_t offset,
                           uint8_t* fid_buf, int alt) {
  uint32_t len = sizeof(fileid_desc);
  int err = mdcudfsr_cache_read_file_mem(metadata_size, dir, offset, fid_buf, &len, alt);
  if (err || len < sizeof(fileid_desc)) {
    CACHE_LOG(WARN, "Failed to mdcudfsr_cache_read_file_mem. read_size=%d err=%d\n", len, err);
    set_damaged(m, nullptr);
    return KEL_EBADF;
  }
  fileid_desc head;
  std::memcpy(&head, fid_buf, sizeof head);
  if (head.tag.id != 257) {
    CACHE_LOG(WARN, "Tag id(%d) is not FID.\n", head.tag.id);
    set_damaged(m, nullptr);
    return KEL_EBADF;
  }
  if (head.l_iu) CACHE_LOG(INFO, "FID Length of Implementation(%d) is invalid.\n", head.l_iu);
  const uint32_t size = (sizeof(fileid_desc) + head.l_iu + head.l_fi + 3u) & ~3u;
  if (size > MDCUDFSR_FID_BUF_SIZE) {
    CACHE_LOG(ERR, "FID size is too big. l_fi=%d l_iu=%d\n", head.l_fi, head.l_iu);
    set_invalid(m);
    return KEL_EINVAL;
  }
  uint32_t rest = size - sizeof(fileid_desc);
  err = mdcudfsr_cache_read_file_mem(metadata_size, dir, offset + sizeof(fileid_desc), fid_buf + sizeof(fileid_desc),
                                     &rest, alt);
  if (err || rest < size - sizeof(fileid_desc)) {
    CACHE_LOG(ERR, "Failed to read remain part of FID with status %d\n", err ? err : 5);
    set_invalid(m);
    return KEL_EINVAL;
  }
  if (!mdcudfsr_check_udf_tag_crc(fid_buf, size) || !mdcudfsr_check_udf_tag_checksum(fid_buf)) {
    CACHE_LOG(WARN, "FID CRC is invalid.\n");
    set_damaged(m, nullptr);
    return KEL_EBADF;
  }
  mdcudfsr_swap_le2host_fileid_desc(reinterpret_cast<fileid_desc*>(fid_buf));
  return 0;
}
