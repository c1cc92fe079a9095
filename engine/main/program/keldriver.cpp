// KelDriver: one engine process per medium. Arguments: the medium cookie
// ("/dev/sd" and a hexadecimal number) and the file-system cache directory.
#include "kel/crash_handler.h"
#include "kel/entry.h"
#include "kel/medium_lock.h"
#include "kelmain/engine_main.h"
#include "kelmain/slots.h"

int main(int argc, char** argv) {
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
