// Extent lists (see udf_extent.h).
#include "udf/udf_extent.h"
#include "kelhost/kern_errno.h"
#include "udf/udf_dump.h"
#include "udf/udf_mount.h"
#include "udf/udf_names.h"

#include "kel/debug.h"
#include "udf_log.h"

#include <new>

namespace {

uint32_t blocks_of(uint32_t length, uint32_t b) { return b ? (length + b - 1) / b : 0; }

void free_index(mdcudfsr_extent_list* list) {
  mdcudfsr_extent_index* i = list->index_first;
  while (i) {
    mdcudfsr_extent_index* n = i->next;
    delete i;
    i = n;
  }
  list->index_first = list->index_last = nullptr;
}

void link_after(mdcudfsr_extent_list* list, mdcudfsr_extent_entry* pos, mdcudfsr_extent_entry* e) {
  e->prev = pos;
  e->next = pos ? pos->next : list->first;
  if (e->next)
    e->next->prev = e;
  else
    list->last = e;
  if (pos)
    pos->next = e;
  else
    list->first = e;
}

void unlink(mdcudfsr_extent_list* list, mdcudfsr_extent_entry* e) {
  if (e->prev)
    e->prev->next = e->next;
  else
    list->first = e->next;
  if (e->next)
    e->next->prev = e->prev;
  else
    list->last = e->prev;
  e->next = e->prev = nullptr;
}

void print_list_debg(const mdcudfsr_extent_list* list) {
  UDF_LOG(DEBG, "=========Extent List=======\n");
  for (const mdcudfsr_extent_entry* e = list->first; e; e = e->next)
    UDF_LOG(DEBG, "partnum:%d lbn:%d len:%d flags:%d\n", e->extent.loc.part_num, e->extent.loc.lb_num,
            EXTENT_LENGTH(e->extent.len), EXTENT_FLAGS(e->extent.len));
}

// Merges the follower of `e` into it when possible (aligned lengths
// required); removes the follower when it became empty. Bytes taken over.
uint32_t absorb_follower(mdcudfsr_extent_list* list, mdcudfsr_extent_entry* e, uint32_t b) {
  mdcudfsr_extent_entry* nx = e->next;
  if (!nx) return 0;
  const uint32_t before = EXTENT_LENGTH(nx->extent.len);
  if (mdcudfsr_extent_list_merge_entries_if_possible(e, nx, b, 0) != 0) return 0;
  const uint32_t after = EXTENT_LENGTH(nx->extent.len);
  if (after == 0) {
    unlink(list, nx);
    delete nx;
  }
  return before - after;
}

}  // namespace

std::unique_lock<std::recursive_mutex> mdcudfsr_extent_list_hold(const mdcudfsr_extent_list* list) {
  return std::unique_lock<std::recursive_mutex>(list->lock.mutex);
}

uint32_t mdcudfsr_extent_max_length(uint32_t b) {
  return b ? (EXTENT_LENGTH_MASK / b) * b : EXTENT_LENGTH_MASK;
}

int mdcudfsr_extent_list_init(mdcudfsr_extent_list* list) {
  *list = mdcudfsr_extent_list{};
  return 0;
}

uint32_t mdcudfsr_extent_list_get_count(const mdcudfsr_extent_list* list) {
  const auto held = mdcudfsr_extent_list_hold(list);
  uint32_t n = 0;
  for (const mdcudfsr_extent_entry* e = list->first; e; e = e->next) ++n;
  return n;
}

uint64_t mdcudfsr_extent_list_get_selected_length(const mdcudfsr_extent_list* list, int selector) {
  const auto held = mdcudfsr_extent_list_hold(list);
  static const bool kSel[4][4] = {
      {true, true, true, true}, {true, true, false, true}, {true, false, false, false}, {false, false, false, false}};
  if (selector < 0 || selector > 3) return 0;
  uint64_t total = 0;
  for (const mdcudfsr_extent_entry* e = list->first; e; e = e->next)
    if (kSel[selector][EXTENT_FLAGS(e->extent.len)]) total += EXTENT_LENGTH(e->extent.len);
  return total;
}

