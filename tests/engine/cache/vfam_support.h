// A volume whose vfamdev channel is open by a test agent: the test thread
// plays the agent through the channel's agent side while the client's call
// runs on a caller thread with its node locked there.
#pragma once

#include "support.h"

#include "kelagent/mdc_channel.h"
#include "kelagent/vfam_client.h"
#include "platform/sync.h"
#include "support/settles.h"

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace cache_test {

using Bytes = std::vector<std::uint8_t>;

// Little-endian pieces of an image.
struct Image {
  Bytes b;
  Image& u16(std::uint16_t v) { return raw(&v, 2); }
  Image& u32(std::uint32_t v) { return raw(&v, 4); }
  Image& u64(std::uint64_t v) { return raw(&v, 8); }
  Image& str(const std::string& s) { return raw(s.c_str(), s.size() + 1); }  // with its terminator
  Image& zeros(std::size_t n) { b.insert(b.end(), n, 0); return *this; }
  Image& raw(const void* p, std::size_t n) {
    const auto* c = static_cast<const std::uint8_t*>(p);
    b.insert(b.end(), c, c + n);
    return *this;
  }
};

// A call of the client on its own thread.
class Caller {
 public:
  ~Caller() { if (t_.joinable()) t_.join(); }
  // Runs call with the nodes locked on the caller thread; records whether
  // they were still locked by it afterwards.
  void start(std::vector<mdcudfsr_cache_node*> nodes, std::function<int()> call);
  int join();
  bool done() const { return done_.load(); }
  // True once the call has begun and its thread sleeps in a wait.
  bool waits_inside_call() const { return entered_.load() && kel_test::sleeps_in_wait(tid_.load()); }
  bool kept_locks() const { return kept_locks_; }

 private:
  std::thread t_;
  std::atomic<bool> done_{false};
  std::atomic<bool> entered_{false};
  std::atomic<pid_t> tid_{0};
  int result_ = -1;
  bool kept_locks_ = true;
};

class VfamVolume : public Volume {
 public:
  VfamVolume();
  ~VfamVolume();
  mdc_channel* ch = nullptr;
  platform::ManualClock clock;

  // Kinds of nodes the client serves.
  mdcudfsr_cache_node* virtual_node(mdcudfsr_cache_node* parent, const char* name);
  mdcudfsr_cache_node* master(mdcudfsr_cache_node* parent, const char* name);
  mdcudfsr_cache_node* dir(const char* name) { return make(root, name, true); }

  void open_agent();
  void close_agent();
  // The next request image (blocks until one is queued).
  Bytes take_request();
  // Answers a request image with an error and payload.
  void answer(const Bytes& request, std::int32_t error, const Bytes& payload = {});
  // The header a request image must begin with.
  Bytes header(const Bytes& request, std::uint32_t req_id, std::uint32_t payload_size);
  bool queue_empty();

 private:
  platform::ScopedClock scoped_{clock};
  bool opened_ = false;
};

// Polls until done() holds (yielding, no sleep); false when it never did.
bool settles(const std::function<bool()>& done);

// Whether no thread holds the node's lock; read under the node's lock mutex,
// as the lock writes its owner.
bool unowned(mdcudfsr_cache_node* n);

}  // namespace cache_test
