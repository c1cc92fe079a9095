// The VFAM requests: one operation per request code.
#include "kelagent/vfam_client.h"

#include "kelhost/kern_errno.h"
#include "vfam_internal.h"

#include "kelcache/cache.h"
#include "kelvfs/mdcudfsr_mount.h"

#include <strings.h>

using namespace kelagent;
using namespace kelagent::vfam;

namespace {

mdcudfsr_mount* mount_of(mdcudfsr_cache_node* n) { return n ? n->mdcudfsrmp : nullptr; }

// Sends the request and waits with the node unlocked; then the answer's
// error.
int send_and_await(Exchange& x, mdcudfsr_cache_node* node) {
  int err = x.send(node);
  if (!err) err = x.await(node);
  if (!err) err = x.answer_error();
  return err;
}

// Copies the stat record of the answer.
int copy_stat(Exchange& x, vfamstat* st) {
  const std::uint8_t* a = x.answer(VFAMSTAT_WIRE_SIZE);
  if (!a) return KEL_EINVAL;
  std::memcpy(st, a, VFAMSTAT_WIRE_SIZE);
  return 0;
}

// Request with a path alone (remove, get attributes).
int path_request(Exchange& x, mdcudfsr_cache_node* node, std::uint32_t code, std::string& path) {
  if (!node) return KEL_EINVAL;
  int err = kind_path(node, path, false);
  if (err) return err;
  err = x.begin(mount_of(node), code, path.size() + 1);
  if (!err) err = x.put_path(0, path);
  if (!err) err = x.send(node);
  if (!err) err = x.await(node);
  return err;
}

// Read-like answers: a u32 data length at len_off, data at data_off.
int copy_data(Exchange& x, std::uint32_t len_off, std::uint32_t data_off, std::uint32_t length, void* dest,
              std::uint32_t* out) {
  const std::uint8_t* a = x.answer(data_off);
  if (!a) return KEL_EINVAL;
  const std::uint32_t got = get_u32(a + len_off);
  if (got > length) {
    agent_log(kLogErr, __func__, __LINE__, "%s\n", len_off ? "ans_cache_read->read_length <= length"
                                                         : "ans_read->read_len <= length");
    x.set_status(105);
    return KEL_ENOBUFS;
  }
  if (got > x.answer_size() - data_off) {
    agent_log(kLogErr, __func__, __LINE__, "%s\n", "data beyond the answer");
    x.set_status(22);
    return KEL_EINVAL;
  }
  if (got) std::memcpy(dest, a + data_off, got);
  *out = got;
  return 0;
}

// Fills the u64, u64, u32 fields of read-like requests.
void put_io(Exchange& x, std::uint64_t a, std::uint64_t b, std::uint32_t c) {
  put_u64(x.payload(), a);
  put_u64(x.payload() + 8, b);
  put_u32(x.payload() + 16, c);
}

}  // namespace

int mdcudfsr_vfam_create(mdcudfsr_cache_node* parent, const char* name, std::uint32_t name_len, vfamstat* st) {
  if (!parent || !st || (!name && name_len)) return KEL_EINVAL;
  std::string path;
  int err = full_path(parent, path);
  if (err) return err;
  if (path.empty() || path.back() != '/') path += '/';
  path.append(name, name_len);
  const std::uint64_t size = std::uint64_t{mdcudfsr_cache_get_full_path_len(parent)} + name_len + 96;
  Exchange x(__func__);
  if ((err = x.begin(mount_of(parent), VFAM_REQ_CREATE, size))) return err;
  std::memcpy(x.payload(), st, VFAMSTAT_WIRE_SIZE);
  if ((err = x.put_path(VFAMSTAT_WIRE_SIZE, path))) return err;
  if ((err = send_and_await(x, parent))) return err;
  return copy_stat(x, st);
}