int mdcudfsr_extent_list_remove_all(mdcudfsr_extent_list* list) {
  const auto held = mdcudfsr_extent_list_hold(list);
  mdcudfsr_extent_entry* e = list->first;
  while (e) {
    mdcudfsr_extent_entry* n = e->next;
    __mdcudfsr_dump_long_ad(0, &e->extent, "&p->extent", 0);
    delete e;
    e = n;
  }
  list->first = list->last = nullptr;
  free_index(list);
  return 0;
}

int mdcudfsr_extent_list_free(mdcudfsr_extent_list* list) { return mdcudfsr_extent_list_remove_all(list); }

int mdcudfsr_extent_list_merge_entries_if_possible(mdcudfsr_extent_entry* e1, mdcudfsr_extent_entry* e2, uint32_t b,
                                                   int allow_unaligned) {
  if (!e1 || !e2 || b == 0) return -2;
  const uint32_t len1 = EXTENT_LENGTH(e1->extent.len);
  const uint32_t len2 = EXTENT_LENGTH(e2->extent.len);
  // A former extent that does not end on a block boundary is never merged:
  // the latter's data would move up into the former's last block.
  if (len1 % b) {
    if (!allow_unaligned) UDF_LOGM(ERR, KELC, "%s\n", "!( former_len % logical_block_size )");
    return -2;
  }
  if (e1->extent.loc.part_num != e2->extent.loc.part_num) return -2;
  if (EXTENT_FLAGS(e1->extent.len) != EXTENT_FLAGS(e2->extent.len)) return -2;
  if (static_cast<uint64_t>(e1->extent.loc.lb_num) + blocks_of(len1, b) != e2->extent.loc.lb_num) return -2;
  UDF_LOG(INFO, "merge extent. eep1->lbn=%d eep1->len=%d eep2->lbn=%d eep2->len=%d\n", e1->extent.loc.lb_num,
          len1, e2->extent.loc.lb_num, len2);
  const uint32_t max = mdcudfsr_extent_max_length(b);
  const uint32_t room = len1 < max ? max - len1 : 0;
  const uint32_t moved = len2 < room ? len2 : room;
  if (moved == 0) return -2;
  if (!(room >= len2 || moved % (32 * b) == 0)) return -2;
  const uint32_t type = EXTENT_FLAGS(e1->extent.len);
  e1->extent.len = EXTENT_MAKE(len1 + moved, type);
  e2->extent.len = EXTENT_MAKE(len2 - moved, EXTENT_FLAGS(e2->extent.len));
  e2->extent.loc.lb_num += moved / b;
  UDF_LOG(INFO, "extent is merged. eep1->lbn=%d eep1->len=%d eep2->lbn=%d eep2->len=%d\n", e1->extent.loc.lb_num,
          EXTENT_LENGTH(e1->extent.len), e2->extent.loc.lb_num, EXTENT_LENGTH(e2->extent.len));
  return 0;
}

int mdcudfsr_extent_list_add_index(mdcudfsr_extent_list* list, uint64_t offset, mdcudfsr_extent_entry* entry) {
  const auto held = mdcudfsr_extent_list_hold(list);
  auto* i = new (std::nothrow) mdcudfsr_extent_index;
  if (!i) {
    UDF_LOGM(ERR, KELC, "%s\n", "iep");
    return KEL_ENOMEM;
  }
  i->offset = offset;
  i->entry = entry;
  i->prev = list->index_last;
  if (list->index_last)
    list->index_last->next = i;
  else
    list->index_first = i;
  list->index_last = i;
  return 0;
}

