// Total and free blocks of a cartridge of several discs.
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_volume_attr.h"

#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvnops/mdcudfsr_track_info.h"
#include "vfs_log.h"

#include <algorithm>

namespace {

// Figures in 32-block clusters, signed so that a short disc shows as
// negative before it is taken as 0.
struct Figures {
  std::int64_t total = 0, free = 0, per_slot = 0, current = 0;
};

std::int64_t not_negative(const char* what, std::int64_t v) {
  if (v >= 0) return v;
  VFS_LOG(KEL_LOG_WARN, "negative %s (%lld) taken as 0\n", what, static_cast<long long>(v));
  return 0;
}

struct Reserves {
  std::int64_t a0, a1, cut, margin;
};

Reserves reserves_of(std::uint32_t medium) {
  if (medium == 0xF2) return {0xC000, 0x20000, 192, 80};
  if (medium == 0xF1) return {0xC000, 0x18000, 160, 36};
  return {0x4000, 0x4000, 128, medium == 0xE5 ? 36 : 9};
}

// Free clusters of one slot whose data ends at `nwa` (less 4096): all of
// `capacity` while nearly nothing is written, the rest up to `limit`, or 0.
std::int64_t slot_free(std::int64_t nwa, std::int64_t limit, std::int64_t capacity, bool* partial) {
  if (nwa < 8192) return capacity;
  if (nwa < limit * 32) {
    *partial = true;
    return not_negative("free clusters", limit - nwa / 32);
  }
  return 0;
}

// The partition length in blocks of a rewritable volume: the mount's
// figure, else the partition descriptor's, as the flush places its entries.
std::int64_t rewritable_partition_blocks(const mdcudfsr_mount* mnt) {
  return mnt->partition_blocks ? mnt->partition_blocks : mnt->vds.pd.part_len;
}

// Track size (clusters) and next writable address (blocks) of the last
// written slot; the track request's error is the first result.
int read_track(mdcudfsr_mount* mnt, vfs_context_t ctx, int mounting, std::int64_t* t, std::int64_t* n, int* track_err) {
  if (mnt->is_rewritable) {
    *t = (rewritable_partition_blocks(mnt) + 4127) / 32;
    *n = mnt->next_writable_address;
    return 0;
  }
  std::uint32_t nwa = 0;
  std::int32_t size = 0;
  const int err = mdcudfsr_ask_loaded(mnt, INFO_TRACK, ctx, mounting, [&] {
    *track_err = mdcudfsr_read_track_information(mnt, 1, &nwa, nullptr, &size, ctx, 0);
    return 0;
  });
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "Failed to load last written slot with status %d. \n", err);
    return err;
  }
  *t = size / 32;
  *n = nwa;
  return 0;
}

// What a move to a later slot takes on that slot, in blocks: the new
// track's fixed structures up to its first writable block, then a full
// flush of the metadata (the file set descriptor and its terminator, every
// object's entry, a file's stream directory and parity entry, the folders'
// identifier descriptors) in whole clusters, then the cluster of the
// metadata file's own entries. A full flush is written only at a move, so
// its last size lags behind the objects made since: the count of objects
// stands in for it, with 128 bytes per identifier descriptor (a name of up
// to 45 16-bit or 90 8-bit characters).
std::int64_t move_blocks(const mdcudfsr_mount* mnt) {
  constexpr std::int64_t kFirstWritable = 4352, kDescriptorBytes = 128;
  const std::int64_t cluster = mnt->medium_type == 0xF2 ? 128 : 32;
  const std::int64_t files = __atomic_load_n(&mnt->nfiles, __ATOMIC_RELAXED);
  const std::int64_t dirs = __atomic_load_n(&mnt->ndirs, __ATOMIC_RELAXED);
  const bool parity = (mnt->mntinfo.VolumeTypeAndInformationVersion >> 4) == 0;
  const std::int64_t copy =
      2 + dirs + files * (parity ? 3 : 1) + ((files + dirs) * kDescriptorBytes + 2047) / 2048;
  return kFirstWritable + (copy + cluster - 1) / cluster * cluster + cluster;
}

// The clusters each later slot keeps for its move: the part of the move
// beyond the blocks its capacity already leaves at its start (4096 + 8192,
// see slot_free). It never shrinks while mounted: neither a Delete on
// write-once media nor a move gives room back.
std::int64_t move_reserve(mdcudfsr_mount* mnt) {
  constexpr std::int64_t kStartLeft = 4096 + 8192;
  const std::int64_t beyond = std::max<std::int64_t>(0, move_blocks(mnt) - kStartLeft);
  const auto now = static_cast<std::uint32_t>(std::min<std::int64_t>((beyond + 31) / 32, 0xFFFFFFFFll));
  std::uint32_t kept = mnt->move_reserve.load();
  while (now > kept && !mnt->move_reserve.compare_exchange_weak(kept, now)) {
  }
  return std::max(now, kept);
}

