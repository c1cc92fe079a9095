// Listing through the whole stack: a folder of many entries made with
// CreateDirectory on an F2h cartridge in a QMR-T400A, listed by a freshly
// started KelDriver, against the engine's own readdir of the same folder in
// this process on the same cartridge, in the same run.
//
//   kel_e2e_listing_bench [--entries N] [--tiny]
//
// Prints entries per second of both and their ratio, the Check (mount) time
// and the engine's peak resident memory per entry, as a table and as one
// JSON line. --tiny (1,000 entries) is what ctest runs: it checks the counts
// and asserts no timing.
#include "kel/entry.h"
#include "kel/scsi.h"
#include "kelhost/vnode.h"
#include "kelmain/engine_main.h"
#include "kelmain/slots.h"
#include "drive/client_if.h"
#include "sim/engine_process.h"
#include "sim/harness.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
double secs_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

bool is_end(const kelsim::EngineElement& e) {
  return e.name == "KelSuccess" || e.name == "HRESULT" || e.name == "KelVolume" ||
         (e.name == "KelDirent" && e.attribute("ObjectName").empty());
}

std::unique_ptr<kelsim::EngineProcess> start_engine(kelsim::SimHarness& sim, const std::string& program) {
  kelsim::EngineProcessOptions o;
  o.program = program;
  o.deadline = std::chrono::minutes(30);
  auto e = std::make_unique<kelsim::EngineProcess>(sim, o);
  if (!e->started()) {
    std::fprintf(stderr, "cannot start %s: %s\n", program.c_str(), e->error().c_str());
    std::exit(1);
  }
  return e;
}

// Sends a request and fails the run unless its last answer is `expect`.
std::vector<kelsim::EngineElement> must(kelsim::EngineProcess& e, std::uint64_t seq, const std::string& opcode,
                                        const std::vector<std::pair<std::string, std::string>>& a,
                                        const char* expect) {
  auto answers = e.request(kelsim::request_line(seq, opcode, a), is_end);
  if (answers.empty() || answers.back().name != expect) {
    std::fprintf(stderr, "%s failed:\n%s\n", opcode.c_str(), e.describe().c_str());
    std::exit(1);
  }
  return answers;
}

std::vector<std::pair<std::string, std::string>> name_attrs(const std::string& path) {
  return {{"Name", kelsim::escape_name(path)}, {"KernelInterface", "0"}, {"BlockNumber", "0"}};
}

void unmount(kelsim::EngineProcess& e, std::uint64_t seq) {
  e.request(kelsim::request_line(seq, "UnmountVolume"), [](const auto& x) { return x.name == "Shutdown"; });
  if (e.wait_exit() != 0) {
    std::fprintf(stderr, "unmount failed:\n%s\n", e.describe().c_str());
    std::exit(1);
  }
}

void make_folder(kelsim::SimHarness& sim, const std::string& program, unsigned entries) {
  auto e = start_engine(sim, program);
  std::uint64_t seq = 0;
  must(*e, ++seq, "Check", {}, "KelVolume");
  must(*e, ++seq, "CreateDirectory", name_attrs("/many"), "KelVolume");
  char name[32];
  for (unsigned i = 0; i < entries; ++i) {
    std::snprintf(name, sizeof name, "/many/d%07u", i);
    must(*e, ++seq, "CreateDirectory", name_attrs(name), "KelVolume");
  }
  unmount(*e, ++seq);
}

std::uint64_t vm_hwm_kib(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10);
  return 0;
}

struct Through {
  double check_s = 0, list_s = 0;
  std::size_t listed = 0;
  std::uint64_t hwm_kib = 0;
};

