// Client side of the metacache channel: request builders and the composite
// operations on the fs management cache.
#include "kelagent/metacache.h"

#include "agent_bytes.h"
#include "agent_log.h"
#include "agent_neighbours.h"
#include "kelagent/mdc_channel.h"
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "platform/sync.h"

#include <cstdlib>
#include <cstring>
#include <vector>

using namespace kelagent;

namespace {

constexpr int kTraceCategory = 19;

const char* vol_name(const mdcudfsr_mount* mp) {
  return mp->volume_name[0] ? mp->volume_name : "UNKNOWN";
}


// Sends one request whose payload `fill` writes in place (len bytes); its
// sequence id goes to *seq.
template <typename Fill>
int send_request(mdcudfsr_mount* mp, std::uint32_t req_id, std::uint32_t len, Fill&& fill, std::uint32_t* seq,
                 const char* fn) {
  mdc_channel* ch = mp->metacachedev;
  mdc_req_t* req = ch ? mdcudfsr_metacache_alloc_req(ch, static_cast<std::int32_t>(len)) : nullptr;
  if (!req) {
    KELC_LOG(kLogErr, "%s\n", "req");
    return KEL_ENOMEM;
  }
  req->hdr.req_id = req_id;
  if (len) fill(req->payload());
  *seq = req->hdr.seq_id;
  if (agent_trace_on(kTraceCategory))
    KELC_LOG(kLogWarn, "[%s](tid=%08x) %s:%d VFAMTXRX req id=%d seqid=%d\n", vol_name(mp), GetCurrentThreadId(),
             fn, __LINE__, static_cast<int>(req_id), static_cast<int>(*seq));
  const int err = mdcudfsr_metacache_send_req(ch, req, nullptr);
  if (err) {
    KELC_LOG(kLogErr, "err=%d\n", err);
    mdcudfsr_metacache_free_req(ch, req);
  }
  return err;
}

// Waits for the answer of the request sent as seq. On success *out holds
// the answer, whose error is 0 and whose payload holds at least min_payload
// bytes; the caller frees it.
int take_answer(mdcudfsr_mount* mp, std::uint32_t req_id, std::uint32_t seq, std::uint32_t min_payload,
                mdc_ans_t** out, const char* fn) {
  *out = nullptr;
  mdc_channel* ch = mp->metacachedev;
  mdc_ans_t* ans = nullptr;
  int err = mdcudfsr_metacache_wait_ans(ch, static_cast<std::int32_t>(seq), &ans);
  if (err) {
    KELC_LOG(kLogErr, "err=%d\n", err);
    return err;
  }
  if (ans->hdr.error != 0) {
    err = ans->hdr.error;
    KELC_LOG(kLogErr, "err=%d\n", err);
  } else if (ans->hdr.payload_size < min_payload) {
    // An answer too short for its request carries nothing usable.
    KELC_LOG(kLogErr, "%s\n", "ans->payload_size >= expected");
    err = KEL_EIO;
  }
  if (agent_trace_on(kTraceCategory)) {
    KELC_LOG(kLogWarn, "[%s](tid=%08x) %s:%d VFAMTXRX ans id=%d seqid=%d\n", vol_name(mp), GetCurrentThreadId(),
             fn, __LINE__, static_cast<int>(req_id), static_cast<int>(seq));
    KELC_LOG(kLogWarn, "[%s](tid=%08x) %s:%d VFAMTXRX err=%d\n", vol_name(mp), GetCurrentThreadId(), fn,
             __LINE__, err);
  }
  if (err) {
    mdcudfsr_metacache_free_ans(ch, ans);
    return err;
  }
  *out = ans;
  return 0;
}

// Sends one request and waits for its answer (see take_answer).
int exchange(mdcudfsr_mount* mp, std::uint32_t req_id, const std::uint8_t* payload, std::uint32_t len,
             std::uint32_t min_payload, mdc_ans_t** out, const char* fn) {
  *out = nullptr;
  std::uint32_t seq = 0;
  const int err = send_request(
      mp, req_id, len, [&](std::uint8_t* to) { std::memcpy(to, payload, len); }, &seq, fn);
  return err ? err : take_answer(mp, req_id, seq, min_payload, out, fn);
}

void free_ans(mdcudfsr_mount* mp, mdc_ans_t* ans) {
  if (ans) mdcudfsr_metacache_free_ans(mp->metacachedev, ans);
}

std::uint32_t convert_open_mode(std::uint32_t access) {
  std::uint32_t low = access & 3;
  if (low) --low;
  return (access & ~3u) | low;
}

int read_serial(mdcudfsr_mount* mp, mdcudfsr_cache_node* node, char serial[32]) {
  std::memset(serial, 0, 32);
  const int err = host_device_ioctl(mp, MDC_IOCTL_GET_MEDIUM_SERIAL, serial, node);
  if (err) {
    KELC_LOG(kLogErr, "failed to read attribute[ID:0401H]. err=%d\n", err);
    return err;
  }
  mdcudfsr_metacache_trim_serial(serial);
  return 0;
}

int read_attr_1500(mdcudfsr_mount* mp, mdcudfsr_cache_node* node, std::uint8_t data[140]) {
  std::memset(data, 0, 140);
  mdc_read_attribute_ctl ctl{};
  ctl.attribute_id = 0x1500;
  ctl.length = 140;
  ctl.data = data;
  return host_device_ioctl(mp, MDC_IOCTL_READ_ATTRIBUTE, &ctl, node);
}

int open_named(mdcudfsr_mount* mp, std::uint32_t req_id, const char* name, std::uint32_t access,
               std::int32_t* handle, std::uint32_t* cache_err, const char* fn) {
  std::uint8_t payload[55] = {};
  if (name) std::strncpy(reinterpret_cast<char*>(payload), name, 51);
  put32(payload + 51, convert_open_mode(access));
  mdc_ans_t* ans = nullptr;
  const int err = exchange(mp, req_id, payload, sizeof payload, 12, &ans, fn);
  if (err) {
    KELC_LOG(kLogErr, "localcache_open_Error\n");
    return err;
  }
  if (cache_err) *cache_err = get32(ans->payload());
  if (handle) *handle = static_cast<std::int32_t>(get64(ans->payload() + 4) & 0xFFFFFFFFu);
  if (agent_trace_on(kTraceCategory))
    KELC_LOG(kLogWarn, "[%s](tid=%08x) %s:%d VFAMTXRX ans id=%d seqid=%d handle=0x%08x\n", vol_name(mp),
             GetCurrentThreadId(), fn, __LINE__, static_cast<int>(req_id), static_cast<int>(ans->hdr.seq_id),
             static_cast<unsigned>(get64(ans->payload() + 4)));
  free_ans(mp, ans);
  return 0;
}

// Closes and deletes the fs management cache after it proved unusable.
void drop_fsmanage_cache(mdcudfsr_mount* mp, mdcudfsr_cache_node* node) {
  mdcudfsr_metacache_file_close(mp, mp->fsmanage_handle);
  mp->fsmanage_handle = -1;
  mdcudfsr_metacache_fsmanage_delete(mp, node);
}

// A write to the fs management cache during the mount-time adjustment; on
// failure the cache is closed and deleted.
int ajust_write(mdcudfsr_mount* mp, mdcudfsr_cache_node* node, std::uint64_t offset, std::uint32_t length,
                const void* data) {
  std::uint32_t written = 0;
  std::uint32_t cache_err = 0;
  const int err = mdcudfsr_metacache_file_write(mp, mp->fsmanage_handle, offset, length, data, &written, &cache_err);
  if (err) {
    KELC_LOG(kLogErr, "fs management cache write failed err:%d cache_err:%d\n", err, static_cast<int>(cache_err));
    drop_fsmanage_cache(mp, node);
    return err;
  }
  if (cache_err) {
    KELC_LOG(kLogErr, "mdcudfsr_metacache_file_write success but cache write err(%d)\n", static_cast<int>(cache_err));
    drop_fsmanage_cache(mp, node);
    return KEL_EINVAL;
  }
  return 0;
}

const char* const kMediaTags[10] = {"RDI_0", "RDI_1", "RDI_2", "RTI_0", "RTI_1",
                                    "RDS_0", "RDS_8", "RDS_A", "RDS_12", "ORD"};

}  // namespace

