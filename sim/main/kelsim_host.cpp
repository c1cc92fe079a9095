// kelsim-host: serves a simulated changer drive on the host service's pipe.
//
//   kelsim-host --dir DIR [--medium-type E1] [--slots N] [--blocks N]
//               [--unique-id TEXT] [--pow N] [--opc N] [--product QMR-T300B]
//               [--serial TEXT] [--revision 1700] [--cookie HEX] [--pipe NAME]
//               [--log]
//
// A DIR without a cartridge gets a new blank one of the given medium type,
// slot count and disc size (--unique-id: the first 12 characters of each
// disc's medium identifier; --pow and --opc: the pseudo-overwrite resources
// and OPC count of each disc, which rewrites use up, 4096 and 32 by
// default); an existing one is served as it is. The pipe is a socket in
// $KEL_PIPE_DIR (default /tmp/kel-pipes). Runs until SIGINT or SIGTERM.
#include "sim/service.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: kelsim-host --dir DIR [--medium-type HEX] [--slots N] [--blocks N]\n"
               "                   [--unique-id TEXT] [--pow N] [--opc N]\n"
               "                   [--product MODEL] [--serial TEXT] [--revision NNNN]\n"
               "                   [--cookie HEX] [--pipe NAME] [--log]\n");
}

bool parse_number(const char* s, int base, unsigned long long* v) {
  char* end = nullptr;
  errno = 0;
  *v = std::strtoull(s, &end, base);
  return s[0] && end && *end == 0 && errno == 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir, pipe = kelsim::kServicePipeName;
  kelsim::CartridgeSetup setup;
  kelsim::DriveConfig drive_cfg;
  unsigned long long cookie = 1;
  bool log = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char** out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    const char* v = nullptr;
    unsigned long long n = 0;
    if (a == "--log") {
      log = true;
    } else if (a == "--help" || a == "-h") {
      usage();
      return 0;
    } else if (!value(&v)) {
      usage();
      return 2;
    } else if (a == "--dir") {
      dir = v;
    } else if (a == "--medium-type" && parse_number(v, 16, &n) && n <= 0xFF) {
      setup.medium_type = static_cast<std::uint8_t>(n);
    } else if (a == "--slots" && parse_number(v, 10, &n) && n >= 1 && n <= 100) {
      setup.slots = static_cast<std::uint8_t>(n);
    } else if (a == "--blocks" && parse_number(v, 0, &n) && n <= 0x7FFFFFE0ull) {
      setup.disc_blocks = static_cast<std::uint32_t>(n);
    } else if (a == "--pow" && parse_number(v, 0, &n) && n <= 0xFFFFFFFFull) {
      setup.pow_replacements = setup.pow_map_entries = setup.pow_updates = static_cast<std::uint32_t>(n);
    } else if (a == "--opc" && parse_number(v, 0, &n) && n <= 0xFFFF) {
      setup.opc_count = static_cast<std::uint16_t>(n);
    } else if (a == "--unique-id" && std::strlen(v) <= 12) {
      setup.unique_id_prefix = v;
    } else if (a == "--product") {
      drive_cfg.product = v;
    } else if (a == "--serial") {
      drive_cfg.serial = v;
    } else if (a == "--revision") {
      drive_cfg.revision = v;
    } else if (a == "--cookie" && parse_number(v, 16, &n)) {
      cookie = n;
    } else if (a == "--pipe") {
      pipe = v;
    } else {
      std::fprintf(stderr, "kelsim-host: bad option or value: %s %s\n", a.c_str(), v);
      usage();
      return 2;
    }
  }
  if (dir.empty()) {
    usage();
    return 2;
  }

  std::shared_ptr<kelsim::Cartridge> cart;
  DWORD rc = kelsim::Cartridge::open(dir, &cart);
  if (rc == ERROR_FILE_NOT_FOUND) {
    rc = kelsim::Cartridge::create(dir, setup, &cart);
    if (rc != ERROR_SUCCESS) {
      std::fprintf(stderr, "kelsim-host: cannot create a cartridge in %s (error %u)\n", dir.c_str(), rc);
      return 1;
    }
  } else if (rc != ERROR_SUCCESS) {
    std::fprintf(stderr, "kelsim-host: cannot open the cartridge in %s (error %u)\n", dir.c_str(), rc);
    return 1;
  }

  // Block the stop signals before any thread starts, then wait for one.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  auto drive = std::make_shared<kelsim::ChangerDrive>(drive_cfg, cart);
  kelsim::HostService service(pipe);
  service.add_drive(cookie, drive);
  service.set_transcript_limit(1000);  // nobody reads it here; keep memory flat
  if (log)
    service.set_request_logger([](const kelsim::TranscriptEntry& e) {
      std::printf("%s\n", e.line().c_str());
      std::fflush(stdout);
    });
  // What the drive holds, read before any client can change it.
  char about[256];
  std::snprintf(about, sizeof(about), "medium type %02Xh, %u slots, %u blocks per disc, slot %d loaded",
                cart->medium_type(), cart->slots(), cart->disc_blocks(), cart->loaded_slot);
  rc = service.start();
  if (rc != ERROR_SUCCESS) {
    std::fprintf(stderr, "kelsim-host: cannot serve the pipe %s (error %u)\n", pipe.c_str(), rc);
    return 1;
  }
  std::printf("kelsim-host: pipe %s\n", service.socket_path().c_str());
  std::printf("kelsim-host: drive TARN %s, medium cookie /dev/sd%llx\n", drive_cfg.product.c_str(), cookie);
  std::printf("kelsim-host: cartridge %s: %s\n", std::filesystem::absolute(dir).c_str(), about);
  std::fflush(stdout);
  int sig = 0;
  sigwait(&stop, &sig);
  service.stop();
  std::printf("kelsim-host: stopped\n");
  return 0;
}
