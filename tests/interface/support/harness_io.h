// Pieces both request-loop harnesses use: the registry file of a test and
// the request stream fed to the loop.
#pragma once

#include "kel/config.h"
#include "kel/kel_interface.h"

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace harness_io {

// Writes the test's registry file with `lines` under the engine's section and
// drops the cached configuration.
inline void writeRegistry(const std::string& path, const std::vector<std::string>& lines) {
  std::ofstream f(path);
  f << "Windows Registry Editor Version 5.00\n\n"
    << "[HKEY_LOCAL_MACHINE\\Software\\Quorvel\\Stravo\\KELFS]\n";
  for (const auto& l : lines) f << l << "\n";
  f.close();
  kel::ResetConfigCache();
}

// Replaces `in` by a temporary file holding `bytes` and makes it the loop's
// request stream.
inline void feedRequests(std::FILE*& in, const std::string& bytes) {
  if (in) std::fclose(in);
  in = std::tmpfile();
  std::fwrite(bytes.data(), 1, bytes.size(), in);
  std::rewind(in);
  kel::SetRequestStream(in);
}

}  // namespace harness_io