int mdcudfsr_extent_list_rebuild_index(mdcudfsr_extent_list* list) {
  const auto held = mdcudfsr_extent_list_hold(list);
  free_index(list);
  uint64_t offset = 0;
  uint32_t n = 0;
  for (mdcudfsr_extent_entry* e = list->first; e; e = e->next, ++n) {
    if (n > 0 && n % MDCUDFSR_EXTENT_INDEX_STEP == 0) mdcudfsr_extent_list_add_index(list, offset, e);
    offset += EXTENT_LENGTH(e->extent.len);
  }
  return 0;
}

int mdcudfsr_extent_list_add(mdcudfsr_extent_list* list, const mdcudfsr_extent_entry* tmpl, uint32_t b) {
  const auto held = mdcudfsr_extent_list_hold(list);
  auto* e = new (std::nothrow) mdcudfsr_extent_entry;
  if (!e) {
    UDF_LOGM(ERR, KELC, "%s\n", "new_entry");
    return KEL_ENOMEM;
  }
  e->extent = tmpl->extent;
  if (b && list->last) mdcudfsr_extent_list_merge_entries_if_possible(list->last, e, b, 1);
  if (EXTENT_LENGTH(e->extent.len) == 0) {
    delete e;
    return 0;
  }
  link_after(list, list->last, e);

  // Extend the index.
  mdcudfsr_extent_entry* start = nullptr;
  uint64_t offset = 0;
  mdcudfsr_extent_index* li = list->index_last;
  if (li && li->offset != 0 && li->entry) {
    if (li->entry == e) return 0;
    start = li->entry;
    offset = li->offset;
  } else {
    free_index(list);
    start = list->first;
  }
  uint32_t k = 0;
  for (mdcudfsr_extent_entry* x = start; x && x != e; x = x->next) {
    offset += EXTENT_LENGTH(x->extent.len);
    if (k > 0 && k % MDCUDFSR_EXTENT_INDEX_STEP == 0 && x->next) mdcudfsr_extent_list_add_index(list, offset, x->next);
    ++k;
  }
  return 0;
}

int mdcudfsr_extent_list_remove_entry(mdcudfsr_extent_list* list, mdcudfsr_extent_entry* e) {
  const auto held = mdcudfsr_extent_list_hold(list);
  const bool was_last = e == list->last;
  unlink(list, e);
  if (was_last) {
    mdcudfsr_extent_index* li = list->index_last;
    if (li && li->entry == e) {
      list->index_last = li->prev;
      if (li->prev)
        li->prev->next = nullptr;
      else
        list->index_first = nullptr;
      delete li;
    }
  } else {
    mdcudfsr_extent_list_rebuild_index(list);
  }
  delete e;
  return 0;
}

mdcudfsr_extent_entry* mdcudfsr_find_extent_using_index(const mdcudfsr_extent_list* list, uint64_t offset,
                                                        uint64_t* start_offset) {
  const auto held = mdcudfsr_extent_list_hold(list);
  for (const mdcudfsr_extent_index* i = list->index_last; i; i = i->prev)
    if (i->offset <= offset) {
      *start_offset = i->offset;
      return i->entry;
    }
  *start_offset = 0;
  return list->first;
}

mdcudfsr_extent_entry* mdcudfsr_offset_in_extent(const mdcudfsr_extent_list* list, uint64_t x,
                                                 mdcudfsr_extent_entry* h, uint64_t* s, uint64_t* within) {
  const auto held = mdcudfsr_extent_list_hold(list);
  // A hint above the offset cannot be walked from: start from the index.
  if (!h || x < *s) h = mdcudfsr_find_extent_using_index(list, x, s);
  if (!h) return nullptr;
  if (x < *s + EXTENT_LENGTH(h->extent.len)) {
    *within = x - *s;
    return h;
  }
  uint64_t start = *s + EXTENT_LENGTH(h->extent.len);
  for (mdcudfsr_extent_entry* e = h->next; e; e = e->next) {
    if (x < start + EXTENT_LENGTH(e->extent.len)) {
      *s = start;
      *within = x - start;
      return e;
    }
    start += EXTENT_LENGTH(e->extent.len);
  }
  *s = start;
  return nullptr;
}

