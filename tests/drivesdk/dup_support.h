// Fixture of the duplication tests: a registry file of their own, drive
// letters naming temporary directories, and an engine stand-in behind the
// fake host callbacks that serves the node list, identity, file count, disc
// usage, flush, commit and mount records in the engine's layouts.
#pragma once

#include "sdk_support.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sdktest {

// A temporary directory, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// KEL_REGISTRY pointed at a file of the test's own for its lifetime.
class RegistryScope {
 public:
  RegistryScope();
  ~RegistryScope();

 private:
  ScratchDir dir_;
};

struct EngineNode {
  std::string path;  // '/'-separated from the root, "/" the root
  std::uint64_t id;
  std::uint64_t parent;
  std::uint64_t size;
  std::uint32_t attributes;
};

// The engine's side of the duplication's controls.
struct EngineVolume {
  std::vector<EngineNode> nodes;  // pre-order, the root first
  std::uint32_t countOverride = 0xFFFFFFFF;  // else files + directories
  std::string identity = "MUID0123456789ABCDEF";
  std::uint32_t files = 0, directories = 0;  // the file-count answer
  Bytes discUsage = Bytes(20, 0);
  std::uint8_t mediumType = 0xE1;
  std::uint8_t volumeType = 0;  // byte 14 of the mount information
  // The requests the node list saw: path and buffer size.
  std::vector<std::pair<std::string, std::uint32_t>> listRequests;
  std::vector<std::uint32_t> flushFlags;

  EngineVolume();
  void install();
  std::uint64_t add(const std::string& path, std::uint64_t size, std::uint32_t attributes);
  void setDiscUsage(std::uint8_t total, std::uint8_t lastWritten, std::uint64_t totalSize, std::uint64_t remaining);
  int serve(unsigned code, void* buffer);
  int nodeList(void* buffer);
};

// Files on disk.
void writeFile(const std::string& path, const Bytes& data);
Bytes readFile(const std::string& path);
bool exists(const std::string& path);
Bytes pattern(std::size_t size, std::uint8_t seed = 1);

}  // namespace sdktest
