// Runs the real request loop with the real handlers over the fake engine:
// request lines from a temporary file, elements into another, a fresh
// configuration, and a simulated host service on the pipe that receives the
// end-of-request notices.
#pragma once

#include "fake_engine.h"
#include "kel/handler.h"
#include "kel/volctrl.h"
#include "sim/harness.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace handlertest {

class HandlerHarness {
 public:
  // The simulated host service serves a drive and cartridge made from
  // options (by default an empty write-once cartridge).
  explicit HandlerHarness(kelsim::HarnessOptions options = {});
  ~HandlerHarness();
  HandlerHarness(const HandlerHarness&) = delete;
  HandlerHarness& operator=(const HandlerHarness&) = delete;

  // KELFS values of the configuration (lines such as
  // "\"Rollback Mount On Error\"=dword:00000001").
  void setRegistry(const std::vector<std::string>& value_lines);
  // Runs the loop over these request lines until the end of input (each
  // run is a new request interface, as a new engine process would be). A
  // "Sync" line runs the probe on the live interface instead of a handler.
  // ops: another operation table than the fake engine's. The loop's result
  // (the engine process's exit code).
  std::uint16_t run(const std::string& requests, const FileSystemOperations* ops = nullptr);
  std::function<void(CKelInterface&)> probe;
  // What the loop does when its input ends (the packed session's end, the
  // save and the unmount it runs before it returns) is left out of the
  // fake engine's and the writer's calls unless this is set: most tests
  // look at their requests' calls only.
  bool recordEndOfRun = false;
  // Called with each element as it is written (a host that fills or reads
  // the fragment buffer the element names).
  std::function<void(const std::string&)> onElement;

  // The elements written so far, and those since the last call.
  std::vector<std::string> elements();
  std::vector<std::string> newElements();
  // Element names and notices ("notice seq:phase") in the order they left.
  std::vector<std::string> ordered();
  // The end-of-request notices the host service received, as "seq:phase".
  std::vector<std::string> notices();
  // Every message the host service received, in order.
  std::vector<kelsim::TranscriptEntry> transcript();

  std::string cookieText() const { return sim_->cookie_text(); }
  kelsim::SimHarness& sim() { return *sim_; }
  fakeengine::FakeEngine& engine() { return fakeengine::engine(); }

  void sinkWrite(const char* data, std::size_t size);

 private:
  std::string dir_;
  std::FILE* in_ = nullptr;
  std::FILE* out_ = nullptr;
  std::size_t seen_ = 0;
  std::string bytes_;
  std::size_t element_start_ = 0;
  std::vector<std::size_t> notices_before_;
  // Where the records stood when the run's end began (see recordEndOfRun).
  bool end_marked_ = false;
  std::size_t end_engine_calls_ = 0, end_writer_calls_ = 0;
  std::unique_ptr<kelsim::SimHarness> sim_;
  kel::RequestHandlers table_;
  kel::ParityConstants saved_parity_{};
};

// A metadata file image as it stands on a volume.
struct MetaRecord {
  std::uint32_t object, generation, version;
};
std::vector<std::uint8_t> metaFile(std::uint32_t width, const std::string& id, std::uint32_t replica,
                                   const std::vector<MetaRecord>& records);
// Puts metadata file `index` on the fake volume.
void putMetaFile(std::uint32_t index, std::vector<std::uint8_t> bytes);

// A mounted-looking volume for FsInfo: track 2 of 1000 blocks from block
// 64, the current track full, volume type 0, last file index 42.
void setVolume(fakeengine::FakeEngine& e);

// One request line.
std::string line(std::uint64_t seq, const std::string& opcode, const std::string& attributes = "");
// The probe's request line.
std::string probeLine(std::uint64_t seq);

// Elements written by handlers.
std::string success(std::uint64_t seq);
std::string hresult(std::uint64_t seq, std::uint32_t hr);
// The value of one attribute of an element ("" when it has none).
std::string attribute(const std::string& element, const std::string& name);
// The element's name.
std::string elementName(const std::string& element);

}  // namespace handlertest
