// Throughput and latency of quorvel_scsi_transfer through the pipe client.
//
//   pipeclient_bench [--mib N] [--rounds R]
//
// Starts the simulated host service and changer drive in-process (cartridge
// and pipe in a temporary directory), formats the blank write-once disc,
// then measures with the interface library's own client:
//   - WRITE(10) and READ(10) of N MiB (default 256) in commands of 64 KiB and
//     of 512 KiB;
//   - the latency of a no-data command (TEST UNIT READY), R rounds (default
//     2000);
// and, in the same run, the round trip of the same no-data command sent as a
// raw message on its own socket (kelsim::RawClient), which is the floor the
// client's reader thread and routing add to.
#include "kel/scsi.h"
#include "sim/client.h"
#include "sim/harness.h"
#include "sim/wire.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

[[noreturn]] void die(const char* what, int code) {
  std::fprintf(stderr, "pipeclient_bench: %s (%d)\n", what, code);
  std::exit(1);
}

std::vector<std::uint8_t> rw10(std::uint8_t op, std::uint32_t lba, std::uint32_t blocks) {
  std::vector<std::uint8_t> cdb(10, 0);
  cdb[0] = op;
  kelsim::put_be32(&cdb[2], lba);
  kelsim::put_be16(&cdb[7], static_cast<std::uint16_t>(blocks));
  return cdb;
}

int transfer(const std::vector<std::uint8_t>& cdb, int dir, std::vector<std::uint8_t>& data, std::uint32_t len) {
  std::uint8_t sense[32], status = 0;
  const int r = quorvel_scsi_transfer(1, static_cast<std::uint32_t>(cdb.size()), cdb.data(), dir, len,
                                      len ? data.data() : nullptr, sizeof sense, sense, &status);
  if (r == 0 && status != 0) return -1;
  return r;
}

// Writes then reads `mib` MiB from `lba` in commands of `chunk` bytes.
void throughput(std::uint32_t& lba, std::uint64_t mib, std::uint32_t chunk) {
  const std::uint32_t blocks = chunk / kelsim::kBlockSize;
  const std::uint64_t commands = mib * 1024 * 1024 / chunk;
  std::vector<std::uint8_t> buf(chunk);
  for (std::size_t i = 0; i < buf.size(); ++i) buf[i] = static_cast<std::uint8_t>(i * 31);
  const std::uint32_t start = lba;
  auto t0 = Clock::now();
  for (std::uint64_t i = 0; i < commands; ++i) {
    const int r = transfer(rw10(0x2A, lba, blocks), kScsiDirOut, buf, chunk);
    if (r) die("WRITE(10) failed", r);
    lba += blocks;
  }
  const double w = seconds(Clock::now() - t0);
  std::uint32_t at = start;
  t0 = Clock::now();
  for (std::uint64_t i = 0; i < commands; ++i) {
    const int r = transfer(rw10(0x28, at, blocks), kScsiDirIn, buf, chunk);
    if (r) die("READ(10) failed", r);
    at += blocks;
  }
  const double rd = seconds(Clock::now() - t0);
  const double bytes = static_cast<double>(commands) * chunk / 1e6;
  std::printf("%4u KiB commands: WRITE(10) %8.1f MB/s   READ(10) %8.1f MB/s   (%llu commands each)\n",
              chunk / 1024, bytes / w, bytes / rd, static_cast<unsigned long long>(commands));
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t mib = 256;
  int rounds = 2000;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--mib")) mib = std::strtoull(argv[i + 1], nullptr, 10);
    else if (!std::strcmp(argv[i], "--rounds")) rounds = std::atoi(argv[i + 1]);
  }
  kelsim::SimHarness sim;
  kel::SetMediumCookie(sim.cookie());

  // A blank write-once disc takes writes only after FORMAT UNIT.
  {
    std::vector<std::uint8_t> none;
    if (const int r = transfer({0x04, 0, 0, 0, 0, 0}, kScsiDirNone, none, 0)) die("FORMAT UNIT failed", r);
  }
  std::uint32_t lba = 0;
  throughput(lba, mib, 64 * 1024);
  throughput(lba, mib, 512 * 1024);

  // No-data command latency through the client.
  const std::vector<std::uint8_t> tur(6, 0);
  std::vector<std::uint8_t> none;
  std::vector<double> lat;
  lat.reserve(rounds);
  for (int i = 0; i < rounds; ++i) {
    const auto t0 = Clock::now();
    const int r = transfer(tur, kScsiDirNone, none, 0);
    lat.push_back(seconds(Clock::now() - t0) * 1e6);
    if (r) die("TEST UNIT READY failed", r);
  }
  // The same command as a raw message on its own socket.
  kelsim::RawClient raw;
  if (DWORD e = raw.connect()) die("raw connect failed", static_cast<int>(e));
  kelsim::ScsiCall call;
  call.cdb = tur;
  call.cookie = sim.cookie();
  std::vector<double> raw_lat;
  raw_lat.reserve(rounds);
  for (int i = 0; i < rounds; ++i) {
    kelsim::RawAnswer a;
    const auto t0 = Clock::now();
    const DWORD e = raw.call(call, &a);
    raw_lat.push_back(seconds(Clock::now() - t0) * 1e6);
    if (e || a.status) die("raw TEST UNIT READY failed", static_cast<int>(e ? e : a.status));
  }
  auto report = [](const char* what, std::vector<double>& v) {
    std::sort(v.begin(), v.end());
    double sum = 0;
    for (double x : v) sum += x;
    std::printf("%-32s mean %7.1f us   median %7.1f us   p99 %7.1f us\n", what, sum / v.size(), v[v.size() / 2],
                v[v.size() * 99 / 100]);
  };
  report("no-data command (client)", lat);
  report("no-data command (raw socket)", raw_lat);
  return 0;
}
