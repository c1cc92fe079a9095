// Names between CS0 and UTF-8, block-to-sector translation, heap sort, the
// hexadecimal time parser and the children-by-unique-id lists.
#include "udf/udf_names.h"
#include "kelhost/kern_errno.h"
#include "udf/udf_mount.h"

#include "udf_log.h"

#include <cstdlib>
#include <cstring>

uint32_t mdcudfsr_cs0_to_unicode(uint32_t n, const uint8_t* cs0, uint16_t* out) {
  if (n == 0) return 0xFFFFFFFFu;
  const uint8_t id = cs0[0];
  if (id != 8 && id != 16) return 0xFFFFFFFFu;
  uint32_t units = 0;
  for (uint32_t i = 1; i < n;) {
    uint16_t u = 0;
    if (id == 16) {
      u = static_cast<uint16_t>(cs0[i] << 8);
      if (i + 1 < n) u |= cs0[i + 1];
      i += 2;
    } else {
      u = cs0[i++];
    }
    out[units++] = u;
  }
  return units;
}

int32_t mdcudfsr_unicode_to_cs0(uint32_t units, uint8_t id, const uint16_t* in, uint8_t* out) {
  if (id != 8 && id != 16) return -1;
  out[0] = id;
  uint32_t k = 1;
  for (uint32_t i = 0; i < units; ++i) {
    if (id == 16) out[k++] = static_cast<uint8_t>(in[i] >> 8);
    out[k++] = static_cast<uint8_t>(in[i]);
  }
  return static_cast<int32_t>(k);
}

int mdcudfsr_unicode_udf2utf8(const uint8_t* cs0, uint32_t n, uint8_t* out, uint64_t* length) {
  auto* units = static_cast<uint16_t*>(std::malloc(2u * n + 2));
  if (!units) {
    UDF_LOGM(ERR, KELC, "can't allocate unicode string.len=%d\n", 2 * n);
    return KEL_ENOMEM;
  }
  const uint32_t count = mdcudfsr_cs0_to_unicode(n, cs0, units);
  if (count == 0xFFFFFFFFu) {
    UDF_LOG(ERR, "could not uncompress unicode - invalid compressionID=%d", n ? cs0[0] : 0);
    std::free(units);
    return KEL_EINVAL;
  }
  size_t produced = 0;
  const int err = utf8_encodestr(units, 2u * count, out, &produced, static_cast<uint32_t>(*length), 0, 0);
  *length = produced;
  std::free(units);
  return err;
}

namespace {

int units_to_cs0(const uint16_t* units, int32_t count, uint8_t* out, uint32_t* length) {
  const uint32_t u = count > 0 ? static_cast<uint32_t>(count) : 0;
  UDF_LOG(DEBG, "( uint32_t )ucslen=%u\n", u);
  UDF_LOG(DEBG, "UCS2 String(%d): ", u);
  uint8_t id = 8;
  for (uint32_t i = 0; i < u; ++i) {
    UDF_LOG(DEBG, "%04x ", units[i]);
    if (units[i] >= 0x100) id = 16;
  }
  UDF_LOG(DEBG, "\n");
  UDF_LOG(DEBG, "comp_id=%u\n", id);
  if (id == 8 && u >= *length) {
    UDF_LOGM(ERR, KELC, "%s\n", "*dst_len >= number_of_chars + 1");
    return KEL_ENAMELIMIT;
  }
  if (id == 16 && 2ull * u >= *length) {
    UDF_LOGM(ERR, KELC, "%s\n", "*dst_len >= number_of_chars * 2 + 1");
    return KEL_ENAMELIMIT;
  }
  *length = static_cast<uint32_t>(mdcudfsr_unicode_to_cs0(u, id, units, out));
  UDF_LOG(DEBG, "*dst_len=%u\n", *length);
  UDF_LOG(DEBG, "CompressUnicode(%d): ", *length);
  for (uint32_t i = 0; i < *length; ++i) UDF_LOG(DEBG, "%02x ", out[i]);
  UDF_LOG(DEBG, "\n");
  return 0;
}

}  // namespace

