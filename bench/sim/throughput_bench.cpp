// Throughput of the simulated drive through the platform pipe layer.
//
//   kelsim_throughput_bench [--dir DIR] [--mib N]
//
// Writes and reads N MiB (default 1024) with WRITE(10)/READ(10) commands of
// 64 KiB and of 512 KiB through the pipe to an in-process host service whose
// cartridge lives in DIR (default /tmp), and, in the same run, copies a file
// of the same size sequentially on the same disk with the same chunk size.
// Both start each pass from the same cache state: what they read is written
// out but cached, nothing is left dirty from an earlier pass. Each rate is
// the median of five passes. The pipe path should reach at least half the
// plain copy's rate.
#include "sim/service.h"
#include "sim/wire.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double mb_per_s(std::uint64_t bytes, Clock::duration d) {
  const double s = std::chrono::duration<double>(d).count();
  return s > 0 ? static_cast<double>(bytes) / 1e6 / s : 0.0;
}

[[noreturn]] void die(const char* what, unsigned code) {
  std::fprintf(stderr, "kelsim_throughput_bench: %s (%u)\n", what, code);
  std::exit(1);
}

// One command on the connection; the data-in bytes land in `in`.
void command(platform::PipeConnection& pipe, std::uint64_t key, std::uint8_t op, std::uint32_t lba,
             std::uint32_t blocks, const std::uint8_t* data, std::vector<std::uint8_t>& answer) {
  std::uint8_t cdb[12] = {op};
  kelsim::put_be32(cdb + 2, lba);
  kelsim::put_be16(cdb + 7, static_cast<std::uint16_t>(blocks));
  const std::uint32_t len = blocks * kelsim::kBlockSize;
  const bool out = op == 0x2A;
  kelsim::ScsiRequestHeader h{};
  h.total_length = static_cast<std::uint32_t>(sizeof(h) + sizeof(cdb) + (out ? len : 0) + kelsim::kRequestTrailer);
  h.version = kelsim::kRequestVersion;
  h.key = key;
  h.request_code = kelsim::kScsiRequestCode;
  h.payload_length = sizeof(cdb) + (out ? len : 0);
  h.answer_capacity = 8 + (out ? 16 : len);
  h.medium_cookie = 1;
  h.data_out = out;
  h.cdb_length = sizeof(cdb);
  h.sense_capacity = 16;
  h.transfer_length = len;
  h.timeout_seconds = 60;
  static const std::uint8_t trailer[kelsim::kRequestTrailer] = {};
  platform::PipeBuffer parts[4] = {{&h, sizeof(h)}, {cdb, sizeof(cdb)}, {data, out ? len : 0},
                                   {trailer, sizeof(trailer)}};
  DWORD rc = pipe.write_parts(parts, 4);
  if (rc) die("write to the pipe failed", rc);
  std::size_t got = 0;
  rc = pipe.read(answer.data(), answer.size(), &got);
  if (rc) die("read from the pipe failed", rc);
  kelsim::AnswerHeader a;
  std::memcpy(&a, answer.data(), sizeof(a));
  if (a.status != 0 || answer[16] != 0) die("the drive refused a command", static_cast<unsigned>(a.status));
  if (!out && got != 24 + len) die("short read answer", static_cast<unsigned>(got));
}

struct Rates {
  double write = 0, read = 0;
};

int open_or_die(const std::string& path, int flags) {
  int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) die("cannot open a file", errno);
  return fd;
}

