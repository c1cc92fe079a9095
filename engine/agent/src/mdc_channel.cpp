// The metacache and vfamdev request channels.
#include "kelagent/mdc_channel.h"
#include "kelagent/vfam_client.h"

#include "agent_host.h"
#include "agent_log.h"
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "platform/sync.h"

#include <cstdlib>
#include <cstring>
#include <new>

using namespace kelagent;

namespace {

constexpr std::uint64_t kAnswerLifeNs = 60ull * 1000000000ull;
constexpr int kTraceMetacache = 19;
constexpr int kTraceVfamdev = 18;

// Per channel kind: the record and the agent tickets of its openers (under
// the record's device lock).
struct ChannelKind {
  mdc_channel ch;
  std::uint64_t tickets_issued = 0;
  std::uint64_t cancelled_upto = 0;  // tickets up to this one may not open
};

ChannelKind& kind_of(mdc_channel::Kind k) {
  static ChannelKind* metacache = [] {
    auto* c = new ChannelKind();
    c->ch.kind = mdc_channel::kMetacache;
    return c;
  }();
  static ChannelKind* vfamdev = [] {
    auto* c = new ChannelKind();
    c->ch.kind = mdc_channel::kVfamdev;
    return c;
  }();
  return k == mdc_channel::kMetacache ? *metacache : *vfamdev;
}

// The ticket of the agent running on this thread; 0 for any other opener.
thread_local std::uint64_t t_ticket = 0;

using DevLock = std::unique_lock<std::mutex>;

const char* kind_text(const mdc_channel* ch) {
  return ch->kind == mdc_channel::kMetacache ? "metacache" : "vfamdev";
}
int trace_category(const mdc_channel* ch) {
  return ch->kind == mdc_channel::kMetacache ? kTraceMetacache : kTraceVfamdev;
}

// Records are allocated with the engine's tagged allocator on the metacache
// channel and with the plain heap on the vfamdev channel; both free with the
// size they allocated.
void* rec_alloc(const mdc_channel* ch, std::size_t size) {
  void* p = ch->kind == mdc_channel::kMetacache ? host_tagged_alloc(size) : std::malloc(size);
  if (p) std::memset(p, 0, size);
  return p;
}
void rec_free(const mdc_channel* ch, void* p, std::size_t size) {
  if (!p) return;
  if (ch->kind == mdc_channel::kMetacache) host_tagged_free(p, size); else std::free(p);
}

void release_vnode(const mdc_channel* ch, vnode* vp, const char* what) {
  if (!vp) return;
  if (agent_trace_on(trace_category(ch)))
    KELC_LOG(kLogWarn, "(tid=%08x) %s:%d vp=%p\n", GetCurrentThreadId(), what, __LINE__, static_cast<void*>(vp));
  host_vnode_release(vp);
}

void free_req(mdc_channel* ch, mdc_req_t* req) {
  if (req) rec_free(ch, req, req->alloc_size);
}
void free_ans(mdc_channel* ch, mdc_ans_t* ans) {
  if (ans) rec_free(ch, ans, ans->alloc_size);
}

// Frees every request and answer the channel still holds, with their vnode
// references. The caller holds the device lock; the sent and answer locks
// are taken one after the other.
void drop_records_locked(mdc_channel* ch, const char* what) {
  for (mdc_req_t* r : ch->req_queue) {
    release_vnode(ch, r->vp, what);
    free_req(ch, r);
  }
  ch->req_queue.clear();
  ch->req_cv.notify_all();
  {
    std::lock_guard<std::mutex> g(ch->sent_lock);
    for (mdc_req_t* r : ch->sent_list) {
      release_vnode(ch, r->vp, what);
      free_req(ch, r);
    }
    ch->sent_list.clear();
    std::memset(ch->sent_table, 0, sizeof ch->sent_table);
  }
  std::lock_guard<std::mutex> g(ch->ans_lock);
  for (mdc_ans_t* a : ch->ans_queue) {
    if (agent_trace_on(trace_category(ch)))
      KELC_LOG(kLogWarn, "(tid=%08x) %s:%d req is NULL\n", GetCurrentThreadId(), what, __LINE__);
    if (a->vp) host_vnode_release(a->vp);
    free_ans(ch, a);
  }
  ch->ans_queue.clear();
  ch->ans_cv.notify_all();
}

int ch_init(mdc_channel::Kind k) {
  mdc_channel* ch = &kind_of(k).ch;
  DevLock dev(ch->dev_lock);
  drop_records_locked(ch, __func__);
  std::memset(ch->name, 0, sizeof ch->name);
  ch->mount = nullptr;
  ch->status = METACACHE_UNINIT;
  ch->io_count = 0;
  ch->agent_pid = 0;
  ch->next_seq = 0;
  std::lock_guard<std::mutex> b(ch->busy_lock);
  ch->wait_start = 0;
  ch->wait_end = 0;
  return 0;
}

int ch_term(mdc_channel::Kind k) {
  mdc_channel* ch = &kind_of(k).ch;
  DevLock dev(ch->dev_lock);
  ch->status = METACACHE_UNINIT;
  return 0;
}

mdc_channel* ch_alloc(mdc_channel::Kind k, mdcudfsr_mount* mp, int* err) {
  mdc_channel* ch = &kind_of(k).ch;
  if (err) *err = KEL_EBUSY;
  {
    DevLock dev(ch->dev_lock);
    // Taken by another mount, or still open by the agent of an earlier
    // mount whose close timed out: that agent must go first.
    if (ch->status != METACACHE_UNINIT || ch->io_count != 0) {
      KELC_LOG(kLogErr, "%s\n", kind_text(ch));
      return nullptr;
    }
    drop_records_locked(ch, __func__);
    std::snprintf(ch->name, sizeof ch->name, k == mdc_channel::kMetacache ? "kelfsc%d" : "pxowo%d", 0);
    ch->mount = mp;
    ch->status = METACACHE_ALLOCATED;
    ch->next_seq = 0;
  }
  ch->alloc_cv.notify_all();
  if (err) *err = 0;
  return ch;
}

int ch_free(mdc_channel* ch) {
  if (!ch) return 0;
  {
    DevLock dev(ch->dev_lock);
    ch->status = METACACHE_UNINIT;
    // An agent still attached finds the channel gone at its next read and
    // ends; it must not report to a mount that is going away.
    ch->mount = nullptr;
  }
  ch->req_cv.notify_all();
  return 0;
}

int ch_mark_will_free(mdc_channel* ch) {
  DevLock dev(ch->dev_lock);
  if (!ch->req_queue.empty()) return KEL_EBUSY;
  ch->status = METACACHE_WILL_FREE;
  return 0;
}

std::uint32_t ch_is_opened(mdc_channel* ch, mdc_channel::Kind k) {
  if (!ch) {
    KELC_LOG(kLogErr, "%s\n", k == mdc_channel::kMetacache ? "metacache" : "vfamdev");
    return 0;
  }
  DevLock dev(ch->dev_lock);
  return ch->io_count;
}

int ch_wait_close(mdc_channel* ch, std::uint32_t msec) {
  DevLock dev(ch->dev_lock);
  const bool closed = platform::clock().wait_for(dev, ch->close_cv, msec, [&] { return ch->io_count == 0; });
  return closed ? 0 : KEL_ETIMEDOUT;
}

// Waits for an opener on the allocation condition, which every open
// signals once it holds the channel.
int ch_wait_open(mdc_channel* ch, std::uint32_t msec) {
  DevLock dev(ch->dev_lock);
  const bool opened = platform::clock().wait_for(dev, ch->alloc_cv, msec, [&] { return ch->io_count != 0; });
  return opened ? 0 : KEL_ETIMEDOUT;
}

mdc_req_t* ch_alloc_req(mdc_channel* ch, std::int32_t payload_len) {
  if (payload_len < 0) return nullptr;
  const std::size_t size = offsetof(mdc_req_t, hdr) + sizeof(mdc_req_header_t) + static_cast<std::size_t>(payload_len);
  auto* req = static_cast<mdc_req_t*>(rec_alloc(ch, size));
  if (!req) {
    KELC_LOG(kLogErr, "%s\n", "req");
    return nullptr;
  }
  req->alloc_size = static_cast<std::uint32_t>(size);
  req->hdr.payload_size = static_cast<std::uint32_t>(payload_len);
  req->hdr.pid = host_pid();
  DevLock dev(ch->dev_lock);
  req->hdr.seq_id = ch->next_seq++;
  return req;
}

mdc_ans_t* ch_alloc_ans(mdc_channel* ch, std::uint32_t payload_len) {
  const std::size_t size = offsetof(mdc_ans_t, hdr) + sizeof(mdc_ans_header_t) + payload_len;
  auto* ans = static_cast<mdc_ans_t*>(rec_alloc(ch, size));
  if (!ans) return nullptr;
  ans->alloc_size = static_cast<std::uint32_t>(size);
  ans->hdr.payload_size = payload_len;
  return ans;
}

int ch_send(mdc_channel* ch, mdc_req_t* req, vnode* vp) {
  KELC_LOG(kLogInfo, "vp=%p", static_cast<void*>(vp));
  req->vp = vp;
  if (vp) {
    const int err = host_vnode_ref(vp);
    if (err) {
      KELC_LOG(kLogErr, "err=%d\n", err);
      req->vp = nullptr;
      return err;
    }
  }
  int result;
  {
    DevLock dev(ch->dev_lock);
    if (ch->status == METACACHE_OPENED ||
        (ch->status == METACACHE_WILL_FREE && req->hdr.req_id == MDC_REQ_STOP)) {
      ch->req_queue.push_back(req);
      result = 0;
    } else {
      if (req->vp) host_vnode_release(req->vp);
      req->vp = nullptr;
      result = KEL_ENXIO;
    }
    ch->req_cv.notify_all();
  }
  return result;
}

// Takes the answer with seq_id out of the queue and drops the expired
// answers of other senders. The caller holds the answer lock.
mdc_ans_t* take_answer_locked(mdc_channel* ch, std::uint32_t seq_id) {
  const std::uint64_t now = host_tick_ns();
  for (auto it = ch->ans_queue.begin(); it != ch->ans_queue.end();) {
    mdc_ans_t* a = *it;
    if (a->hdr.seq_id == seq_id) {
      ch->ans_queue.erase(it);
      return a;
    }
    if (a->hdr.life < now) {
      KELC_LOG(kLogWarn, "answer is abandoned. now=%llu life=%llu req_id=%d seq_id=%d\n",
               static_cast<unsigned long long>(now), static_cast<unsigned long long>(a->hdr.life),
               static_cast<int>(a->hdr.req_id), static_cast<int>(a->hdr.seq_id));
      it = ch->ans_queue.erase(it);
      release_vnode(ch, a->vp, __func__);
      free_ans(ch, a);
      continue;
    }
    ++it;
  }
  return nullptr;
}

void stamp_busy(mdc_channel* ch, std::uint64_t* stamp) {
  if (ch->kind != mdc_channel::kMetacache) return;
  std::lock_guard<std::mutex> g(ch->busy_lock);
  *stamp = host_tick_ns();
}

int ch_wait_ans(mdc_channel* ch, std::int32_t seq_id, mdc_ans_t** out, std::uint64_t step_ms) {
  stamp_busy(ch, &ch->wait_start);
  *out = nullptr;
  int result = 0;
  int wait_result = 0;
  for (;;) {
    std::unique_lock<std::mutex> lk(ch->ans_lock);
    if (mdc_ans_t* a = take_answer_locked(ch, static_cast<std::uint32_t>(seq_id))) {
      lk.unlock();
      release_vnode(ch, a->vp, __func__);
      a->vp = nullptr;
      stamp_busy(ch, &ch->wait_end);
      *out = a;
      return 0;
    }
    const std::uint64_t deadline = platform::clock().now_ms() + step_ms;
    platform::clock().wait_until(lk, ch->ans_cv, deadline);
    wait_result = platform::clock().now_ms() >= deadline ? KEL_ETIMEDOUT : 0;
    lk.unlock();
    mdcudfsr_mount* mp;
    {
      DevLock dev(ch->dev_lock);
      if (ch->io_count == 0) {
        result = KEL_ENXIO;
        break;
      }
      mp = ch->mount;
    }
    if (mp && host_is_forced(mp)) {
      KELC_LOG(kLogWarn, "vfs_isforce() returns true. Host is downed.\n");
      result = 112;
      break;
    }
  }
  stamp_busy(ch, &ch->wait_end);
  KELC_LOG(kLogWarn, "Status=%d (wait_result=0x%08x)\n", result, wait_result);
  return result;
}

bool ticket_cancelled(const ChannelKind& kd) { return t_ticket != 0 && t_ticket <= kd.cancelled_upto; }

// The metacache opener may start before its mount allocated the channel: it
// waits for the allocation, unless another opener takes the channel first
// (16) or its agent is stopped (6). The caller holds the device lock.
int wait_for_allocation(ChannelKind& kd, DevLock& dev) {
  mdc_channel* ch = &kd.ch;
  ++ch->open_waiters;
  ch->alloc_cv.wait(dev, [&] {
    return ticket_cancelled(kd) || ch->io_count != 0 || ch->status == METACACHE_ALLOCATED;
  });
  --ch->open_waiters;
  if (ticket_cancelled(kd)) {
    KELC_LOG(kLogErr, "%s\n", "agent stopped before it opened the channel");
    return KEL_ENXIO;
  }
  if (ch->io_count != 0) {
    KELC_LOG(kLogErr, "%s\n", "!metacache->io_count");
    return KEL_EBUSY;
  }
  return 0;
}

int ch_open(mdc_channel::Kind k) {
  ChannelKind& kd = kind_of(k);
  mdc_channel* ch = &kd.ch;
  DevLock dev(ch->dev_lock);
  if (ch->io_count != 0) {
    KELC_LOG(kLogErr, "%s\n", "!metacache->io_count");
    return KEL_EBUSY;
  }
  if (k == mdc_channel::kMetacache) {
    if (const int err = wait_for_allocation(kd, dev)) return err;
  } else if (ch->status != METACACHE_ALLOCATED) {
    return 0;
  }
  ch->io_count = 1;
  ch->status = METACACHE_OPENED;
  ch->agent_pid = host_pid();
  mdcudfsr_mount* mp = ch->mount;
  if (k == mdc_channel::kMetacache && mp) mp->cache_agent_opened = 1;
  dev.unlock();
  ch->alloc_cv.notify_all();  // other waiting openers have lost
  if (k == mdc_channel::kVfamdev && mp) mdcudfsr_vfam_start(mp);
  return 0;
}

std::uint32_t ch_read(mdc_channel::Kind k, void* buf, std::uint64_t size) {
  mdc_channel* ch = &kind_of(k).ch;
  int err = 0;
  int wait_result = 0;
  DevLock dev(ch->dev_lock);
  while (ch->req_queue.empty()) {
    if (ch->io_count == 0) { err = KEL_ENXIO; break; }
    if (ch->status == METACACHE_UNINIT) {
      KELC_LOG(kLogErr, "%s\n", "metacache->status != METACACHE_UNINIT");
      err = KEL_EINVAL;
      break;
    }
    const std::uint64_t deadline = platform::clock().now_ms() + 5000;
    platform::clock().wait_until(dev, ch->req_cv, deadline);
    wait_result = platform::clock().now_ms() >= deadline ? KEL_ETIMEDOUT : 0;
  }
  if (err) {
    dev.unlock();
    KELC_LOG(kLogErr, "err=%d (wait_result=0x%08x)\n", err, wait_result);
    return 0;
  }
  mdc_req_t* r = ch->req_queue.front();
  const std::uint64_t whole = sizeof(mdc_req_header_t) + r->hdr.payload_size;
  const std::uint64_t n = size < whole ? size : whole;
  std::memcpy(buf, r->image(), n);
  if (n == whole) {
    ch->req_queue.pop_front();
    std::lock_guard<std::mutex> s(ch->sent_lock);
    ch->sent_list.push_back(r);
    ch->sent_table[r->hdr.seq_id & 0xF] = r;
  }
  return static_cast<std::uint32_t>(n);
}

// Takes the request that seq_id answers off the sent list. The caller holds
// the sent lock.
mdc_req_t* take_sent_locked(mdc_channel* ch, std::uint32_t seq_id) {
  mdc_req_t*& slot = ch->sent_table[seq_id & 0xF];
  mdc_req_t* found = nullptr;
  if (slot && slot->hdr.seq_id == seq_id) {
    found = slot;
    slot = nullptr;
  } else {
    for (mdc_req_t* r : ch->sent_list)
      if (r->hdr.seq_id == seq_id) { found = r; break; }
  }
  if (found) ch->sent_list.remove(found);
  return found;
}

std::uint64_t ch_write(mdc_channel::Kind k, const void* image, std::uint64_t size) {
  mdc_channel* ch = &kind_of(k).ch;
  if (size < sizeof(mdc_ans_header_t)) {
    KELC_LOG(kLogErr, "%s\n", "ans_size >= sizeof( mdc_ans_header_t )");
    return 0;
  }
  mdc_ans_header_t hdr;
  std::memcpy(&hdr, image, sizeof hdr);
  // Never read past what the writer handed over.
  if (size - sizeof(mdc_ans_header_t) < hdr.payload_size) {
    KELC_LOG(kLogErr, "%s\n", "ans_size >= sizeof( mdc_ans_header_t ) + payload_size");
    return 0;
  }
  mdc_ans_t* ans = ch_alloc_ans(ch, hdr.payload_size);
  if (!ans) {
    KELC_LOG(kLogErr, "%s\n", "ans");
    return 0;
  }
  std::memcpy(ans->image(), image, sizeof(mdc_ans_header_t) + hdr.payload_size);
  {
    std::lock_guard<std::mutex> s(ch->sent_lock);
    if (mdc_req_t* found = take_sent_locked(ch, hdr.seq_id)) {
      ans->vp = found->vp;
      found->vp = nullptr;
      free_req(ch, found);
    }
  }
  {
    std::lock_guard<std::mutex> a(ch->ans_lock);
    ans->hdr.life = host_tick_ns() + kAnswerLifeNs;
    ch->ans_queue.push_back(ans);
    ch->ans_cv.notify_all();
  }
  return size;
}

int ch_close(mdc_channel::Kind k) {
  mdc_channel* ch = &kind_of(k).ch;
  DevLock dev(ch->dev_lock);
  if (ch->io_count == 0) {
    KELC_LOG(kLogErr, "%s\n", "metacache->io_count");
    dev.unlock();
    ch->close_cv.notify_all();
    return KEL_ENXIO;
  }
  drop_records_locked(ch, __func__);
  --ch->io_count;
  if (ch->io_count == 0 && ch->status == METACACHE_OPENED) ch->status = METACACHE_ALLOCATED;
  ch->agent_pid = 0;
  const bool stopped = ch->io_count == 0 && ch->status == METACACHE_ALLOCATED;
  mdcudfsr_mount* mp = ch->mount;
  // The stop notice only logs; it reads the mount while the channel's
  // state cannot change under it.
  if (stopped && k == mdc_channel::kMetacache) mdcudfsr_metacache_stop(mp);
  dev.unlock();
  if (stopped && k == mdc_channel::kVfamdev && mp) mdcudfsr_vfam_stop(mp);
  ch->close_cv.notify_all();
  return 0;
}

}  // namespace

