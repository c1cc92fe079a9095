// quorvel_kel_init and quorvel_kel_run.
#include "kel/handler.h"
#include "kel/config.h"
#include "kel/debug.h"
#include "kel/entry.h"
#include "kel/kel_interface.h"

#include <string>

extern "C" std::int32_t quorvel_kel_init(int argc, const char** argv) {
  if (argc <= 2 || !argv || !argv[1] || !argv[2]) {
    SendDebugStringA(0, "Insufficient arguments (2 required)");
    return ERROR_INVALID_PARAMETER;
  }
  std::uint64_t cookie = 0;
  if (!kel::ParseMediumCookie(argv[1], &cookie)) {
    const std::string message =
        std::string("Invalid parameter: could not extract medium cookie from ") + argv[1];
    SendDebugStringA(0, message.c_str());
    return ERROR_INVALID_PARAMETER;
  }
  kel::SetMediumCookie(cookie);
  kel::SetCacheDirectory(argv[2]);
  kel::SetConfigCacheDirectory(argv[2]);
  return 0;
}

extern "C" std::uint16_t quorvel_kel_run(const FileSystemOperations* operations,
                                         const char* medium_cookie) {
  HRESULT hr;
  {
    CKelInterface itf;
    kel::SetCurrentInterface(&itf);
    kel::SetDriveCommandContextSource(kel::RunningInterfaceContext);
    hr = itf.Initialise(operations);
    if (SUCCEEDED(hr)) hr = itf.Run(medium_cookie ? medium_cookie : "");
    // However the loop ended, the writer's session and threads end here,
    // while the engine is still reachable: none outlives the run.
    itf.EndWriterState();
    kel::SetDriveCommandContextSource(nullptr);
    kel::SetCurrentInterface(nullptr);
  }
  return static_cast<std::uint16_t>(static_cast<std::uint32_t>(hr) & 0xFFFFu);
}
