// Recording stand-ins of the host layer, the drive layer, the volume and
// vnode operations and the cache agent, over an in-memory medium. The cases
// on the real routines over the simulated drive are in real_*_test.cpp (suite
// engine_udf_real_tests); what is left here serves the cases of byte-buffer
// parsing and the faults the real routines cannot produce. The suite links
// the real routines; the stand-ins of the volume and vnode routines are put
// in front of them with the linker's --wrap (stand_in_* below).
#include "engine/udf/support_fakes.h"

#include "udf/udf_lvid.h"
#include "kelcache/cache.h"

#include <gtest/gtest.h>

#include "udf/udf_names.h"
#include "udf/udf_tag.h"
#include "udf/udf_neighbour_calls.h"

#include "kel/config.h"
#include "kel/debug.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

struct vnode {
  int unused;
};
struct pxo_buf {
  uint32_t blkno;
  uint32_t size;
  int32_t flags;
  std::vector<uint8_t> data;
};

#ifdef KEL_UDF_TESTS_REAL_AGENT
// The real agent's requests, renamed in the copy of its library.
extern "C" {
int kel_real_metacache_file_read(mdcudfsr_mount*, int32_t, uint64_t, uint32_t, void*, uint32_t*, uint32_t*);
int kel_real_metacache_file_write(mdcudfsr_mount*, int32_t, uint64_t, uint32_t, const void*, uint32_t*, uint32_t*);
int kel_real_metacache_file_close(mdcudfsr_mount*, int32_t);
int kel_real_metacache_file_delete(mdcudfsr_mount*, const char*, uint32_t*);
}
#endif

