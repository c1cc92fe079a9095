// A stand-in for the engine behind the 26-slot operation table: an
// in-memory volume (paths, object ids, sizes, extents, file bytes, volume
// information) whose slots keep the engine's contracts (records, errno-style
// results, listing callback), with failures injectable per slot and per path,
// and a record of every call with the sequence number and phase that were
// current when it was made.
#pragma once

#include "kel/fsops.h"

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace fakeengine {

struct Extent {
  std::uint64_t block = 0;
  std::uint32_t blocks = 0;
};

struct Node {
  bool folder = false;
  std::uint32_t id = 0;
  std::uint64_t size = 0;
  std::vector<Extent> extents;
  std::vector<std::uint8_t> data;
  std::uint32_t mode = 0;
  std::uint32_t flags = 0;
  bool hidden = false;
  std::vector<std::string> children;  // names, in the order of creation
};

struct Call {
  int slot = 0;
  std::string text;
  std::uint64_t seq = 0;
  std::uint32_t phase = 0;
};

class FakeEngine {
 public:
  // An empty, unmounted volume with only its root (id 1).
  void reset();

  // Tree. Paths are "/"-separated; runs of "/" count as one.
  void addFolder(const std::string& path, std::uint32_t id = 0);
  void addFile(const std::string& path, std::uint32_t id, std::uint64_t size = 0,
               std::vector<Extent> extents = {}, std::vector<std::uint8_t> data = {});
  Node* find(const std::string& path);
  bool exists(const std::string& path) { return find(path) != nullptr; }
  static std::string normalise(const std::string& path);

  // Volume state.
  bool mounted = false;
  bool mounted_at_rollback = false;
  KELFS_VOLUME_INFO volume{};  // what FsInfo reports (ParityRatio always 0)
  int medium_type = 0xE1;
  bool list_dots = true;  // listings begin with "." and ".."
  // Records Fsctl copies into the caller's buffer, by control code (other
  // codes leave the buffer as it was).
  std::map<unsigned, std::vector<std::uint8_t>> fsctl_answers;

  // Failures: the next `times` calls of a slot answer result; a slot call on
  // one path (the joined folder and name for name-based slots) always does.
  void failNext(int slot, int result, int times = 1);
  void failPath(int slot, const std::string& path, int result);

  // Record.
  std::vector<Call> calls;
  std::vector<std::u16string> logs;
  std::vector<std::string> texts(int slot = -1) const;  // call texts (of one slot)
  std::vector<Call> callsOf(int slot) const;
  int count(int slot) const { return static_cast<int>(callsOf(slot).size()); }

  // Used by the slots.
  int enter(int slot, const std::string& text, const std::string& path = "");
  Node* byHandle(void* handle);
  std::string pathOf(std::uint32_t id) const;
  std::uint32_t next_id = 1000;
  // The path of the file the last successful CreateFile made or opened.
  std::string last_created;
  // Keyed by path without regard to the case of ASCII letters, as the
  // engine's path tree resolves names.
  struct NoCaseLess {
    bool operator()(const std::string& a, const std::string& b) const;
  };
  std::map<std::string, Node, NoCaseLess> nodes;

 private:
  std::map<int, std::deque<int>> next_;
  std::map<std::pair<int, std::string>, int> by_path_;
};

FakeEngine& engine();
const FileSystemOperations& operations();

}  // namespace fakeengine
