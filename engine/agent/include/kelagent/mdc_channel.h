// In-process request channels between the engine and its agent threads.
//
// Two channels imitate character devices inside the process: the metacache
// channel ("kelfsc0") to the file-system cache agent and the vfamdev channel
// ("pxowo0") to a VFAM user agent. The engine queues a request and waits for
// the answer with the same sequence id; the agent opens the channel, reads
// requests one at a time and writes answers.
#pragma once

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
struct mdc_channel {
  enum Kind { kMetacache, kVfamdev };

  char name[32];
  mdcudfsr_mount* mount;
  std::uint32_t status;
  std::mutex dev_lock;
  std::condition_variable close_cv;
  std::uint32_t io_count;
  std::int64_t agent_pid;
  std::uint32_t next_seq;
  std::mutex busy_lock;
  std::uint64_t wait_start;
  std::uint64_t wait_end;
  std::mutex req_lock;
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
mdc_channel* mdcudfsr_metacache_alloc(mdcudfsr_mount* mp);
int mdcudfsr_metacache_free(mdc_channel* ch);
int mdcudfsr_metacache_mark_will_free(mdc_channel* ch);
std::uint32_t mdcudfsr_metacache_is_opened(mdc_channel* ch);
int mdcudfsr_metacache_wait_close(mdc_channel* ch, std::uint32_t msec);
std::int64_t mdcudfsr_metacache_get_agent_pid(mdc_channel* ch);
std::uint64_t mdcudfsr_metacache_busy_time(mdc_channel* ch);
mdc_req_t* mdcudfsr_metacache_alloc_req(mdc_channel* ch, std::int32_t payload_len);
mdc_ans_t* mdcudfsr_metacache_alloc_ans(mdc_channel* ch, std::uint32_t payload_len);
void mdcudfsr_metacache_free_req(mdc_channel* ch, mdc_req_t* req);
void mdcudfsr_metacache_free_ans(mdc_channel* ch, mdc_ans_t* ans);
int mdcudfsr_metacache_send_req(mdc_channel* ch, mdc_req_t* req, vnode* vp);
int mdcudfsr_metacache_wait_ans(mdc_channel* ch, std::int32_t seq_id, mdc_ans_t** out);

// Agent side of the metacache channel (the single channel record).
int mdcudfsr_metacache_open();
std::uint32_t mdcudfsr_metacache_read(void* buf, std::uint64_t size);
std::uint64_t mdcudfsr_metacache_write(const void* ans, std::uint64_t size);
int mdcudfsr_metacache_close();
int mdcudfsr_metacache_stop(mdcudfsr_mount* mp);

// The vfamdev twin.
int mdcudfsr_vfamdev_init();
int mdcudfsr_vfamdev_term();
mdc_channel* mdcudfsr_vfamdev_alloc(mdcudfsr_mount* mp);
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

// What a VFAM user agent's open and last close start and stop on the mount.
// The VFAM client installs these; without them open and close only manage
// the channel.
using mdcudfsr_vfam_hook = int (*)(mdcudfsr_mount*);
void mdcudfsr_vfamdev_set_hooks(mdcudfsr_vfam_hook start, mdcudfsr_vfam_hook stop);

// The channel records (tests and the volume code look at them).
mdc_channel* mdcudfsr_metacache_channel();
mdc_channel* mdcudfsr_vfamdev_channel();
