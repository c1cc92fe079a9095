// Node names: a file identifier converted to the name the host sees (and the
// raw identifier kept when the name does not convert back unchanged), the
// checks of names that callers create, and the temporary names of the shadow
// directory.
#include "cache_internal.h"

#include "kelhost/kern_errno.h"
#include "udf/udf_names.h"

#include <cstring>
#include <vector>

using namespace kelcache;

namespace {

constexpr uint32_t kUtf8Capacity = 975;
constexpr uint32_t kMaxUnits = 127;
constexpr uint32_t kMaxParityUnits = 158;
constexpr uint32_t kMaxDotUnderscoreUnits = 129;

// Work buffers of one conversion, released together.
struct Buffers {
  uint16_t* utf16 = nullptr;
  uint32_t utf16_size = 0;
  uint8_t* utf8 = nullptr;
  uint16_t* back = nullptr;
  uint32_t back_size = 0;
  ~Buffers() {
    cache_free(utf16, utf16_size);
    cache_free(utf8, kUtf8Capacity + 1);
    cache_free(back, back_size);
  }
};

// The converted name and the round-trip test; 0 or the error.
int convert(const fileid_desc* fid, Buffers& b, char** vfs, bool* keep_raw) {
  const uint8_t* ident = reinterpret_cast<const uint8_t*>(fid) + sizeof(fileid_desc) + fid->l_iu;
  b.utf16_size = fid->l_fi * 2u + 2;
  b.utf16 = static_cast<uint16_t*>(cache_alloc(b.utf16_size));
  if (!b.utf16) {
    CACHE_LOGK(ERR, "%s\n", "utf16_string");
    return KEL_ENOMEM;
  }
  const uint32_t units = fid->l_fi ? mdcudfsr_cs0_to_unicode(fid->l_fi, ident, b.utf16) : 0;
  if (units == 0xFFFFFFFFu || units * 2u > b.utf16_size) {
    CACHE_LOGK(ERR, "err=%d\n", 22);
    return KEL_EINVAL;
  }
  b.utf8 = static_cast<uint8_t*>(cache_alloc(kUtf8Capacity + 1));
  if (!b.utf8) {
    CACHE_LOGK(ERR, "%s\n", "utf8_nfd");
    return KEL_ENOMEM;
  }
  size_t utf8_len = 0;
  int err = utf8_encodestr(b.utf16, units * 2u, b.utf8, &utf8_len, kUtf8Capacity, 0, 1);
  if (err) {
    CACHE_LOGK(ERR, "err=%d\n", err);
    return KEL_EROFS;
  }
  *vfs = static_cast<char*>(cache_alloc(MDCUDFSR_VFS_NAME_SIZE));
  if (!*vfs) {
    CACHE_LOGK(ERR, "%s\n", "*new_vfs_name");
    return KEL_ENOMEM;
  }
  size_t vfs_len = 0;
  err = utf8_normalizestr(b.utf8, utf8_len, reinterpret_cast<uint8_t*>(*vfs), &vfs_len, MDCUDFSR_VFS_NAME_SIZE, 1);
  if (err == KEL_ENAMETOOLONG) {
    CACHE_LOG(ERR, "File name(%s) too long for new node, mounting read only\n", reinterpret_cast<char*>(b.utf8));
    return KEL_EROFS;
  }
  if (err) {
    CACHE_LOGK(ERR, "err=%d\n", err);
    return err;
  }
  b.back_size = static_cast<uint32_t>(vfs_len) * 2u + 2;
  b.back = static_cast<uint16_t*>(cache_alloc(b.back_size));
  if (!b.back) {
    CACHE_LOGK(ERR, "%s\n", "utf16_nfc");
    return KEL_ENOMEM;
  }
  size_t back_len = 0;
  err = utf8_decodestr(reinterpret_cast<uint8_t*>(*vfs), vfs_len, b.back, &back_len, vfs_len * 2u, 0, 2);
  if (err) {
    CACHE_LOGK(ERR, "err=%d\n", err);
    return KEL_EROFS;
  }
  *keep_raw = back_len != units * 2u || std::memcmp(b.back, b.utf16, back_len) != 0 || back_len > 255;
  return 0;
}

int get_filename(const fileid_desc* fid, mdcudfsr_cache_node** tree, bool check_unique, char** new_vfs_name,
                 uint8_t** udf_name, uint64_t* udf_name_len) {
  *new_vfs_name = nullptr;
  *udf_name = nullptr;
  *udf_name_len = 0;
  int err;
  {
    Buffers b;
    bool keep_raw = false;
    err = convert(fid, b, new_vfs_name, &keep_raw);
    if (!err && keep_raw) {
      *udf_name = static_cast<uint8_t*>(cache_alloc(fid->l_fi ? fid->l_fi : 1));
      if (!*udf_name) {
        CACHE_LOGK(ERR, "%s\n", "*udf_name");
        err = KEL_ENOMEM;
      } else {
        std::memcpy(*udf_name, reinterpret_cast<const uint8_t*>(fid) + sizeof(fileid_desc) + fid->l_iu, fid->l_fi);
        *udf_name_len = fid->l_fi;
      }
    }
  }
  if (!err && check_unique && !mdcudfsr_cache_unique_filename(tree, *new_vfs_name)) {
    CACHE_LOG(ERR, "Non-unique filename(%s) for new node, mounting read only\n", *new_vfs_name);
    err = KEL_EROFS;
  }
  if (err) {
    cache_free(*new_vfs_name, MDCUDFSR_VFS_NAME_SIZE);
    cache_free(*udf_name, fid->l_fi ? fid->l_fi : 1);
    *new_vfs_name = nullptr;
    *udf_name = nullptr;
    *udf_name_len = 0;
  }
  CACHE_LOG(INFO, "err=%d", err);
  return err;
}

// 0 when every high surrogate is followed by a low one and no low one
// stands alone; else 22.
int check_surrogates(const uint16_t* u, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (u[i] >= 0xD800 && u[i] <= 0xDBFF) {
      if (i + 1 >= count || u[i + 1] < 0xDC00 || u[i + 1] > 0xDFFF) {
        CACHE_LOGK(NOTI, "Upper Surrogate Pair only, EINVAL\n");
        return KEL_EINVAL;
      }
      ++i;
    } else if (u[i] >= 0xDC00 && u[i] <= 0xDFFF) {
      CACHE_LOGK(NOTI, "Under Surrogate Pair only, EINVAL\n");
      return KEL_EINVAL;
    }
  }
  return 0;
}

