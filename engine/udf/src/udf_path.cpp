// Path components (see udf_path.h).
#include "udf/udf_path.h"
#include "kelhost/kern_errno.h"
#include "udf/udf_names.h"

#include "udf_log.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

enum : uint8_t { kRootOld = 1, kRoot = 2, kParent = 3, kCurrent = 4, kNamed = 5 };
constexpr uint32_t kWorkArea = 260;
constexpr uint32_t kMaxIdentifier = 255;

struct Component {
  uint8_t type;
  std::string text;
};

std::vector<Component> split(const char* s) {
  std::vector<Component> out;
  const char* p = s;
  while (*p) {
    const char* end = std::strchr(p, '/');
    if (!end) end = p + std::strlen(p);
    const std::string c(p, end);
    if (c.empty())
      out.push_back({kRoot, ""});
    else if (c == ".")
      out.push_back({kCurrent, c});
    else if (c == "..")
      out.push_back({kParent, c});
    else
      out.push_back({kNamed, c});
    p = end;
    while (*p == '/') ++p;
  }
  return out;
}

int compress(const std::string& name, uint8_t* work, uint32_t* len) {
  *len = kMaxIdentifier;
  return mdcudfsr_unicode_utf82udf(reinterpret_cast<const uint8_t*>(name.data()), static_cast<uint32_t>(name.size()),
                                   work, len);
}

}  // namespace

int mdcudfsr_inquiry_path_component(const char* target, uint32_t* length, char* new_path) {
  if (!target) {
    UDF_LOG(ERR, "%s\n", "path");
    if (length) *length = 0;
    return KEL_EINVAL;
  }
  if (!length) {
    UDF_LOG(ERR, "%s\n", "path_component_length");
    return KEL_EINVAL;
  }
  if (!new_path) {
    UDF_LOG(ERR, "%s\n", "new_path");
    *length = 0;
    return KEL_EINVAL;
  }
  *length = 0;
  std::memset(new_path, 0, std::strlen(target) + 1);
  auto* work = static_cast<uint8_t*>(std::malloc(kWorkArea));
  if (!work) {
    UDF_LOG(ERR, "%s\n", "component_identifier");
    return KEL_ENOMEM;
  }
  size_t out = 0;
  bool any = false;
  for (const Component& c : split(target)) {
    if (c.type == kRoot) {
      *length += 4;
      new_path[out++] = '/';
      continue;
    }
    uint32_t l = 0;
    if (c.type == kNamed) {
      const int err = compress(c.text, work, &l);
      if (err) {
        UDF_LOG(ERR, "err=%d\n", err);
        *length = 0;
        std::free(work);
        return err;
      }
    }
    *length += 4 + l;
    if (any) new_path[out++] = '/';
    std::memcpy(new_path + out, c.text.data(), c.text.size());
    out += c.text.size();
    any = true;
  }
  std::free(work);
  return 0;
}

uint32_t mdcudfsr_create_path_component(const char* target, uint8_t* out, uint32_t capacity) {
  if (!target) {
    UDF_LOG(ERR, "%s\n", "path");
    return 0;
  }
  if (!out) {
    UDF_LOG(ERR, "%s\n", "efe_path_component");
    return 0;
  }
  auto* work = static_cast<uint8_t*>(std::malloc(kWorkArea));
  if (!work) {
    UDF_LOG(ERR, "%s\n", "component_identifier");
    return 0;
  }
  uint32_t total = 0;
  for (const Component& c : split(target)) {
    uint32_t l = 0;
    if (c.type == kNamed) {
      const int err = compress(c.text, work, &l);
      if (err) {
        UDF_LOG(ERR, "err=%d\n", err);
        std::free(work);
        return 0;
      }
    }
    // Components never run past the area they are written to.
    if (uint64_t{total} + 4 + l > capacity) {
      UDF_LOG(ERR, "path components exceed the area. size=%u\n", capacity);
      std::free(work);
      return 0;
    }
    out[total] = c.type;
    out[total + 1] = static_cast<uint8_t>(l);
    out[total + 2] = out[total + 3] = 0;
    std::memcpy(out + total + 4, work, l);
    total += 4 + l;
  }
  std::free(work);
  return total;
}