void mdcudfsr_metacache_trim_serial(char serial[32]) {
  if (serial[0] == '\0') return;
  for (int i = 31; i >= 0; --i) {
    if (serial[i] != ' ' && serial[i] != '\0') break;
    serial[i] = '\0';
  }
}

void mdcudfsr_metacache_bump_coherency(std::uint8_t* record) {
  for (int i = 361; i <= 363; ++i) {
    if (++record[i] != 0) break;
  }
}

#define CHECK_MOUNT(mp)                        \
  do {                                         \
    if (!(mp)) {                               \
      KELC_LOG(kLogErr, "%s\n", "mdcudfsrmp"); \
      return KEL_EINVAL;                               \
    }                                          \
  } while (0)

int mdcudfsr_metacache_fsmanage_open(mdcudfsr_mount* mp, mdcudfsr_cache_node* node, std::uint32_t* coherent,
                                     std::uint32_t* created) {
  KELC_LOG(kLogInfo, "++++");
  CHECK_MOUNT(mp);
  char serial[32];
  int err = read_serial(mp, node, serial);
  if (err) return err;
  std::memcpy(mp->medium_serial, serial, 32);
  std::uint8_t attr[140];
  std::uint32_t attr_failed = 0;
  err = read_attr_1500(mp, node, attr);
  if (err) {
    KELC_LOG(kLogWarn, "failed to read attribute[ID:1500H]. Status:%d\n", err);
    attr_failed = 1;
  }
  std::uint8_t payload[168] = {};
  std::memcpy(payload, serial, 32);
  put32(payload + 32, 2);
  std::memcpy(payload + 36, attr + 9, 128);
  put32(payload + 164, attr_failed);
  mdc_ans_t* ans = nullptr;
  err = exchange(mp, MDC_REQ_FSMANAGE_OPEN, payload, sizeof payload, 20, &ans, __func__);
  if (err) {
    KELC_LOG(kLogErr, "fsmanageopen_Error\n");
    return err;
  }
  mp->fsmanage_handle = static_cast<std::int32_t>(get64(ans->payload() + 4) & 0xFFFFFFFFu);
  if (coherent) *coherent = get32(ans->payload() + 12);
  if (created) *created = get32(ans->payload() + 16);
  free_ans(mp, ans);
  return 0;
}