// Surrogates written as three-byte sequences of their own (ED A0-BF xx):
// the host layer's decoder refuses them, so they are checked on the bytes,
// with the same pairing rule as the decoded units.
int check_encoded_surrogates(const char* name, size_t len) {
  std::vector<uint16_t> units;
  const auto* p = reinterpret_cast<const uint8_t*>(name);
  for (size_t i = 0; i < len;) {
    const uint8_t b = p[i];
    const size_t step = b < 0xC0 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    if (b == 0xED && i + 2 < len && p[i + 1] >= 0xA0) units.push_back(0xD800 | ((p[i + 1] & 0x3F) << 6) | (p[i + 2] & 0x3F));
    else units.push_back('x');
    i += step;
  }
  return units.empty() ? 0 : check_surrogates(units.data(), units.size());
}

int check_slash(const char* name, const char* scan, size_t len, int parity) {
  for (size_t i = 0; i < len && scan[i]; ++i) {
    if (scan[i] != '/') continue;
    if (parity) CACHE_LOGK(ERR, "parity file name '%s' contains '%c'(%0x)\n", name, '/', '/');
    else CACHE_LOGK(ERR, "file name '%s' contains '%c'(%0x)\n", name, '/', '/');
    return KEL_EINVAL;
  }
  return 0;
}

// The name's length in UTF-16 units, or the error of the conversion.
int check_units(const char* name, size_t len, int parity) {
  const uint32_t size = static_cast<uint32_t>(len) * 2u + 2;
  auto* units = static_cast<uint16_t*>(cache_alloc(size));
  if (!units) {
    CACHE_LOG(ERR, "can't allocate unicode buf\n");
    return KEL_ENOMEM;
  }
  int err = check_encoded_surrogates(name, len);
  if (err) {
    cache_free(units, size);
    return err;
  }
  size_t bytes = 0;
  err = utf8_decodestr(reinterpret_cast<const uint8_t*>(name), len, units, &bytes, len * 2u, 0, 0);
  if (err) CACHE_LOG(ERR, "utf8_decodestr err = %d\n", err);
  else err = check_surrogates(units, bytes / 2);
  cache_free(units, size);
  if (err) return err;
  const size_t count = bytes / 2;
  if (count <= (parity ? kMaxParityUnits : kMaxUnits)) return 0;
  const bool dot_underscore = len > 2 && name[0] == '.' && name[1] == '_' && name[2] != '/';
  if (dot_underscore && count <= kMaxDotUnderscoreUnits) return 0;
  CACHE_LOG(ERR, "too long file/dir name %s\n", name);
  return KEL_ENAMELIMIT;
}

