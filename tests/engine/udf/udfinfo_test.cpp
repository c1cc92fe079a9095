// Cross-check of the builder's images with the Debian udftools reader (the
// volume written by the entry writers is in real_udfinfo_test.cpp).
#include "engine/udf/support_image.h"

#include "udf/udf_efe.h"
#include "udf/udf_lvid.h"
#include "udf/udf_metadata.h"
#include "udf/udf_mount.h"
#include "udf/udf_names.h"
#include "udf/udf_tag.h"
#include "udf/udf_write_efe.h"

#include <gtest/gtest.h>

#include <cstring>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

using namespace udf_test;

std::string run(const std::string& cmd, int* status) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) {
    *status = -1;
    return out;
  }
  char buf[512];
  while (fgets(buf, sizeof buf, p)) out += buf;
  *status = pclose(p);
  return out;
}

class Udfinfo : public ::testing::TestWithParam<MediumClass> {};

TEST_P(Udfinfo, ParsesTheSlot0ImageWithoutErrors) {
  if (access("/usr/bin/udfinfo", X_OK) != 0) GTEST_SKIP() << "udfinfo is not installed";
  const ImageSpec spec = spec_for(GetParam(), 0);
  std::vector<uint8_t> medium;
  build_volume(spec, medium);
  char path[] = "/tmp/kel_udf_imageXXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, medium.data(), medium.size()), static_cast<ssize_t>(medium.size()));
  close(fd);
  int status = 0;
  const std::string out = run(std::string("/usr/bin/udfinfo --blocksize=2048 ") + path + " 2>&1", &status);
  unlink(path);
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(out.find("rror"), std::string::npos) << out;
  const bool rewritable = GetParam() == MediumClass::Rewritable;
  const ImageLayout l = layout_for(spec);
  for (const std::string& line :
       {std::string("label=SERIAL0001"), std::string("vid=KELFS VOL01"), std::string("integrity=closed"),
        std::string("numdirs=1"), std::string(rewritable ? "udfwriterev=2.50" : "udfwriterev=2.60"),
        std::string("start=256, blocks=1, type=ANCHOR"),
        "start=" + std::to_string(l.avdp2) + ", blocks=1, type=ANCHOR",
        "start=" + std::to_string(l.lvid) + ", blocks=1, type=LVID",
        "blocks=" + std::to_string(spec.sectors)})
    EXPECT_NE(out.find(line + "\n"), std::string::npos) << line << "\n" << out;
}

INSTANTIATE_TEST_SUITE_P(EachMediumClass, Udfinfo,
                         ::testing::Values(MediumClass::WriteOnce, MediumClass::Rewritable, MediumClass::F2),
                         ::testing::PrintToStringParamName());

}  // namespace