int mdcudfsr_metacache_localfile_open(mdcudfsr_mount* mp, const char* name, std::uint32_t access,
                                      std::int32_t* handle, std::uint32_t* cache_err) {
  CHECK_MOUNT(mp);
  return open_named(mp, MDC_REQ_LOCALFILE_OPEN, name, access, handle, cache_err, __func__);
}

int mdcudfsr_metacache_efefile_open(mdcudfsr_mount* mp, const char* name, std::uint32_t access,
                                    std::int32_t* handle, std::uint32_t* cache_err) {
  KELC_LOG(kLogInfo, "create_file_name %s", name ? name : "");
  CHECK_MOUNT(mp);
  return open_named(mp, MDC_REQ_EFEFILE_OPEN, name, access, handle, cache_err, __func__);
}

int mdcudfsr_metacache_file_read_begin(mdcudfsr_mount* mp, std::int32_t handle, std::uint64_t offset,
                                       std::uint32_t length, mdc_pending_read* r) {
  KELC_LOG(kLogInfo, "offset=%lld length=%d (handle=%p)", static_cast<long long>(offset), static_cast<int>(length),
           reinterpret_cast<void*>(static_cast<intptr_t>(handle)));
  CHECK_MOUNT(mp);
  *r = mdc_pending_read{};
  std::uint32_t seq = 0;
  const int err = send_request(
      mp, MDC_REQ_FILE_READ, 16,
      [&](std::uint8_t* to) {
        put32(to, static_cast<std::uint32_t>(handle));
        put64(to + 4, offset);
        put32(to + 12, length);
      },
      &seq, "mdcudfsr_metacache_file_read");
  if (!err) *r = mdc_pending_read{seq, handle, offset, length, true};
  return err;
}

