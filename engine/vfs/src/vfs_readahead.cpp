// Read-ahead thread of the QMR-T300 and QMR-T400 drives and its two 512 KiB
// buffers. The state is process-wide: one engine process serves one medium.
//
// Each buffer is handed over with its state under its own mutex and
// condition: the poster marks it requested, the thread fills it and marks it
// filled, a consumer waits while it is requested. The thread is stopped with
// a flag and a broadcast of the request condition, and joined within 2000 ms
// of the process clock.
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_readahead.h"

#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "platform/sync.h"
#include "vfs_log.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

// The disc lock of the mount, held around each medium transfer.
int mdcudfsr_vnop_disc_lock(mdcudfsr_mount* mnt, vfs_context_t ctx);
int mdcudfsr_vnop_disc_unlock(mdcudfsr_mount* mnt, vfs_context_t ctx);
int cluster_read(vnode_t vp, uio_t uio, off64_kel_t filesize, int flags);

namespace {

constexpr std::int64_t kPiece = MDCUDFSR_READ_BUFF_BYTES;
constexpr DWORD kStopLimitMs = 2000;

enum : int { kEmpty = 0, kRequested = 1, kFilled = 2 };

// One buffer and its request.
struct ReadRecord {
  std::mutex mu;
  std::condition_variable cv;
  int state = kEmpty;
  vfs_context_t ctx = nullptr;
  vnode_t vp = nullptr;
  iovec_kel iov{};
  uio u{};
  std::int64_t size_limit = 0;
  std::int64_t file_end = 0;
  int ioflag = 0;
  std::int64_t req_len = 0;
  int eof = 0;
  int error = 0;
  std::int64_t start = 0;
  std::int64_t done = 0;
  std::int64_t consumed = 0;
  std::vector<std::uint8_t> data;
};

struct ReadAhead {
  std::atomic<int> service{0};
  std::unique_ptr<platform::Thread> thread;
  mdcudfsr_mount* mnt = nullptr;

  std::mutex start_mu;
  std::condition_variable start_cv;
  int start_state = 0;

  std::mutex req_mu;  // request flag, selector, stop flag, served vnode
  std::condition_variable req_cv;
  int req_flag = 0;
  int selector = 0;
  bool stop = false;
  vnode_t served = nullptr;

  std::mutex ack_mu;
  std::condition_variable ack_cv;
  int ack = 0;
  bool thread_gone = false;  // the thread has ended: no acknowledgement will come

  std::mutex cons_mu;  // serialises consumers; the toggle
  int toggle = 0;