mdcudfsr_extent_entry* mdcudfsr_offset2extent(const mdcudfsr_extent_list* list, uint64_t x, uint64_t* within) {
  uint64_t s = 0;
  mdcudfsr_extent_entry* e = mdcudfsr_offset_in_extent(list, x, nullptr, &s, within);
  if (!e) UDF_LOG(INFO, "can't convert offset to lbn. offset=%lld\n", static_cast<long long>(x));
  return e;
}

namespace {

// One marking of a byte range with an extent type: what is left of it and
// what the marking did to the list.
struct FlagRun {
  mdcudfsr_extent_list* list;
  uint32_t b;         // logical block size
  uint32_t f;         // the type marked
  uint64_t left;      // bytes still to mark
  bool changed = false, structural = false;
};

// A new entry, or null (logged as `what`).
mdcudfsr_extent_entry* new_entry(const char* what) {
  auto* e = new (std::nothrow) mdcudfsr_extent_entry;
  if (!e) UDF_LOGM(ERR, KELC, "%s\n", what);
  return e;
}

// The range runs from `o` into the entry to its end: the head before `o`
// keeps the old type in an entry of its own, the following entry is
// absorbed where it can be. 0 or 12.
int mark_end(FlagRun& run, mdcudfsr_extent_entry* e, uint64_t o, uint32_t covered, mdcudfsr_extent_entry** next) {
  const uint32_t len = EXTENT_LENGTH(e->extent.len), type = EXTENT_FLAGS(e->extent.len);
  auto* head = new_entry("new_entry");
  if (!head) return KEL_ENOMEM;
  run.changed = run.structural = true;
  head->extent = e->extent;
  head->extent.len = EXTENT_MAKE(static_cast<uint32_t>(o), type);
  link_after(run.list, e->prev, head);
  e->extent.len = EXTENT_MAKE(len - static_cast<uint32_t>(o), run.f);
  e->extent.loc.lb_num += static_cast<uint32_t>(o / run.b);
  run.left -= covered;
  if (!e->next) return 0;
  const uint32_t taken = absorb_follower(run.list, e, run.b);
  run.left = run.left > taken ? run.left - taken : 0;
  *next = e->next;
  return 0;
}

// The range lies inside the entry: the entry splits in three, the middle
// one marked. 0 or 12.
int mark_middle(FlagRun& run, mdcudfsr_extent_entry* e, uint64_t o, uint32_t covered, mdcudfsr_extent_entry** next) {
  const uint32_t len = EXTENT_LENGTH(e->extent.len), type = EXTENT_FLAGS(e->extent.len);
  auto* n1 = new_entry("new_entry1");
  if (!n1) return KEL_ENOMEM;
  auto* n2 = new_entry("new_entry2");
  if (!n2) {
    delete n1;
    return KEL_ENOMEM;
  }
  run.changed = run.structural = true;
  n1->extent = e->extent;
  n1->extent.len = EXTENT_MAKE(static_cast<uint32_t>(o), type);
  n2->extent = e->extent;
  n2->extent.len = EXTENT_MAKE(len - static_cast<uint32_t>(o) - covered, type);
  n2->extent.loc.lb_num += static_cast<uint32_t>((o + covered) / run.b);
  link_after(run.list, e->prev, n1);
  link_after(run.list, e, n2);
  e->extent.len = EXTENT_MAKE(covered, run.f);
  e->extent.loc.lb_num += static_cast<uint32_t>(o / run.b);
  run.left -= covered;
  *next = n2->next;
  return 0;
}

// The range covers the whole entry: it is marked and merged with the
// entries on both sides where they can take it.
void mark_whole(FlagRun& run, mdcudfsr_extent_entry* e, uint32_t covered, mdcudfsr_extent_entry** next) {
  const uint32_t len = EXTENT_LENGTH(e->extent.len);
  run.changed = true;
  e->extent.len = EXTENT_MAKE(len, run.f);
  mdcudfsr_extent_entry* cur = e;
  if (e->prev && mdcudfsr_extent_list_merge_entries_if_possible(e->prev, e, run.b, 0) == 0) {
    run.structural = true;
    if (EXTENT_LENGTH(e->extent.len) == 0) {
      cur = e->prev;
      unlink(run.list, e);
      delete e;
    }
  }
  run.left -= covered;
  const uint32_t taken = absorb_follower(run.list, cur, run.b);
  if (taken) run.structural = true;
  run.left = run.left > taken ? run.left - taken : 0;
  *next = cur->next;
}

// The range ends inside the entry it starts at: the tail keeps the old type
// in an entry of its own, the marked start merges with the entry before it
// where it can. 0 or 12.
int mark_start(FlagRun& run, mdcudfsr_extent_entry* e, uint32_t covered, mdcudfsr_extent_entry** next) {
  const uint32_t len = EXTENT_LENGTH(e->extent.len), type = EXTENT_FLAGS(e->extent.len);
  auto* tail = new_entry("new_entry");
  if (!tail) return KEL_ENOMEM;
  run.changed = run.structural = true;
  tail->extent = e->extent;
  tail->extent.len = EXTENT_MAKE(len - covered, type);
  tail->extent.loc.lb_num += covered / run.b;
  link_after(run.list, e, tail);
  e->extent.len = EXTENT_MAKE(covered, run.f);
  if (e->prev && mdcudfsr_extent_list_merge_entries_if_possible(e->prev, e, run.b, 0) == 0 &&
      EXTENT_LENGTH(e->extent.len) == 0) {
    unlink(run.list, e);
    delete e;
  }
  run.left -= covered;
  *next = tail;
  return 0;
}

}  // namespace

