// The drive client: buffers read from and written to the medium, and the
// cluster paths that move file data between the medium and uio lists.
#include "drive/client_if.h"

#include "kelhost/kern.h"
#include "kelhost/vnode.h"
#include "storage_scsi_log.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

client_if* pclient_if = nullptr;

namespace {
constexpr std::uint32_t kSector = 2048;
constexpr std::uint64_t kUnit = 65536;

std::uint64_t round_up(std::uint64_t v, std::uint64_t unit) { return (v + unit - 1) / unit * unit; }

void free_buf(buf_t bp) {
  if (bp == nullptr) return;
  std::free(bp->data);
  std::free(bp);
}
}  // namespace

client_if::client_if() {
  m_storage = new storage_scsi();
  m_service.set_storage(m_storage);
  m_delayed_write = false;
  m_1500h_unread = false;
}

client_if::~client_if() {
  delete m_storage;
  m_storage = nullptr;
}

storage_scsi* client_if::storage() {
  if (m_storage == nullptr) {
    m_storage = new storage_scsi();
    m_service.set_storage(m_storage);
  }
  return m_storage;
}

buf_t client_if::buf_getblk(vnode_t vp, daddr64_t blkno, int size, int, int, int operation, bool need_data) {
  DRV_ENTRY();
  storage_scsi* s = storage();
  auto* bp = static_cast<buf_t>(std::calloc(1, sizeof(pxo_buf)));
  if (bp == nullptr) {
    DRV_LOG(ERR_, "malloc failed.\n");
    return nullptr;
  }
  bp->data = static_cast<unsigned char*>(std::calloc(1, static_cast<std::size_t>(size)));
  if (bp->data == nullptr) {
    DRV_LOG(ERR_, "malloc failed.\n");
    std::free(bp);
    return nullptr;
  }
  bp->count = bp->bufsize = static_cast<std::uint32_t>(size);
  bp->vnode = vp;
  bp->blkno = static_cast<std::uint32_t>(blkno);
  bp->error = 0;
  bp->flags = 0;
  DRV_LOG(INFO, "read lsn=%lu(0x%lx)\n", static_cast<unsigned long>(bp->blkno), static_cast<unsigned long>(bp->blkno));
  if (operation != BUF_OP_METADATA) return bp;
  const errno_t res = s->pxo_read10(bp);
  if (res == 0) return bp;
  DRV_LOG(ERR_, "READ failed. err(%d)\n", res);
  if (need_data) {
    free_buf(bp);
    return nullptr;
  }
  // The caller rewrites the buffer whole: hand it out zero-filled, with the
  // read's failure in its error field.
  std::memset(bp->data, 0, bp->bufsize);
  bp->error = res;
  DRV_LOG(WARN, "read failed, zero-filled buffer handed out. lsn=%lu err(%d)\n",
          static_cast<unsigned long>(bp->blkno), res);
  return bp;
}

int client_if::buf_meta_bread(vnode_t vp, daddr64_t blkno, int size, kauth_cred_t, buf_t* bpp) {
  DRV_LOG(DEBG, "readblock=%lu(0x%lx)\n", static_cast<unsigned long>(blkno), static_cast<unsigned long>(blkno));
  buf_t bp = buf_getblk(vp, blkno, size, 0, 0, BUF_OP_METADATA, true);
  *bpp = bp;
  return bp ? 0 : drv_err::kNoMemory;
}

int client_if::buf_bwrite(buf_t bp) {
  DRV_ENTRY();
  storage_scsi* s = storage();
  DRV_LOG(INFO, "write lsn=%lu(0x%lx)\n", static_cast<unsigned long>(bp->blkno), static_cast<unsigned long>(bp->blkno));
  errno_t res;
  if (bp->bufsize == 0 || bp->bufsize % kUnit != 0) {
    // WRITE(10) of a buffer goes in whole 64 KiB units; anything else
    // would write nothing or part of the buffer.
    DRV_LOG(ERR_, "buffer size is not a multiple of 64 KiB. bufsize=%u\n", bp->bufsize);
    res = drv_err::kInvalid;
  } else {
    res = s->pxo_write10_for_buf(bp, 0x40);
  }
  if (res != 0) {
    DRV_LOG(ERR_, "WRITE_10 failed. err[%d]\n", res);
    s->increment_write_fail_cnt();
  }
  m_delayed_write = false;
  free_buf(bp);
  DRV_LOG(INFO, "Result(%d)", res);
  return res;
}

