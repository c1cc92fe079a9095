// kelsim-host: serves simulated changer drives on the host service's pipe.
//
//   kelsim-host --dir DIR [--medium-type E1] [--slots N] [--blocks N]
//               [--unique-id TEXT] [--pow N] [--opc N] [--product QMR-T300B]
//               [--serial TEXT] [--revision 1700] [--cookie HEX]
//               [--dir DIR ...] [--pipe NAME] [--log]
//
// Each --dir adds a drive with the cartridge stored in DIR, and the drive and
// cartridge options that follow it, up to the next --dir, set that drive up.
// Options given before the first --dir apply to every drive, except --cookie
// and --serial, which name one drive: there they belong to the first. A drive
// without --cookie answers to the cookie after the previous drive's (the
// first: 1); without --serial it reports a serial of its own. Two drives may
// not share a cookie or a folder, and a folder another program serves is
// not served (the program ends with 1).
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
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr const char* kKnownTypes = "write-once E1 E3 E5 E7 F1 F2, rewritable 53 E2 E4 E6 E8";

// To standard output after --help, else to standard error.
void usage(std::FILE* to = stderr) {
  const kelsim::CartridgeSetup cartridge;
  const kelsim::DriveConfig drive;
  std::fprintf(to,
               "usage: kelsim-host --dir DIR [--medium-type HEX] [--slots N] [--blocks N]\n"
               "                   [--unique-id TEXT] [--pow N] [--opc N]\n"
               "                   [--product MODEL] [--serial TEXT] [--revision NNNN]\n"
               "                   [--cookie HEX] [--dir DIR ...] [--pipe NAME] [--log]\n"
               "Each --dir adds a drive; the options after it, up to the next --dir, set it up.\n"
               "  --medium-type HEX  medium type of a new cartridge (default %02X):\n"
               "                     %s\n"
               "  --slots N          discs of a new cartridge, 1 to 100 (default 11 for E5, F1 and F2,\n"
               "                     12 for the others)\n"
               "  --blocks N         blocks of 2048 bytes per disc of a new cartridge (default 0x%X,\n"
               "                     %u GiB; images are sparse files)\n"
               "  --unique-id TEXT   first 12 characters of each disc's identifier (default: the serial)\n"
               "  --pow N, --opc N   pseudo-overwrite resources and OPC count of each new disc\n"
               "                     (default %u and %u)\n"
               "  --product MODEL    drive model (default %s); --revision (default %s)\n"
               "  --serial TEXT      drive serial (default: one of its own)\n"
               "  --cookie HEX       the drive's medium cookie (default: 1, or one past the previous drive's)\n"
               "  --pipe NAME        the host service's pipe (default %s) in $KEL_PIPE_DIR\n"
               "                     (default /tmp/kel-pipes)\n"
               "  --log              one line per drive command on standard output\n"
               "A folder holding a cartridge is served as it is; the options of a new one do not apply.\n",
               cartridge.medium_type, kKnownTypes, static_cast<unsigned>(cartridge.disc_blocks),
               static_cast<unsigned>(cartridge.disc_blocks / (1u << 19)),
               kelsim::default_write_resources(cartridge.medium_type).replacements,
               static_cast<unsigned>(cartridge.opc_count), drive.product.c_str(), drive.revision.c_str(),
               kelsim::kServicePipeName);
}

bool parse_number(const char* s, int base, unsigned long long* v) {
  char* end = nullptr;
  errno = 0;
  *v = std::strtoull(s, &end, base);
  return s[0] && end && *end == 0 && errno == 0;
}

// One drive and its cartridge as the command line sets them up.
struct DriveSetup {
  std::string dir;
  kelsim::CartridgeSetup cartridge;
  kelsim::DriveConfig drive;
  std::optional<unsigned long long> cookie;
};

enum class Parsed { Taken, Bad, NotADriveOption };

