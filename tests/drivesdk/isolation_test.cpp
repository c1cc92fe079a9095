// What the shared drive utility library exports and where its references
// bind when a program loads it beside the shared interface library.
#include <gtest/gtest.h>

#include <cxxabi.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#if defined(KEL_SDK_PROBE) && defined(KEL_SDK_LIBRARY) && defined(KEL_INTERFACE_LIBRARY)

namespace {

std::string run(const std::string& command) {
  std::string out;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  if (!pipe) return out;
  std::array<char, 4096> chunk;
  std::size_t n;
  while ((n = std::fread(chunk.data(), 1, chunk.size(), pipe.get())) > 0) out.append(chunk.data(), n);
  return out;
}

bool haveTool(const char* tool) { return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0; }

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) out.push_back(line);
  return out;
}

// Symbol names (demangled) of `nm -D -C` output.
std::vector<std::string> symbols(const std::string& options) {
  std::vector<std::string> out;
  for (const std::string& line : lines(run("nm -D -C " + options + " " KEL_SDK_LIBRARY))) {
    // "<address> <type> <name>" or "<spaces> U <name>"
    const std::size_t type = line.find_first_not_of(' ', line.find(' '));
    if (type == std::string::npos || type + 2 > line.size()) continue;
    out.push_back(line.substr(type + 2));
  }
  return out;
}

bool isStandardLibrary(const std::string& name) {
  return name.find("std::") != std::string::npos || name.find("__gnu_cxx") != std::string::npos ||
         name.find("__cxxabiv1") != std::string::npos;
}

bool isOurExport(const std::string& name) {
  for (const char* prefix : {"KelDriveSDK_", "kelutil::", "typeinfo for kelutil::", "typeinfo name for kelutil::",
                             "vtable for kelutil::"})
    if (name.rfind(prefix, 0) == 0) return true;
  return false;
}

TEST(SdkIsolation, ExportsOnlyTheMarkedInterface) {
  if (!haveTool("nm")) GTEST_SKIP() << "nm (binutils) is not installed";
  const std::vector<std::string> defined = symbols("--defined-only");
  ASSERT_FALSE(defined.empty());
  const std::set<std::string> linkerSymbols = {"_init", "_fini", "__bss_start", "_edata", "_end"};
  for (const std::string& name : defined)
    EXPECT_TRUE(isOurExport(name) || isStandardLibrary(name) || linkerSymbols.count(name)) << name;
  const char* const expected[] = {
      "KelDriveSDK_GetVersion",
      "KelDriveSDK_GetErrorMessage",
      "KelDriveSDK_GetLastErrorMessageDetail",
      "KelDriveSDK_GetSupportedMediaInfo",
      "KelDriveSDK_GetDeviceInformation",
      "KelDriveSDK_GetDeviceInformationEx",
      "KelDriveSDK_Quorvel_SetCallbacks(",
      "kelutil::KelUtility::operator=(kelutil::KelUtility&&)",
      "kelutil::KelUtility::GetSupportedMediaInformation(",
      "kelutil::KelUtilityException::KelUtilityException(",
      "typeinfo for kelutil::KelUtilityException",
      "kelutil::BasicInfo::BasicInfo()",
      "kelutil::BasicInfo::~BasicInfo()",
      "kelutil::DeviceInfo::DeviceInfo(kelutil::DeviceInfo&&)",
      "KelDriveSDK_BasicInfo::operator=(KelDriveSDK_BasicInfo&&)",
      "kelutil::SupportedMediaInfo::operator=(kelutil::SupportedMediaInfo const&)",
  };
  for (const char* want : expected) {
    bool found = false;
    for (const std::string& name : defined) found |= name.rfind(want, 0) == 0;
    EXPECT_TRUE(found) << want;
  }
}

TEST(SdkIsolation, NeedsNothingOfThePlatformOrTheInterfaceLibrary) {
  if (!haveTool("nm")) GTEST_SKIP() << "nm (binutils) is not installed";
  const std::vector<std::string> undefined = symbols("--undefined-only");
  ASSERT_FALSE(undefined.empty());
  for (const std::string& name : undefined) {
    for (const char* ours : {"platform::", "kel::", "GetLastError", "SetLastError", "mdcudfsr_", "RegOpenKey",
                             "RegQueryValue", "RegSetValue", "PxoUtilityLib::"})
      EXPECT_EQ(name.find(ours), std::string::npos) << name;
  }
}

TEST(SdkIsolation, InterfaceLibraryLinksTheDriveUtilityLibrary) {
  if (!haveTool("readelf")) GTEST_SKIP() << "readelf (binutils) is not installed";
  EXPECT_NE(run("readelf -d " KEL_INTERFACE_LIBRARY).find("[libKelDriveSDK.so]"), std::string::npos);
}

// Symbols of the address and undefined-behaviour sanitizers' run time.
bool isSanitizerRuntime(const std::string& name) {
  for (const char* prefix : {"__asan", "__ubsan", "__sanitizer", "__lsan"})
    if (name.rfind(prefix, 0) == 0) return true;
  return false;
}

std::string demangled(const std::string& mangled) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status), std::free);
  return status == 0 && name ? name.get() : mangled;
}

TEST(SdkIsolation, ReferencesBindInsideTheLibraryAndCommandsUseTheirOwnConnection) {
  const std::string out = run("LD_BIND_NOW=1 LD_DEBUG=bindings " KEL_SDK_PROBE " 2>&1");
  const std::regex binding(R"(binding file (\S+) \[\d+\] to (\S+) \[\d+\]: normal symbol `([^']+)')");
  int fromSdk = 0;
  bool callbacksBound = false;
  for (const std::string& line : lines(out)) {
    std::smatch m;
    if (!std::regex_search(line, m, binding)) continue;
    const std::string from = m[1], to = m[2], symbol = m[3];
    // The interface library's reference to the host function finds the
    // drive utility library's definition (bound at load: LD_BIND_NOW).
    if (from.find("libKelInterface.so") != std::string::npos && to.find("libKelDriveSDK.so") != std::string::npos &&
        demangled(symbol).rfind("KelDriveSDK_Quorvel_SetCallbacks(", 0) == 0)
      callbacksBound = true;
    if (from.find("libKelDriveSDK.so") == std::string::npos) continue;
    ++fromSdk;
    const bool toInterface = to.find("libKelInterface.so") != std::string::npos;
    const bool toProgram = to.find("drivesdk_isolation_probe") != std::string::npos;
    if (toInterface || toProgram) {
      EXPECT_TRUE(isStandardLibrary(demangled(symbol)) || isSanitizerRuntime(symbol)) << symbol << " -> " << to;
    }
  }
  if (fromSdk == 0) GTEST_SKIP() << "the dynamic loader printed no bindings (LD_DEBUG unsupported)";
  EXPECT_TRUE(callbacksBound);

  EXPECT_NE(out.find("interface-result 0"), std::string::npos) << out.substr(0, 2000);
  EXPECT_NE(out.find("sdk-result 0"), std::string::npos);
  const std::regex command(R"(command ([0-9a-f]{2}) (\d+) connection (\d+))");
  std::vector<int> connections;
  for (const std::string& line : lines(out)) {
    std::smatch m;
    if (std::regex_match(line, m, command)) connections.push_back(std::stoi(m[3]));
  }
  // The interface library's INQUIRY, then the library's INQUIRY and serial.
  ASSERT_EQ(connections.size(), 3u);
  EXPECT_NE(connections[1], connections[0]);
  EXPECT_EQ(connections[2], connections[1]);
}

}  // namespace

#endif
