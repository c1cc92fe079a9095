// Building the node cache of a large volume from its local cache file.
//
//   kel_cache_scan_bench [--count N]
//
// Writes the metadata image of a volume holding N (default 100000) files
// into a local cache file of the real cache agent thread, twice: one flat
// directory, and a deep tree (a chain of directories, 100 files each).
// Builds the node tree of each from the file, and lists the flat directory
// through readdir in 4 KiB buffers. Baselines in the same run: a plain
// sequential read of the same local cache file through the agent, and
// readdir(3) of a host directory holding the same N names. Prints the
// times, both ratios and the heap bytes per node.
#include "common/bench_frame.h"
#include "engine/udf/support_image.h"
#include "kelagent/fscache_agent.h"
#include "kelagent/mdc_channel.h"
#include "kelagent/metacache.h"
#include "kelcache/cache.h"
#include "kelcache/lookup.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "udf/udf_mount.h"
#include "udf/udf_neighbour_calls.h"
#include "udf/udf_tag.h"

#include <dirent.h>
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

using kel_bench::Clock;
using kel_bench::die;
using kel_bench::ms_since;

size_t heap_in_use() { return mallinfo2().uordblks; }

std::string name_of(int i) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "File_%07d.dat", i);
  return buf;
}

udf_test::ImageSpec image_spec() { return udf_test::spec_for(udf_test::MediumClass::WriteOnce); }

std::vector<uint8_t> built_medium() {
  std::vector<uint8_t> medium;
  udf_test::build_volume(image_spec(), medium);
  return medium;
}

// The metadata image: block 0 and 1 from the test-image builder (file set
// descriptor and terminator), then the entries.
class Image : public udf_test::MetadataContent {
 public:
  Image() : MetadataContent(built_medium(), image_spec().metadata_lsn) {}
  void file(uint32_t lbn, uint64_t uid) {
    long_ad ad{};
    ad.len = 4096;
    ad.loc = lb_addr{static_cast<uint32_t>(100 + uid), 1};
    entry(lbn, 5, uid, 4096, &ad, sizeof ad, 1);
  }
};

// Root at block 2 holding `count` files.
Image flat(int count) {
  Image img;
  const uint32_t root = img.alloc();
  std::vector<uint8_t> fids;
  Image::add_fid(fids, 0x0A, "", root);
  uint64_t uid = 16;
  for (int i = 0; i < count; ++i) {
    const uint32_t lbn = img.alloc();
    img.file(lbn, uid++);
    Image::add_fid(fids, 0, name_of(i), lbn);
  }
  img.directory(root, 0, fids);
  return img;
}

// A chain of directories below the root, each holding 100 files.
Image deep(int count) {
  Image img;
  const int levels = (count + 99) / 100;
  std::vector<uint32_t> dirs(levels + 1);
  for (auto& d : dirs) d = img.alloc();
  uint64_t uid = 16;
  for (int level = 0; level <= levels; ++level) {
    std::vector<uint8_t> fids;
    Image::add_fid(fids, 0x0A, "", level ? dirs[level - 1] : dirs[0]);
    for (int i = 0; level > 0 && i < 100 && (level - 1) * 100 + i < count; ++i) {
      const uint32_t lbn = img.alloc();
      img.file(lbn, uid++);
      Image::add_fid(fids, 0, name_of(i), lbn);
    }
    if (level < levels) Image::add_fid(fids, 0x02, "sub", dirs[level + 1]);
    img.directory(dirs[level], level ? uid++ : 0, fids);
  }
  return img;
}

struct Agent {
  kel_bench::ScratchDir scratch{"kel_scan_bench"};
  fs::path dir = scratch.path();
  mdcudfsr_mount* m = new mdcudfsr_mount;
  std::vector<std::string> argv;
  std::vector<char*> argp;
  Agent() {
    mdcudfsr_metacache_init();
    m->metacachedev = mdcudfsr_metacache_alloc(m);
    if (!m->metacachedev) die("no cache channel");
    argv = {"KelDriver", "/dev/sd1A2B", dir.string()};
    for (auto& a : argv) argp.push_back(a.data());
    argp.push_back(nullptr);
    if (!FsCacheAgent_main_func(3, argp.data())) die("agent did not start");
    while (!m->cache_agent_opened) std::this_thread::yield();
    uint32_t cache_err = 0;
    mdcudfsr_metacache_file_delete(m, "none", &cache_err);
  }
  ~Agent() {
    mdcudfsr_metacache_mark_will_free(m->metacachedev);
    mdcudfsr_metacache_unmount(m);
    mdcudfsr_metacache_wait_close(m->metacachedev, 5000);
    mdcudfsr_metacache_free(m->metacachedev);
    m->metacachedev = nullptr;
  }
  void store(const Image& img) {
    uint32_t cache_err = 0;
    int32_t handle = -1;
    const int err = mdcudfsr_metacache_localfile_open(m, "bench_cache", 3, &handle, &cache_err);
    if (err || cache_err) die("local cache file not opened", err);
    m->local_cache_handles[0] = handle;
    std::strcpy(m->local_cache_name[0], "bench_cache");
    const auto& b = img.bytes();
    for (size_t off = 0; off < b.size(); off += 0x10000) {
      const uint32_t len = static_cast<uint32_t>(std::min<size_t>(0x10000, b.size() - off));
      uint32_t done = 0;
      if (mdcudfsr_metacache_file_write(m, handle, off, len, &b[off], &done, &cache_err) || cache_err)
        die("local cache file not written");
    }
  }
  void drop() { mdcudfsr_cache_local_fs_cache_del(m, 1); }
};