namespace udf_test {

namespace {
Env g_env;
std::mutex g_log_mutex;  // the agent thread logs too
vnode g_devvp{0};

int next_result(std::vector<int>& schedule) {
  if (schedule.empty()) return 0;
  const int r = schedule.front();
  schedule.erase(schedule.begin());
  return r;
}
}  // namespace

Env& env() { return g_env; }

std::string hex(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%x", v);
  return b;
}

void Env::reset(uint32_t sectors) {
  *this = Env{};
  medium.assign(static_cast<size_t>(sectors) * kSector, 0);
  cache_file.assign(0x200000, 0);
  attr0401 = std::string("SERIAL0001") + std::string(22, ' ');
}

std::vector<std::string> Env::calls_starting(const std::string& prefix) const {
  std::vector<std::string> out;
  for (const auto& c : calls)
    if (c.rfind(prefix, 0) == 0) out.push_back(c);
  return out;
}

int Env::find_call(const std::string& prefix, size_t from) const {
  for (size_t i = from; i < calls.size(); ++i)
    if (calls[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
  return -1;
}

bool Env::logged(const std::string& text) const { return count_logged(text) > 0; }

size_t Env::count_logged(const std::string& text) const {
  std::lock_guard<std::mutex> lk(g_log_mutex);
  size_t n = 0;
  for (const auto& l : logs)
    if (l.text == text) ++n;
  return n;
}

vnode_t device_vnode() { return &g_devvp; }

void init_mount(mdcudfsr_mount* mnt, uint32_t sectors, uint32_t medium_type, uint32_t slot) {
  mnt->devvp = &g_devvp;
  mnt->num_sectors = sectors;
  mnt->medium_type = medium_type;
  mnt->is_rewritable = (medium_type == 0x53 || medium_type == 0xE2 || medium_type == 0xE4 ||
                        medium_type == 0xE6 || medium_type == 0xE8)
                           ? 1
                           : 0;
  mnt->logical_sector_size = kSector;
  mnt->logical_block_size = kSector;
  mnt->loaded_slot = slot;
  mnt->current_disc = slot;
  mnt->num_discs = 12;
}

int flush_lvid_locked(mdcudfsr_mount* mnt, int no_write, int verify) {
  std::lock_guard lk(mnt->lvid_mutex);
  return mdcudfsr_flush_lvid(mnt, no_write, nullptr, verify);
}

}  // namespace udf_test

using udf_test::g_env;
using udf_test::hex;

// ---------------------------------------------------------------- interface library
// The engine logger's sink: every line admitted is kept.

extern "C" {
bool __wrap_CheckLogLevel(int level) {
  std::lock_guard<std::mutex> lk(udf_test::g_log_mutex);
  ++g_env.level_checks;
  return level < 7 || g_env.debug_tracing;
}

void __wrap_SendDebugStringA(int level, const char* text) {
  udf_test::LogLine l{static_cast<unsigned>(level), -1, -1, "", ""};
  const std::string line = text;
  // Header: "[prog] MODU{LEVL} TID[........] MARK[function:line] message"
  const size_t mod = line.find("] ");
  if (mod != std::string::npos && line.size() >= mod + 6) {
    const std::string tag = line.substr(mod + 2, 4);
    static const char* const kTags[] = {"FS__", "DRV_", "CORE", "PROT", "USER", "WRIT", "SDKC",
                                        "LIBW", "LOGG", "CONF", "KELC", "FUSE", "_MNT", "RMNT"};
    for (int i = 0; i < 14; ++i)
      if (tag == kTags[i]) l.module = i;
  }
  const size_t fn = line.find("[", line.find("TID[") + 4);
  const size_t colon = fn == std::string::npos ? std::string::npos : line.find(':', fn);
  const size_t end = colon == std::string::npos ? std::string::npos : line.find("] ", colon);
  if (fn != std::string::npos && colon != std::string::npos && end != std::string::npos) {
    l.function = line.substr(fn + 1, colon - fn - 1);
    l.text = line.substr(end + 2);
  }
  std::lock_guard<std::mutex> lk(udf_test::g_log_mutex);
  g_env.logs.push_back(l);
}

void __wrap_SendDebugStringW(int level, const WCHAR*) {
  std::lock_guard<std::mutex> lk(udf_test::g_log_mutex);
  g_env.logs.push_back({static_cast<unsigned>(level), -1, -1, "", ""});
}
}  // extern "C"

// ---------------------------------------------------------------- drive layer

// The drive layer's calls (linked with --wrap): the in-memory medium.
extern "C" {

int __wrap__Z14buf_meta_breadP5vnodeliP5ucredPP7pxo_buf(vnode_t, daddr64_t blkno, int size, kauth_cred_t,
                                                         buf_t* bpp) {
  g_env.calls.push_back("bread lsn=" + std::to_string(blkno) + " size=" + std::to_string(size));
  *bpp = nullptr;
  const uint64_t first = static_cast<uint64_t>(blkno);
  const uint64_t count = (static_cast<uint64_t>(size) + udf_test::kSector - 1) / udf_test::kSector;
  if ((first + count) * udf_test::kSector > g_env.medium.size()) return g_env.read_error;
  for (uint64_t s = first; s < first + count; ++s)
    if (g_env.unreadable.count(static_cast<uint32_t>(s))) return g_env.read_error;
  auto* bp = new pxo_buf{static_cast<uint32_t>(blkno), static_cast<uint32_t>(size), 0, {}};
  bp->data.assign(g_env.medium.begin() + static_cast<std::ptrdiff_t>(first * udf_test::kSector),
                  g_env.medium.begin() + static_cast<std::ptrdiff_t>(first * udf_test::kSector + size));
  ++g_env.live_buffers;
  *bpp = bp;
  return 0;
}

buf_t __wrap__Z10buf_getblkP5vnodeliiii(vnode_t, daddr64_t blkno, int size, int, int, int operation) {
  g_env.calls.push_back("getblk lsn=" + std::to_string(blkno) + " size=" + std::to_string(size) +
                        " op=" + std::to_string(operation));
  auto* bp = new pxo_buf{static_cast<uint32_t>(blkno), static_cast<uint32_t>(size), 0, {}};
  bp->data.assign(static_cast<size_t>(size), 0);
  ++g_env.live_buffers;
  return bp;
}

uintptr_t __wrap__Z11buf_dataptrP7pxo_buf(buf_t bp) {
  return reinterpret_cast<uintptr_t>(bp->data.data());
}

void __wrap__Z12buf_setflagsP7pxo_bufi(buf_t bp, int32_t flags) {
  g_env.calls.push_back("setflags " + std::to_string(flags));
  bp->flags = flags;
}

int __wrap__Z10buf_bwriteP7pxo_buf(buf_t bp) {
  g_env.calls.push_back("bwrite lsn=" + std::to_string(bp->blkno) + " size=" + std::to_string(bp->size));
  int err = g_env.write_fail_all ? g_env.write_fail_all : udf_test::next_result(g_env.write_results);
  const uint64_t end = static_cast<uint64_t>(bp->blkno) * udf_test::kSector + bp->size;
  if (!err && end > g_env.medium.size()) err = 5;
  if (!err) std::memcpy(g_env.medium.data() + static_cast<size_t>(bp->blkno) * udf_test::kSector, bp->data.data(), bp->size);
  --g_env.live_buffers;
  delete bp;
  return err;
}

void __wrap__Z10buf_brelseP7pxo_buf(buf_t bp) {
  g_env.calls.push_back("brelse");
  --g_env.live_buffers;
  delete bp;
}

int __wrap__Z18buf_invalidateblksP5vnodeiii(vnode_t, int, int, int) {
  g_env.calls.push_back("invalidateblks");
  return 0;
}

int __wrap__Z10VNOP_IOCTLP5vnodejPciP11vfs_context(vnode_t, uint32_t command, char* data, int, vfs_context_t) {
  std::string c = "ioctl " + hex(command);
  int result = 0;
  switch (command) {
    case 0x8008556Eu: {
      uint32_t r[2];
      std::memcpy(r, data, sizeof r);
      c += " first=" + std::to_string(r[0]) + " count=" + std::to_string(r[1]);
      result = udf_test::next_result(g_env.reserve_results);
      break;
    }
    case 0x400155FFu:
      result = g_env.attr0401_result;
      if (!result) std::memcpy(data, g_env.attr0401.data(), std::min<size_t>(32, g_env.attr0401.size()));
      break;
    case 0x405855E6u: {
      uint8_t* p = reinterpret_cast<uint8_t*>(data);
      uint16_t id, len;
      uint64_t addr;
      std::memcpy(&id, p, 2);
      std::memcpy(&len, p + 2, 2);
      std::memcpy(&addr, p + 5, 8);
      c += " attr=" + hex(id) + " len=" + std::to_string(len);
      result = g_env.attr1500_result;
      if (!result) {
        auto* answer = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(addr));
        const uint32_t s = g_env.attr1500_serial;
        answer[61] = static_cast<uint8_t>(s >> 24);
        answer[62] = static_cast<uint8_t>(s >> 16);
        answer[63] = static_cast<uint8_t>(s >> 8);
        answer[64] = static_cast<uint8_t>(s);
      }
      break;
    }
    default:
      break;
  }
  g_env.calls.push_back(c);
  return result;
}

}  // extern "C"

// ---------------------------------------------------------------- volume operations

int stand_in_disc_change(mdcudfsr_mount*, uint32_t slot_code, int invalidate, vfs_context_t, int on_mount) asm("__wrap__Z20mdcudfsr_disc_changeP14mdcudfsr_mountjiP11vfs_contexti");
int stand_in_disc_change(mdcudfsr_mount*, uint32_t slot_code, int invalidate, vfs_context_t, int on_mount) {
  g_env.calls.push_back("disc_change code=" + hex(slot_code) + " inv=" + std::to_string(invalidate) +
                        " on_mount=" + std::to_string(on_mount));
  return udf_test::next_result(g_env.disc_change_results);
}



int stand_in_read_attribute(mdcudfsr_mount*, void* record, uint32_t size, int, int, vfs_context_t, int) asm("__wrap__Z23mdcudfsr_read_attributeP14mdcudfsr_mountPvjiiP11vfs_contexti");
int stand_in_read_attribute(mdcudfsr_mount*, void* record, uint32_t size, int, int, vfs_context_t, int) {
  g_env.calls.push_back("read_attribute");
  if (g_env.read_attribute_result) return g_env.read_attribute_result;
  std::memcpy(record, g_env.attribute_record, size);
  return 0;
}






namespace {
int write_medium(uint32_t lsn, const void* data, uint32_t bytes) {
  const uint64_t end = static_cast<uint64_t>(lsn) * udf_test::kSector + bytes;
  if (end > g_env.medium.size()) return 5;
  if (data)
    std::memcpy(g_env.medium.data() + static_cast<size_t>(lsn) * udf_test::kSector, data, bytes);
  else
    std::memset(g_env.medium.data() + static_cast<size_t>(lsn) * udf_test::kSector, 0, bytes);
  return 0;
}
}  // namespace

// Writes into the medium at the sector the block maps to. (The write
// suppression of the flush's sizing pass belongs to the cluster writer, not
// to the UDF code, and is not imitated here.)
int stand_in_write_logical_blocks(mdcudfsr_mount* mnt, uint16_t part_ref, uint32_t lbn, const void* buffer,
                                  uint32_t bytes, vfs_context_t) asm("__wrap__Z29mdcudfsr_write_logical_blocksP14mdcudfsr_mounttjPKvjP11vfs_context");
int stand_in_write_logical_blocks(mdcudfsr_mount* mnt, uint16_t part_ref, uint32_t lbn, const void* buffer,
                                  uint32_t bytes, vfs_context_t) {
  g_env.calls.push_back("write_lb part=" + std::to_string(part_ref) + " lbn=" + std::to_string(lbn) +
                        " bytes=" + std::to_string(bytes));
  const int err = udf_test::next_result(g_env.write_lb_results);
  if (err) return err;
  const uint32_t lsn = mdcudfsr_lbn2lsn(mnt, part_ref, lbn, nullptr);
  if (lsn == 0xFFFFFFFFu) return 22;
  return write_medium(lsn, buffer, bytes);
}


int stand_in_zero_write_cluster_buffer(mdcudfsr_mount*, vfs_context_t, int, uint32_t first_lsn, uint32_t num_blocks) asm("__wrap__Z34mdcudfsr_zero_write_cluster_bufferP14mdcudfsr_mountP11vfs_contextijj");
int stand_in_zero_write_cluster_buffer(mdcudfsr_mount*, vfs_context_t, int, uint32_t first_lsn, uint32_t num_blocks) {
  g_env.calls.push_back("zero_write lsn=" + std::to_string(first_lsn) + " blocks=" + std::to_string(num_blocks));
  if (g_env.zero_write_result) return g_env.zero_write_result;
  return write_medium(first_lsn, nullptr, num_blocks * udf_test::kSector);
}


int stand_in_find_defect_and_change_NWA(mdcudfsr_mount*, vfs_context_t, uint32_t nwa, uint32_t num_blocks,
                                        uint32_t* changed) asm("__wrap__Z35mdcudfsr_find_defect_and_change_NWAP14mdcudfsr_mountP11vfs_contextjjPj");
int stand_in_find_defect_and_change_NWA(mdcudfsr_mount*, vfs_context_t, uint32_t nwa, uint32_t num_blocks,
                                        uint32_t* changed) {
  g_env.calls.push_back("find_defect nwa=" + std::to_string(nwa) + " blocks=" + std::to_string(num_blocks));
  *changed = 0;
  if (g_env.defect_nwa_result) return g_env.defect_nwa_result;
  return 0;
}

// ---------------------------------------------------------------- node cache

namespace udf_test {

CacheNodes::CacheNodes(mdcudfsr_mount* mnt) : mnt_(mnt) {
  char top[] = "", root[] = "root";
  top_ = mdcudfsr_cache_alloc_node(mnt, nullptr, top, 0, UDF_FILE_CHAR_DIR, 0, 0);
  root_ = mdcudfsr_cache_alloc_node(mnt, top_, root, 0, UDF_FILE_CHAR_DIR, 0, MDCUDFSR_NODE_UDF);
  // Not counted, as the mount's root, which has no parent.
  EXPECT_EQ(mdcudfsr_cache_add_child(top_, root_, 0, 1), 0);
}

CacheNodes::~CacheNodes() { mdcudfsr_cache_free_node(top_); }

void CacheNodes::add(const char* name, bool dir) {
  std::string copy(name);
  mdcudfsr_cache_node* n = mdcudfsr_cache_alloc_node(mnt_, root_, copy.data(), 0, dir ? UDF_FILE_CHAR_DIR : 0, 0,
                                                     MDCUDFSR_NODE_UDF);
  EXPECT_EQ(mdcudfsr_cache_add_child(root_, n, 1, 1), 0);
}

}  // namespace udf_test

// ---------------------------------------------------------------- vnode operations

int stand_in_read_track_information(mdcudfsr_mount*, int, uint32_t* nwa, uint32_t* second, int32_t*, vfs_context_t,
                                    int) asm("__wrap__Z31mdcudfsr_read_track_informationP14mdcudfsr_mountiPjS1_PiP11vfs_contexti");
int stand_in_read_track_information(mdcudfsr_mount*, int, uint32_t* nwa, uint32_t* second, int32_t*, vfs_context_t,
                                    int) {
  g_env.calls.push_back("track_info");
  *nwa = g_env.track_nwa;
  if (second) *second = 0;
  return 0;
}







// ---------------------------------------------------------------- cache agent

int mdcudfsr_metacache_file_read([[maybe_unused]] mdcudfsr_mount* mnt, int32_t handle, uint64_t offset, uint32_t length, void* buffer,
                                 uint32_t* done, uint32_t* cache_err) {
#ifdef KEL_UDF_TESTS_REAL_AGENT
  if (g_env.real_agent) return kel_real_metacache_file_read(mnt, handle, offset, length, buffer, done, cache_err);
#endif
  g_env.calls.push_back("cache_read h=" + std::to_string(handle) + " off=" + hex(static_cast<uint32_t>(offset)) +
                        " len=" + std::to_string(length));
  *done = 0;
  *cache_err = 0;
  if (g_env.cache_read_result) return g_env.cache_read_result;
  if (offset + length > g_env.cache_file.size()) return 5;
  std::memcpy(buffer, g_env.cache_file.data() + offset, length);
  *done = length;
  return 0;
}

int mdcudfsr_metacache_file_write([[maybe_unused]] mdcudfsr_mount* mnt, int32_t handle, uint64_t offset, uint32_t length, const void* data,
                                  uint32_t* done, uint32_t* cache_err) {
#ifdef KEL_UDF_TESTS_REAL_AGENT
  if (g_env.real_agent) return kel_real_metacache_file_write(mnt, handle, offset, length, data, done, cache_err);
#endif
  g_env.calls.push_back("cache_write h=" + std::to_string(handle) + " off=" + hex(static_cast<uint32_t>(offset)) +
                        " len=" + std::to_string(length));
  *done = 0;
  *cache_err = static_cast<uint32_t>(g_env.cache_write_agent_error);
  if (g_env.cache_write_result) return g_env.cache_write_result;
  if (offset + length > g_env.cache_file.size()) return 5;
  std::memcpy(g_env.cache_file.data() + offset, data, length);
  *done = length;
  return 0;
}

int mdcudfsr_metacache_file_close([[maybe_unused]] mdcudfsr_mount* mnt, int32_t handle) {
#ifdef KEL_UDF_TESTS_REAL_AGENT
  if (g_env.real_agent) return kel_real_metacache_file_close(mnt, handle);
#endif
  g_env.calls.push_back("cache_close h=" + std::to_string(handle));
  return 0;
}

int mdcudfsr_metacache_fsmanage_delete(mdcudfsr_mount*, mdcudfsr_cache_node*) {
  g_env.calls.push_back("fsmanage_delete");
  return 0;
}


int mdcudfsr_metacache_file_delete([[maybe_unused]] mdcudfsr_mount* mnt, const char* name, uint32_t* cache_err) {
#ifdef KEL_UDF_TESTS_REAL_AGENT
  if (g_env.real_agent) return kel_real_metacache_file_delete(mnt, name, cache_err);
#endif
  g_env.calls.push_back(std::string("cache_delete ") + name);
  if (cache_err) *cache_err = 0;
  return 0;
}

int mdcudfsr_metacache_update_coherent(mdcudfsr_mount*, mdcudfsr_cache_node*) {
  g_env.calls.push_back("update_coherent");
  return g_env.coherent_result;
}

int mdcudfsr_metacache_write_mediainfo(mdcudfsr_mount*, mdcudfsr_cache_node*) {
  g_env.calls.push_back("write_mediainfo");
  return g_env.mediainfo_result;
}

// ---------------------------------------------------------------- interface library configuration
// The one value the cache agent needs: where its cache directory lies.

extern "C" {
int __wrap_config_get_string(int, const char* name, int* size, char* buffer) {
  const std::string& path = g_env.cache_path;
  if (std::strcmp(name, "Fs Cache File Path") != 0 || path.empty()) return -1;
  if (static_cast<int>(path.size()) >= *size) {
    *size = static_cast<int>(path.size()) + 1;
    return -1;
  }
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  return static_cast<int>(path.size());
}

int __wrap_config_get_uint32(int, const char*, int*, uint32_t*) { return -1; }
void __wrap_ConfigLock() {}
void __wrap_ConfigUnlock() {}
}  // extern "C"