int mdcudfsr_unicode_utf82udf(const uint8_t* utf8, uint32_t n, uint8_t* out, uint32_t* length) {
  auto* units = static_cast<uint16_t*>(std::malloc(2u * n + 2));
  if (!units) {
    UDF_LOGM(ERR, KELC, "can't allocate unicode strind.len=%d\n", n);
    return KEL_ENOMEM;
  }
  size_t produced = 0;
  const int err = utf8_decodestr(utf8, n, units, &produced, 2u * n, 0, 0);
  if (err) {
    UDF_LOGM(ERR, KELC, "src=%-.*s", static_cast<int>(n), reinterpret_cast<const char*>(utf8));
    std::free(units);
    return err;
  }
  const int r = units_to_cs0(units, static_cast<int32_t>(produced / 2), out, length);
  std::free(units);
  return r;
}

int mdcudfsr_unicode_utf162udf(const uint16_t* units, int32_t count, uint8_t* out, uint32_t* length) {
  return units_to_cs0(units, count, out, length);
}

uint32_t mdcudfsr_partition_blocks_on_disc(const mdcudfsr_mount* mnt, bool* cut) {
  const uint32_t start = mnt->vds.pd.start_loc, disc = mnt->num_sectors, blocks = mnt->vds.pd.part_len;
  *cut = disc && (start >= disc || blocks > disc - start);
  if (!*cut) return blocks;
  return start < disc ? disc - start : 0;
}

uint32_t mdcudfsr_lbn2lsn(const mdcudfsr_mount* mnt, uint16_t p, uint32_t lbn, uint64_t* avail) {
  if (avail) *avail = 0;
  // Only the metadata file (0), its mirror (1) and the physical partition (2)
  // are partitions of the mount.
  if (p > MDCUDFSR_PARTITION_PHYSICAL || mnt->part[p].length == 0) {
    UDF_LOG(ERR, "parition is invalid. part_rnum=%d\n", p);
    return MDCUDFSR_INVALID_LSN;
  }
  const uint32_t b = mnt->logical_block_size;
  uint64_t pos = 0;
  if (p == MDCUDFSR_PARTITION_PHYSICAL) {
    pos = static_cast<uint64_t>(lbn) * b;
    if (pos >= mnt->part[p].length) {
      UDF_LOG(ERR, "lbn(0x%x) is out of partition. part_len=%llu\n", lbn,
              static_cast<unsigned long long>(mnt->part[p].length));
      return MDCUDFSR_INVALID_LSN;
    }
    if (avail) *avail = mnt->part[p].length - pos;
  } else {
    uint64_t left = 0;
    const uint32_t phys = mdcudfsr_offset2lbn(mnt, &mnt->part[p].list, static_cast<uint64_t>(lbn) * b, &left);
    if (phys == MDCUDFSR_INVALID_LBN) return MDCUDFSR_INVALID_LSN;
    if (avail) *avail = left;
    pos = static_cast<uint64_t>(phys) * b;
  }
  return static_cast<uint32_t>(pos / mnt->logical_sector_size + mnt->part[MDCUDFSR_PARTITION_PHYSICAL].start_sector);
}

namespace {

void sift(uint8_t* a, uint32_t i, uint32_t n, uint32_t s, int (*f)(const void*, const void*), uint8_t* tmp) {
  for (;;) {
    const uint32_t c1 = 2 * i + 1, c2 = 2 * i + 2;
    if (c1 >= n) return;
    uint32_t c = c1;
    if (c2 < n && f(a + c1 * static_cast<size_t>(s), a + c2 * static_cast<size_t>(s)) < 0) c = c2;
    if (f(a + i * static_cast<size_t>(s), a + c * static_cast<size_t>(s)) < 0) {
      std::memcpy(tmp, a + i * static_cast<size_t>(s), s);
      std::memcpy(a + i * static_cast<size_t>(s), a + c * static_cast<size_t>(s), s);
      std::memcpy(a + c * static_cast<size_t>(s), tmp, s);
      i = c;
    } else {
      return;
    }
  }
}

}  // namespace

