// Win32 errors of engine results. The interface library and the drive
// utility library each carry their own copy of this table.
#include "kel/errors.h"

namespace kel {

DWORD Win32FromEngineResult(int r) {
  switch (r) {
    case 0: return 0;
    case 1: return 5;
    case 2: return 2;
    case 6: return 110;
    case 7: return 122;
    case 11: return 554;
    case 12: return 8;
    case 13: return 21;
    case 14: case 57: case 84: return 13;
    case 16: return 170;
    case 17: return 80;
    case 19: return 20;
    case 20: case 21: return 1359;
    case 22: return 87;
    case 24: return 4;
    case 25: case 30: return 19;
    case 27: return 223;
    case 28: return 112;
    case 34: return 9;
    case 36: return 206;
    case 37: return GetLastError();
    case 38: case 56: return 1;
    case 39: return 145;
    case 61: return 259;
    case 95: return 50;
    case 105: return 1784;
    case 110: return 121;
    case 112: return 1067;
    case 115: return 997;
    case 123: return 4300;
    case 125: return 1223;
    default: return 1117;
  }
}

}  // namespace kel