int mdcudfsr_metacache_file_read_end(mdcudfsr_mount* mp, mdc_pending_read* r, void* dst, std::uint32_t* read_len,
                                     std::uint32_t* cache_err) {
  CHECK_MOUNT(mp);
  if (!r->sent) return KEL_EINVAL;
  const mdc_pending_read sent = *r;
  *r = mdc_pending_read{};
  mdc_ans_t* ans = nullptr;
  int err = take_answer(mp, MDC_REQ_FILE_READ, sent.seq, 8, &ans, "mdcudfsr_metacache_file_read");
  if (err) return err;
  const std::uint32_t ce = get32(ans->payload());
  const std::uint32_t n = get32(ans->payload() + 4);
  if (ce == 0) {
    if (n > sent.length || n > ans->hdr.payload_size - 8) {
      KELC_LOG(kLogErr, "%s\n", "ans_cache_read->read_length <= length");
      free_ans(mp, ans);
      return KEL_ENOBUFS;
    }
    if (n) std::memcpy(dst, ans->payload() + 8, n);
    if (read_len) *read_len = n;
  }
  if (cache_err) *cache_err = ce;
  free_ans(mp, ans);
  if (mp->read_cache_bitmap && mp->read_cache && mp->logical_block_size &&
      sent.offset / mp->logical_block_size <= mp->read_cache_bitmap_blocks)
    err = mdcudfsr_update_metadata_bitmap_for_read_cache(mp, mp->read_cache_bitmap, sent.offset, sent.length);
  return err;
}

void mdcudfsr_metacache_file_read_drop(mdcudfsr_mount* mp, mdc_pending_read* r) {
  if (!mp || !r->sent) return;
  const std::uint32_t seq = r->seq;
  *r = mdc_pending_read{};
  mdc_ans_t* ans = nullptr;
  if (take_answer(mp, MDC_REQ_FILE_READ, seq, 0, &ans, "mdcudfsr_metacache_file_read") == 0) free_ans(mp, ans);
}

int mdcudfsr_metacache_file_read(mdcudfsr_mount* mp, std::int32_t handle, std::uint64_t offset,
                                 std::uint32_t length, void* dst, std::uint32_t* read_len,
                                 std::uint32_t* cache_err) {
  mdc_pending_read r;
  const int err = mdcudfsr_metacache_file_read_begin(mp, handle, offset, length, &r);
  return err ? err : mdcudfsr_metacache_file_read_end(mp, &r, dst, read_len, cache_err);
}

int mdcudfsr_metacache_file_write_begin(mdcudfsr_mount* mp, std::int32_t handle, std::uint64_t offset,
                                        std::uint32_t length, const void* src, mdc_pending_write* w) {
  CHECK_MOUNT(mp);
  *w = mdc_pending_write{};
  if (length == 0) return 0;
  if (length > MDC_FILE_WRITE_PIECE) return KEL_EINVAL;
  const int err = send_request(
      mp, MDC_REQ_FILE_WRITE, 16 + length,
      [&](std::uint8_t* to) {
        put32(to, static_cast<std::uint32_t>(handle));
        put64(to + 4, offset);
        put32(to + 12, length);
        std::memcpy(to + 16, src, length);
      },
      &w->seq, __func__);
  if (!err) w->length = length;
  return err;
}

int mdcudfsr_metacache_file_write_end(mdcudfsr_mount* mp, mdc_pending_write* w, std::uint32_t* written,
                                      std::uint32_t* cache_err) {
  CHECK_MOUNT(mp);
  if (written) *written = 0;
  if (w->length == 0) return 0;
  const mdc_pending_write sent = *w;
  *w = mdc_pending_write{};
  mdc_ans_t* ans = nullptr;
  const int err = take_answer(mp, MDC_REQ_FILE_WRITE, sent.seq, 8, &ans, "mdcudfsr_metacache_file_write");
  if (err) return err;
  const std::uint32_t ce = get32(ans->payload());
  const std::uint32_t done = get32(ans->payload() + 4);
  free_ans(mp, ans);
  if (written) *written = done;
  if (cache_err) *cache_err = ce;
  return 0;
}

