// Shared pieces of the VFAM client: the exchange of one request and its
// answer, log helpers and the paths sent for a node.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "agent_log.h"
#include "kelagent/mdc_channel.h"

struct mdcudfsr_mount;
struct mdcudfsr_cache_node;

namespace kelagent::vfam {

constexpr int kTraceVfam = 17;

const char* volname(const mdcudfsr_mount* mp);
std::uint32_t tid();

inline void put_u16(std::uint8_t* p, std::uint16_t v) { std::memcpy(p, &v, sizeof v); }
inline void put_u32(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, sizeof v); }
inline void put_u64(std::uint8_t* p, std::uint64_t v) { std::memcpy(p, &v, sizeof v); }
inline std::uint32_t get_u32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline std::uint64_t get_u64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// One request on the mount's vfamdev channel and its answer; both are freed
// with the exchange unless the channel took the request.
class Exchange {
 public:
  explicit Exchange(const char* func) : func_(func) {}
  ~Exchange();
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;

  // Allocates the request; 22 without a mount, 6 without a channel, 12.
  int begin(mdcudfsr_mount* mp, std::uint32_t code, std::uint64_t payload_len);
  std::uint8_t* payload() { return req_->payload(); }
  std::uint32_t payload_size() const { return req_->hdr.payload_size; }
  // Writes a path with its terminator at off; 22 when it would not fit.
  int put_path(std::uint32_t off, const std::string& path);
  // Sends with the node's vnode (none without a node).
  int send(mdcudfsr_cache_node* node);
  // Waits for the answer with the nodes unlocked (last to first) and locks
  // them again (first to last); nulls are skipped. The wait's error.
  int await(mdcudfsr_cache_node* const* nodes, int count);
  int await(mdcudfsr_cache_node* node) { return await(&node, node ? 1 : 0); }
  int wait_answer();  // the wait alone
  // The answer's error, logged when not 0.
  int answer_error();
  // The answer payload when it holds at least len bytes, else null (logged).
  const std::uint8_t* answer(std::uint32_t len);
  std::uint32_t answer_size() const { return ans_->hdr.payload_size; }
  mdcudfsr_mount* mount() const { return mp_; }
  // Logs a failure of the exchange and passes it on; the last one is the
  // result the trace's "err=" line shows.
  int fail(int err, int line);
  void set_status(int err) { status_ = err; }
  // An open's answer: the handle its trace line shows (none: invalid).
  void set_open_handle(const std::uint64_t* handle) {
    open_ = true;
    handle_valid_ = handle != nullptr;
    if (handle) handle_ = *handle;
  }

 private:
  const char* func_;
  mdcudfsr_mount* mp_ = nullptr;
  mdc_channel* ch_ = nullptr;
  mdc_req_t* req_ = nullptr;
  mdc_ans_t* ans_ = nullptr;
  std::uint32_t seq_ = 0;
  std::uint32_t code_ = 0;
  bool sent_ = false;
  int status_ = 0;
  bool open_ = false, handle_valid_ = false;
  std::uint64_t handle_ = 0;
};

// The node's full path from the mount's root ("/" for the root).
int full_path(mdcudfsr_cache_node* n, std::string& out);
// The path sent for a node: a virtual node's full path, "/" and the proxy's
// name for a master; 95 for other kinds (logged as the open or the other
// requests log it), 1 for a master without proxy, 22 for a virtual node
// without its name.
int kind_path(mdcudfsr_cache_node* n, std::string& out, bool in_open);
// The open flags of a mode: access 0 read, 1 write, 2 both; other bits kept.
std::uint16_t open_flags(int mode);

}  // namespace kelagent::vfam