int mdcudfsr_vfam_open(mdcudfsr_cache_node* node, int mode, std::uint64_t* handle) {
  agent_log(kLogInfo, __func__, __LINE__, "mode %d(%x)", mode, mode);
  if (!node || !handle) return KEL_EINVAL;
  std::string path;
  int err = kind_path(node, path, true);
  if (err) return err;
  std::uint64_t size;
  if (node->kind == MDCUDFSR_NODE_MASTER)
    size = 2 + path.size() + 1;  // sized from the path sent: "/" and the proxy's name
  else
    size = std::strlen(mdcudfsr_node_name(node)) + std::uint64_t{mdcudfsr_cache_get_full_path_len(mdcudfsr_parent(node))} + 3;
  Exchange x(__func__);
  if ((err = x.begin(mount_of(node), VFAM_REQ_OPEN, size))) return err;
  put_u16(x.payload(), open_flags(mode));
  if ((err = x.put_path(2, path))) return err;
  x.set_open_handle(nullptr);
  if ((err = send_and_await(x, node))) return err;
  const std::uint8_t* a = x.answer(8);
  if (!a) return KEL_EINVAL;
  *handle = get_u64(a);
  x.set_open_handle(handle);
  return 0;
}

int mdcudfsr_vfam_close(mdcudfsr_cache_node* node, std::uint64_t handle, int mode) {
  agent_log(kLogInfo, __func__, __LINE__, "handle 0x%08x mode %d(%x)", static_cast<unsigned>(handle), mode, mode);
  if (!node) return KEL_EINVAL;
  Exchange x(__func__);
  int err = x.begin(mount_of(node), VFAM_REQ_CLOSE, 10);
  if (err) return err;
  put_u64(x.payload(), handle);
  put_u16(x.payload() + 8, open_flags(mode));
  return send_and_await(x, node);
}

namespace {
// Bytes taken by count readdir entries at p (n bytes); 0 when an entry is
// shorter than its length word or runs past the payload.
std::uint64_t entries_size(const std::uint8_t* p, std::uint32_t n, std::uint32_t count) {
  std::uint64_t off = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (n - off < 4) return 0;
    const std::uint32_t len = get_u32(p + off);
    if (len < 4 || len > n - off) return 0;
    off += len;
  }
  return off;
}
}  // namespace

int mdcudfsr_vfam_readdir(mdcudfsr_cache_node* node, std::uint64_t handle, std::uint64_t* position,
                          std::uint32_t count, void* dest, std::uint32_t dest_size, std::uint32_t* entries,
                          std::uint32_t* second_word) {
  if (!node || !position || !entries || !second_word || (!dest && dest_size)) return KEL_EINVAL;
  Exchange x(__func__);
  int err = x.begin(mount_of(node), VFAM_REQ_READDIR, 20);
  if (err) return err;
  put_io(x, handle, *position, count);
  if ((err = send_and_await(x, node))) return err;
  const std::uint8_t* a = x.answer(16);
  if (!a) return KEL_EINVAL;
  const std::uint32_t n = get_u32(a + 12);
  const std::uint32_t room = x.answer_size() - 16;
  const std::uint64_t bytes = entries_size(a + 16, room, n);
  if (n && !bytes) {
    agent_log(kLogErr, __func__, __LINE__, "%s\n", "bad entry in the answer");
    x.set_status(22);
    return KEL_EINVAL;
  }
  if (bytes > dest_size) {
    agent_log(kLogErr, __func__, __LINE__, "entries of %llu bytes exceed %u\n",
              static_cast<unsigned long long>(bytes), dest_size);
    x.set_status(105);
    return KEL_ENOBUFS;
  }
  if (bytes) std::memcpy(dest, a + 16, bytes);
  *position = get_u64(a);
  *second_word = get_u32(a + 8);
  *entries = n;
  return 0;
}

int mdcudfsr_vfam_read(mdcudfsr_cache_node* node, std::uint64_t handle, std::uint64_t offset, std::uint32_t length,
                       void* dest, std::uint32_t* read_len) {
  agent_log(kLogInfo, __func__, __LINE__, "offset=%lld length=%d (handle=0x%08x)", static_cast<long long>(offset),
            static_cast<int>(length), static_cast<unsigned>(handle));
  if (!node || !read_len || (!dest && length)) return KEL_EINVAL;
  Exchange x(__func__);
  int err = x.begin(mount_of(node), VFAM_REQ_READ, 20);
  if (err) return err;
  put_io(x, handle, offset, length);
  if ((err = send_and_await(x, node))) return err;
  return copy_data(x, 0, 4, length, dest, read_len);
}