int mdcudfsr_metacache_file_write(mdcudfsr_mount* mp, std::int32_t handle, std::uint64_t offset,
                                  std::uint32_t length, const void* src, std::uint32_t* written,
                                  std::uint32_t* cache_err) {
  CHECK_MOUNT(mp);
  if (written) *written = 0;
  const auto* data = static_cast<const std::uint8_t*>(src);
  for (std::uint32_t sent = 0; sent < length;) {
    const std::uint32_t piece = std::min<std::uint32_t>(length - sent, MDC_FILE_WRITE_PIECE);
    mdc_pending_write w;
    std::uint32_t done = 0, ce = 0;
    int err = mdcudfsr_metacache_file_write_begin(mp, handle, offset + sent, piece, data + sent, &w);
    if (!err) err = mdcudfsr_metacache_file_write_end(mp, &w, &done, &ce);
    if (err) return err;
    if (written) *written = sent + done;
    if (cache_err) *cache_err = ce;
    if (ce) return 0;
    sent += piece;
  }
  return 0;
}

int mdcudfsr_metacache_file_close(mdcudfsr_mount* mp, std::int32_t handle) {
  KELC_LOG(kLogInfo, "handle 0x%08x", static_cast<unsigned>(handle));
  CHECK_MOUNT(mp);
  std::uint8_t payload[8] = {};
  put32(payload, static_cast<std::uint32_t>(handle));
  mdc_ans_t* ans = nullptr;
  const int err = exchange(mp, MDC_REQ_FILE_CLOSE, payload, sizeof payload, 4, &ans, __func__);
  if (err) {
    if (handle != -1) KELC_LOG(kLogErr, "err=%d\n", err);
    return err;
  }
  free_ans(mp, ans);
  return 0;
}

int mdcudfsr_metacache_file_delete(mdcudfsr_mount* mp, const char* name, std::uint32_t* cache_err) {
  CHECK_MOUNT(mp);
  std::uint8_t payload[51] = {};
  if (name) std::strncpy(reinterpret_cast<char*>(payload), name, 51);
  mdc_ans_t* ans = nullptr;
  const int err = exchange(mp, MDC_REQ_FILE_DELETE, payload, sizeof payload, 4, &ans, __func__);
  if (err) return err;
  if (cache_err) *cache_err = get32(ans->payload());
  free_ans(mp, ans);
  return 0;
}

int mdcudfsr_metacache_fsmanage_delete(mdcudfsr_mount* mp, mdcudfsr_cache_node* node) {
  CHECK_MOUNT(mp);
  std::uint8_t payload[32] = {};
  if (mp->medium_serial[0] != '\0') {
    std::memcpy(payload, mp->medium_serial, 32);
  } else {
    char serial[32];
    const int err = read_serial(mp, node, serial);
    if (err) return err;
    std::memcpy(payload, serial, 32);
  }
  mdc_ans_t* ans = nullptr;
  const int err = exchange(mp, MDC_REQ_FSMANAGE_DELETE, payload, sizeof payload, 4, &ans, __func__);
  if (err) return err;
  free_ans(mp, ans);
  return 0;
}

int mdcudfsr_metacache_file_truncate(mdcudfsr_mount* mp, std::int32_t handle, std::uint32_t size,
                                     std::uint32_t* cache_err) {
  CHECK_MOUNT(mp);
  std::uint8_t payload[8];
  put32(payload, static_cast<std::uint32_t>(handle));
  put32(payload + 4, size);
  mdc_ans_t* ans = nullptr;
  const int err = exchange(mp, MDC_REQ_FILE_TRUNCATE, payload, sizeof payload, 4, &ans, __func__);
  if (err) return err;
  if (cache_err) *cache_err = get32(ans->payload());
  free_ans(mp, ans);
  return 0;
}

int mdcudfsr_metacache_unmount(mdcudfsr_mount* mp) {
  CHECK_MOUNT(mp);
  mdc_channel* ch = mp->metacachedev;
  mdc_req_t* req = ch ? mdcudfsr_metacache_alloc_req(ch, 0) : nullptr;
  if (!req) {
    KELC_LOG(kLogErr, "%s\n", "req");
    return KEL_ENOMEM;
  }
  req->hdr.req_id = MDC_REQ_STOP;
  const int err = mdcudfsr_metacache_send_req(ch, req, nullptr);
  if (err) {
    KELC_LOG(kLogErr, "err=%d\n", err);
    mdcudfsr_metacache_free_req(ch, req);
  }
  return err;
}