namespace {

// The data area of a cluster read: one buffer header whose data only grows.
struct ReadArea {
  buf_t bp = nullptr;
  std::uint64_t capacity = 0;
  ~ReadArea() { free_buf(bp); }
  // Room for size bytes, zeroed; 0 or 12.
  int reserve(std::uint64_t size) {
    if (size > capacity) {
      std::free(bp->data);
      bp->data = static_cast<unsigned char*>(std::malloc(size));
      capacity = bp->data ? size : 0;
      if (bp->data == nullptr) {
        DRV_LOG(ERR_, "malloc failed.\n");
        return drv_err::kNoMemory;
      }
    }
    std::memset(bp->data, 0, size);
    return 0;
  }
};

// An extent allocated but not recorded (or not allocated) holds zeros: n
// bytes of them go into the uio.
int move_zeros(std::int64_t n, uio_t uio) {
  static const unsigned char kZeros[kUnit] = {};
  while (n > 0) {
    const int piece = static_cast<int>(std::min<std::int64_t>(n, kUnit));
    if (const int e = uiomove(const_cast<unsigned char*>(kZeros), piece, uio)) return e;
    n -= piece;
  }
  return 0;
}

// One pass of a cluster read: the run mapped at the uio's offset, read from
// the medium (or zeros where the file has no data recorded) into the uio.
int read_run(storage_scsi* s, ReadArea& area, vnode_t vp, uio_t uio, off64_kel_t filesize,
             const blockmap_result& r) {
  const std::int64_t move = std::min<std::int64_t>(static_cast<std::int64_t>(r.run), filesize - uio->uio_offset);
  if (r.sector == -1) {
    DRV_LOG(INFO, "vnode_blockmap >> no data recorded for 0x%lx bytes: zeros\n", static_cast<unsigned long>(r.run));
    return move_zeros(move, uio);
  }
  if (r.offset < 0 || static_cast<std::uint32_t>(r.offset) >= kSector) {
    DRV_LOG(ERR_, "vnode_blockmap >> offset %d outside its sector\n", r.offset);
    return drv_err::kInvalid;
  }
  // The data at the offset starts r.offset bytes into the mapped sector.
  const std::uint64_t size = round_up(r.run + static_cast<std::uint64_t>(r.offset), kSector);
  if (const int e = area.reserve(size)) return e;
  buf_t bp = area.bp;
  bp->count = bp->bufsize = static_cast<std::uint32_t>(size);
  bp->vnode = vp;
  bp->error = 0;
  bp->blkno = static_cast<std::uint32_t>(r.sector);
  bp->flags = 0;
  if (const int e = s->pxo_read10(bp)) {
    DRV_LOG(ERR_, "READ failed. err(%d)\n", e);
    return e;
  }
  const int e = uiomove(bp->data + r.offset, static_cast<int>(move), uio);
  if (e != 0) DRV_LOG(ERR_, "uiomove failed. err(%d)\n", e);
  return e;
}

}  // namespace