int mdcudfsr_extent_list_set_flags(mdcudfsr_extent_list* list, mdcudfsr_extent_entry* hint, uint64_t hint_start,
                                   uint64_t x, uint64_t n, uint32_t b, uint32_t f) {
  const auto held = mdcudfsr_extent_list_hold(list);
  if (b == 0 || x % b) {
    UDF_LOGM(ERR, KELC, "%s\n", "!( offset % logical_block_size )");
    return KEL_EINVAL;
  }
  if (n % b) {
    UDF_LOGM(ERR, KELC, "%s\n", "!( length % logical_block_size )");
    return KEL_EINVAL;
  }
  uint64_t s = hint_start, o = 0;
  mdcudfsr_extent_entry* e = mdcudfsr_offset_in_extent(list, x, hint, &s, &o);
  if (!e || n == 0) {
    print_list_debg(list);
    return -2;
  }
  FlagRun run{list, b, f, n};
  int result = 0;
  while (e && run.left > 0 && result == 0) {
    const uint32_t len = EXTENT_LENGTH(e->extent.len);
    const uint64_t avail = len - o;
    const uint32_t covered = static_cast<uint32_t>(run.left < avail ? run.left : avail);
    mdcudfsr_extent_entry* next = nullptr;
    if (EXTENT_FLAGS(e->extent.len) == f) {
      run.left -= covered;
      next = e->next;
    } else if (o > 0) {
      result = covered == avail ? mark_end(run, e, o, covered, &next) : mark_middle(run, e, o, covered, &next);
    } else if (covered == len) {
      mark_whole(run, e, covered, &next);
    } else {
      result = mark_start(run, e, covered, &next);
    }
    o = 0;
    e = next;
  }
  if (run.structural) mdcudfsr_extent_list_rebuild_index(list);
  print_list_debg(list);
  if (result) return result;
  return run.changed ? 0 : -2;
}