// A drive or cartridge option with its value, into `d`.
Parsed drive_option(const std::string& a, const char* v, DriveSetup* d) {
  unsigned long long n = 0;
  if (a == "--medium-type") {
    // Only the types the drive knows: another would be taken for a disc of
    // no class.
    if (!parse_number(v, 16, &n) || n > 0xFF ||
        !(kelsim::is_write_once_type(static_cast<std::uint8_t>(n)) ||
          kelsim::is_rewritable_type(static_cast<std::uint8_t>(n))))
      return Parsed::Bad;
    d->cartridge.medium_type = static_cast<std::uint8_t>(n);
  } else if (a == "--slots") {
    if (!parse_number(v, 10, &n) || n < 1 || n > 100) return Parsed::Bad;
    d->cartridge.slots = static_cast<std::uint8_t>(n);
  } else if (a == "--blocks") {
    if (!parse_number(v, 0, &n) || n > 0x7FFFFFE0ull) return Parsed::Bad;
    d->cartridge.disc_blocks = static_cast<std::uint32_t>(n);
  } else if (a == "--pow") {
    if (!parse_number(v, 0, &n) || n > 0xFFFFFFFFull) return Parsed::Bad;
    d->cartridge.pow_replacements = d->cartridge.pow_map_entries = d->cartridge.pow_updates =
        static_cast<std::uint32_t>(n);
  } else if (a == "--opc") {
    if (!parse_number(v, 0, &n) || n > 0xFFFF) return Parsed::Bad;
    d->cartridge.opc_count = static_cast<std::uint16_t>(n);
  } else if (a == "--unique-id") {
    if (std::strlen(v) > 12) return Parsed::Bad;
    d->cartridge.unique_id_prefix = v;
  } else if (a == "--product") {
    d->drive.product = v;
  } else if (a == "--serial") {
    if (!v[0]) return Parsed::Bad;
    d->drive.serial = v;
  } else if (a == "--revision") {
    d->drive.revision = v;
  } else if (a == "--cookie") {
    if (!parse_number(v, 16, &n)) return Parsed::Bad;
    d->cookie = n;
  } else {
    return Parsed::NotADriveOption;
  }
  return Parsed::Taken;
}

struct CommandLine {
  std::vector<DriveSetup> drives;
  std::string pipe = kelsim::kServicePipeName;
  bool log = false;
};

// Gives each drive its cookie; false (with a message) when two drives share
// a cookie or a folder.
bool settle_drives(std::vector<DriveSetup>* drives) {
  std::set<unsigned long long> cookies;
  std::set<std::string> folders;
  unsigned long long next = 1;
  for (DriveSetup& d : *drives) {
    if (!d.cookie) d.cookie = next;
    next = *d.cookie + 1;
    if (!cookies.insert(*d.cookie).second) {
      std::fprintf(stderr, "kelsim-host: two drives with the cookie %llx\n", *d.cookie);
      return false;
    }
    std::error_code ec;  // a folder not made yet is compared by its name
    const std::filesystem::path folder = std::filesystem::weakly_canonical(std::filesystem::absolute(d.dir), ec);
    if (!folders.insert((ec ? std::filesystem::absolute(d.dir).lexically_normal() : folder).string()).second) {
      std::fprintf(stderr, "kelsim-host: two drives with the cartridge %s\n", d.dir.c_str());
      return false;
    }
  }
  return true;
}

// 0 when the command line is good; -1 after --help (the program then ends
// with 0); else the exit status, 2.
int parse_command_line(int argc, char** argv, CommandLine* cl) {
  DriveSetup defaults;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--log") {
      cl->log = true;
      continue;
    }
    if (a == "--help" || a == "-h") {
      usage(stdout);
      return -1;
    }
    if (i + 1 >= argc) {
      usage();
      return 2;
    }
    const char* v = argv[++i];
    DriveSetup* target = cl->drives.empty() ? &defaults : &cl->drives.back();
    Parsed p = Parsed::Taken;
    if (a == "--pipe") {
      cl->pipe = v;
    } else if (a == "--dir") {
      cl->drives.push_back(defaults);
      cl->drives.back().dir = v;
      // The cookie and serial given before the first --dir are the first drive's.
      defaults.cookie.reset();
      defaults.drive.serial.clear();
    } else {
      p = drive_option(a, v, target);
    }
    if (p == Parsed::Bad && a == "--medium-type") {
      std::fprintf(stderr, "kelsim-host: unknown medium type %s (known: %s)\n", v, kKnownTypes);
      return 2;
    }
    if (p != Parsed::Taken) {
      std::fprintf(stderr, "kelsim-host: bad option or value: %s %s\n", a.c_str(), v);
      usage();
      return 2;
    }
  }
  if (cl->drives.empty()) {
    usage();
    return 2;
  }
  return settle_drives(&cl->drives) ? 0 : 2;
}

