// The real file writer over the engine's slots in this process on the
// simulated drive: N MiB (default 1024) written as one file in old write and
// in new write (a drive reporting an error-reporting window), against the
// simulated drive's raw WRITE(10) rate through the pipe client in the same
// run; MB/s, their ratio, and the resident memory the writer's ring takes.
//
//   writer_bench [--mib N]
#include "LumoQVE/UserDataFileIO.h"
#include "common/bench_frame.h"
#include "common/engine_mount.h"
#include "kel/volctrl.h"
#include "kelmain/slots.h"
#include "sim/client.h"
#include "sim/harness.h"
#include "sim/wire.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using kel_bench::Clock;
using kel_bench::die;

double mb_per_s(std::uint64_t bytes, Clock::duration d) {
  const double s = std::chrono::duration<double>(d).count();
  return s > 0 ? static_cast<double>(bytes) / 1e6 / s : 0.0;
}

long resident_kib() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// Raw WRITE(10)s of 512 KiB through the pipe client on a formatted
// rewritable disc.
double raw_rate(std::uint64_t total) {
  kelsim::HarnessOptions o;
  o.cartridge.medium_type = 0xE2;
  kelsim::SimHarness sim(o);
  sim.cartridge().disc(0).formatted = true;
  kelsim::RawClient client;
  if (DWORD rc = client.connect()) die("cannot connect", static_cast<long>(rc));
  const std::uint32_t blocks = 256;
  std::vector<std::uint8_t> data(blocks * kelsim::kBlockSize, 0x5A);
  const auto t0 = Clock::now();
  for (std::uint64_t off = 0; off < total; off += data.size()) {
    kelsim::ScsiCall c;
    c.cdb.assign(10, 0);
    c.cdb[0] = 0x2A;
    kelsim::put_be32(&c.cdb[2], static_cast<std::uint32_t>(off / kelsim::kBlockSize));
    kelsim::put_be16(&c.cdb[7], blocks);
    c.data_out = data;
    c.transfer_length = static_cast<std::uint32_t>(data.size());
    c.cookie = sim.cookie();
    kelsim::RawAnswer a;
    if (DWORD rc = client.call(c, &a); rc || a.status != 0) die("raw write failed", static_cast<long>(rc));
  }
  return mb_per_s(total, Clock::now() - t0);
}

struct Run {
  double rate = 0;
  long ring_kib = 0;
};

// One file of `total` bytes through the writer, as the archive handler
// writes it, on a freshly mounted write-once cartridge.
Run writer_run(const std::filesystem::path& dir, std::uint64_t total, bool new_write) {
  kelsim::HarnessOptions o;
  o.cartridge.medium_type = 0xE1;
  if (new_write) o.drive.error_reporting_threshold = 0x8000;
  const kel_bench::MountedEngine engine(dir, o);
  RuvoCtrlVolume::setPackedWriteMode(false);
  char stored[260] = {};
  void* handle = nullptr;
  if (int e = kelmain::CreateFile("/", "bench.bin", sizeof stored, stored, &handle)) die("create failed", e);
  const std::string s(stored);
  std::vector<char> piece(1 << 20, 'b');
  Run run;
  const long before = resident_kib();
  const auto t0 = Clock::now();
  std::shared_ptr<LumoQVE::UserDataFileIO> f;
  std::uint32_t r = LumoQVE::UserDataFileIO::convertPort2Writer(u"", std::u16string(s.begin(), s.end()), 0x40000000,
                                                                nullptr, 0, 1, 0x80, nullptr, f);
  if (r) die("open failed", r);
  f->seek(static_cast<std::int64_t>(total));
  if ((r = f->setEndOfFile())) die("size failed", r);
  f->seek(0);
  for (std::uint64_t at = 0; at < total; at += piece.size()) {
    std::uint32_t written = 0;
    if ((r = f->createWriterObject()) || (r = f->getWriter()->write(piece.data(), 1 << 20, &written)))
      die("write failed", r);
    run.ring_kib = std::max(run.ring_kib, resident_kib() - before);
  }
  if ((r = f->getWriter()->flush(true)) || (r = f->close())) die("close failed", r);
  run.rate = mb_per_s(total, Clock::now() - t0);
  if (RuvoCtrlVolume::getNewWrite() != new_write) die("unexpected write mode", new_write);
  f.reset();
  kelmain::CloseFile(handle, true);
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  kel_bench::set_program("writer_bench");
  std::uint64_t mib = 1024;
  for (int i = 1; i + 1 < argc; i += 2)
    if (!std::strcmp(argv[i], "--mib")) mib = std::strtoull(argv[i + 1], nullptr, 10);
  const std::uint64_t total = mib << 20;
  const auto dir = std::filesystem::temp_directory_path() / ("writer_bench_" + std::to_string(::getpid()));
  const double raw = raw_rate(total);
  std::printf("%-10s %12s %8s %12s\n", "mode", "writer", "ratio", "ring RSS");
  for (bool new_write : {false, true}) {
    Run r;
    {
      kel_bench::EngineLogAside aside;
      r = writer_run(dir, total, new_write);
    }
    std::printf("%-10s %7.1f MB/s %8.2f %8ld KiB\n", new_write ? "new write" : "old write", r.rate, r.rate / raw,
                r.ring_kib);
  }
  std::printf("raw WRITE(10) through the pipe client: %.1f MB/s\n", raw);
  return 0;
}