namespace {

// Writes one information record (header + data) at 0x60000 + offset.
int write_info_record(mdcudfsr_mount* mp, std::uint32_t offset, const std::uint8_t* record, std::uint32_t size,
                      std::uint32_t* written) {
  std::uint32_t n = 0;
  std::uint32_t cache_err = 0;
  const int err = mdcudfsr_metacache_file_write(mp, mp->fsmanage_handle, MDC_MEDIAINFO_OFFSET + offset, size,
                                                record, &n, &cache_err);
  if (err) {
    KELC_LOG(kLogErr, "err=%d\n", err);
    return err;
  }
  if (cache_err) {
    KELC_LOG(kLogErr, "%s\n", "cache_err == MDC_CACHE_SUCCESS");
    return KEL_EIO;
  }
  if (n != size) {
    KELC_LOG(kLogErr, "%s\n", "writesize == write_len");
    return KEL_EIO;
  }
  *written = size;
  return 0;
}

void set_header(std::uint8_t* rec, const char* tag, std::uint32_t length) {
  std::memset(rec, 0, 8);
  std::memcpy(rec, tag, std::strlen(tag));
  put32(rec + 8, length);
}

}  // namespace

int mdcudfsr_metacache_write_discinfo(mdcudfsr_mount* mp, std::uint32_t type, std::uint32_t offset,
                                      std::uint8_t* record, std::uint32_t* written, mdcudfsr_cache_node* node) {
  CHECK_MOUNT(mp);
  if (type >= 3) { KELC_LOG(kLogErr, "%s\n", "type < 3"); return KEL_EINVAL; }
  if (!record) { KELC_LOG(kLogErr, "%s\n", "mediainfo"); return KEL_EINVAL; }
  if (!written) { KELC_LOG(kLogErr, "%s\n", "written"); return KEL_EINVAL; }
  *written = 0;
  std::memset(record, 0, 52);
  set_header(record, kMediaTags[type], 40);
  put32(record + 12, type);
  put32(record + 12 + 36, 0);
  const int err = host_device_ioctl(mp, MDC_IOCTL_DISC_INFO, record + 12, node);
  if (err) {
    KELC_LOG(kLogErr, "err=%d\n", err);
    return err;
  }
  return write_info_record(mp, offset, record, 52, written);
}

int mdcudfsr_metacache_write_trackinfo(mdcudfsr_mount* mp, std::uint32_t track, std::uint32_t offset,
                                       std::uint8_t* record, std::uint32_t* written, mdcudfsr_cache_node* node) {
  CHECK_MOUNT(mp);
  if (!(0 < track && track < 3)) { KELC_LOG(kLogErr, "%s\n", "(0 < track_num && track_num < 3)"); return KEL_EINVAL; }
  if (!record) { KELC_LOG(kLogErr, "%s\n", "mediainfo"); return KEL_EINVAL; }
  if (!written) { KELC_LOG(kLogErr, "%s\n", "written"); return KEL_EINVAL; }
  *written = 0;
  std::memset(record, 0, 72);
  set_header(record, kMediaTags[3 + track - 1], 60);
  put32(record + 12, track);
  const int err = host_device_ioctl(mp, MDC_IOCTL_TRACK_INFO, record + 12, node);
  if (err) {
    KELC_LOG(kLogErr, "err=%d\n", err);
    return err;
  }
  return write_info_record(mp, offset, record, 72, written);
}

