// Node cache indexes at scale.
//
//   kel_cache_bench [--count N]
//
// Creates N (default 100000) file nodes in one directory through the node
// cache's own constructor, then finds each by name and by unique id. The
// baseline, in the same run, is a pair of std::maps over the same keys (the
// name map with the same ASCII case folding). Prints the time and the heap
// bytes per entry of both, and the ratios.
#include "kelcache/cache.h"
#include "kelvfs/mdcudfsr_mount.h"

#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}
size_t heap_in_use() { return mallinfo2().uordblks; }

struct FoldLess {
  bool operator()(const std::string& a, const std::string& b) const {
    return mdcudfsr_name_cmp(a.c_str(), b.c_str()) < 0;
  }
};

struct Result {
  double create_ms = 0, by_name_ms = 0, by_id_ms = 0;
  double bytes_per_entry = 0;
};

std::string name_of(int i) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "File_%07d.dat", (i * 7919) % 1000003);
  return buf;
}

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "kel_cache_bench: %s\n", what);
  std::exit(1);
}

Result run_cache(int count, std::vector<uint64_t>& ids) {
  Result r;
  auto* mnt = new mdcudfsr_mount;
  mnt->medium_type = 0xF2;
  mnt->next_unique_id = 16;
  char root_name[] = "";
  mdcudfsr_cache_node* root =
      mdcudfsr_cache_alloc_node(mnt, nullptr, root_name, 0, UDF_FILE_CHAR_DIR, 0, MDCUDFSR_NODE_UDF);
  mnt->root_node = root;
  const size_t heap0 = heap_in_use();
  auto t = Clock::now();
  for (int i = 0; i < count; ++i) {
    std::string name = name_of(i);
    mdcudfsr_cache_node* n = nullptr;
    if (mdcudfsr_cache_create_udf_node(root, name.data(), -1, 0, 0, 0644, &n, 0, nullptr) != 0) die("create");
    mdcudfsr_cache_unlock_node(n);
    ids.push_back(n->objid);
  }
  r.create_ms = ms_since(t);
  r.bytes_per_entry = static_cast<double>(heap_in_use() - heap0) / count;
  t = Clock::now();
  for (int i = 0; i < count; ++i) {
    const std::string name = name_of(i);
    std::lock_guard<std::mutex> lk(mnt->cache_mutex);
    if (!mdcudfsr_name_avl_search(root->name_root, name.c_str(), nullptr)) die("name not found");
  }
  r.by_name_ms = ms_since(t);
  t = Clock::now();
  for (uint64_t id : ids)
    if (!mdcudfsr_avl_search(root->uid_root, id, 0, nullptr)) die("id not found");
  r.by_id_ms = ms_since(t);
  mdcudfsr_cache_free_node(root);
  delete mnt;
  return r;
}

Result run_maps(int count, const std::vector<uint64_t>& ids) {
  Result r;
  int dummy = 0;
  const size_t heap0 = heap_in_use();
  auto* by_name = new std::map<std::string, void*, FoldLess>;
  auto* by_id = new std::map<uint64_t, void*>;
  auto t = Clock::now();
  for (int i = 0; i < count; ++i) {
    (*by_name)[name_of(i)] = &dummy;
    (*by_id)[ids[i]] = &dummy;
  }
  r.create_ms = ms_since(t);
  r.bytes_per_entry = static_cast<double>(heap_in_use() - heap0) / count;
  t = Clock::now();
  for (int i = 0; i < count; ++i)
    if (by_name->find(name_of(i)) == by_name->end()) die("map name not found");
  r.by_name_ms = ms_since(t);
  t = Clock::now();
  for (uint64_t id : ids)
    if (by_id->find(id) == by_id->end()) die("map id not found");
  r.by_id_ms = ms_since(t);
  delete by_name;
  delete by_id;
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  int count = 100000;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--count") == 0) count = std::atoi(argv[i + 1]);
  if (count <= 0) die("count must be positive");
  std::vector<uint64_t> ids;
  ids.reserve(count);
  const Result c = run_cache(count, ids);
  const Result m = run_maps(count, ids);
  std::printf("entries: %d in one directory\n", count);
  std::printf("%-22s %12s %12s %12s %14s\n", "", "create ms", "by name ms", "by id ms", "heap B/entry");
  std::printf("%-22s %12.1f %12.1f %12.1f %14.0f\n", "node cache", c.create_ms, c.by_name_ms, c.by_id_ms,
              c.bytes_per_entry);
  std::printf("%-22s %12.1f %12.1f %12.1f %14.0f\n", "std::map baseline", m.create_ms, m.by_name_ms, m.by_id_ms,
              m.bytes_per_entry);
  std::printf("%-22s %12.2f %12.2f %12.2f %14.2f\n", "ratio cache/baseline", c.create_ms / m.create_ms,
              c.by_name_ms / m.by_name_ms, c.by_id_ms / m.by_id_ms, c.bytes_per_entry / m.bytes_per_entry);
  std::printf("(the cache's bytes include the whole node and its entry data; the baseline holds keys only)\n");
  return 0;
}