  std::atomic<std::int64_t> next_pos[2]{};
  ReadRecord rec[2];  // [1] buffer A, [0] buffer B
};

ReadAhead& ra() {
  static ReadAhead state;
  return state;
}

bool model_matches(const char* product, std::uint32_t medium) {
  if (!product) return false;
  const bool t300 = std::strncmp(product, "QMR-T300B", 9) == 0 || std::strncmp(product, "QMR-T300A", 9) == 0;
  const bool t400 = std::strncmp(product, "QMR-T400B", 9) == 0 || std::strncmp(product, "QMR-T400A", 9) == 0;
  return (t300 && medium == 0xF1) || (t400 && (medium == 0xF1 || medium == 0xF2));
}

// Reads the requested piece of buffer `sel` under the disc lock.
void fill(ReadAhead& s, int sel) {
  ReadRecord& r = s.rec[sel];
  const int lock_err = mdcudfsr_vnop_disc_lock(s.mnt, r.ctx);
  int err = lock_err;
  if (!lock_err) {
    err = cluster_read(r.vp, &r.u, r.size_limit, r.ioflag);
    mdcudfsr_vnop_disc_unlock(s.mnt, r.ctx);
  }
  std::lock_guard<std::mutex> lk(r.mu);
  r.error = err;
  if (err) {
    VFS_LOG(KEL_LOG_ERR, " cluster_read err %d \n", err);
  } else {
    r.done = r.req_len - r.u.uio_resid;
    r.eof = r.start + r.done >= r.file_end ? 1 : 0;
    s.next_pos[sel] = r.start + r.done;
  }
  r.state = kFilled;
  r.cv.notify_all();
}

void serve(ReadAhead& s);

DWORD thread_main(ReadAhead& s) {
  serve(s);
  std::lock_guard<std::mutex> lk(s.ack_mu);
  s.thread_gone = true;
  s.ack_cv.notify_all();
  return 0;
}

void serve(ReadAhead& s) {
  {
    std::lock_guard<std::mutex> lk(s.start_mu);
    if (s.start_state != 2) s.start_state = 1;
    s.start_cv.notify_all();
    if (s.start_state == 2) return;
  }
  for (;;) {
    int sel = 0;
    {
      std::unique_lock<std::mutex> lk(s.req_mu);
      s.req_cv.wait(lk, [&] { return s.req_flag == 1 || s.stop; });
      if (s.stop) return;
      sel = s.selector;
      s.req_flag = 0;
    }
    {
      std::lock_guard<std::mutex> lk(s.ack_mu);
      s.ack = 1;
      s.ack_cv.notify_all();
    }
    fill(s, sel);
  }
}

// Waits until no read is under way in `r`; returns with its lock held.
std::unique_lock<std::mutex> settled(ReadRecord& r) {
  std::unique_lock<std::mutex> lk(r.mu);
  r.cv.wait(lk, [&] { return r.state != kRequested; });
  return lk;
}

void empty_buffers(ReadAhead& s) {
  for (int i = 0; i < 2; ++i) {
    auto lk = settled(s.rec[i]);
    s.rec[i].state = kEmpty;
    s.rec[i].consumed = 0;
    s.next_pos[i] = 0;
  }
}

// Fills record `r` for the piece [pos, pos + len).
void arm(ReadRecord& r, vnode_t vp, std::int64_t pos, std::int64_t len, std::int64_t file_size, int ioflag,
         vfs_context_t ctx) {
  if (r.data.size() != static_cast<std::size_t>(kPiece)) r.data.assign(static_cast<std::size_t>(kPiece), 0);
  r.state = kRequested;
  r.ctx = ctx;
  r.vp = vp;
  r.iov = iovec_kel{r.data.data(), static_cast<std::uint64_t>(len)};
  r.u = uio{&r.iov, 1, pos, len, UIO_READ, &r.iov, 1};
  r.size_limit = file_size;
  r.file_end = file_size;
  r.ioflag = ioflag;
  r.req_len = len;
  r.eof = 0;
  r.error = 0;
  r.start = pos;
  r.done = 0;
  r.consumed = 0;
}

// Posts buffer `sel`; the consumer mutex, when needed, is the caller's.
int post(ReadAhead& s, std::int64_t offset, int ioflag, vfs_context_t ctx, int sel, std::int64_t file_size) {
  std::unique_lock<std::mutex> lk(s.req_mu);
  if (!s.served || !s.mnt || s.stop) return KEL_EINVAL;
  ReadRecord& r = s.rec[sel];
  bool other_empty = false;
  {
    std::lock_guard<std::mutex> ol(s.rec[sel ^ 1].mu);
    other_empty = s.rec[sel ^ 1].state == kEmpty;
  }
  auto rl = settled(r);
  const bool both_empty = other_empty && r.state == kEmpty;
  std::int64_t pos = std::max(s.next_pos[0].load(), s.next_pos[1].load());
  std::int64_t len = kPiece;
  if (both_empty) {
    pos = offset;
    len = kPiece - offset % kPiece;
  }
  if (pos < 0 || pos >= file_size) {
    r.state = kEmpty;
    s.next_pos[0] = s.next_pos[1] = std::max<std::int64_t>(pos, 0);
    return 0;
  }
  arm(r, s.served, pos, len, file_size, ioflag, ctx);
  s.next_pos[sel] = pos + len;
  rl.unlock();
  s.selector = sel;
  s.req_flag = 1;
  {
    std::lock_guard<std::mutex> al(s.ack_mu);
    s.ack = 0;
  }
  lk.unlock();
  s.req_cv.notify_all();
  std::unique_lock<std::mutex> al(s.ack_mu);
  s.ack_cv.wait(al, [&] { return s.ack == 1 || s.thread_gone; });
  return 0;
}

// Copies what a filled buffer holds of the start of the uio's range; true
// when it held it.
bool one_side(ReadRecord& r, uio_t uio, bool* used_up, int* error) {
  auto lk = settled(r);
  *used_up = false;
  if (r.state != kFilled) return false;
  if (r.error) {
    *error = r.error;
    return false;
  }
  const std::int64_t off = uio_offset(uio);
  if (off < r.start || off >= r.start + r.done) return false;
  const std::int64_t n = std::min<std::int64_t>(uio_resid(uio), r.start + r.done - off);
  uiomove64(r.data.data() + (off - r.start), n, uio);
  r.consumed += n;
  *used_up = off + n >= r.start + r.done;
  return true;
}

}  // namespace