uint32_t mdcudfsr_offset2lbn(const mdcudfsr_mount* mnt, const mdcudfsr_extent_list* list, uint64_t x,
                             uint64_t* left) {
  const auto held = mdcudfsr_extent_list_hold(list);
  if (left) *left = 0;
  const uint32_t b = mnt->logical_block_size;
  if (b == 0 || x % b) {
    UDF_LOGM(ERR, KELC, "( offset %% mdcudfsrmp->logical_block_size ) is not 0. offset=%lld block_size=%d\n",
             static_cast<long long>(x), b);
    return MDCUDFSR_INVALID_LBN;
  }
  uint64_t within = 0;
  mdcudfsr_extent_entry* e = mdcudfsr_offset2extent(list, x, &within);
  if (!e) {
    UDF_LOGM(ERR, KELC, "offset2extent error(result eep is null) offset %lld\n", static_cast<long long>(x));
    return MDCUDFSR_INVALID_LBN;
  }
  if (EXTENT_FLAGS(e->extent.len) == EXTENT_FLAGS_NOT_ALLOCATED_NOT_ROCORDED) {
    UDF_LOGM(ERR, KELC, "extent is no allcated. offset=%lld lbn=%d len=%d\n", static_cast<long long>(x),
             e->extent.loc.lb_num, EXTENT_LENGTH(e->extent.len));
    return MDCUDFSR_INVALID_LBN;
  }
  if (left) *left = EXTENT_LENGTH(e->extent.len) - within;
  return e->extent.loc.lb_num + static_cast<uint32_t>(within / b);
}

uint32_t mdcudfsr_offset2lsn(const mdcudfsr_mount* mnt, const mdcudfsr_extent_list* list, uint64_t x,
                             uint64_t* avail) {
  const auto held = mdcudfsr_extent_list_hold(list);
  if (avail) *avail = 0;
  if (!list->first) return MDCUDFSR_INVALID_LSN;
  uint64_t l1 = 0, l2 = 0;
  const uint32_t lbn = mdcudfsr_offset2lbn(mnt, list, x, &l1);
  if (lbn == MDCUDFSR_INVALID_LBN) return MDCUDFSR_INVALID_LSN;
  const uint16_t part = list->first->extent.loc.part_num == MDCUDFSR_PARTITION_METADATA
                            ? static_cast<uint16_t>(MDCUDFSR_PARTITION_METADATA)
                            : static_cast<uint16_t>(MDCUDFSR_PARTITION_PHYSICAL);
  const uint32_t lsn = mdcudfsr_lbn2lsn(mnt, part, lbn, &l2);
  if (lsn == MDCUDFSR_INVALID_LSN) return MDCUDFSR_INVALID_LSN;
  if (avail) *avail = l1 < l2 ? l1 : l2;
  return lsn;
}

void mdcudfsr_extent_entry_debug(const mdcudfsr_extent_entry* e) {
  if (!e) {
    UDF_LOG(INFO, "Extent Entry Debug: NULL extent ptr\n");
    return;
  }
  UDF_LOG(INFO, "len=%d (0x%08x) flags=0x%08x loc=(%d, %d) ad_flags=%d ad_id=%d)\n", EXTENT_LENGTH(e->extent.len),
          EXTENT_LENGTH(e->extent.len), EXTENT_FLAGS(e->extent.len), e->extent.loc.part_num, e->extent.loc.lb_num,
          e->extent.ad_flags, e->extent.ad_id);
}

void mdcudfsr_extent_list_debug(const mdcudfsr_extent_list* list) {
  const auto held = mdcudfsr_extent_list_hold(list);
  UDF_LOG(INFO, "Extent List Entry\n");
  if (CheckLogLevel(udf_log::INFO))
    for (const mdcudfsr_extent_entry* e = list->first; e; e = e->next) mdcudfsr_extent_entry_debug(e);
  UDF_LOG(INFO, "Extent List Index\n");
  for (const mdcudfsr_extent_index* i = list->index_first; i; i = i->next)
    UDF_LOG(INFO, "offset=%llu (0x%08x) entry->0x%08x\n", static_cast<unsigned long long>(i->offset),
            static_cast<uint32_t>(i->offset), static_cast<uint32_t>(reinterpret_cast<uintptr_t>(i->entry)));
}