int mdcudfsr_metacache_init() { return ch_init(mdc_channel::kMetacache); }
int mdcudfsr_metacache_term() { return ch_term(mdc_channel::kMetacache); }
mdc_channel* mdcudfsr_metacache_alloc(mdcudfsr_mount* mp, int* err) { return ch_alloc(mdc_channel::kMetacache, mp, err); }
int mdcudfsr_metacache_free(mdc_channel* ch) { return ch_free(ch); }
int mdcudfsr_metacache_mark_will_free(mdc_channel* ch) { return ch_mark_will_free(ch); }
std::uint32_t mdcudfsr_metacache_is_opened(mdc_channel* ch) { return ch_is_opened(ch, mdc_channel::kMetacache); }
int mdcudfsr_metacache_wait_close(mdc_channel* ch, std::uint32_t msec) { return ch_wait_close(ch, msec); }
int mdcudfsr_metacache_wait_open(mdc_channel* ch, std::uint32_t msec) { return ch_wait_open(ch, msec); }
std::int64_t mdcudfsr_metacache_get_agent_pid(mdc_channel* ch) { return ch ? ch->agent_pid.load() : 0; }
std::uint64_t mdcudfsr_metacache_busy_time(mdc_channel* ch) {
  if (!ch) return 0;
  std::lock_guard<std::mutex> g(ch->busy_lock);
  if (ch->wait_end < ch->wait_start) return host_tick_ns() - ch->wait_start;
  return 0;
}
mdc_req_t* mdcudfsr_metacache_alloc_req(mdc_channel* ch, std::int32_t len) { return ch_alloc_req(ch, len); }
mdc_ans_t* mdcudfsr_metacache_alloc_ans(mdc_channel* ch, std::uint32_t len) { return ch_alloc_ans(ch, len); }
void mdcudfsr_metacache_free_req(mdc_channel* ch, mdc_req_t* r) { free_req(ch, r); }
void mdcudfsr_metacache_free_ans(mdc_channel* ch, mdc_ans_t* a) { free_ans(ch, a); }
int mdcudfsr_metacache_send_req(mdc_channel* ch, mdc_req_t* r, vnode* vp) { return ch_send(ch, r, vp); }
int mdcudfsr_metacache_wait_ans(mdc_channel* ch, std::int32_t seq, mdc_ans_t** out) {
  return ch_wait_ans(ch, seq, out, 5000);
}
int mdcudfsr_metacache_open() { return ch_open(mdc_channel::kMetacache); }
std::uint32_t mdcudfsr_metacache_read(void* buf, std::uint64_t size) { return ch_read(mdc_channel::kMetacache, buf, size); }
std::uint64_t mdcudfsr_metacache_write(const void* a, std::uint64_t size) { return ch_write(mdc_channel::kMetacache, a, size); }
int mdcudfsr_metacache_close() { return ch_close(mdc_channel::kMetacache); }
int mdcudfsr_metacache_stop(mdcudfsr_mount* mp) {
  if (mp && mp->metacachedev && !(mp->mount_ext_flags & MDCUDFSR_MNT_AGENT_STOPPED) &&
      mp->metacachedev->status != METACACHE_WILL_FREE)
    KELC_LOG(kLogErr, "FsCache Agent stopped unexpectedly\n");
  return 0;
}
mdc_channel* mdcudfsr_metacache_channel() { return &kind_of(mdc_channel::kMetacache).ch; }

