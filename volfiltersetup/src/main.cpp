// VolFilterSetup install | remove
//
// Exit status: 0 on success, the Win32 error of the first failing registry
// call, or -1 after the usage text. A process exit status keeps only its low
// 8 bits on this platform, so -1 arrives as 255 and a registry error e as
// e & 0xFF (ERROR_FILE_NOT_FOUND, 2, stays 2).
#include "volfiltersetup/volfiltersetup.h"

#include <cstdio>

int main(int argc, char** argv) { return volfiltersetup::run(argc, argv, stdout, stderr); }
