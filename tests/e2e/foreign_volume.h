// Volumes another program made (mkudffs images in sparse files) and the
// checks of what Check leaves on a first disc it did not format.
#pragma once

#include "scenario_support.h"
#include "sim/cartridge.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <set>
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

// Commands that format a disc, reserve on it or write to it.
inline bool writes_disc(const TranscriptEntry& e) {
  switch (e.opcode()) {
    case 0x04: case 0x2A: case 0x53: case 0x5B: case 0xD2:
      return true;
    default:
      return false;
  }
}

// Check over a first disc this system did not format, or did not finish
// formatting.
class CheckScenario : public Scenario {
 protected:
  // After a kill in the automatic format: the next Check mounts the disc,
  // a folder made and synced then is kept through an unmount and a mount
  // from an emptied cache, and udfinfo passes on the written slots.
  void expect_formatted_again() {
    start_checked();
    mkdir("/x");
    sync("SyncTime");
    unmount();
    start_checked(true);
    EXPECT_EQ(listing("/"), std::set<std::string>{"x"});
    unmount();
    expect_udfinfo_on_written_slots();
  }
  // Two engines in turn start, ask Check and unmount: each Check answers
  // the error of a volume this system did not format, and neither sends a
  // command that writes a disc.
  void expect_two_checks_refused() {
    for (int engine = 0; engine < 2; ++engine) {
      SCOPED_TRACE(engine ? "second engine" : "first engine");
      const std::size_t mark = sim_->service().transcript().size();
      start();
      const auto answers = ask("Check");
      ASSERT_FALSE(answers.empty());
      EXPECT_EQ(answers.back().name, "HRESULT") << answers.back().raw;
      EXPECT_EQ(answers.back().attribute("HRESULT"), std::to_string(std::int32_t(0x80070057))) << answers.back().raw;
      const auto t = sim_->service().transcript();
      for (std::size_t i = mark; i < t.size(); ++i)
        EXPECT_FALSE(!t[i].is_notice() && writes_disc(t[i])) << "sent to the disc: " << t[i].line();
      unmount();
    }
  }
};

}  // namespace e2e
