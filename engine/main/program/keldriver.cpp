// KelDriver: one engine process per medium. Arguments: the medium cookie
// ("/dev/sd" and a hexadecimal number) and the file-system cache directory;
// "--help" alone prints them.
#include "kel/crash_handler.h"
#include "kel/entry.h"
#include "kel/medium_lock.h"
#include "kelmain/engine_main.h"
#include "kelmain/slots.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr const char kHelp[] =
    "usage: KelDriver /dev/sdHEX CACHE-DIRECTORY\n"
    "       KelDriver --help\n"
    "\n"
    "The engine of one medium: the cartridge in the changer drive whose medium cookie is\n"
    "the hexadecimal number after /dev/sd. It drives the changer through the host\n"
    "service's pipe QuorvelAPIPipe in $KEL_PIPE_DIR (default /tmp/kel-pipes), reads\n"
    "requests on standard input, one XML element a line, such as\n"
    "  <ArchiveFileSystemOperation SequenceNumber=\"1\" Opcode=\"Check\"/>\n"
    "and writes its answers to standard output, each XML element followed by a NUL byte.\n"
    "CACHE-DIRECTORY holds the volume's file-system cache.\n"
    "\n"
    "One engine per medium: the engine locks the file KelDriver-sdHEX.lock in the pipe\n"
    "folder; a second engine for the same medium sends the drive nothing and answers\n"
    "every request but \"UnmountVolume\" with an error.\n"
    "\n"
    "Settings: the registry file named by $KEL_REGISTRY (default\n"
    "$XDG_CONFIG_HOME/kel/registry.reg, else $HOME/.config/kel/registry.reg).\n"
    "\n"
    "Exit status: 0 after \"UnmountVolume\"; 87 for missing or bad arguments; else the\n"
    "low byte of the request loop's result (79 for a request it does not serve).\n";

bool asks_for_help(int argc, char** argv) {
  return argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0);
}

}  // namespace

int main(int argc, char** argv) {
  if (asks_for_help(argc, argv)) {
    std::fputs(kHelp, stdout);
    return 0;
  }
  int result = static_cast<int>(SetExceptionHandler());
  if (result != 0) return result;
  result = quorvel_kel_init(argc, const_cast<const char**>(argv));
  if (result != 0) return result;
  // One engine per medium: an engine refused its medium's lock sends the
  // drive nothing, so it skips the drive start, and its request loop refuses
  // every request.
  if (quorvel_lock_medium() == 0) {
    result = Initialise(argc, argv);
    if (result != 0) return result;
  }
  FileSystemOperations operations = kelmain::operation_table();
  return quorvel_kel_run(&operations, argv[1]);
}