double read_through_agent(Agent& a, uint64_t size) {
  std::vector<uint8_t> buf(0x10000);
  const auto t = Clock::now();
  for (uint64_t off = 0; off < size; off += buf.size()) {
    uint32_t got = 0, cache_err = 0;
    const uint32_t len = static_cast<uint32_t>(std::min<uint64_t>(buf.size(), size - off));
    if (mdcudfsr_metacache_file_read(a.m, a.m->local_cache_handles[0], off, len, buf.data(), &got, &cache_err))
      die("plain read failed");
  }
  return ms_since(t);
}

struct Build {
  double ms = 0;
  double bytes_per_node = 0;
};

Build build(Agent& a, uint64_t size, uint64_t nodes) {
  const size_t before = heap_in_use();
  const auto t = Clock::now();
  const int err = mdcudfsr_cache_construct(a.m, size, nullptr, 0, 0);
  Build b;
  b.ms = ms_since(t);
  if (err) die("construction failed", err);
  b.bytes_per_node = double(heap_in_use() - before) / double(nodes);
  return b;
}

double list_flat(Agent& a, int count) {
  std::vector<uint8_t> buf(4096);
  int64_t cursor = 0;
  int listed = 0;
  const auto t = Clock::now();
  for (;;) {
    uio_t u = uio_create(1, cursor, UIO_SYSSPACE, UIO_READ);
    uio_addiov(u, reinterpret_cast<user_addr_t>(buf.data()), buf.size());
    int n = 0;
    const int err = mdcudfsr_cache_enumerate_children(a.m->root_node, u, &n, nullptr);
    cursor = uio_offset(u);
    uio_free(u);
    listed += n;
    if (err == 0) break;
    if (err != 115) die("readdir failed", err);
  }
  const double ms = ms_since(t);
  if (listed != count + 2) die("readdir listed a wrong number of entries", listed);
  return ms;
}

double host_readdir(const fs::path& dir, int count) {
  fs::create_directories(dir);
  for (int i = 0; i < count; ++i) std::fclose(std::fopen((dir / name_of(i)).c_str(), "w"));
  const auto t = Clock::now();
  DIR* d = opendir(dir.c_str());
  int n = 0;
  while (readdir(d)) ++n;
  closedir(d);
  const double ms = ms_since(t);
  if (n != count + 2) die("host readdir listed a wrong number of entries", n);
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  kel_bench::set_program("kel_cache_scan_bench");
  int count = 100000;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--count") == 0) count = std::atoi(argv[i + 1]);
  if (count <= 0) die("bad count");
  mdcudfsr_debug_level_init();
  Agent agent;
  const struct {
    const char* what;
    Image (*make)(int);
  } kinds[] = {{"flat", flat}, {"deep", deep}};
  for (const auto& k : kinds) {
    const Image img = k.make(count);
    const uint64_t size = img.bytes().size();
    agent.m->metadata_main_partition_length = size;
    agent.store(img);
    const double plain = read_through_agent(agent, size);
    const Build b = build(agent, size, count);
    std::printf("%s: %d files, %.1f MiB local cache file\n", k.what, count, double(size) / 1048576.0);
    std::printf("  build %.1f ms, plain read %.1f ms, ratio %.2f, heap %.0f bytes per node\n", b.ms, plain,
                b.ms / plain, b.bytes_per_node);
    if (k.make == flat) {
      const double list_ms = list_flat(agent, count);
      const double host_ms = host_readdir(agent.dir / "host_names", count);
      std::printf("  readdir %.1f ms (4 KiB buffers), host readdir(3) %.1f ms, ratio %.2f\n", list_ms, host_ms,
                  list_ms / host_ms);
    }
    mdcudfsr_cache_term(agent.m);
    agent.drop();
  }
  return 0;
}