Through list_through_program(kelsim::SimHarness& sim, const std::string& program) {
  Through t;
  auto e = start_engine(sim, program);
  auto start = Clock::now();
  must(*e, 1, "Check", {}, "KelVolume");
  t.check_s = secs_since(start);
  start = Clock::now();
  auto answers = must(*e, 2, "ReadDirectory", {{"Name", kelsim::escape_name("/many")}}, "KelDirent");
  t.list_s = secs_since(start);
  t.listed = answers.size() - 1;  // the closing entry
  t.hwm_kib = vm_hwm_kib(e->pid());
  unmount(*e, 3);
  return t;
}

// Counts the entries as the program lists them: "." and ".." left out.
std::int64_t count_entry(const void* context, std::uint64_t, const char*, const void* record) {
  const char* name = static_cast<const KELFS_OBJECT_INFO*>(record)->ObjectName;
  if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) ++*static_cast<std::size_t*>(const_cast<void*>(context));
  return 0;
}

// The engine's readdir of the folder in this process, through the slots.
double list_in_process(kelsim::SimHarness& sim, std::size_t* listed) {
  std::string program = "KelDriver", cookie = sim.cookie_text(), cache = sim.directory() + "/cache-inprocess";
  std::vector<char*> argv = {program.data(), cookie.data(), cache.data(), nullptr};
  if (quorvel_kel_init(3, const_cast<const char**>(argv.data())) != 0 || Initialise(3, argv.data()) != 0 ||
      kelmain::MountDefault() != 0) {
    std::fprintf(stderr, "in-process mount failed\n");
    std::exit(1);
  }
  const auto start = Clock::now();
  const std::int64_t r = kelmain::ReadDirectory(listed, 0, "/many", count_entry);
  const double s = secs_since(start);
  if (r != 0) {
    std::fprintf(stderr, "in-process listing failed: %lld\n", static_cast<long long>(r));
    std::exit(1);
  }
  kelmain::Unmount(true);
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned entries = 100000;
  bool tiny = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--tiny")) tiny = true, entries = 1000;
    else if (!std::strcmp(argv[i], "--entries") && i + 1 < argc) entries = static_cast<unsigned>(std::atoi(argv[++i]));
    else {
      std::fprintf(stderr, "usage: %s [--entries N] [--tiny]\n", argv[0]);
      return 2;
    }
  }
  kelsim::HarnessOptions o;
  o.cartridge.medium_type = 0xF2;
  o.drive.product = "QMR-T400A";
  kelsim::SimHarness sim(o);
  const auto made = Clock::now();
  make_folder(sim, KEL_DRIVER_PROGRAM, entries);
  const double make_s = secs_since(made);
  const Through t = list_through_program(sim, KEL_DRIVER_PROGRAM);
  std::size_t inproc_listed = 0;
  const double inproc_s = list_in_process(sim, &inproc_listed);
  if (t.listed != entries || inproc_listed != entries) {
    std::fprintf(stderr, "listed %zu through the program and %zu in-process, made %u\n", t.listed, inproc_listed,
                 entries);
    return 1;
  }
  const double rate = entries / t.list_s, base = entries / inproc_s;
  std::printf("entries                 : %u (made in %.1f s)\n", entries, make_s);
  std::printf("listing through KelDriver: %10.0f entries/s (%.3f s)\n", rate, t.list_s);
  std::printf("in-process readdir       : %10.0f entries/s (%.3f s)\n", base, inproc_s);
  std::printf("ratio                    : %.3f\n", rate / base);
  std::printf("Check (mount)            : %.3f s\n", t.check_s);
  std::printf("VmHWM                    : %llu KiB, %.2f KiB per entry\n", static_cast<unsigned long long>(t.hwm_kib),
              static_cast<double>(t.hwm_kib) / entries);
  std::printf("{\"name\":\"e2e_listing\",\"value\":%.0f,\"unit\":\"entries/s\",\"baseline\":%.0f,\"ratio\":%.3f,"
              "\"check_s\":%.3f,\"vmhwm_kib_per_entry\":%.3f,\"tiny\":%s}\n",
              rate, base, rate / base, t.check_s, static_cast<double>(t.hwm_kib) / entries, tiny ? "true" : "false");
  return 0;
}