int mdcudfsr_vfam_write(mdcudfsr_cache_node* node, std::uint64_t handle, std::uint64_t offset, std::uint32_t length,
                        const void* src, std::uint32_t* written) {
  agent_log(kLogInfo, __func__, __LINE__, "offset=%lld length=%d (handle=0x%08x)", static_cast<long long>(offset),
            static_cast<int>(length), static_cast<unsigned>(handle));
  if (!node || !written || (!src && length)) return KEL_EINVAL;
  Exchange x(__func__);
  int err = x.begin(mount_of(node), VFAM_REQ_WRITE, std::uint64_t{length} + 20);
  if (err) return err;
  put_io(x, handle, offset, length);
  if (length) std::memcpy(x.payload() + 20, src, length);
  if ((err = send_and_await(x, node))) return err;
  const std::uint8_t* a = x.answer(4);
  if (!a) return KEL_EINVAL;
  const std::uint32_t done = get_u32(a);
  if (done > length) return x.fail(22, __LINE__);
  *written = done;
  return 0;
}

namespace {
// Fills a rename or move request: u32 0, the source field's size, source,
// destination.
int put_rename(Exchange& x, const std::string& src, const std::string& dst) {
  put_u32(x.payload(), 0);
  put_u32(x.payload() + 4, static_cast<std::uint32_t>(src.size() + 1));
  int err = x.put_path(8, src);
  if (!err) err = x.put_path(static_cast<std::uint32_t>(8 + src.size() + 1), dst);
  return err;
}
std::uint64_t rename_size(const std::string& src, const std::string& dst) { return 8 + src.size() + 1 + dst.size() + 1; }
}  // namespace

int mdcudfsr_vfam_rename(mdcudfsr_cache_node* dir, mdcudfsr_cache_node* node, const char* name,
                         std::uint32_t name_len) {
  if (!dir || !node || (!name && name_len)) return KEL_EINVAL;
  std::string src;
  int err = full_path(node, src);
  if (err) return err;
  const std::size_t cut = src.rfind('/');
  std::string dst = src.substr(0, cut == std::string::npos ? 0 : cut + 1);
  dst.append(name, name_len);
  Exchange x(__func__);
  if ((err = x.begin(mount_of(node), VFAM_REQ_RENAME, rename_size(src, dst)))) return err;
  if ((err = put_rename(x, src, dst))) return err;
  if ((err = x.send(node))) return err;
  mdcudfsr_cache_node* nodes[2] = {dir, node != dir ? node : nullptr};
  if ((err = x.await(nodes, 2))) return err;
  return x.answer_error();
}

namespace {
// Locks the nodes in the order given (nulls skipped); unlocks in reverse.
void lock_in(mdcudfsr_cache_node* const (&order)[3]) {
  for (mdcudfsr_cache_node* n : order)
    if (n) mdcudfsr_cache_lock_node(n, MDCUDFSR_WAIT_FOREVER);
}
void unlock_in_reverse(mdcudfsr_cache_node* const (&order)[3]) {
  for (int i = 2; i >= 0; --i)
    if (order[i]) mdcudfsr_cache_unlock_node(order[i]);
}
int family_order(mdcudfsr_cache_node* old_parent, mdcudfsr_cache_node* new_parent, mdcudfsr_cache_node* node,
                 mdcudfsr_cache_node* (&order)[3]) {
  return mdcudfsr_cache_get_family_tree(new_parent, old_parent, node, &order[0], &order[1], &order[2],
                                        node->mdcudfsrmp->root_node);
}
}  // namespace

int mdcudfsr_vfam_move(mdcudfsr_cache_node* old_parent, mdcudfsr_cache_node* new_parent,
                       mdcudfsr_cache_node* node, const char* name, std::uint32_t name_len) {
  if (!old_parent || !new_parent || !node || !node->mdcudfsrmp || (!name && name_len)) return KEL_EINVAL;
  std::string src, dst;
  int err = full_path(node, src);
  if (!err && new_parent != node->mdcudfsrmp->root_node) err = full_path(new_parent, dst);
  if (err) return err;
  dst += '/';
  dst.append(name, name_len);
  Exchange x(__func__);
  if ((err = x.begin(mount_of(node), VFAM_REQ_RENAME, rename_size(src, dst)))) return err;
  if ((err = put_rename(x, src, dst))) return err;
  if (agent_trace_on(kTraceVfam))
    KELC_LOG(kLogInfo, "[%s](tid=%08x) %s:%d move req src=%s dst=%s\n", volname(x.mount()), tid(), __func__,
             __LINE__, src.c_str(), dst.c_str());
  if ((err = x.send(node))) return err;
  mdcudfsr_cache_node* before[3] = {};
  if ((err = family_order(old_parent, new_parent, node, before))) return x.fail(err, __LINE__);
  unlock_in_reverse(before);
  const int wait_err = x.wait_answer();
  if (wait_err) KELC_LOG(kLogErr, "failed to wait ans with status=%d\n", wait_err);
  mdcudfsr_cache_node* after[3] = {};
  if ((err = family_order(old_parent, new_parent, node, after))) {
    // The caller expects the nodes locked: take them in the order they had.
    lock_in(before);
    KELC_LOG(kLogErr, "error(%d) taking the lock order again; nodes locked in their former order\n", err);
    return err;
  }
  lock_in(after);
  if (wait_err) return wait_err;
  return x.answer_error();
}