int mdcudfsr_cluster_read_buff_mount(mdcudfsr_mount* mnt, const char* product_id) {
  ReadAhead& s = ra();
  if (!mnt || !model_matches(product_id, mnt->medium_type)) return 0;
  if (s.service.load() || s.thread) return 0;  // one read-ahead per process
  s.service = 1;
  s.mnt = mnt;
  s.req_flag = s.selector = s.ack = s.toggle = 0;
  s.stop = false;
  s.served = nullptr;
  s.next_pos[0] = s.next_pos[1] = 0;
  s.rec[0].state = s.rec[1].state = kEmpty;
  s.start_state = 0;
  s.thread_gone = false;
  s.thread = std::make_unique<platform::Thread>();
  try {
    s.thread->start([&s] { return thread_main(s); });
  } catch (const std::system_error& e) {
    VFS_LOG(KEL_LOG_ERR, "pthread_create err:%d\n", e.code().value());
    s.thread.reset();
    s.service = 0;
    return e.code().value();
  }
  std::unique_lock<std::mutex> lk(s.start_mu);
  s.start_cv.wait(lk, [&] { return s.start_state != 0; });
  if (s.start_state != 1) {
    s.service = 0;
    VFS_LOG(KEL_LOG_ERR, "pthread_create read_buff_cond_thread_start_state:%d\n", s.start_state);
  }
  return 0;
}

void mdcudfsr_cluster_read_buff_reset(vnode_t vp) {
  ReadAhead& s = ra();
  std::lock_guard<std::mutex> cl(s.cons_mu);
  {
    std::lock_guard<std::mutex> lk(s.req_mu);
    s.served = vp;
  }
  s.toggle = 0;
  empty_buffers(s);
}

bool mdcudfsr_cluster_read_buff_active() { return ra().service.load() == 1; }

vnode_t mdcudfsr_cluster_read_buff_vnode() {
  ReadAhead& s = ra();
  std::lock_guard<std::mutex> lk(s.req_mu);
  return s.served;
}

int mdcudfsr_cluster_read_buff_umount() {
  ReadAhead& s = ra();
  s.service = 0;
  if (!s.thread) return 0;
  {
    std::lock_guard<std::mutex> lk(s.req_mu);
    s.stop = true;
  }
  s.req_cv.notify_all();
  if (s.thread->wait(kStopLimitMs) != WAIT_OBJECT_0) {
    VFS_LOG(KEL_LOG_ERR, "pthread_kill read_buff_Thread err:%d\n", 138);
    return KEL_ETIMEDOUT;
  }
  s.thread.reset();
  std::lock_guard<std::mutex> lk(s.req_mu);
  s.stop = false;
  s.served = nullptr;
  s.mnt = nullptr;
  return 0;
}

int mdcudfsr_cluster_read_buff_umount_hook(mdcudfsr_mount*) {
  ReadAhead& s = ra();
  if (s.service.load() == 1 && s.thread) return mdcudfsr_cluster_read_buff_umount();
  return 0;
}

int mdcudfsr_cluster_read_buff_start(std::int64_t offset, int ioflag, vfs_context_t ctx, int selector, int wait,
                                     std::int64_t file_size) {
  (void)wait;  // the request is always taken before the post returns
  ReadAhead& s = ra();
  if (!s.service.load()) return KEL_EINVAL;
  return post(s, offset, ioflag, ctx, selector ? 1 : 0, file_size);
}

int mdcudfsr_cluster_read_buff(uio_t uio, vnode_t vp, std::int64_t file_size, int ioflag, vfs_context_t ctx) {
  ReadAhead& s = ra();
  if (!uio || !vp || !s.service.load()) return KEL_EINVAL;
  std::lock_guard<std::mutex> cl(s.cons_mu);
  int misses = 0;
  while (uio_resid(uio) > 0 && uio_offset(uio) < file_size) {
    int error = 0;
    bool served = false;
    for (int side : {s.toggle, s.toggle ^ 1}) {
      bool used_up = false;
      if (one_side(s.rec[side], uio, &used_up, &error)) {
        served = true;
        s.toggle = used_up ? side ^ 1 : side;
        if (used_up) post(s, uio_offset(uio), ioflag, ctx, side, file_size);
        break;
      }
      if (error) break;
    }
    if (error) {
      VFS_LOG(KEL_LOG_ERR, " read err %d ofs %lld \n", error, static_cast<long long>(uio_offset(uio)));
      empty_buffers(s);
      return error;
    }
    if (served) {
      misses = 0;
      continue;
    }
    if (++misses > 1) {
      VFS_LOG(KEL_LOG_WARN, " retry_read warn(%d) \n", misses);
      return 0;
    }
    // Neither buffer holds the range: both are refilled from its start.
    empty_buffers(s);
    s.toggle = 1;
    post(s, uio_offset(uio), ioflag, ctx, 1, file_size);
    post(s, uio_offset(uio), ioflag, ctx, 0, file_size);
  }
  return 0;
}
