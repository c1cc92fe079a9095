// The exchange of one VFAM request and its answer, and the paths the
// requests send.
#include "kelhost/kern_errno.h"
#include "vfam_internal.h"
#include "vfam_neighbours.h"

#include "kelcache/cache.h"
#include "kelhost/gnrc.h"
#include "kelvfs/mdcudfsr_mount.h"

#include <vector>

namespace kelagent::vfam {

namespace {
// The agent is asked in steps of this many seconds when the mount gives no
// step; a step of 0 would spin.
constexpr std::uint32_t kDefaultWaitStepSec = 5;
}  // namespace

const char* volname(const mdcudfsr_mount* mp) {
  return mp && mp->volume_name[0] ? mp->volume_name : "UNKNOWN";
}
std::uint32_t tid() { return static_cast<std::uint32_t>(getThreadIdGnrc()); }

Exchange::~Exchange() {
  const bool trace = mp_ && agent_trace_on(kTraceVfam);
  if (ans_) {
    const int id = static_cast<int>(ans_->hdr.req_id), seq = static_cast<int>(ans_->hdr.seq_id);
    if (trace && !open_)
      agent_log(kLogInfo, func_, __LINE__, "[%s](tid=%08x) %s:%d VFAMTXRX ans id=%d seqid=%d\n", volname(mp_), tid(),
                func_, __LINE__, id, seq);
    else if (trace && handle_valid_)
      agent_log(kLogInfo, func_, __LINE__, "[%s](tid=%08x) %s:%d VFAMTXRX ans id=%d seqid=%d handle=0x%08x\n",
                volname(mp_), tid(), func_, __LINE__, id, seq, static_cast<unsigned>(handle_));
    else if (trace)
      agent_log(kLogInfo, func_, __LINE__, "[%s](tid=%08x) %s:%d VFAMTXRX ans id=%d seqid=%d handle=<invalid>\n",
                volname(mp_), tid(), func_, __LINE__, id, seq);
    mdcudfsr_vfamdev_free_ans(ch_, ans_);
  }
  if (req_ && !sent_) mdcudfsr_vfamdev_free_req(ch_, req_);
  if (trace)
    agent_log(kLogInfo, func_, __LINE__, "[%s](tid=%08x) %s:%d VFAMTXRX err=%d\n", volname(mp_), tid(), func_,
              __LINE__, status_);
}

int Exchange::fail(int err, int line) {
  agent_log(kLogErr, func_, line, "err=%d\n", err);
  status_ = err;
  return err;
}

int Exchange::begin(mdcudfsr_mount* mp, std::uint32_t code, std::uint64_t payload_len) {
  if (!mp) {
    agent_log(kLogErr, func_, __LINE__, "%s\n", "mdcudfsrmp");
    return KEL_EINVAL;
  }
  mp_ = mp;
  ch_ = mp->vfamdev;
  if (!ch_) return fail(6, __LINE__);
  if (payload_len > 0x7FFFFFFFu) return fail(22, __LINE__);
  req_ = mdcudfsr_vfamdev_alloc_req(ch_, static_cast<std::int32_t>(payload_len));
  if (!req_) {
    agent_log(kLogErr, func_, __LINE__, "%s\n", "req");
    return KEL_ENOMEM;
  }
  req_->hdr.req_id = code;
  code_ = code;
  seq_ = req_->hdr.seq_id;
  if (agent_trace_on(kTraceVfam))
    agent_log(kLogInfo, func_, __LINE__, "[%s](tid=%08x) %s:%d VFAMTXRX req id=%d seqid=%d\n", volname(mp), tid(),
              func_, __LINE__, static_cast<int>(code), static_cast<int>(seq_));
  return 0;
}

int Exchange::put_path(std::uint32_t off, const std::string& path) {
  const std::uint64_t end = static_cast<std::uint64_t>(off) + path.size() + 1;
  if (end > req_->hdr.payload_size) {
    agent_log(kLogErr, func_, __LINE__, "%s\n", "path does not fit the payload");
    status_ = 22;
    return KEL_EINVAL;
  }
  std::memcpy(payload() + off, path.c_str(), path.size() + 1);
  return 0;
}

int Exchange::send(mdcudfsr_cache_node* node) {
  vnode_t vp = nullptr;
  if (node) {
    const int err = mdcudfsr_cache_check_vnode(node, 0, &vp);
    if (err) return fail(err, __LINE__);
  }
  const int err = mdcudfsr_vfamdev_send_req(ch_, req_, vp);
  if (err) return fail(err, __LINE__);
  sent_ = true;  // the channel owns the request now
  return 0;
}

int Exchange::wait_answer() {
  const std::uint32_t step = mp_->vfam_wait_step_sec ? mp_->vfam_wait_step_sec : kDefaultWaitStepSec;
  const int err = mdcudfsr_vfamdev_wait_ans(ch_, static_cast<std::int32_t>(seq_), &ans_, step);
  if (err) return fail(err, __LINE__);
  return 0;
}

int Exchange::await(mdcudfsr_cache_node* const* nodes, int count) {
  for (int i = count - 1; i >= 0; --i)
    if (nodes[i]) mdcudfsr_cache_unlock_node(nodes[i]);
  const int err = wait_answer();
  for (int i = 0; i < count; ++i)
    if (nodes[i]) mdcudfsr_cache_lock_node(nodes[i], MDCUDFSR_WAIT_FOREVER);
  return err;
}

int Exchange::answer_error() {
  const int err = ans_->hdr.error;
  if (err) return fail(err, __LINE__);
  return 0;
}

const std::uint8_t* Exchange::answer(std::uint32_t len) {
  if (ans_->hdr.payload_size < len) {
    agent_log(kLogErr, func_, __LINE__, "answer payload %u below %u\n", ans_->hdr.payload_size, len);
    status_ = 22;
    return nullptr;
  }
  return ans_->payload();
}

int full_path(mdcudfsr_cache_node* n, std::string& out) {
  if (n && n->mdcudfsrmp && n == n->mdcudfsrmp->root_node) {
    out = "/";
    return 0;
  }
  const std::uint32_t len = mdcudfsr_cache_get_full_path_len(n);
  if (len == 0) return KEL_EINVAL;
  std::vector<char> buf(len);
  const int err = mdcudfsr_cache_get_path(n, buf.data(), len);
  if (err) return err;
  out.assign(buf.data());
  return 0;
}

int kind_path(mdcudfsr_cache_node* n, std::string& out, bool in_open) {
  switch (n->kind) {
    case MDCUDFSR_NODE_VIRTUAL:
      if (!n->vfs_name || !n->vfs_name[0]) return KEL_EINVAL;
      return full_path(n, out);
    case MDCUDFSR_NODE_MASTER:
      if (!n->proxy) return 1;
      out = std::string("/") + mdcudfsr_node_name(n->proxy);
      return 0;
    default:
      if (in_open)
        agent_log(kLogErr, __func__, __LINE__, " vfam_open failed for unsupported type %d", static_cast<int>(n->kind));
      else
        agent_log(kLogErr, __func__, __LINE__, "vfam_open failed for unsupported type %d", static_cast<int>(n->kind));
      return KEL_ENOTSUP;
  }
}

std::uint16_t open_flags(int mode) {
  const int access = (mode & 3) ? (mode & 3) - 1 : 0;
  return static_cast<std::uint16_t>((mode & ~3) | access);
}

}  // namespace kelagent::vfam
