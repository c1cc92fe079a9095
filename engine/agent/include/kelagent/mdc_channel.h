// In-process request channels between the engine and its agent threads.
//
// Two channels imitate character devices inside the process: the metacache
// channel ("kelfsc0") to the file-system cache agent and the vfamdev channel
// ("pxowo0") to a VFAM user agent. The engine queues a request and waits for
// the answer with the same sequence id; the agent opens the channel, reads
// requests one at a time and writes answers.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>

struct mdcudfsr_mount;
struct vnode;

#pragma pack(push, 1)
struct mdc_req_header_t {
  std::uint32_t seq_id;
  std::uint32_t req_id;
  std::uint32_t payload_size;
  std::int64_t pid;
};
struct mdc_ans_header_t {
  std::uint32_t seq_id;
  std::uint32_t req_id;
  std::uint64_t life;
  std::uint32_t payload_size;
  std::int32_t error;
};
#pragma pack(pop)
static_assert(sizeof(mdc_req_header_t) == 20, "request header image is 20 bytes");
static_assert(sizeof(mdc_ans_header_t) == 24, "answer header image is 24 bytes");

constexpr std::uint32_t MDC_REQ_STOP = 0x8FFFFFFFu;

// A request: its header image immediately followed by the payload.
struct mdc_req_t {
  mdc_req_t* next;
  mdc_req_t* prev;
  vnode* vp;
  std::uint32_t alloc_size;
  mdc_req_header_t hdr;
  std::uint8_t* image() { return reinterpret_cast<std::uint8_t*>(&hdr); }
  std::uint8_t* payload() { return image() + sizeof(mdc_req_header_t); }
};

struct mdc_ans_t {
  mdc_ans_t* next;
  mdc_ans_t* prev;
  vnode* vp;
  std::uint32_t alloc_size;
  mdc_ans_header_t hdr;
  std::uint8_t* image() { return reinterpret_cast<std::uint8_t*>(&hdr); }
  std::uint8_t* payload() { return image() + sizeof(mdc_ans_header_t); }
};

enum mdc_channel_status : std::uint32_t {
  METACACHE_UNINIT = 0,
  METACACHE_ALLOCATED = 1,
  METACACHE_OPENED = 2,
  METACACHE_WILL_FREE = 3,
};
enum : std::uint32_t {
  VFAMDEV_UNINIT = 0,
  VFAMDEV_ALLOCATED = 1,
  VFAMDEV_OPENED = 2,
  VFAMDEV_WILL_FREE = 3,
};

// One channel record. Both kinds share the layout; the kind decides the
// differences (name, busy stamps, allocator, wait step, open behaviour).
//
// Locking: the device lock is the one lock of the channel's state (name,
// mount, status, opener count, agent pid, next sequence id, the request
// queue and the openers waiting for the allocation). The sent lock and the
// answer lock are each taken alone or after the device lock, never together
// and never before it; the busy lock is taken alone. The status, opener
// count and agent pid change only under the device lock; being atomic, they
// may be read without it.
struct mdc_channel {
  enum Kind { kMetacache, kVfamdev };

  char name[32];
  mdcudfsr_mount* mount;
  std::atomic<std::uint32_t> status;
  std::mutex dev_lock;
  std::condition_variable close_cv;
  std::condition_variable alloc_cv;  // openers waiting for the allocation
  std::atomic<std::uint32_t> io_count;
  std::atomic<std::int64_t> agent_pid;
  std::uint32_t next_seq;
  std::uint32_t open_waiters;  // openers blocked until the allocation
  std::mutex busy_lock;
  std::uint64_t wait_start;
  std::uint64_t wait_end;
  std::condition_variable req_cv;
  std::list<mdc_req_t*> req_queue;
  std::mutex ans_lock;
  std::condition_variable ans_cv;
  std::list<mdc_ans_t*> ans_queue;
  std::mutex sent_lock;
  std::list<mdc_req_t*> sent_list;
  mdc_req_t* sent_table[16];

  Kind kind;
};
using mdcudfsr_metacache_dev = mdc_channel;
using mdcudfsr_vfamdev_dev = mdc_channel;

