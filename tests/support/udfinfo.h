// Judging a disc image with udfinfo (package udftools).
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

// The tool's output, or "" (with a failure) when it cannot run.
inline std::string udfinfo_output(const std::string& image, int* status) {
  static const char kTool[] = "/usr/bin/udfinfo";
  *status = -1;
  if (::access(kTool, X_OK) != 0) {
    ADD_FAILURE() << kTool << " is missing (package udftools): " << image << " cannot be checked";
    return "";
  }
  std::string out;
  FILE* p = ::popen((std::string(kTool) + " --blocksize=2048 " + image + " 2>&1").c_str(), "r");
  if (p == nullptr) {
    ADD_FAILURE() << "cannot run " << kTool;
    return "";
  }
  char buf[512];
  while (std::fgets(buf, sizeof buf, p)) out += buf;
  *status = ::pclose(p);
  return out;
}

// Runs udfinfo over a disc image and expects it to read the volume without
// an error and to print each of `lines` as a whole line. Without udfinfo the
// image cannot be judged: that is a failure, never a silent pass.
inline void expect_udfinfo(const std::string& image, const std::vector<std::string>& lines) {
  int status = -1;
  const std::string out = udfinfo_output(image, &status);
  if (status == -1 && out.empty()) return;  // already failed
  EXPECT_EQ(0, status) << out;
  // "error" or "Error" as a word ("Mirror" names the metadata mirror file).
  auto has_error = [&](const char* word) {
    for (std::size_t at = out.find(word); at != std::string::npos; at = out.find(word, at + 1))
      if (at == 0 || !std::isalpha(static_cast<unsigned char>(out[at - 1]))) return true;
    return false;
  };
  EXPECT_FALSE(has_error("error") || has_error("Error")) << out;
  for (auto& l : lines) EXPECT_NE(std::string::npos, out.find(l + "\n")) << l << "\n" << out;
}