int client_if::cluster_read(vnode_t vp, uio_t uio, off64_kel_t filesize, int) {
  if (vp == nullptr || uio == nullptr) {
    DRV_LOG(ERR_, "invalid param. err(%d)\n", drv_err::kInvalid);
    return drv_err::kInvalid;
  }
  if (uio->uio_offset < 0 || uio->uio_offset >= filesize) return 0;
  storage_scsi* s = storage();
  ReadArea area;
  area.bp = static_cast<buf_t>(std::calloc(1, sizeof(pxo_buf)));
  if (area.bp == nullptr) {
    DRV_LOG(ERR_, "malloc failed.\n");
    return drv_err::kNoMemory;
  }
  std::int64_t readsize = uio->uio_resid;
  if (readsize > filesize - uio->uio_offset)
    readsize = static_cast<std::int64_t>(round_up(static_cast<std::uint64_t>(filesize - uio->uio_offset), kSector));
  for (;;) {
    blockmap_result r{};
    if (const int e = vnode_blockmap(vp, uio->uio_offset, readsize, VNODE_READ, &r)) {
      DRV_LOG(ERR_, "vnode_blockmap failed. err(%d)\n", e);
      return e;
    }
    if (r.run == 0) {
      // No extent here (the file was cut meanwhile, or its extents end
      // before its size): the read ends short, and its caller sees it.
      DRV_LOG(INFO, "vnode_blockmap >> nothing mapped at %lld (file size %lld)\n",
              static_cast<long long>(uio->uio_offset), static_cast<long long>(filesize));
      return 0;
    }
    if (const int e = read_run(s, area, vp, uio, filesize, r)) return e;
    const std::int64_t remaining = readsize - static_cast<std::int64_t>(r.run);
    if (remaining > readsize) {
      DRV_LOG(WARN, "readsize > oldReadsize\n");
      return 0;
    }
    if (remaining < 1 || uio->uio_offset >= filesize) return 0;
    readsize = remaining;
  }
}

