// Closing files over one session: each file created and closed through the
// engine's own slots in-process, on an F2h cartridge formatted by a Check.
// The time per file at the end of a session of n2 files beside that at the
// end of one of n1 (n2 = 10 n1): a close that walked every earlier file's
// leftovers would take ten times as long.
#include "e2e.h"

#include "kelmain/slots.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace e2e {

namespace {

// Mean of t[from, to), microseconds.
double mean_us(const std::vector<double>& t, std::size_t from, std::size_t to) {
  double sum = 0;
  for (std::size_t i = from; i < to; ++i) sum += t[i];
  return sum / static_cast<double>(to - from) * 1e6;
}

}  // namespace

// argv: cookie text, cache directory, n1, n2. Prints "close-us" and, for the
// last tenth of n1 files and of n2 files, the mean time of the close and of
// the whole create and close.
int close_main(int argc, char** argv) {
  if (argc != 4) return 2;
  const unsigned n1 = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
  const unsigned n2 = static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10));
  if (n1 < 10 || n2 < n1) return 2;
  if (int r = mount_in_process(argv[0], argv[1])) return r;
  if (int r = kelmain::CreateDirectory("/", "close", false)) return std::fprintf(stderr, "folder: %d\n", r), 12;
  std::vector<double> close_s(n2), cycle_s(n2);
  char name[32], stored[256];
  for (unsigned i = 0; i < n2; ++i) {
    std::snprintf(name, sizeof name, "x%07u", i);
    void* handle = nullptr;
    const auto start = Clock::now();
    if (int r = kelmain::CreateFile("/close", name, sizeof stored, stored, &handle))
      return std::fprintf(stderr, "create %s: %d\n", name, r), 13;
    const auto closing = Clock::now();
    if (int r = kelmain::CloseFile(handle, false)) return std::fprintf(stderr, "close %s: %d\n", name, r), 14;
    close_s[i] = secs_since(closing);
    cycle_s[i] = secs_since(start);
  }
  const std::size_t w1 = n1 / 10, w2 = n2 / 10;
  std::printf("\nclose-us %.3f %.3f %.3f %.3f\n", mean_us(close_s, n1 - w1, n1), mean_us(close_s, n2 - w2, n2),
              mean_us(cycle_s, n1 - w1, n1), mean_us(cycle_s, n2 - w2, n2));
  std::fflush(stdout);
  kelmain::Unmount(false);
  return 0;
}

void close_figures(const Settings& s) {
  const unsigned n1 = s.tiny ? 100 : 1000, n2 = n1 * 10;
  std::printf("== closing files over one session (F2h cartridge in a QMR-T400A; %u and %u files)\n", n1, n2);
  std::vector<double> c1, c2, y1, y2;
  for (int pass = 0; pass < s.passes(); ++pass) {
    auto v = volume_of(s, "empty", 0, kFolderFiles);
    std::istringstream in(result_of(helper(s, {"--close", v->sim->cookie_text(), v->sim->directory() + "/cache-close",
                                               std::to_string(n1), std::to_string(n2)}),
                                    "close-us "));
    std::string word;
    double a = 0, b = 0, c = 0, d = 0;
    in >> word >> a >> b >> c >> d;
    if (word != "close-us") die("the closing run told nothing");
    c1.push_back(a), c2.push_back(b), y1.push_back(c), y2.push_back(d);
  }
  const std::string at = std::to_string(n1) + "_to_" + std::to_string(n2);
  report({"close_us_per_file_" + at, "us/file", median(c2), median(c1), "", 1.5, false, true,
          "CloseFile of the last tenth of " + std::to_string(n2) + " files beside that of " + std::to_string(n1)},
         s.tiny);
  report({"create_close_us_per_file_" + at, "us/file", median(y2), median(y1), "", 1.5, false, true,
          "CreateFile and CloseFile, the same"},
         s.tiny);
}

}  // namespace e2e
