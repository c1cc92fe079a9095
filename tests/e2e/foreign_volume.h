// Volumes another program made: mkudffs images in sparse files, for the
// tests that a Check never formats over them nor writes to them.
#pragma once

#include "sim/cartridge.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

inline constexpr const char* kMkudffs = "/usr/sbin/mkudffs";

// A volume made by mkudffs in a sparse image of `blocks` blocks. False
// (with a failure) when the tool does not run.
inline bool make_foreign_image(const std::string& path, const char* media, const char* revision,
                               std::uint32_t blocks) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool sized = ::ftruncate(fileno(f), std::int64_t{blocks} * kelsim::kBlockSize) == 0;
  std::fclose(f);
  if (!sized) return false;
  const std::string cmd = std::string(kMkudffs) + " --media-type=" + media + " --udfrev=" + revision +
                          " --label=FOREIGN --blocksize=2048 " + path + " >/dev/null 2>&1";
  const int status = std::system(cmd.c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << cmd;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The data regions of a sparse image, in blocks.
inline std::vector<std::pair<std::uint32_t, std::uint32_t>> data_runs(const std::string& path) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> runs;
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return runs;
  const off_t end = ::lseek(fd, 0, SEEK_END);
  for (off_t at = ::lseek(fd, 0, SEEK_DATA); at >= 0 && at < end;) {
    off_t hole = ::lseek(fd, at, SEEK_HOLE);
    if (hole < 0) hole = end;
    runs.emplace_back(static_cast<std::uint32_t>(at / kelsim::kBlockSize),
                      static_cast<std::uint32_t>((hole + kelsim::kBlockSize - 1) / kelsim::kBlockSize));
    at = ::lseek(fd, hole, SEEK_DATA);
  }
  ::close(fd);
  return runs;
}

// The options of the mkudffs runs the tests take.
struct Foreign {
  const char* media;
  const char* revision;
};
inline void PrintTo(const Foreign& f, std::ostream* os) {
  *os << "mkudffs --media-type=" << f.media << " --udfrev=" << f.revision;
}

}  // namespace e2e