namespace {
// Drops the empty iovecs in front; false when no iovec with data is left.
bool skip_empty_iovecs(uio_t uio) {
  while (uio->uio_iovcnt > 0 && uio->uio_iovs->iov_len == 0) {
    ++uio->uio_iovs;
    --uio->uio_iovcnt;
  }
  return uio->uio_iovcnt > 0 && uio->uio_resid > 0;
}

// One run of a cluster write: the iovec it is written from, where the
// write stands, and the run the file's map gave.
struct WriteRun {
  iovec_kel* iov;
  std::int64_t offset;    // the file offset written at
  std::int64_t want;      // the bytes left to write
  std::uint64_t written;  // the bytes written before this run
  blockmap_result map;
};

// A log line about the run: `head`, then where the write stands.
void log_run(drvlog::Level level, const char* head, const WriteRun& w) {
  KEL_LOG(level, KEL_MOD_DRV, KEL_MARK_NOTE,
          "%s iov_len=%llx iov_base=%p writeoffset=%llx writesize=%llx writtenbytes=%llx "
          "node_blockmap->result.run(SIZ)=%llx result.bpn(LSN)=%llx \n",
          head, static_cast<unsigned long long>(w.iov->iov_len), w.iov->iov_base,
          static_cast<unsigned long long>(w.offset), static_cast<unsigned long long>(w.want),
          static_cast<unsigned long long>(w.written), static_cast<unsigned long long>(w.map.run),
          static_cast<unsigned long long>(static_cast<std::uint32_t>(w.map.sector)));
}

// Whether the file's map gave a run the data can be written to: 0, or the
// error that ends the write (logged).
int check_run(const WriteRun& w, int map_err) {
  if (map_err != 0) {
    char head[48];
    std::snprintf(head, sizeof head, "vnode_blockmap fail %d", map_err);
    log_run(drvlog::ERR_, head, w);
    return map_err;
  }
  if (w.map.offset != 0) {
    // The data would not start at the sector the run is written to.
    DRV_LOG(ERR_, "vnode_blockmap >> write offset %llx lies %d bytes into its sector\n",
            static_cast<unsigned long long>(w.offset), w.map.offset);
    return drv_err::kInvalid;
  }
  if (w.map.sector == -1) {
    // No block behind the offset: the data has nowhere to go.
    DRV_LOG(ERR_, "vnode_blockmap >> invalid lsn for write. writeoffset=%llx run=%llx\n",
            static_cast<unsigned long long>(w.offset), static_cast<unsigned long long>(w.map.run));
    return drv_err::kIO;
  }
  if (w.map.run == 0) {
    // Data are left but no block is mapped for them: the write did not
    // happen in full, which is a failure.
    log_run(drvlog::ERR_, "write data 0", w);
    return drv_err::kIO;
  }
  return 0;
}

// The bytes of the current iovec that the run holds written to its blocks
// (*len of them), the uio advanced past them. WRITE(10) moves whole
// sectors: a short last run goes out completed with zeros to its sector (or
// to a 64 KiB unit when the run is longer than the data) from `staging`,
// since the caller's memory ends at the data. 0, or the error (logged).
int write_run(storage_scsi* s, buf_t bp, vnode_t vp, uio_t uio, const WriteRun& w,
              std::vector<unsigned char>& staging, std::uint64_t* len) {
  iovec_kel* iov = w.iov;
  bp->error = 0;
  bp->flags = 0;
  bp->vnode = vp;
  bp->blkno = static_cast<std::uint32_t>(w.map.sector);
  DRV_LOG(DEBG, "write lsn=%lu(0x%lx)\n", static_cast<unsigned long>(bp->blkno), static_cast<unsigned long>(bp->blkno));
  unsigned char* src = static_cast<unsigned char*>(iov->iov_base);
  const std::uint64_t n = std::min<std::uint64_t>(iov->iov_len, w.map.run);
  std::uint64_t bufsize = n;
  if (w.map.run > n) {
    log_run(drvlog::WARN, "iov_len < result.run", w);
    bufsize = round_up(n, kUnit);
  }
  bufsize = round_up(bufsize, kSector);
  unsigned char* data = src;
  if (bufsize > n) {
    try {
      staging.assign(bufsize, 0);
    } catch (const std::bad_alloc&) {
      DRV_LOG(ERR_, "struct buf_t alloc failed.\n");
      return drv_err::kNoMemory;
    }
    std::memcpy(staging.data(), src, n);
    data = staging.data();
  }
  bp->data = data;
  bp->count = bp->bufsize = static_cast<std::uint32_t>(bufsize);
  iov->iov_base = src + n;
  iov->iov_len -= n;
  uio->uio_offset += static_cast<std::int64_t>(n);
  uio->uio_resid -= static_cast<std::int64_t>(n);
  if (const int e = s->pxo_write10_for_cluster(bp, 0)) {
    char head[48];
    std::snprintf(head, sizeof head, "WRITE_10 failed. err(%d)", e);
    log_run(drvlog::ERR_, head, w);
    return e;
  }
  *len = n;
  return 0;
}
}  // namespace

int client_if::cluster_write(vnode_t vp, uio_t uio, off64_kel_t oldEOF, off64_kel_t newEOF, off64_kel_t,
                             off64_kel_t, int) {
  DRV_ENTRY();
  if (vp == nullptr || uio == nullptr || oldEOF == 0 || newEOF == 0) {
    DRV_LOG(ERR_, "invalid param. err(%d)\n", drv_err::kInvalid);
    return drv_err::kInvalid;
  }
  std::int64_t writeoffset = uio->uio_offset;
  storage_scsi* s = storage();
  auto* bp = static_cast<buf_t>(std::calloc(1, sizeof(pxo_buf)));
  if (bp == nullptr) {
    DRV_LOG(ERR_, "struct buf_t alloc failed.\n");
    return drv_err::kNoMemory;
  }
  int result = 0;
  std::vector<unsigned char> staging;
  std::uint64_t writtenbytes = 0;
  while (skip_empty_iovecs(uio)) {
    WriteRun w{uio->uio_iovs, writeoffset, uio->uio_resid, writtenbytes, {}};
    const int e = vnode_blockmap(vp, writeoffset, w.want, VNODE_WRITE, &w.map);
    DRV_LOG(DEBG, "vnode_blockmap->result.run(SIZ)=%ld(0x%lx)\n", static_cast<long>(w.map.run),
            static_cast<unsigned long>(w.map.run));
    DRV_LOG(DEBG, "vnode_blockmap->result.bpn(LSN)=%ld(0x%lx)\n", static_cast<long>(w.map.sector),
            static_cast<unsigned long>(static_cast<std::uint32_t>(w.map.sector)));
    if ((result = check_run(w, e)) != 0) break;
    std::uint64_t len = 0;
    if ((result = write_run(s, bp, vp, uio, w, staging, &len)) != 0) break;
    writtenbytes += len;
    writeoffset += static_cast<std::int64_t>(len);
    if (writeoffset < uio->uio_offset) {
      DRV_LOG(ERR_, "writeoffset Invalid writeoffset %llx uio->offset %llx \n",
              static_cast<unsigned long long>(writeoffset), static_cast<unsigned long long>(uio->uio_offset));
      result = drv_err::kIO;
      break;
    }
  }
  std::free(bp);
  DRV_LOG(INFO, "status(%d)", result);
  return result;
}