int mdcudfsr_metacache_write_mediainfo(mdcudfsr_mount* mp, mdcudfsr_cache_node* node) {
  CHECK_MOUNT(mp);
  auto* buf = static_cast<std::uint8_t*>(std::calloc(1, MDC_MEDIAINFO_SIZE));
  if (!buf) {
    KELC_LOG(kLogErr, "%s\n", "mediainfo");
    return KEL_ENOMEM;
  }
  std::uint32_t pos = 0;
  int err = 0;
  if (mp->is_rewritable) {
    set_header(buf, "RDS_12", 0x40000);
    mdc_defect_bitmap_ctl ctl{buf + 12, 0x40000, 1};
    err = host_device_ioctl(mp, MDC_IOCTL_GET_DEFECT_BITMAP, &ctl, node);
    if (err) KELC_LOG(kLogErr, "err=%d\n", err);
    std::uint32_t w = 0;
    if (!err) err = write_info_record(mp, 0, buf, 0x4000C, &w);
    pos = 0x4000C;
  } else {
    for (std::uint32_t t = 0; t < 3 && !err; ++t) {
      std::uint32_t w = 0;
      err = mdcudfsr_metacache_write_discinfo(mp, t, pos, buf + pos, &w, node);
      if (!err && w != 52) err = KEL_EIO;
      pos += 52;
    }
    for (std::uint32_t tr = 1; tr <= 2 && !err; ++tr) {
      std::uint32_t w = 0;
      err = mdcudfsr_metacache_write_trackinfo(mp, tr, pos, buf + pos, &w, node);
      if (!err && w != 72) err = KEL_EIO;
      pos += 72;
    }
    if (!err) {
      std::uint8_t* rec = buf + pos;
      set_header(rec, "ORD", 2);
      err = host_device_ioctl(mp, MDC_IOCTL_GET_OPC_RESOURCE, rec + 12, node);
      if (err) KELC_LOG(kLogErr, "err=%d\n", err);
      std::uint32_t w = 0;
      if (!err) err = write_info_record(mp, pos, rec, 14, &w);
      pos += 14;
    }
  }
  if (!err) {
    std::memset(buf + pos, 0, MDC_MEDIAINFO_SIZE - pos);
    std::uint32_t w = 0;
    err = write_info_record(mp, pos, buf + pos, MDC_MEDIAINFO_SIZE - pos, &w);
  }
  std::free(buf);
  return err;
}

int mdcudfsr_metacache_read_mediainfo(mdcudfsr_mount* mp, mdcudfsr_cache_node* node) {
  if (!mp) {
    KELC_LOG(kLogErr, "%s\n", "mdcudfsrmp");
    return KEL_EINVAL;
  }
  const std::uint32_t expect = mp->is_rewritable ? 0x100 : 0x21F;
  std::uint32_t found = 0;
  auto* buf = static_cast<std::uint8_t*>(std::calloc(1, MDC_MEDIAINFO_SIZE));
  if (buf) {
    std::uint32_t pos = 0;
    while (pos + sizeof(mdc_mediainfo_header) <= MDC_MEDIAINFO_SIZE) {
      std::uint32_t n = 0;
      std::uint32_t cache_err = 0;
      int err = mdcudfsr_metacache_file_read(mp, mp->fsmanage_handle, MDC_MEDIAINFO_OFFSET + pos, 12, buf, &n,
                                             &cache_err);
      if (err || cache_err || n != 12) {
        KELC_LOG(kLogErr, "err(%d) or cache_err(%d) or length(%d:%d)\n", err, static_cast<int>(cache_err),
                 static_cast<int>(n), 12);
        break;
      }
      int index = -1;
      for (int i = 0; i < 10; ++i)
        if (std::strncmp(reinterpret_cast<char*>(buf), kMediaTags[i], 8) == 0) { index = i; break; }
      const std::uint32_t length = get32(buf + 8);
      if (index < 0 || length == 0) break;
      // The record must lie inside the region and fit the drive layer's
      // record for its tag; anything else is a damaged cache.
      static const std::uint32_t kMaxLen[10] = {40, 40, 40, 60, 60, 0x40000, 0x40000, 0x40000, 0x40000, 2};
      if (length > kMaxLen[index] || pos + 12 + static_cast<std::uint64_t>(length) > MDC_MEDIAINFO_SIZE) {
        KELC_LOG(kLogErr, "err(%d) or cache_err(%d) or length(%d:%d)\n", 0, 0, static_cast<int>(length),
                 static_cast<int>(kMaxLen[index]));
        break;
      }
      std::uint8_t* data = buf + 12;
      n = 0;
      err = mdcudfsr_metacache_file_read(mp, mp->fsmanage_handle, MDC_MEDIAINFO_OFFSET + pos + 12, length, data, &n,
                                         &cache_err);
      if (err || cache_err || n != length) {
        KELC_LOG(kLogErr, "err(%d) or cache_err(%d) or length(%d:%d)\n", err, static_cast<int>(cache_err),
                 static_cast<int>(n), static_cast<int>(length));
        break;
      }
      KELC_LOG(kLogInfo, "found tag (%d), length(%d)\n", index, static_cast<int>(length));
      int ioerr = 0;
      if (!mp->is_rewritable) {
        if (index <= 2) {
          put32(data, static_cast<std::uint32_t>(index));
          put32(data + 36, 1);
          ioerr = host_device_ioctl(mp, MDC_IOCTL_DISC_INFO, data, node);
          if (!ioerr) found |= 1u << index;
        } else if (index <= 4) {
          put32(data, static_cast<std::uint32_t>(index - 2));
          put32(data + 56, 1);
          ioerr = host_device_ioctl(mp, MDC_IOCTL_TRACK_INFO, data, node);
          if (!ioerr) found |= 1u << index;
        } else if (index == 9) {
          ioerr = host_device_ioctl(mp, MDC_IOCTL_SET_OPC_RESOURCE, data, node);
          if (!ioerr) found |= 0x200;
        }
      } else if (index == 8) {
        mdc_defect_bitmap_ctl ctl{data, length, 1};
        ioerr = host_device_ioctl(mp, MDC_IOCTL_SET_DEFECT_BITMAP, &ctl, node);
        if (!ioerr) found |= 0x100;
      }
      if (ioerr) {
        KELC_LOG(kLogErr, "err=%d\n", ioerr);
        break;
      }
      pos += 12 + length;
      if (pos > 0x9FFFF) break;
    }
    std::free(buf);
  }
  if ((found & expect) == expect) return 0;
  drop_fsmanage_cache(mp, node);
  KELC_LOG(kLogErr, "Failed to read mediainfo. chkflg=0x%04x expect=0x%04x\n", found, expect);
  return KEL_EINVAL;
}