// The free space: the current slot's room and every later slot's capacity,
// each less what the move to it takes there (move_reserve). No later slot
// is counted less the metadata file's length: that file only grows on the
// slot that takes the writes and starts again small on the next one (and
// whenever a full flush rewrites it), so a reserve of its length would give
// room back at each move and each full flush. A slot the volume moved to was
// counted less its move before it: its room is never more than that until
// the writes after the move bring it lower (a move that took less than the
// reserve gives nothing back).
void count_free(mdcudfsr_mount* mnt, std::int64_t c0, std::int64_t c1, Figures* f) {
  const std::int64_t s = mnt->num_discs ? mnt->num_discs : 1, l = mnt->current_disc;
  const std::int64_t m = s > 1 ? move_reserve(mnt) : 0;
  auto after_move = [m](std::int64_t capacity) { return std::max<std::int64_t>(0, capacity - m); };
  if (l > 0) f->current = std::min(f->current, after_move(f->per_slot));
  f->free = f->current + (l < s - 1 ? after_move(c1) + (s - l - 2) * after_move(c0) : 0);
}

Figures compute(mdcudfsr_mount* mnt, std::int64_t t, std::int64_t raw_nwa) {
  const Reserves r = reserves_of(mnt->medium_type);
  t -= r.cut;
  const std::int64_t s = mnt->num_discs ? mnt->num_discs : 1, l = mnt->current_disc;
  const std::int64_t c1 = not_negative("last slot capacity", t - r.a1 - 256);
  const std::int64_t c0 = not_negative("slot capacity", t - r.a0 - 256);
  Figures f;
  f.total = c0 * (s - 1) + c1;
  const std::int64_t n = raw_nwa - 4096;
  bool partial = false;
  if (l >= s - 1) {
    f.current = slot_free(n, t - r.a1, c1, &partial);
    f.per_slot = c1;
  } else {
    f.current = slot_free(n, t - r.a0, c0, &partial);
    f.per_slot = c0;
  }
  count_free(mnt, c0, c1, &f);
  if ((mnt->mntinfo.VolumeTypeAndInformationVersion >> 4) == 0) {
    for (std::int64_t* v : {&f.total, &f.free, &f.per_slot, &f.current}) *v = *v * 2048 / 2064;
  }
  const std::uint32_t st = mnt->mntinfo.MountStatus;
  if (partial && (st == 0x80000500u || (st == 0 && (mnt->lvid.integrity_type == 1 || mnt->lvid_open)))) {
    const std::int64_t cut = mnt->medium_type == 0xF2 ? 4 : 1;
    if (f.free > cut) f.free -= cut;
    if (f.current > cut) f.current -= cut;
  }
  // The near-full cut: the last slot's disc is full when its next writable
  // address comes within 8192 clusters (0x40000 blocks, the room the media
  // resource check asks for) and the margin of its own track's end. Weighed
  // against the whole cartridge's total instead, it reported a full volume
  // on a nearly empty last disc of a small cartridge and never on a large
  // one. Before the last slot the next slot takes the writes: no cut.
  const bool on_last_slot = l >= s - 1;
  if (mnt->disc_status == 1 && (raw_nwa < 4096 || (on_last_slot && raw_nwa / 32 >= t - r.margin - 8192)))
    f = Figures{};
  if (mnt->disc_status == 2) f.free = f.current = 0;
  return f;
}

void put_blocks(std::int64_t clusters, std::uint32_t medium, std::uint32_t* out) {
  if (!out) return;
  std::int64_t b = clusters * 32;
  b -= b % (medium == 0xF2 ? 128 : 32);
  *out = b > 0xFFFFFFFFll ? 0xFFFFFFFFu : static_cast<std::uint32_t>(b);
}

}  // namespace

int mdcudfsr_get_volume_size_info(mdcudfsr_mount* mnt, vfs_context_t ctx, uint32_t* total, uint32_t* free_blocks,
                                  uint32_t* per_slot, uint32_t* current_free, int mounting) {
  for (std::uint32_t* o : {total, free_blocks, per_slot, current_free})
    if (o) *o = 0;
  if (!mnt) return KEL_EINVAL;
  if (mnt->disc_status != 1 && mnt->disc_status != 2) return 0;
  if (mnt->last_track == 0) return 0;
  std::int64_t t = 0, n = 0;
  int track_err = 0;
  const int err = read_track(mnt, ctx, mounting, &t, &n, &track_err);
  if (err) return err;
  const Figures f = compute(mnt, t, n);
  put_blocks(f.total, mnt->medium_type, total);
  put_blocks(f.free, mnt->medium_type, free_blocks);
  put_blocks(f.per_slot, mnt->medium_type, per_slot);
  put_blocks(f.current, mnt->medium_type, current_free);
  return track_err;
}

bool mdcudfsr_rewritable_has_capacity(const mdcudfsr_mount* mnt) {
  const Reserves r = reserves_of(mnt->medium_type);
  const std::int64_t t = (rewritable_partition_blocks(mnt) + 4127) / 32 - r.cut;
  return t - std::max(r.a0, r.a1) - 256 > 0;
}

uint64_t mdcudfsr_max_object_count(const mdcudfsr_mount* mnt) {
  if (mnt->mntinfo.VolumeTypeAndInformationVersion >> 4) return 240000;
  if (mnt->medium_type == 0xF2) return 800000;
  if (mnt->medium_type == 0xF1) return 480000;
  return 60000;
}
