#include "vfam_support.h"

#include "support/settles.h"

#include "kelhost/gnrc.h"
#include "kelhost/kern.h"

#include <unistd.h>

#include <mutex>

namespace cache_test {

void Caller::start(std::vector<mdcudfsr_cache_node*> nodes, std::function<int()> call) {
  t_ = std::thread([this, nodes, call] {
    tid_ = static_cast<pid_t>(::syscall(SYS_gettid));
    for (auto* n : nodes) mdcudfsr_cache_lock_node(n, MDCUDFSR_WAIT_FOREVER);
    entered_ = true;
    result_ = call();
    for (auto* n : nodes) kept_locks_ = kept_locks_ && n->lock_owner == getThreadIdGnrc();
    for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) mdcudfsr_cache_unlock_node(*it);
    done_ = true;
  });
}

int Caller::join() {
  t_.join();
  return result_;
}

VfamVolume::VfamVolume() {
  bind_root();
  EXPECT_EQ(0, mdcudfsr_cache_create_shadow_node(&m, 0));
  mdcudfsr_vfamdev_init();
  ch = mdcudfsr_vfamdev_alloc(&m);
  EXPECT_NE(nullptr, ch);
  m.vfamdev = ch;
  m.mount_ext_flags |= MDCUDFSR_MNT_AGENT_STOPPED;  // as every mount starts
}

VfamVolume::~VfamVolume() {
  close_agent();
  mdcudfsr_vfamdev_free(ch);
  mdcudfsr_vfamdev_term();
}

void VfamVolume::open_agent() {
  ASSERT_EQ(0, mdcudfsr_vfamdev_open());
  opened_ = true;
}

void VfamVolume::close_agent() {
  if (opened_) mdcudfsr_vfamdev_close();
  opened_ = false;
}

mdcudfsr_cache_node* VfamVolume::virtual_node(mdcudfsr_cache_node* parent, const char* name) {
  std::string copy(name);
  mdcudfsr_cache_node* n = nullptr;
  EXPECT_EQ(0, mdcudfsr_cache_create_virtual_node(parent, copy.data(), -1, 0, 0, 0644, &n, nullptr));
  if (n) mdcudfsr_cache_unlock_node(n);
  return n;
}

mdcudfsr_cache_node* VfamVolume::master(mdcudfsr_cache_node* parent, const char* name) {
  mdcudfsr_cache_node* n = make(parent, name);
  if (!n) return nullptr;
  n->kind = MDCUDFSR_NODE_MASTER;
  EXPECT_EQ(0, mdcudfsr_cache_alloc_vfam_data(&m, n));
  EXPECT_EQ(0, mdcudfsr_cache_create_proxy_node(&m, n, 0, nullptr));
  return n;
}

Bytes VfamVolume::take_request() {
  Bytes buf(1 << 16);
  const std::uint32_t n = mdcudfsr_vfamdev_read(buf.data(), buf.size());
  buf.resize(n);
  return buf;
}

void VfamVolume::answer(const Bytes& request, std::int32_t error, const Bytes& payload) {
  ASSERT_GE(request.size(), sizeof(mdc_req_header_t));
  mdc_req_header_t rq;
  std::memcpy(&rq, request.data(), sizeof rq);
  mdc_ans_header_t h{rq.seq_id, rq.req_id, 0, static_cast<std::uint32_t>(payload.size()), error};
  Image img;
  img.raw(&h, sizeof h).raw(payload.data(), payload.size());
  ASSERT_EQ(img.b.size(), mdcudfsr_vfamdev_write(img.b.data(), img.b.size()));
}

Bytes VfamVolume::header(const Bytes& request, std::uint32_t req_id, std::uint32_t payload_size) {
  mdc_req_header_t rq{};
  if (request.size() >= sizeof rq) std::memcpy(&rq, request.data(), sizeof rq);
  mdc_req_header_t h{rq.seq_id, req_id, payload_size, static_cast<std::int64_t>(proc_selfpid())};
  Image img;
  img.raw(&h, sizeof h);
  return img.b;
}

bool VfamVolume::queue_empty() {
  std::lock_guard<std::mutex> g(ch->dev_lock);
  return ch->req_queue.empty();
}

bool settles(const std::function<bool()>& done) { return kel_test::settles(done); }

bool unowned(mdcudfsr_cache_node* n) {
  std::lock_guard<std::mutex> lk(n->lock_mutex);
  return n->lock_owner == 0;
}

}  // namespace cache_test
