#include "sdk_support.h"
#include "support/settles.h"

#include "scsi_device.h"
#include "sdk_frame.h"

#include "kel/debug.h"
#include "kel/mdcfs.h"
#include "kel/pipe_client.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace sdktest {

namespace {

FakeHost g_host;

int takeControlAnswer(unsigned code) {
  auto it = g_host.controlAnswers.find(code);
  if (it == g_host.controlAnswers.end() || it->second.empty()) return g_host.defaultControl;
  const int r = it->second.front();
  it->second.pop_front();
  return r;
}

constexpr unsigned kReadAttribute = 0xC2007034;
constexpr unsigned kWriteAttribute = 0x800C7035;
constexpr std::size_t kAttributeRecord = 276;
constexpr std::size_t kValueAt = 268;

void* valueOf(const void* record) {
  std::uint64_t address = 0;
  std::memcpy(&address, static_cast<const std::uint8_t*>(record) + kValueAt, sizeof address);
  return reinterpret_cast<void*>(static_cast<std::uintptr_t>(address));
}

// Serves the attribute read as the engine does: 22 when the value does not
// fit, else id, format, length and the value.
int serveRead(void* buffer) {
  auto* record = static_cast<std::uint8_t*>(buffer);
  std::uint16_t id;
  std::uint32_t room;
  std::memcpy(&id, record, 2);
  std::memcpy(&room, record + 4, 4);
  auto it = g_host.attributes.find(id);
  if (it == g_host.attributes.end()) return 5;
  const Bytes& value = it->second.second;
  if (value.size() > room) return 22;
  record[2] = it->second.first;
  const auto length = static_cast<std::uint32_t>(value.size());
  std::memcpy(record + 4, &length, 4);
  if (!value.empty()) std::memcpy(valueOf(record), value.data(), value.size());
  return 0;
}

int onControl(unsigned code, void* buffer) {
  ControlCall call{code, {}, {}};
  if ((code == kReadAttribute || code == kWriteAttribute) && buffer) {
    const auto* b = static_cast<const std::uint8_t*>(buffer);
    call.record.assign(b, b + kAttributeRecord);
    if (code == kWriteAttribute) {
      std::uint32_t length;
      std::memcpy(&length, b + 4, 4);
      const auto* v = static_cast<const std::uint8_t*>(valueOf(b));
      call.value.assign(v, v + length);
    }
  }
  g_host.controls.push_back(call);
  if (g_host.hook) g_host.hook(code, buffer);
  const int scripted = takeControlAnswer(code);
  if (scripted != 0) return scripted;
  int served = 0;
  if (g_host.engine && g_host.engine(code, buffer, served)) return served;
  if (auto it = g_host.records.find(code); it != g_host.records.end() && !it->second.empty() && buffer) {
    const Bytes& record = it->second.front();
    std::memcpy(buffer, record.data(), record.size());
    if (it->second.size() > 1) it->second.pop_front();
    return 0;
  }
  if (code == 0x40107014 && buffer) {
    MDCFS_MOUNT_INFORMATION info{};
    info.MediumType = g_host.mediumType;
    std::memcpy(buffer, &info, sizeof info);
  }
  if (code == kReadAttribute) return serveRead(buffer);
  return 0;
}

int onMount() {
  ++g_host.mounts;
  return g_host.mountResult;
}

int onUnmount(bool force) {
  g_host.unmounts.push_back(force);
  return g_host.unmountResult;
}

int onLog(int level, int type, const char* function, int line, const char16_t* text) {
  g_host.logs.push_back({level, type, function ? function : "", line, text ? text : u""});
  return 0;
}

}  // namespace

FakeHost& host() { return g_host; }

void FakeHost::install(std::uint64_t sequence, int phase, bool withControl, bool withLog) {
  g_host = FakeHost{};
  KelDriveSDK_Quorvel_SetCallbacks(onMount, onUnmount, withControl ? onControl : nullptr, withLog ? onLog : nullptr,
                                   sequence, phase);
}

std::vector<unsigned> FakeHost::controlCodes() const {
  std::vector<unsigned> codes;
  for (const ControlCall& c : controls) codes.push_back(c.code);
  return codes;
}

bool FakeHost::logged(const std::string& text) const {
  const std::u16string w = wide(text);
  for (const LogLine& l : logs)
    if (l.text.find(w) != std::u16string::npos) return true;
  return false;
}

void clearCallbacks() { KelDriveSDK_Quorvel_SetCallbacks(nullptr, nullptr, nullptr, nullptr, 0, 0); }