// Engine side of the metacache channel.
int mdcudfsr_metacache_init();
int mdcudfsr_metacache_term();
// None when the channel is taken: by another mount, or still open by the
// agent of an earlier mount whose close timed out; *err (when given) is then
// 16, else 0.
mdc_channel* mdcudfsr_metacache_alloc(mdcudfsr_mount* mp, int* err = nullptr);
int mdcudfsr_metacache_free(mdc_channel* ch);
int mdcudfsr_metacache_mark_will_free(mdc_channel* ch);
std::uint32_t mdcudfsr_metacache_is_opened(mdc_channel* ch);
int mdcudfsr_metacache_wait_close(mdc_channel* ch, std::uint32_t msec);
// 0 once an agent has opened the channel, 138 when none did within msec
// (on the process clock).
int mdcudfsr_metacache_wait_open(mdc_channel* ch, std::uint32_t msec);
std::int64_t mdcudfsr_metacache_get_agent_pid(mdc_channel* ch);
std::uint64_t mdcudfsr_metacache_busy_time(mdc_channel* ch);
mdc_req_t* mdcudfsr_metacache_alloc_req(mdc_channel* ch, std::int32_t payload_len);
mdc_ans_t* mdcudfsr_metacache_alloc_ans(mdc_channel* ch, std::uint32_t payload_len);
void mdcudfsr_metacache_free_req(mdc_channel* ch, mdc_req_t* req);
void mdcudfsr_metacache_free_ans(mdc_channel* ch, mdc_ans_t* ans);
int mdcudfsr_metacache_send_req(mdc_channel* ch, mdc_req_t* req, vnode* vp);
int mdcudfsr_metacache_wait_ans(mdc_channel* ch, std::int32_t seq_id, mdc_ans_t** out);

// Agent side of the metacache channel (the single channel record).
// 0; 16 when another opener has the channel (also for an opener that
// waited for the allocation and lost to another); 6 when the opener's agent
// was stopped before it opened (mdcudfsr_metacache_cancel_openers).
int mdcudfsr_metacache_open();
std::uint32_t mdcudfsr_metacache_read(void* buf, std::uint64_t size);
std::uint64_t mdcudfsr_metacache_write(const void* ans, std::uint64_t size);
int mdcudfsr_metacache_close();
int mdcudfsr_metacache_stop(mdcudfsr_mount* mp);

// Agent threads of the metacache channel. Each one takes a ticket, in start
// order, when it is started, and holds it on its own thread; its open
// presents it.
std::uint64_t mdcudfsr_metacache_issue_ticket();
void mdcudfsr_metacache_hold_ticket(std::uint64_t ticket);
// Stops every agent started so far that has not opened the channel: its
// open, waiting now or reached later, gives up with 6. For a mount that
// failed before its agent opened the channel.
void mdcudfsr_metacache_cancel_openers();
// Number of openers blocked until the channel is allocated.
std::uint32_t mdcudfsr_metacache_open_waiters();

// The vfamdev twin.
int mdcudfsr_vfamdev_init();
int mdcudfsr_vfamdev_term();
mdc_channel* mdcudfsr_vfamdev_alloc(mdcudfsr_mount* mp, int* err = nullptr);
int mdcudfsr_vfamdev_free(mdc_channel* ch);
int mdcudfsr_vfamdev_mark_will_free(mdc_channel* ch);
std::uint32_t mdcudfsr_vfamdev_is_opened(mdc_channel* ch);
int mdcudfsr_vfamdev_wait_close(mdc_channel* ch, std::uint32_t msec);
std::int64_t mdcudfsr_vfamdev_get_agent_pid(mdc_channel* ch);
mdc_req_t* mdcudfsr_vfamdev_alloc_req(mdc_channel* ch, std::int32_t payload_len);
mdc_ans_t* mdcudfsr_vfamdev_alloc_ans(mdc_channel* ch, std::uint32_t payload_len);
void mdcudfsr_vfamdev_free_req(mdc_channel* ch, mdc_req_t* req);
void mdcudfsr_vfamdev_free_ans(mdc_channel* ch, mdc_ans_t* ans);
int mdcudfsr_vfamdev_send_req(mdc_channel* ch, mdc_req_t* req, vnode* vp);
int mdcudfsr_vfamdev_wait_ans(mdc_channel* ch, std::int32_t seq_id, mdc_ans_t** out,
                              std::uint32_t wait_step_sec);
int mdcudfsr_vfamdev_open();
std::uint32_t mdcudfsr_vfamdev_read(void* buf, std::uint64_t size);
std::uint64_t mdcudfsr_vfamdev_write(const void* ans, std::uint64_t size);
int mdcudfsr_vfamdev_close();

// The channel records (tests and the volume code look at them).
mdc_channel* mdcudfsr_metacache_channel();
mdc_channel* mdcudfsr_vfamdev_channel();
