// Shared fixture of the drive utility library's tests: a recording stand-in
// for the four host callbacks (the library's only road to the engine) and a
// simulated drive behind the real pipe.
#pragma once

#include "KelDriveSDK/KelDriveSDK.h"
#include "engine/udf/support_image.h"
#include "sim/harness.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sdktest {

using Bytes = std::vector<std::uint8_t>;

struct LogLine {
  int level;
  int type;
  std::string function;
  int line;
  std::u16string text;
};

// One call of the control callback: the code and, for the attribute
// requests, the engine record and the value bytes it pointed to.
struct ControlCall {
  unsigned code;
  Bytes record;
  Bytes value;
};

// The host callbacks: scripted answers per control code (taken in order,
// then `defaultControl`), a record of every call.
struct FakeHost {
  std::map<unsigned, std::deque<int>> controlAnswers;
  int defaultControl = 0;
  int mountResult = 0;
  int unmountResult = 0;
  // Answer of the mount-information control.
  std::uint8_t mediumType = 0xE1;
  // Attribute answers of the read control: id -> (format, value).
  std::map<std::uint16_t, std::pair<std::uint8_t, Bytes>> attributes;
  // Records the engine answers per control code, copied into the caller's
  // buffer in order; the last one stays (mount information included: it
  // then replaces the `mediumType` answer).
  std::map<unsigned, std::deque<Bytes>> records;
  // Called on every control call before its answer (a test's hook, such as
  // moving an injected clock).
  std::function<void(unsigned code, void* buffer)> hook;
  // Serves further engine controls: true when it handled the code (result
  // in its last argument). Asked after the scripted answers.
  std::function<bool(unsigned code, void* buffer, int& result)> engine;

  std::vector<ControlCall> controls;
  std::vector<bool> unmounts;
  int mounts = 0;
  std::vector<LogLine> logs;

  // Installs the callbacks (a null member leaves that callback empty).
  void install(std::uint64_t sequence = 0x5151, int phase = 4, bool withControl = true, bool withLog = true);
  std::vector<unsigned> controlCodes() const;
  bool logged(const std::string& text) const;
};

FakeHost& host();
// Empties every callback and the request identity.
void clearCallbacks();

std::u16string wide(const std::string& text);
std::string narrowText(const std::u16string& text);

// One entry of a root directory an image is built with: a name (8-bit
// characters) and its file characteristics (0x02 folder, 0x04 deleted).
struct RootName {
  std::string name;
  std::uint8_t characteristics = 0;
};
// A volume of the image builder whose root holds the parent entry and then
// the given entries: embedded in the root's entry, or with `ownBlocks` in
// blocks of their own.
std::vector<std::uint8_t> volumeWithRoot(const udf_test::ImageSpec& spec, const std::vector<RootName>& names,
                                         bool ownBlocks = false);
// Writes an image onto a slot of the cartridge as a formatted disc written
// up to its end.
void writeSlot(kelsim::Cartridge& cartridge, int slot, const std::vector<std::uint8_t>& image);

class SdkSimTest : public ::testing::Test {
 protected:
  void TearDown() override;
  // A harness with the given drive product (and revision, serial) and a
  // fresh fake host installed.
  void start(const std::string& product = "QMR-T300B", kelsim::CartridgeSetup cartridge = {},
             const std::string& revision = "1700", const std::string& serial = "KSIM00000001");
  std::u16string path() const { return wide(sim_->cookie_text()); }
  // The SCSI requests of the transcript (notices left out).
  std::vector<kelsim::TranscriptEntry> commands() const;
  std::vector<kelsim::TranscriptEntry> commands(std::uint8_t opcode) const;
  void clearTranscript() { sim_->service().clear_transcript(); }
  // FORMAT UNIT of the loaded disc as the engine's format sends it (FmtData,
  // a 12-byte list), through the library's pipe client: a write-once disc
  // takes writes only after it. Left out of the transcript.
  void formatLoadedDisc();

  std::unique_ptr<kelsim::SimHarness> sim_;
};

}  // namespace sdktest