std::uint64_t mdcudfsr_metacache_issue_ticket() {
  ChannelKind& kd = kind_of(mdc_channel::kMetacache);
  DevLock dev(kd.ch.dev_lock);
  return ++kd.tickets_issued;
}

void mdcudfsr_metacache_hold_ticket(std::uint64_t ticket) { t_ticket = ticket; }

void mdcudfsr_metacache_cancel_openers() {
  ChannelKind& kd = kind_of(mdc_channel::kMetacache);
  {
    DevLock dev(kd.ch.dev_lock);
    kd.cancelled_upto = kd.tickets_issued;
  }
  kd.ch.alloc_cv.notify_all();
}

std::uint32_t mdcudfsr_metacache_open_waiters() {
  mdc_channel* ch = mdcudfsr_metacache_channel();
  DevLock dev(ch->dev_lock);
  return ch->open_waiters;
}

int mdcudfsr_vfamdev_init() { return ch_init(mdc_channel::kVfamdev); }
int mdcudfsr_vfamdev_term() { return ch_term(mdc_channel::kVfamdev); }
mdc_channel* mdcudfsr_vfamdev_alloc(mdcudfsr_mount* mp, int* err) { return ch_alloc(mdc_channel::kVfamdev, mp, err); }
int mdcudfsr_vfamdev_free(mdc_channel* ch) { return ch_free(ch); }
int mdcudfsr_vfamdev_mark_will_free(mdc_channel* ch) { return ch_mark_will_free(ch); }
std::uint32_t mdcudfsr_vfamdev_is_opened(mdc_channel* ch) { return ch_is_opened(ch, mdc_channel::kVfamdev); }
int mdcudfsr_vfamdev_wait_close(mdc_channel* ch, std::uint32_t msec) { return ch_wait_close(ch, msec); }
std::int64_t mdcudfsr_vfamdev_get_agent_pid(mdc_channel* ch) { return ch ? ch->agent_pid.load() : 0; }
mdc_req_t* mdcudfsr_vfamdev_alloc_req(mdc_channel* ch, std::int32_t len) { return ch_alloc_req(ch, len); }
mdc_ans_t* mdcudfsr_vfamdev_alloc_ans(mdc_channel* ch, std::uint32_t len) { return ch_alloc_ans(ch, len); }
void mdcudfsr_vfamdev_free_req(mdc_channel* ch, mdc_req_t* r) { free_req(ch, r); }
void mdcudfsr_vfamdev_free_ans(mdc_channel* ch, mdc_ans_t* a) { free_ans(ch, a); }
int mdcudfsr_vfamdev_send_req(mdc_channel* ch, mdc_req_t* r, vnode* vp) { return ch_send(ch, r, vp); }
int mdcudfsr_vfamdev_wait_ans(mdc_channel* ch, std::int32_t seq, mdc_ans_t** out, std::uint32_t step_sec) {
  return ch_wait_ans(ch, seq, out, static_cast<std::uint64_t>(step_sec) * 1000);
}
int mdcudfsr_vfamdev_open() { return ch_open(mdc_channel::kVfamdev); }
std::uint32_t mdcudfsr_vfamdev_read(void* buf, std::uint64_t size) { return ch_read(mdc_channel::kVfamdev, buf, size); }
std::uint64_t mdcudfsr_vfamdev_write(const void* a, std::uint64_t size) { return ch_write(mdc_channel::kVfamdev, a, size); }
int mdcudfsr_vfamdev_close() { return ch_close(mdc_channel::kVfamdev); }
mdc_channel* mdcudfsr_vfamdev_channel() { return &kind_of(mdc_channel::kVfamdev).ch; }