void mdcudfsr_heap_sort(void* base, uint32_t n, uint32_t s, int (*f)(const void*, const void*)) {
  if (n == 0 || s == 0) return;
  auto* a = static_cast<uint8_t*>(base);
  // One element on the stack, rounded up to 16 bytes; nothing is allocated.
  const uint32_t rounded = (s + 15) & ~15u;
  auto* tmp = static_cast<uint8_t*>(__builtin_alloca(rounded));
  for (int64_t i = n / 2; i >= 0; --i) sift(a, static_cast<uint32_t>(i), n, s, f, tmp);
  for (uint32_t end = n - 1; end > 0; --end) {
    std::memcpy(tmp, a, s);
    std::memcpy(a, a + end * static_cast<size_t>(s), s);
    std::memcpy(a + end * static_cast<size_t>(s), tmp, s);
    sift(a, 0, end, s, f, tmp);
  }
}

uint32_t mdcudfsr_timevalue_ascii2int(const char* t, uint32_t k) {
  if (!t || k > 8) return 0;
  uint32_t v = 0;
  for (uint32_t i = 0; i < k; ++i) {
    const char c = t[i];
    uint32_t d;
    if (c >= '0' && c <= '9')
      d = static_cast<uint32_t>(c - '0');
    else if (c >= 'A' && c <= 'F')
      d = static_cast<uint32_t>(c - 'A' + 10);
    else if (c >= 'a' && c <= 'f')
      d = static_cast<uint32_t>(c - 'a' + 10);
    else
      return 0;
    v = v * 16 + d;
  }
  return v;
}

namespace {

bool check_pair(const mdcudfsr_udf_node_fields* parent, const mdcudfsr_udf_node_fields* child) {
  if (!parent) {
    UDF_LOGM(ERR, KELC, "%s\n", "parent");
    return false;
  }
  if (!child) {
    UDF_LOGM(ERR, KELC, "%s\n", "mdcudfsrcnp");
    return false;
  }
  return true;
}

void unlink_child(mdcudfsr_udf_node_fields* parent, mdcudfsr_udf_node_fields* child) {
  if (child->uid_prev)
    child->uid_prev->uid_next = child->uid_next;
  else if (parent->uid_first == child)
    parent->uid_first = child->uid_next;
  if (child->uid_next)
    child->uid_next->uid_prev = child->uid_prev;
  else if (parent->uid_last == child)
    parent->uid_last = child->uid_prev;
  child->uid_next = child->uid_prev = nullptr;
}

void insert_child(mdcudfsr_udf_node_fields* parent, mdcudfsr_udf_node_fields* child) {
  const uint64_t id = mdcudfsr_node_unique_id(child);
  mdcudfsr_udf_node_fields* pos = parent->uid_last;
  while (pos && mdcudfsr_node_unique_id(pos) >= id) pos = pos->uid_prev;
  child->uid_prev = pos;
  child->uid_next = pos ? pos->uid_next : parent->uid_first;
  if (child->uid_next)
    child->uid_next->uid_prev = child;
  else
    parent->uid_last = child;
  if (pos)
    pos->uid_next = child;
  else
    parent->uid_first = child;
  child->parent = parent;
}

}  // namespace

int mdcudfsr_insert_list_by_unique_id(mdcudfsr_udf_node_fields* parent, mdcudfsr_udf_node_fields* child) {
  UDF_TRACE_ENTRY();
  if (!check_pair(parent, child)) return KEL_EINVAL;
  insert_child(parent, child);
  UDF_TRACE_EXIT_ERR(0);
  return 0;
}

int mdcudfsr_remove_list_by_unique_id(mdcudfsr_udf_node_fields* parent, mdcudfsr_udf_node_fields* child) {
  UDF_TRACE_ENTRY();
  if (!check_pair(parent, child)) return KEL_EINVAL;
  unlink_child(parent, child);
  UDF_TRACE_EXIT_ERR(0);
  return 0;
}

int mdcudfsr_reinsert_list_by_unique_id(mdcudfsr_udf_node_fields* parent, mdcudfsr_udf_node_fields* child) {
  UDF_TRACE_ENTRY();
  if (!check_pair(parent, child)) return KEL_EINVAL;
  if (child->parent) unlink_child(child->parent, child);
  const int err = mdcudfsr_insert_list_by_unique_id(parent, child);
  if (err) UDF_LOG(ERR, "failed insert list by unique id err:%d\n", err);
  UDF_TRACE_EXIT_ERR(err);
  return err;
}
