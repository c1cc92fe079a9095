// Names of the running test for the temporary folders its fixture makes.
#pragma once

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace kel_test {

// The running test's name as one path component: a parameterised test's
// "Name/Param" becomes "Name_Param", so that the fixture's folder is one
// level deep and removing it leaves nothing behind.
inline std::string flat_test_name() {
  std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  for (char& c : name)
    if (c == '/') c = '_';
  return name;
}

// A new folder "<parent>/<prefix>XXXXXX", removed with all it holds when the
// object goes, also when an assertion ends the test early. path() is ""
// when the folder could not be made.
class ScopedTempDir {
 public:
  explicit ScopedTempDir(const std::string& prefix, const std::string& parent = "/tmp") {
    std::string tmpl = parent + "/" + prefix + "XXXXXX";
    if (::mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
  }
  ~ScopedTempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace kel_test
