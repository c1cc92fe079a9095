// VolFilterSetup on the platform registry: the exact bytes of
// "UpperFilters" after install and remove, the arguments, and the failures.
#include "volfiltersetup/volfiltersetup.h"

#include "platform/process.h"
#include "platform/registry.h"
#include "volfilter/registry_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using regfix::multi_sz;
using regfix::utf16;

const std::string kClassKey =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E967-E325-11CE-BFC1-08002BE10318}";
const std::string kName = "QVVolMgrFilter";

struct Output {
  int code = 0;
  std::string out;
  std::string err;
};

std::string drain(std::FILE* f) {
  std::rewind(f);
  std::string s;
  char buf[256];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) s.append(buf, n);
  std::fclose(f);
  return s;
}

Output run_tool(std::vector<std::string> args) {
  args.insert(args.begin(), "/opt/kel/VolFilterSetup");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  Output o;
  o.code = volfiltersetup::run(static_cast<int>(args.size()), argv.data(), out, err);
  o.out = drain(out);
  o.err = drain(err);
  return o;
}

class VolFilterSetupTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::registry_detail::before_rename = nullptr; }

  static void set_upper(const Bytes& data) {
    ASSERT_TRUE(regfix::write_value(kClassKey, "UpperFilters", regfix::kMultiSz, data));
  }
  static std::optional<Bytes> upper() {
    auto v = regfix::read_value(kClassKey, "UpperFilters");
    if (!v) return std::nullopt;
    EXPECT_EQ(v->first, regfix::kMultiSz);
    return v->second;
  }
  std::string file_text() const {
    std::ifstream in(registry_.dir() + "/registry.reg", std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  regfix::TempRegistry registry_;
};

Bytes concat(const Bytes& a, const Bytes& b) {
  Bytes out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

struct EditCase {
  const char* name;
  const char* action;
  Bytes before;
  Bytes after;
};

std::vector<EditCase> edit_cases() {
  const Bytes nul = {0, 0};
  return {
      {"InstallBeforeOtherFilters", "install", multi_sz({"PartMgr", "Other"}),
       multi_sz({kName, "PartMgr", "Other"})},
      {"InstallBeforeOneOther", "install", multi_sz({"PartMgr"}), multi_sz({kName, "PartMgr"})},
      {"InstallIntoEmptyList", "install", multi_sz({}), multi_sz({kName})},
      {"InstallIntoZeroBytes", "install", {}, multi_sz({kName})},
      {"InstallKeepsPresentName", "install", multi_sz({"PartMgr", kName}),
       multi_sz({"PartMgr", kName})},
      {"InstallSkipsLeadingAndTrailingNuls", "install",
       concat(concat(nul, nul), concat(utf16("PartMgr"), concat(nul, concat(nul, nul)))),
       multi_sz({kName, "PartMgr"})},
      {"InstallTerminatesAnUnterminatedLastString", "install", utf16("PartMgr"),
       multi_sz({kName, "PartMgr"})},
      {"InstallIgnoresAnOddLastByte", "install", concat(multi_sz({"PartMgr"}), {0x41}),
       multi_sz({kName, "PartMgr"})},
      {"InstallKeepsEmbeddedEmptyStrings", "install", multi_sz({"A", "", "B"}),
       multi_sz({kName, "A", "", "B"})},
      // Service names ignore case: the name in another case is the filter.
      {"InstallFindsTheNameInAnyCase", "install", multi_sz({"PartMgr", "qvvolmgrfilter"}),
       multi_sz({"PartMgr", "qvvolmgrfilter"})},
      {"InstallComparesTheWholeName", "install", multi_sz({kName + "X"}), multi_sz({kName, kName + "X"})},
      {"RemoveEveryCopy", "remove", multi_sz({kName, "PartMgr", kName, "Other", kName}),
       multi_sz({"PartMgr", "Other"})},
      {"RemoveDropsEmptyStrings", "remove", multi_sz({"PartMgr", "", "Other", ""}),
       multi_sz({"PartMgr", "Other"})},
      {"RemoveTheOnlyName", "remove", multi_sz({kName}), nul},
      {"RemoveWithoutTheName", "remove", multi_sz({"PartMgr"}), multi_sz({"PartMgr"})},
      {"RemoveFromZeroBytes", "remove", {}, nul},
      {"RemoveUnterminatedLastName", "remove", concat(concat(utf16("PartMgr"), nul), utf16(kName)),
       multi_sz({"PartMgr"})},
      {"RemoveUnterminatedOtherName", "remove", concat(concat(utf16(kName), nul), utf16("Tail")),
       multi_sz({"Tail"})},
      {"RemoveTakesTheNameInAnyCase", "remove",
       multi_sz({"qvvolmgrfilter", kName + "X", "QVVOLMGRFILTER", "PartMgr"}),
       multi_sz({kName + "X", "PartMgr"})},
  };
}

class Edit : public VolFilterSetupTest, public ::testing::WithParamInterface<EditCase> {};

TEST_P(Edit, UpperFiltersBytes) {
  const EditCase& c = GetParam();
  set_upper(c.before);
  const Output o = run_tool({c.action});
  EXPECT_EQ(o.code, 0);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(upper(), c.after);
}

INSTANTIATE_TEST_SUITE_P(VolFilterSetup, Edit, ::testing::ValuesIn(edit_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(VolFilterSetupTest, InstallTwiceKeepsOneCopyAndRemoveRestores) {
  const Bytes original = multi_sz({"PartMgr", "Other"});
  set_upper(original);
  EXPECT_EQ(run_tool({"install"}).code, 0);
  EXPECT_EQ(run_tool({"INSTALL"}).code, 0);
  EXPECT_EQ(upper(), multi_sz({kName, "PartMgr", "Other"}));
  EXPECT_EQ(run_tool({"Remove"}).code, 0);
  EXPECT_EQ(upper(), original);
}

TEST_F(VolFilterSetupTest, ArgumentsIgnoreCase) {
  for (const char* arg : {"install", "INSTALL", "Install", "iNsTaLl"}) {
    set_upper(multi_sz({"PartMgr"}));
    EXPECT_EQ(run_tool({arg}).code, 0) << arg;
    EXPECT_EQ(upper(), multi_sz({kName, "PartMgr"})) << arg;
  }
  for (const char* arg : {"remove", "REMOVE", "Remove"}) {
    set_upper(multi_sz({kName, "PartMgr"}));
    EXPECT_EQ(run_tool({arg}).code, 0) << arg;
    EXPECT_EQ(upper(), multi_sz({"PartMgr"})) << arg;
  }
}

TEST_F(VolFilterSetupTest, AnythingElsePrintsUsage) {
  set_upper(multi_sz({"PartMgr"}));
  const std::string before = file_text();
  const std::string usage =
      "\n\n/opt/kel/VolFilterSetup sets or removes registry parameters for Kel VolMgrFilter "
      "driver.\n\nUsage: /opt/kel/VolFilterSetup [install] [remove]\n\n";
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {""}, {"uninstall"}, {"installx"}, {"instal"}, {"/install"}, {"remove "}}) {
    const Output o = run_tool(args);
    EXPECT_EQ(o.code, -1);
    EXPECT_EQ(o.out, usage);
    EXPECT_EQ(o.err, "");
  }
  EXPECT_EQ(file_text(), before);
}

TEST_F(VolFilterSetupTest, MissingValueFailsWithNotFoundAndChangesNothing) {
  ASSERT_TRUE(regfix::write_value(kClassKey, "LowerFilters", regfix::kMultiSz, multi_sz({"X"})));
  const std::string before = file_text();
  for (const char* action : {"install", "remove"}) {
    const Output o = run_tool({action});
    EXPECT_EQ(o.code, static_cast<int>(ERROR_FILE_NOT_FOUND)) << action;
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.out, "");
  }
  EXPECT_EQ(file_text(), before);
  EXPECT_EQ(upper(), std::nullopt);
}

// A value that is not REG_MULTI_SZ holds no filter names: both actions
// refuse it as a typed registry read does and leave it as it was.
TEST_F(VolFilterSetupTest, ValueOfAnotherTypeIsRefusedAndKept) {
  struct Case {
    const char* name;
    std::uint32_t type;
    Bytes data;
  };
  const Case cases[] = {
      {"dword", 4, {0x42, 0x00, 0x41, 0x00}},  // dword:00410042, "BA" as UTF-16
      {"binary", 3, utf16(kName + std::string(2, '\0'))},
      {"string", regfix::kSz, utf16(kName + std::string(1, '\0'))},
      {"expandable string", 2, utf16("PartMgr" + std::string(1, '\0'))},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(regfix::write_value(kClassKey, "UpperFilters", c.type, c.data));
    const std::string before = file_text();
    for (const char* action : {"install", "remove"}) {
      SCOPED_TRACE(std::string(c.name) + " " + action);
      const Output o = run_tool({action});
      EXPECT_EQ(o.code, static_cast<int>(ERROR_UNSUPPORTED_TYPE));
      EXPECT_EQ(o.out, "");
      EXPECT_EQ(o.err, "");
      EXPECT_EQ(file_text(), before);
      EXPECT_EQ(regfix::read_value(kClassKey, "UpperFilters"), std::make_pair(c.type, c.data));
    }
  }
}

TEST_F(VolFilterSetupTest, MissingClassKeyFailsWithNotFound) {
  for (const char* action : {"install", "remove"})
    EXPECT_EQ(run_tool({action}).code, static_cast<int>(ERROR_FILE_NOT_FOUND)) << action;
  EXPECT_EQ(regfix::read_value(kClassKey, "UpperFilters"), std::nullopt);
}

TEST_F(VolFilterSetupTest, FailedWriteIsShownAndReturned) {
  for (const auto& [action, value] : {std::pair{"install", multi_sz({"PartMgr"})},
                                      std::pair{"remove", multi_sz({kName, "PartMgr"})}}) {
    set_upper(value);
    const std::string before = file_text();
    platform::registry_detail::before_rename = [](const char* tmp) { ::unlink(tmp); };
    const Output o = run_tool({action});
    platform::registry_detail::before_rename = nullptr;
    EXPECT_EQ(o.code, static_cast<int>(ERROR_REGISTRY_IO_FAILED)) << action;
    EXPECT_EQ(o.err, "QVVolFilterSetup: Failed to update registry Win error 1016\n");
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(file_text(), before);
  }
}

// The program itself: its exit status keeps the low 8 bits of the result.
// Its usage text goes to the test's output.
TEST_F(VolFilterSetupTest, ProgramExitStatus) {
  const std::string exe = VOLFILTERSETUP_EXE;
  DWORD code = 0;
  ASSERT_TRUE(platform::run_process("\"" + exe + "\" bogus", &code));
  EXPECT_EQ(code, 255u);  // -1
  ASSERT_TRUE(platform::run_process("\"" + exe + "\" install", &code));
  EXPECT_EQ(code, ERROR_FILE_NOT_FOUND);
  set_upper(multi_sz({"PartMgr"}));
  ASSERT_TRUE(platform::run_process("\"" + exe + "\" install", &code));
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(upper(), multi_sz({kName, "PartMgr"}));
}

}  // namespace