int mdcudfsr_metacache_update_coherent(mdcudfsr_mount* mp, mdcudfsr_cache_node* node) {
  CHECK_MOUNT(mp);
  // A record of its own: the mount's cartridge-memory cache follows the
  // write, and the counter reaches the cartridge through the update mask.
  std::uint8_t record[472] = {};
  int err = mdcudfsr_read_attribute(mp, record, sizeof record, 1, 0, reinterpret_cast<vfs_context_t>(node), 0);
  if (err) {
    KELC_LOG(kLogErr, "READ ATTRIBUTE failed\xE3\x80\x80on update coherent err = %d", err);
    return err;
  }
  mdcudfsr_metacache_bump_coherency(record);
  mp->attr_update_mask |= 0x80;
  err = mdcudfsr_write_attribute(mp, record, sizeof record, 1, reinterpret_cast<vfs_context_t>(node), 0);
  if (err) KELC_LOG(kLogErr, "WRITE ATTRIBUTE failed on update coherent err = %d", err);
  return err;
}

int mdcudfsr_metacache_ajust_for_mount(mdcudfsr_mount* mp, mdcudfsr_cache_node* node, bool write_agent_record,
                                       bool rebuild) {
  CHECK_MOUNT(mp);
  int err = 0;
  if (rebuild) {
    if (!mp->skip_attribute) {
      std::uint8_t attr[140];
      err = read_attr_1500(mp, node, attr);
      if (err) {
        KELC_LOG(kLogErr, "read attribute failed err(%d)\n", err);
        drop_fsmanage_cache(mp, node);
        return err;
      }
      err = ajust_write(mp, node, 0, 128, attr + 9);
      if (err) return err;
    }
    std::vector<std::uint8_t> marker(0x8000, 0);
    marker[0] = 2;
    err = ajust_write(mp, node, 0x8000, 0x8000, marker.data());
    if (err) return err;
    if (!write_agent_record) return 0;
  } else if (!write_agent_record) {
    return 0;
  }
  if (!mp->skip_attribute) err = ajust_write(mp, node, 0, 128, mp->attr_record + 301);
  return err;
}