// A name the host creates must fit a descriptor's identifier: the byte
// count after compression decides, not the units (a "._" name of 129 units
// with one character above U+00FF needs 259 bytes). 0 or 36.
int check_identifier(const char* name, size_t len) {
  uint8_t ident[kMaxIdentifier];
  uint32_t bytes = 0;
  const int err = kelcache::name_identifier(name, len, ident, &bytes);
  if (err == KEL_ENAMELIMIT) CACHE_LOG(ERR, "too long file/dir name %s\n", name);
  return err;
}

}  // namespace

int kelcache::name_identifier(const char* name, size_t len, uint8_t* out, uint32_t* out_len) {
  uint8_t norm[MDCUDFSR_VFS_NAME_SIZE];
  size_t norm_len = 0;
  int err = utf8_normalizestr(reinterpret_cast<const uint8_t*>(name), len, norm, &norm_len, sizeof norm, 2);
  *out_len = kMaxIdentifier;
  if (!err) err = mdcudfsr_unicode_utf82udf(norm, static_cast<uint32_t>(norm_len), out, out_len);
  return err;
}

int mdcudfsr_cache_get_udf_filename(const fileid_desc* fid, mdcudfsr_cache_node** dir_name_tree,
                                    char** new_vfs_name, uint8_t** udf_name, uint64_t* udf_name_len) {
  return get_filename(fid, dir_name_tree, true, new_vfs_name, udf_name, udf_name_len);
}

int mdcudfsr_cache_get_udf_filename_ex(const fileid_desc* fid, char** new_vfs_name, uint8_t** udf_name,
                                       uint64_t* udf_name_len) {
  return get_filename(fid, nullptr, false, new_vfs_name, udf_name, udf_name_len);
}

int mdcudfsr_cache_unique_filename(mdcudfsr_cache_node** tree, const char* name) {
  if (tree && mdcudfsr_name_avl_check_search(*tree, name)) {
    CACHE_LOG(WARN, "target name is already exist[%s]\n", name);
    return 0;
  }
  return 1;
}

int mdcudfsr_cache_is_valid_filename(const char* name, int64_t len, mdcudfsr_cache_node*, int normalize, int parity) {
  if (!name) return KEL_EINVAL;
  const size_t n = len < 0 ? std::strlen(name) : strnlen(name, static_cast<size_t>(len));
  // An empty name, and the names readdir lists itself, are never created.
  if (n == 0 || (n == 1 && name[0] == '.') || (n == 2 && name[0] == '.' && name[1] == '.')) {
    CACHE_LOGK(ERR, "file name '%.*s' is not allowed\n", static_cast<int>(n), name);
    return KEL_EINVAL;
  }
  char* normalized = nullptr;
  const char* scan = name;
  size_t scan_len = n;
  if (normalize) {
    normalized = static_cast<char*>(cache_alloc(MDCUDFSR_VFS_NAME_SIZE));
    if (!normalized) return KEL_ENOMEM;
    const int err = utf8_normalizestr(reinterpret_cast<const uint8_t*>(name), n,
                                      reinterpret_cast<uint8_t*>(normalized), &scan_len, MDCUDFSR_VFS_NAME_SIZE, 2);
    if (err) {
      CACHE_LOGK(ERR, "err=%d\n", err);
      cache_free(normalized, MDCUDFSR_VFS_NAME_SIZE);
      return err;
    }
    scan = normalized;
  }
  int err = check_slash(name, scan, scan_len, parity);
  cache_free(normalized, MDCUDFSR_VFS_NAME_SIZE);
  if (!err) err = check_units(name, n, parity);
  // A parity node is named on the disc by its parity suffix alone.
  if (!err && !parity) err = check_identifier(name, n);
  return err;
}

int mdcudfsr_cache_is_hidden_temp_name(const char* name, mdcudfsr_cache_node* parent) {
  if (!name || !parent || parent->kind != MDCUDFSR_NODE_SHADOW) return 0;
  if (!parent->vfs_name || std::strcmp(parent->vfs_name, "$") != 0) return 0;
  return std::strncmp(name, ".fuse_hidden", 12) == 0 || std::strncmp(name, "@@", 2) == 0;
}

int mdcudfsr_cache_is_dollar_proxyfile(mdcudfsr_cache_node* n) {
  if (!n) {
    CACHE_LOGK(ERR, "%s\n", "mdcudfsrcnp");
    return 0;
  }
  if (!n->parent) {
    CACHE_LOGK(ERR, "%s\n", "mdcudfsrcnp->parent");
    return 0;
  }
  return mdcudfsr_cache_is_hidden_temp_name(n->vfs_name, mdcudfsr_parent(n));
}