namespace {
// Index of the iovec holding stream position `offset` and the position in it.
bool locate(uio_t uio, std::uint64_t offset, std::uint64_t* index, std::uint64_t* pos) {
  if (uio->uio_iovcnt == 0) {
    *index = 0;
    *pos = 0;
    return uio->uio_iovs != nullptr;
  }
  std::uint64_t before = 0;
  for (std::uint64_t i = 0; i < uio->uio_iovcnt; ++i) {
    const std::uint64_t len = uio->uio_iovs[i].iov_len;
    if (offset < before + len) {
      *index = i;
      *pos = offset - before;
      return true;
    }
    before += len;
  }
  return false;
}

int copy_between(buf_t bp, uio_t uio, std::uint64_t offset, bool into_buffer) {
  std::uint64_t index = 0, pos = 0;
  if (!locate(uio, offset, &index, &pos)) return 0;
  const std::uint64_t want = bp->count;
  std::uint64_t done = 0;
  const std::uint64_t n_iov = uio->uio_iovcnt == 0 ? 1 : uio->uio_iovcnt;
  for (std::uint64_t i = index; i < n_iov && done < want; ++i) {
    iovec_kel& v = uio->uio_iovs[i];
    const std::uint64_t start = i == index ? pos : 0;
    if (v.iov_len <= start) continue;
    const std::uint64_t n = std::min(v.iov_len - start, want - done);
    auto* p = static_cast<unsigned char*>(v.iov_base) + start;
    if (into_buffer)
      std::memcpy(bp->data + done, p, n);
    else
      std::memcpy(p, bp->data + done, n);
    done += n;
  }
  return static_cast<int>(done);
}
}  // namespace

int client_if::copy_from_uio(buf_t bp, uio_t uio, int offset) {
  if (bp == nullptr || uio == nullptr || offset < 0) {
    DRV_LOG(ERR_, "invalid parameter. bp=%p, uio=%p, writtensize=%d\n", static_cast<void*>(bp),
            static_cast<void*>(uio), offset);
    return 0;
  }
  return copy_between(bp, uio, static_cast<std::uint64_t>(offset), true);
}

int client_if::copy_to_uio(buf_t bp, uio_t uio, int offset) {
  if (bp == nullptr || uio == nullptr || offset < 0) {
    DRV_LOG(ERR_, "invalid parameter. bp=%p, uio=%p\n", static_cast<void*>(bp), static_cast<void*>(uio));
    return 0;
  }
  return copy_between(bp, uio, static_cast<std::uint64_t>(offset), false);
}

int client_if::disable_eject() {
  char prevent = 1;
  return storage()->prevent_allow_medium_removal(&prevent);
}

int client_if::enable_eject_and_remove_media() {
  char prevent = 0;
  return storage()->prevent_allow_medium_removal(&prevent);
}