int mdcudfsr_vfam_remove(mdcudfsr_cache_node* node) {
  std::string path;
  Exchange x(__func__);
  int err = path_request(x, node, VFAM_REQ_REMOVE, path);
  return err ? err : x.answer_error();
}

int mdcudfsr_vfam_set_file_attr(mdcudfsr_cache_node* node, vfamstat* st) {
  if (!node || !st) return KEL_EINVAL;
  std::string path;
  int err = kind_path(node, path, false);
  if (err) return err;
  Exchange x(__func__);
  if ((err = x.begin(mount_of(node), VFAM_REQ_SET_ATTR, VFAMSTAT_WIRE_SIZE + path.size() + 1))) return err;
  std::memcpy(x.payload(), st, VFAMSTAT_WIRE_SIZE);
  if ((err = x.put_path(VFAMSTAT_WIRE_SIZE, path))) return err;
  if ((err = send_and_await(x, node))) return err;
  return copy_stat(x, st);
}

int mdcudfsr_vfam_get_file_attr(mdcudfsr_cache_node* node, vfamstat* st) {
  if (!st) return KEL_EINVAL;
  std::string sent;
  Exchange x(__func__);
  int err = path_request(x, node, VFAM_REQ_GET_ATTR, sent);
  if (err) return err;
  const int answer = x.answer_error();
  if (answer == 0 || answer == KEL_EINPROGRESS) return copy_stat(x, st) ? KEL_EINVAL : answer;
  if (answer != KEL_ENOENT) return answer;
  KELC_LOG(kLogErr, "path=%s\n", sent.c_str());
  std::string now;
  err = kind_path(node, now, false);
  if (err) {
    if ((err == KEL_ENOENT || err == KEL_EINPROGRESS) && copy_stat(x, st)) return KEL_EINVAL;
    return err;
  }
  if (copy_stat(x, st)) return KEL_EINVAL;
  const int result = strcasecmp(now.c_str(), sent.c_str()) != 0 ? 11 : KEL_ENOENT;  // 11: renamed meanwhile, ask again
  x.set_status(result);
  return result;
}

int mdcudfsr_vfam_ioctl(mdcudfsr_cache_node* node, std::uint32_t code, const void* data) {
  if (code != VFAM_IOCTL_MASKED_CODE) {
    KELC_LOG(kLogErr, "err=%d\n", 22);
    return KEL_EINVAL;
  }
  if (!node || !data) return KEL_EINVAL;
  if (!node->proxy) return 1;
  const std::string path = std::string("/") + mdcudfsr_node_name(node->proxy);
  const std::uint64_t size = (path.size() - 1) + std::uint64_t{mdcudfsr_cache_get_full_path_len(mdcudfsr_parent(node))} + 4101;
  Exchange x(__func__);
  int err = x.begin(mount_of(node), VFAM_REQ_IOCTL, size);
  if (err) return err;
  put_u32(x.payload(), VFAM_IOCTL_WIRE_CODE);
  std::memcpy(x.payload() + 4, data, 4);
  if ((err = x.put_path(4100, path))) return err;
  return send_and_await(x, node);
}