namespace {

// The bytes the decoded path of the components in p[0, l_ad) may take,
// its terminator included (each decoded unit may take up to three bytes of
// UTF-8). 0 when a component crosses the end of the area.
uint64_t decoded_path_room(const uint8_t* p, uint32_t l_ad) {
  uint64_t count = 1;
  for (uint32_t off = 0; off + 4 <= l_ad;) {
    const uint8_t type = p[off], l_ci = p[off + 1];
    if (off + 4 + l_ci > l_ad) {
      UDF_LOG(ERR, "path component crosses the allocation area. off=%u l_ci=%u\n", off, l_ci);
      return 0;
    }
    if (type == kRootOld || type == kRoot || type == kCurrent) count += 2;
    else if (type == kParent) count += 3;
    else if (type == kNamed) count += 2u * l_ci + 1;
    off += 4 + l_ci;
  }
  return count * 2 + 1;
}

// The components in p[0, l_ad) decoded into path (room bytes) as a
// '/'-separated path, terminated; *out its length. 0, or the error of a
// name that cannot be decoded.
int decode_path(const uint8_t* p, uint32_t l_ad, char* path, uint64_t room, size_t* out_len) {
  size_t out = 0;
  bool separate = false;
  for (uint32_t off = 0; off + 4 <= l_ad;) {
    const uint8_t type = p[off], l_ci = p[off + 1];
    const uint8_t* ci = p + off + 4;
    off += 4 + l_ci;
    if (type < kRootOld || type > kNamed) continue;
    if (separate) path[out++] = '/';
    if (type == kRootOld || type == kRoot) {
      path[out++] = '/';
      separate = false;
      continue;
    }
    if (type == kParent) {
      std::memcpy(path + out, "..", 2);
      out += 2;
    } else if (type == kCurrent) {
      path[out++] = '.';
    } else {
      uint64_t len = room - out - 1;
      const int err = mdcudfsr_unicode_udf2utf8(ci, l_ci, reinterpret_cast<uint8_t*>(path + out), &len);
      if (err) {
        UDF_LOG(ERR, "err=%d\n", err);
        return err;
      }
      out += len;
    }
    separate = true;
  }
  path[out] = 0;
  *out_len = out;
  return 0;
}

}  // namespace

int mdcudfsr_reverse_lookup_path_component(mdcudfsr_udf_node_fields* node, const uint8_t* efe_block,
                                           uint32_t block_size) {
  if (!node) {
    UDF_LOG(ERR, "%s\n", "mdcudfsrcnp");
    return KEL_EINVAL;
  }
  if (!efe_block) {
    UDF_LOG(ERR, "%s\n", "efe_buf");
    return KEL_EINVAL;
  }
  std::free(node->symlink_target);
  node->symlink_target = nullptr;
  if (!node->udf_data) return KEL_EINVAL;
  const uint32_t l_ea = node->udf_data->efe.l_ea, l_ad = node->udf_data->efe.l_ad;
  // The components must lie inside the entry's allocation descriptor area.
  if (uint64_t{sizeof(extended_file_entry)} + l_ea + l_ad > block_size) {
    UDF_LOG(ERR, "l_ad is invalid. size=%d l_ad=%d\n", block_size, l_ad);
    return KEL_EINVAL;
  }
  const uint8_t* p = efe_block + sizeof(extended_file_entry) + l_ea;
  const uint64_t count = decoded_path_room(p, l_ad);
  if (count == 0) return KEL_EINVAL;
  auto* path = static_cast<char*>(std::calloc(1, count));
  if (!path) {
    UDF_LOG(ERR, "%s\n", "path");
    return KEL_ENOMEM;
  }
  size_t out = 0;
  if (const int err = decode_path(p, l_ad, path, count, &out)) {
    std::free(path);
    return err;
  }
  node->symlink_target = static_cast<char*>(std::malloc(out + 1));
  if (!node->symlink_target) {
    UDF_LOG(ERR, "%s\n", "mdcudfsrcnp->symlink_target");
    std::free(path);
    return KEL_ENOMEM;
  }
  std::memcpy(node->symlink_target, path, out + 1);
  std::free(path);
  return 0;
}
