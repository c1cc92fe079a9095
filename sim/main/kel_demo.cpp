// kel-demo: the life of a cartridge told in plain words, through the real
// KelDriver started as a host starts it, against a service already serving
// the pipe in $KEL_PIPE_DIR (scripts/demo starts kelsim-host for it).
//
//   kel-demo --engine PATH --work DIR --cookie HEX --text-file PATH
//            [--cartridge DIR] [--service-log FILE] [--folder DIR]
//            [--existing] [--verbose]
//
// Ten steps: format and mount, archive a folder, sync, list, restore and
// compare, archive a second batch, unmount, remount, roll back, unmount and
// judge the slot images with udfinfo. Exit status 0 only when every restored
// file was identical, every listing was as expected and udfinfo accepted
// every written slot; 3 when an existing volume is not empty (--existing);
// 4 when the engine died of a signal (its dump is in the work directory).
#include "demo_session.h"

#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: kel-demo --engine PATH --work DIR --cookie HEX --text-file PATH\n"
               "                [--cartridge DIR] [--service-log FILE] [--folder DIR] [--existing] [--verbose]\n");
}

}  // namespace

int main(int argc, char** argv) {
  keldemo::Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    bool ok = true;
    if (a == "--verbose") o.verbose = true;
    else if (a == "--existing") o.existing = true;
    else if (a == "--engine") ok = value(&o.engine);
    else if (a == "--work") ok = value(&o.work);
    else if (a == "--cookie") ok = value(&o.cookie);
    else if (a == "--text-file") ok = value(&o.text_file);
    else if (a == "--cartridge") ok = value(&o.cartridge);
    else if (a == "--service-log") ok = value(&o.service_log);
    else if (a == "--folder") ok = value(&o.folder);
    else ok = false;
    if (!ok) {
      usage();
      return 2;
    }
  }
  if (o.engine.empty() || o.work.empty() || o.cookie.empty() || (o.text_file.empty() && o.folder.empty())) {
    usage();
    return 2;
  }
  o.tty = ::isatty(1) != 0;
  return keldemo::run(o);
}