int mdcudfsr_vfam_cache_read(mdcudfsr_cache_node* node, std::uint64_t unique_id, std::uint64_t offset,
                             std::uint32_t length, void* dest, std::uint32_t* read_len, std::uint32_t* status) {
  agent_log(kLogInfo, __func__, __LINE__, "offset=%lld length=%d (unique_id=%lld)", static_cast<long long>(offset),
            static_cast<int>(length), static_cast<long long>(unique_id));
  if (!node || !read_len || !status || (!dest && length)) return KEL_EINVAL;
  Exchange x(__func__);
  int err = x.begin(mount_of(node), VFAM_REQ_CACHE_READ, 20);
  if (err) return err;
  put_io(x, unique_id, offset, length);
  if ((err = send_and_await(x, node))) return err;
  if ((err = copy_data(x, 4, 8, length, dest, read_len))) return err;
  *status = get_u32(x.answer(8));
  return 0;
}

int mdcudfsr_vfam_cache_write(mdcudfsr_cache_node* node, std::uint64_t unique_id, std::uint64_t offset,
                              std::uint32_t length, const void* src, std::uint32_t* written,
                              std::uint32_t* cache_error) {
  agent_log(kLogInfo, __func__, __LINE__, "offset=%lld length=%d (unique_id=%lld)", static_cast<long long>(offset),
            static_cast<int>(length), static_cast<long long>(unique_id));
  if (!node || !written || !cache_error || (!src && length)) return KEL_EINVAL;
  Exchange x(__func__);
  int err = x.begin(mount_of(node), VFAM_REQ_CACHE_WRITE, std::uint64_t{length} + 20);
  if (err) return err;
  put_io(x, unique_id, offset, length);
  if (length) std::memcpy(x.payload() + 20, src, length);
  if ((err = send_and_await(x, node))) return err;
  const std::uint8_t* a = x.answer(8);
  if (!a) return KEL_EINVAL;
  *cache_error = get_u32(a);
  *written = get_u32(a + 4);
  return 0;
}

int mdcudfsr_vfam_cache_delete(mdcudfsr_cache_node* node, std::uint64_t unique_id, std::uint32_t* result) {
  if (!node || !result) return KEL_EINVAL;
  Exchange x(__func__);
  int err = x.begin(mount_of(node), VFAM_REQ_CACHE_DELETE, 8);
  if (err) return err;
  put_u64(x.payload(), unique_id);
  if ((err = send_and_await(x, node))) return err;
  const std::uint8_t* a = x.answer(4);
  if (!a) return KEL_EINVAL;
  *result = get_u32(a);
  return 0;
}

int mdcudfsr_vfam_get_write_policy_info(mdcudfsr_mount* mp, std::uint64_t out[2]) {
  if (!out) return KEL_EINVAL;
  Exchange x(__func__);
  int err = x.begin(mp, VFAM_REQ_WRITE_POLICY, 0);
  if (err) return err;
  if ((err = send_and_await(x, nullptr))) return err;
  const std::uint8_t* a = x.answer(16);
  if (!a) return KEL_EINVAL;
  out[0] = get_u64(a);
  out[1] = get_u64(a + 8);
  return 0;
}

int mdcudfsr_vfam_flush_buffers(mdcudfsr_mount* mp, std::uint32_t flags) {
  Exchange x(__func__);
  int err = x.begin(mp, VFAM_REQ_FLUSH_BUFFERS, 4);
  if (err) return err;
  put_u32(x.payload(), flags);
  return send_and_await(x, nullptr);
}

void mdcudfsr_vfam_get_volume_size_info(mdcudfsr_mount* mp, std::uint64_t* total, std::uint64_t* remaining,
                                        std::uint64_t* buffered) {
  const char* missing = !mp ? "mdcudfsrmp" : !total ? "total_size" : !remaining ? "remaining_size"
                                                   : !buffered ? "buffered_size" : nullptr;
  if (missing) {
    KELC_LOG(kLogErr, "%s\n", missing);
    return;
  }
  Exchange x(__func__);
  if (x.begin(mp, VFAM_REQ_VOLUME_SIZE, 0) || send_and_await(x, nullptr)) return;
  const std::uint8_t* a = x.answer(24);
  if (!a) return;
  *total = get_u64(a);
  *remaining = get_u64(a + 8);
  *buffered = get_u64(a + 16);
}

int mdcudfsr_vfam_unmount(mdcudfsr_mount* mp) {
  Exchange x(__func__);
  int err = x.begin(mp, VFAM_REQ_UNMOUNT, 0);
  if (!err) err = x.send(nullptr);  // queued also while the channel is being freed; no answer awaited
  return err;
}