// Written out, and with `drop` also gone from the page cache.
void settle(const std::string& path, bool drop) {
  int fd = open_or_die(path, O_RDWR);
  ::fdatasync(fd);
  if (drop) ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::close(fd);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The baseline: a sequential copy of a file of the same size with the same
// chunk size, its source written out but cached as the pipe's read pass
// finds the image, its target new.
double plain_copy(const std::string& dir, std::uint64_t total, std::size_t chunk) {
  const std::string src = dir + "/copy-src.bin", dst = dir + "/copy-dst.bin";
  std::vector<std::uint8_t> buf(chunk, 0x5C);
  int fd = open_or_die(src, O_WRONLY | O_CREAT | O_TRUNC);
  for (std::uint64_t done = 0; done < total; done += chunk)
    if (::write(fd, buf.data(), chunk) != static_cast<ssize_t>(chunk)) die("cannot write the copy source", errno);
  ::close(fd);
  settle(src, false);
  const auto t0 = Clock::now();
  int in = open_or_die(src, O_RDONLY);
  int out = open_or_die(dst, O_WRONLY | O_CREAT | O_TRUNC);
  for (std::uint64_t done = 0; done < total; done += chunk) {
    if (::read(in, buf.data(), chunk) != static_cast<ssize_t>(chunk)) die("copy read failed", errno);
    if (::write(out, buf.data(), chunk) != static_cast<ssize_t>(chunk)) die("copy write failed", errno);
  }
  ::close(in);
  ::close(out);
  const auto t1 = Clock::now();
  std::filesystem::remove(src);
  std::filesystem::remove(dst);
  return mb_per_s(total, t1 - t0);
}

// One pass through the pipe: the image starts out of the cache; its blocks
// are written out (still cached) before they are read back.
Rates pipe_pass(platform::PipeConnection& pipe, const std::string& image, std::uint64_t total, std::uint32_t blocks,
                std::uint64_t* key) {
  const std::size_t chunk = blocks * kelsim::kBlockSize;
  std::vector<std::uint8_t> data(chunk, 0xA5), answer(chunk + 64);
  settle(image, true);
  const auto t0 = Clock::now();
  for (std::uint64_t off = 0; off < total; off += chunk)
    command(pipe, (*key)++, 0x2A, static_cast<std::uint32_t>(off / kelsim::kBlockSize), blocks, data.data(), answer);
  const auto t1 = Clock::now();
  settle(image, false);
  const auto t2 = Clock::now();
  for (std::uint64_t off = 0; off < total; off += chunk)
    command(pipe, (*key)++, 0x28, static_cast<std::uint32_t>(off / kelsim::kBlockSize), blocks, nullptr, answer);
  const auto t3 = Clock::now();
  return {mb_per_s(total, t1 - t0), mb_per_s(total, t3 - t2)};
}

}  // namespace

int main(int argc, char** argv) {
  std::string base = "/tmp";
  std::uint64_t mib = 1024;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--dir")) base = argv[i + 1];
    else if (!std::strcmp(argv[i], "--mib")) mib = std::strtoull(argv[i + 1], nullptr, 10);
  }
  const std::uint64_t total = mib << 20;
  std::string dir = base + "/kelsim-bench-XXXXXX";
  if (!::mkdtemp(dir.data())) die("cannot make a directory", errno);
  ::setenv("KEL_PIPE_DIR", (dir + "/pipes").c_str(), 1);

  kelsim::CartridgeSetup setup;
  setup.medium_type = 0xE2;  // rewritable: both passes may write from block 0
  setup.disc_blocks = static_cast<std::uint32_t>(std::max<std::uint64_t>(total / kelsim::kBlockSize + 64, 0x4000));
  std::shared_ptr<kelsim::Cartridge> cart;
  if (DWORD rc = kelsim::Cartridge::create(dir + "/cartridge", setup, &cart)) die("cannot create the cartridge", rc);
  cart->disc(0).formatted = true;
  auto drive = std::make_shared<kelsim::ChangerDrive>(kelsim::DriveConfig{}, cart);
  kelsim::HostService service;
  service.add_drive(1, drive);
  if (DWORD rc = service.start()) die("cannot start the service", rc);
  std::unique_ptr<platform::PipeConnection> pipe;
  if (DWORD rc = platform::connect_pipe("\\\\.\\pipe\\QuorvelAPIPipe", &pipe)) die("cannot connect", rc);

  const std::string image = dir + "/cartridge/slot-00.img";
  std::printf("%-10s %14s %14s %14s %8s\n", "chunk", "pipe write", "pipe read", "file copy", "ratio");
  bool ok = true;
  std::uint64_t key = 1;
  for (std::uint32_t blocks : {32u, 256u}) {
    const std::size_t chunk = blocks * kelsim::kBlockSize;
    std::vector<double> pw, pr, cp;
    for (int pass = 0; pass < 5; ++pass) {
      const Rates p = pipe_pass(*pipe, image, total, blocks, &key);
      pw.push_back(p.write);
      pr.push_back(p.read);
      cp.push_back(plain_copy(dir, total, chunk));
    }
    const double w = median(pw), r = median(pr), copy = median(cp);
    const double ratio = std::min(w, r) / copy;
    std::printf("%4zu KiB   %9.1f MB/s %9.1f MB/s %9.1f MB/s %7.2f%s\n", chunk >> 10, w, r, copy, ratio,
                ratio < 0.5 ? "  (below half)" : "");
    ok = ok && ratio >= 0.5;
  }
  pipe.reset();
  service.stop();
  drive.reset();
  cart.reset();
  std::filesystem::remove_all(dir);
  return ok ? 0 : 3;
}