// The cartridge stored in the drive's folder, or a new blank one there.
std::shared_ptr<kelsim::Cartridge> open_cartridge(const DriveSetup& d) {
  std::shared_ptr<kelsim::Cartridge> cart;
  DWORD rc = kelsim::Cartridge::open(d.dir, &cart);
  if (rc == ERROR_FILE_NOT_FOUND) {
    rc = kelsim::Cartridge::create(d.dir, d.cartridge, &cart);
    if (rc != ERROR_SUCCESS)
      std::fprintf(stderr, "kelsim-host: cannot create a cartridge in %s (error %u)\n", d.dir.c_str(), rc);
  } else if (rc != ERROR_SUCCESS) {
    std::fprintf(stderr, "kelsim-host: cannot open the cartridge in %s (error %u)\n", d.dir.c_str(), rc);
  }
  if (rc == ERROR_SUCCESS && (rc = cart->hold_folder()) != ERROR_SUCCESS)
    std::fprintf(stderr, "kelsim-host: the cartridge in %s is served already (error %u)\n", d.dir.c_str(), rc);
  return rc == ERROR_SUCCESS ? cart : nullptr;
}

// Warns when a cartridge's discs are too small for the engine's volume to
// report any room. The volume keeps a reserve at the end of each disc for
// its own structures and reports only what lies before it: 0x4000 clusters
// of 32 blocks (1 GiB) on each disc, on F1h and F2h 0xC000 on each disc but
// the last and 0x18000 (F1h) or 0x20000 (F2h) on the last, and a few
// hundred clusters more. With several discs the room of all but the last
// counts; with one, the last disc's.
void warn_of_small_discs(const std::string& dir, const kelsim::Cartridge& c) {
  const std::uint8_t t = c.medium_type();
  const std::uint64_t last = t == 0xF2 ? 0x20000 : t == 0xF1 ? 0x18000 : 0x4000;
  const std::uint64_t reserve = c.slots() > 1 && (t == 0xF1 || t == 0xF2) ? 0xC000 : last;
  const std::uint64_t lead = t == 0xF2 ? 192 : t == 0xF1 ? 160 : 128;
  const std::uint64_t smallest = (reserve + lead + 256) * 32 + 0x140;
  if (c.disc_blocks() > smallest) return;
  std::fprintf(stderr,
               "kelsim-host: warning: the discs of the cartridge in %s (0x%X blocks each, medium type %02Xh) "
               "leave a volume no room: it keeps about 0x%llX blocks of each disc for its own structures; "
               "give a new cartridge --blocks above that\n",
               dir.c_str(), c.disc_blocks(), t, static_cast<unsigned long long>(smallest));
}

// What a drive holds, read before any client can change it.
std::string describe(const DriveSetup& d, const kelsim::ChangerDrive& drive) {
  const kelsim::Cartridge& c = *drive.cartridge();
  char text[512];
  std::snprintf(text, sizeof(text),
                "kelsim-host: drive TARN %s, medium cookie /dev/sd%llx, serial %s\n"
                "kelsim-host: cartridge %s: medium type %02Xh, %u slots, %u blocks per disc, slot %d loaded",
                drive.config().product.c_str(), *d.cookie, drive.config().serial.c_str(),
                std::filesystem::absolute(d.dir).c_str(), c.medium_type(), c.slots(), c.disc_blocks(),
                c.loaded_slot);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  CommandLine cl;
  if (const int rc = parse_command_line(argc, argv, &cl)) return rc < 0 ? 0 : rc;

  std::vector<std::shared_ptr<kelsim::ChangerDrive>> drives;
  for (const DriveSetup& d : cl.drives) {
    std::shared_ptr<kelsim::Cartridge> cart = open_cartridge(d);
    if (!cart) return 1;
    warn_of_small_discs(d.dir, *cart);
    drives.push_back(std::make_shared<kelsim::ChangerDrive>(d.drive, cart));
  }

  // Block the stop signals before any thread starts, then wait for one.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  kelsim::HostService service(cl.pipe);
  std::vector<std::string> about;
  for (std::size_t i = 0; i < drives.size(); ++i) {
    service.add_drive(*cl.drives[i].cookie, drives[i]);
    about.push_back(describe(cl.drives[i], *drives[i]));
  }
  service.set_transcript_limit(1000);  // nobody reads it here; keep memory flat
  if (cl.log)
    service.set_request_logger([](const kelsim::TranscriptEntry& e) {
      std::printf("%s\n", e.line().c_str());
      std::fflush(stdout);
    });
  const DWORD rc = service.start();
  if (rc != ERROR_SUCCESS) {
    std::fprintf(stderr, "kelsim-host: cannot serve the pipe %s (error %u)\n", cl.pipe.c_str(), rc);
    return 1;
  }
  std::printf("kelsim-host: pipe %s\n", service.socket_path().c_str());
  for (const std::string& a : about) std::printf("%s\n", a.c_str());
  std::fflush(stdout);
  int sig = 0;
  sigwait(&stop, &sig);
  service.stop();
  std::printf("kelsim-host: stopped\n");
  return 0;
}