std::u16string wide(const std::string& text) { return PxoUtilityLib::widen(text); }
std::string narrowText(const std::u16string& text) { return PxoUtilityLib::narrow(text); }

void SdkSimTest::start(const std::string& product, kelsim::CartridgeSetup cartridge, const std::string& revision,
                       const std::string& serial) {
  kelsim::HarnessOptions options;
  options.drive.product = product;
  options.drive.revision = revision;
  options.drive.serial = serial;
  options.cartridge = cartridge;
  sim_ = std::make_unique<kelsim::SimHarness>(options);
  EXPECT_TRUE(sim_->make_ready());  // the drive's power-on attention is taken, as a host does
  g_host.install();
}

void SdkSimTest::TearDown() {
  clearCallbacks();
  sim_.reset();
  // The library's client notices the closed pipe on its reader thread; the
  // next test must not write into the old connection.
  kel_test::settles([] { return !PxoUtilityLib::sdkServiceInterface().isConnected(); });
}

std::vector<std::uint8_t> volumeWithRoot(const udf_test::ImageSpec& spec, const std::vector<RootName>& names,
                                         bool ownBlocks) {
  constexpr std::size_t kSector = 2048;
  std::vector<std::uint8_t> medium;
  udf_test::build_volume(spec, medium);
  udf_test::MetadataContent content(medium, spec.metadata_lsn);
  const std::uint32_t root = content.alloc();
  const std::uint32_t entries = content.alloc();  // what every entry names: it is never read
  std::vector<std::uint8_t> fids;
  udf_test::MetadataContent::add_fid(fids, 0x0A, "", root);
  for (const RootName& n : names) udf_test::MetadataContent::add_fid(fids, n.characteristics, n.name, entries);
  if (ownBlocks) content.directory(root, 0, fids);
  else content.entry(root, 4, 0, fids.size(), fids.data(), static_cast<std::uint32_t>(fids.size()), 3);
  // The metadata file maps 32 blocks from the content's start.
  EXPECT_LE(content.bytes().size(), 32 * kSector);
  std::copy(content.bytes().begin(), content.bytes().end(), medium.begin() + std::size_t{spec.metadata_lsn} * kSector);
  return medium;
}

void writeSlot(kelsim::Cartridge& cartridge, int slot, const std::vector<std::uint8_t>& image) {
  const auto sectors = static_cast<std::uint32_t>(image.size() / 2048);
  ASSERT_EQ(cartridge.write_blocks(slot, 0, sectors, image.data()), ERROR_SUCCESS);
  kelsim::Disc& d = cartridge.disc(slot);
  d.formatted = true;
  d.status = kelsim::DiscStatus::Incomplete;
  d.tracks = {kelsim::Track{0, sectors, sectors, false, false}};
  ASSERT_EQ(cartridge.save(), ERROR_SUCCESS);
}

void SdkSimTest::formatLoadedDisc() {
  PxoUtilityLib::SptiCtrlDevice device(path());
  ASSERT_TRUE(device.open());
  const std::uint8_t cdb[12] = {0x04, 0x11};
  std::uint8_t list[12] = {0, 0, 0, 8};
  std::uint32_t length = sizeof list;
  std::uint8_t sense[3] = {};
  ASSERT_EQ(device.passThrough(cdb, sizeof cdb, list, &length, sense, nullptr, false), 0)
      << std::hex << int(sense[0]) << "/" << int(sense[1]) << "/" << int(sense[2]);
  clearTranscript();
}

std::vector<kelsim::TranscriptEntry> SdkSimTest::commands() const {
  std::vector<kelsim::TranscriptEntry> out;
  for (auto& e : sim_->service().transcript())
    if (!e.is_notice()) out.push_back(e);
  return out;
}

std::vector<kelsim::TranscriptEntry> SdkSimTest::commands(std::uint8_t opcode) const {
  std::vector<kelsim::TranscriptEntry> out;
  for (auto& e : commands())
    if (e.opcode() == opcode) out.push_back(e);
  return out;
}

}  // namespace sdktest

// Sink of the engine logger, which the image builder's UDF code writes to:
// the lines are kept, nothing is printed.
std::vector<std::string>& engineLogLines() {
  static std::vector<std::string> lines;
  return lines;
}
bool CheckLogLevel(int) { return true; }
void SendDebugStringA(int, const char* text) { engineLogLines().push_back(text ? text : ""); }
void SendDebugStringW(int, const WCHAR* text) {
  engineLogLines().push_back(text ? sdktest::narrowText(reinterpret_cast<const char16_t*>(text)) : "");
}
