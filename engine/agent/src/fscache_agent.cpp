// The cache agent thread: serves the metacache channel one request at a time.
#include "kelagent/fscache_agent.h"

#include "agent_bytes.h"
#include "agent_log.h"
#include "kelagent/mdc_channel.h"
#include "kelagent/metacache.h"
#include "kelhost/kern_errno.h"
#include "platform/sync.h"
#include "platform/thread_start.h"

#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

using namespace kelagent;

int g_fscache_agent_argc = 0;

namespace {

// The largest read served: the engine's piece of 8 MiB.
constexpr std::uint32_t kMaxReadLength = MDC_FILE_WRITE_PIECE;

const mdc_req_header_t& header_of(const std::uint8_t* req) {
  return *reinterpret_cast<const mdc_req_header_t*>(req);
}
const std::uint8_t* payload_of(const std::uint8_t* req) { return req + sizeof(mdc_req_header_t); }

// Answer image with room for the payload; throws std::bad_alloc.
std::uint8_t* make_answer(std::vector<std::uint8_t>* answer, std::uint32_t payload) {
  answer->assign(sizeof(mdc_ans_header_t) + payload, 0);
  put32(answer->data() + 16, payload);
  return answer->data() + sizeof(mdc_ans_header_t);
}

// A request whose payload is shorter than its code needs is refused.
bool short_payload(const std::uint8_t* req, std::uint32_t need) {
  return header_of(req).payload_size < need;
}

struct DispatchRow {
  std::uint32_t code;
  CVFAMObject22::DispatchEntry entry;
};

const DispatchRow kDispatch[] = {
    {MDC_REQ_FSMANAGE_OPEN, &CVFAMObject22::DispatchOpenFsManageCache},
    {MDC_REQ_LOCALFILE_OPEN, &CVFAMObject22::DispatchOpenLocalMetaCache},
    {MDC_REQ_EFEFILE_OPEN, &CVFAMObject22::DispatchUnsupported},
    {MDC_REQ_FILE_CLOSE, &CVFAMObject22::DispatchClose},
    {MDC_REQ_FILE_READ, &CVFAMObject22::DispatchRead},
    {MDC_REQ_FILE_WRITE, &CVFAMObject22::DispatchWrite},
    {MDC_REQ_FILE_DELETE, &CVFAMObject22::DispatchDelete},
    {MDC_REQ_FSMANAGE_DELETE, &CVFAMObject22::DispatchDeleteFsManage},
    {MDC_REQ_FILE_TRUNCATE, &CVFAMObject22::DispatchTruncate},
    {0xFFFFFFFFu, nullptr},
};

}  // namespace

int CVFAMObject22::DispatchOpenFsManageCache(const std::uint8_t* req, std::vector<std::uint8_t>* answer) {
  if (short_payload(req, 168)) return KEL_EINVAL;
  const std::uint8_t* p = payload_of(req);
  char serial[33] = {};
  std::memcpy(serial, p, 32);
  // The answer first: a file opened without an answer to carry its handle
  // would stay open for good.
  std::uint8_t* a = make_answer(answer, 20);
  std::uint32_t cache_err = 0, coherent = 0, created = 0;
  std::uint64_t handle = 0;
  const int r = OnOpenFsManageCache(serial, p + 36, get32(p + 32), get32(p + 164), &cache_err, &handle, &coherent,
                                    &created);
  put32(a, cache_err);
  put64(a + 4, handle);
  put32(a + 12, coherent);
  put32(a + 16, created);
  return r;
}

int CVFAMObject22::DispatchOpenLocalMetaCache(const std::uint8_t* req, std::vector<std::uint8_t>* answer) {
  if (short_payload(req, 55)) return KEL_EINVAL;
  const std::uint8_t* p = payload_of(req);
  char name[52] = {};
  std::memcpy(name, p, 51);
  std::uint8_t* a = make_answer(answer, 12);  // before the file is opened
  std::uint32_t cache_err = 0;
  std::uint64_t handle = 0;
  const int r = OnOpenLocalMetaCache(name, get32(p + 51), &cache_err, &handle);
  put32(a, cache_err);
  put64(a + 4, handle);
  return r;
}

int CVFAMObject22::DispatchUnsupported(const std::uint8_t*, std::vector<std::uint8_t>* answer) {
  std::uint32_t cache_err = 0;
  const int r = OnUnsupportedRequest(&cache_err);
  std::uint8_t* a = make_answer(answer, 12);
  put32(a, cache_err);
  put64(a + 4, static_cast<std::uint64_t>(-1));
  return r;
}

int CVFAMObject22::DispatchClose(const std::uint8_t* req, std::vector<std::uint8_t>* answer) {
  if (short_payload(req, 8)) return KEL_EINVAL;
  std::uint8_t* a = make_answer(answer, 4);
  std::uint32_t cache_err = 0;
  const int r = OnCloseMetaCache(static_cast<std::int32_t>(get32(payload_of(req))), &cache_err);
  put32(a, cache_err);
  return r;
}

int CVFAMObject22::DispatchRead(const std::uint8_t* req, std::vector<std::uint8_t>* answer) {
  if (short_payload(req, 16)) return KEL_EINVAL;
  const std::uint8_t* p = payload_of(req);
  const auto handle = static_cast<std::int32_t>(get32(p));
  const std::uint64_t offset = get64(p + 4);
  const std::uint32_t length = get32(p + 12);
  if (length > kMaxReadLength) {
    KELC_LOG(kLogErr, "read length %u is above %u\n", length, kMaxReadLength);
    put32(make_answer(answer, 8), MDC_CACHE_FILE_ERROR);
    return KEL_EINVAL;
  }
  // Room for what the file holds there, never more than asked.
  const auto room = static_cast<std::uint32_t>(std::min<std::uint64_t>(length, ReadableLength(handle, offset)));
  std::uint8_t* a = make_answer(answer, 8 + room);
  std::uint32_t cache_err = 0, got = 0;
  const int r = OnReadMetaCache(handle, offset, room, &cache_err, &got, a + 8);
  put32(a, cache_err);
  put32(a + 4, got);
  answer->resize(sizeof(mdc_ans_header_t) + 8 + got);
  put32(answer->data() + 16, 8 + got);
  return r;
}

int CVFAMObject22::DispatchWrite(const std::uint8_t* req, std::vector<std::uint8_t>* answer) {
  if (short_payload(req, 16)) return KEL_EINVAL;
  const std::uint8_t* p = payload_of(req);
  const std::uint32_t length = get32(p + 12);
  // The data must be inside the request that carries it.
  if (header_of(req).payload_size - 16 < length) return KEL_EINVAL;
  std::uint8_t* a = make_answer(answer, 8);
  std::uint32_t cache_err = 0, written = 0;
  const int r = OnWriteMetaCache(static_cast<std::int32_t>(get32(p)), get64(p + 4), length, p + 16, &cache_err,
                                 &written);
  put32(a, cache_err);
  put32(a + 4, written);
  return r;
}

int CVFAMObject22::DispatchDelete(const std::uint8_t* req, std::vector<std::uint8_t>* answer) {
  if (short_payload(req, 51)) return KEL_EINVAL;
  char name[52] = {};
  std::memcpy(name, payload_of(req), 51);
  std::uint8_t* a = make_answer(answer, 4);
  std::uint32_t cache_err = 0;
  const int r = OnDeleteMetaCache(name, &cache_err);
  put32(a, cache_err);
  return r;
}

int CVFAMObject22::DispatchDeleteFsManage(const std::uint8_t* req, std::vector<std::uint8_t>* answer) {
  if (short_payload(req, 32)) return KEL_EINVAL;
  char serial[33] = {};
  std::memcpy(serial, payload_of(req), 32);
  std::uint8_t* a = make_answer(answer, 4);
  std::uint32_t cache_err = 0;
  const int r = OnDeleteFsManageCache(serial, &cache_err);
  put32(a, cache_err);
  return r;
}

int CVFAMObject22::DispatchTruncate(const std::uint8_t* req, std::vector<std::uint8_t>* answer) {
  if (short_payload(req, 8)) return KEL_EINVAL;
  const std::uint8_t* p = payload_of(req);
  std::uint8_t* a = make_answer(answer, 4);
  std::uint32_t cache_err = 0;
  const int r = OnTruncateMetaCache(static_cast<std::int32_t>(get32(p)), get32(p + 4), &cache_err);
  put32(a, cache_err);
  return r;
}

int CVFAMObject22::Start(int argc, char** argv) {
  int result = 0;
  try {
    // Options "L:" (value taken and ignored) and "S"; scanning stops at the
    // first argument that is not an option.
    int optind = 1;
    while (optind < argc && argv[optind] && argv[optind][0] == '-' && argv[optind][1] != '\0') {
      const char* a = argv[optind];
      if (std::strcmp(a, "--") == 0) { ++optind; break; }
      ++optind;
      for (const char* c = a + 1; *c; ++c) {
        if (*c == 'L') {
          if (c[1] == '\0' && optind < argc) ++optind;  // value in the next argument
          break;
        }
      }
    }
    if (!(argc > optind + 1)) {
      KELC_LOG(kLogErr, "invalid arg , optind=%d, argc=%d\n", optind, argc);
      throw 22;
    }
    m_MountPath = argv[optind] ? argv[optind] : "";
    if (m_MountPath.empty()) {
      KELC_LOG(kLogErr, "%s\n", "!m_MountPath.empty()");
      throw 22;
    }
    int err = mdcudfsr_metacache_open();
    if (err) {
      KELC_LOG(kLogErr, "err=%d\n", err);
      // Only our own successful open may be closed.
      return err;
    }
    try {
      err = OnMount();
      if (err) {
        KELC_LOG(kLogErr, "err=%d\n", err);
        throw err;
      }
      MainLoop();
      err = OnUnmount();
      if (err) {
        KELC_LOG(kLogErr, "err=%d\n", err);
        throw err;
      }
    } catch (int e) {
      KELC_LOG(kLogErr, "exception catch err = %d\n", e);
      result = e;
    }
    mdcudfsr_metacache_close();
    return result;
  } catch (int e) {
    // Failed before the channel was opened: there is nothing to close.
    KELC_LOG(kLogErr, "exception catch err = %d\n", e);
    result = e;
  }
  return result;
}

int CVFAMObject22::Serve(DispatchEntry entry, const std::uint8_t* req, std::vector<std::uint8_t>* answer) {
  // A failure thrown out of a handler fails that request alone; the agent
  // goes on serving the mount.
  try {
    return (this->*entry)(req, answer);
  } catch (const std::bad_alloc&) {
    KELC_LOG(kLogErr, "%s\n", "no memory for the answer");
    answer->clear();
    return KEL_ENOMEM;
  } catch (const boost::system::system_error& e) {
    KELC_LOG(kLogErr, "agent: catch exception filesystem_error=%d msg=%s\n", e.code().value(), e.what());
  } catch (const std::exception& e) {
    KELC_LOG(kLogErr, "agent: catch exception msg=%s\n", e.what());
  } catch (...) {
    KELC_LOG(kLogErr, "agent: catch exception msg=Unknown\n");
  }
  answer->clear();
  return KEL_EIO;
}

int CVFAMObject22::MainLoop() {
  int result = 0;
  try {
    for (;;) {
      mdc_req_header_t hdr{};
      const std::uint32_t got = mdcudfsr_metacache_read(&hdr, sizeof hdr);
      if (got == 0) break;
      KELC_LOG(kLogDebug, "Requested reqid=%d seqid=%d payload=%d\n", static_cast<int>(hdr.req_id),
               static_cast<int>(hdr.seq_id), static_cast<int>(hdr.payload_size));
      if (hdr.req_id == MDC_REQ_STOP) return 0;
      if (got != sizeof hdr) {
        KELC_LOG(kLogErr, "%s\n", "ReadSize == sizeof( mdc_req_header_t )");
        throw 125;
      }
      std::vector<std::uint8_t> image;
      if (hdr.payload_size) {
        try {
          image.resize(sizeof hdr + hdr.payload_size);
        } catch (const std::bad_alloc&) {
          KELC_LOG(kLogErr, "%s\n", "pRequest");
          throw 12;
        }
        if (mdcudfsr_metacache_read(image.data(), image.size()) == 0) {
          KELC_LOG(kLogErr, "%s\n", "ReadSize != ( uint32_t )0");
          throw 125;
        }
      } else {
        image.resize(sizeof hdr);
        std::memcpy(image.data(), &hdr, sizeof hdr);
      }
      m_RequesterPid = hdr.pid;
      std::vector<std::uint8_t> answer;
      const DispatchRow* row = kDispatch;
      while (row->code != 0xFFFFFFFFu && row->code != hdr.req_id) ++row;
      if (row->entry) {
        result = Serve(row->entry, image.data(), &answer);
      } else {
        // Every request gets an answer, so that no sender waits forever.
        result = KEL_EINVAL;
      }
      if (answer.empty()) {
        KELC_LOG(kLogDebug, "NULL Answer\n");
        answer.assign(sizeof(mdc_ans_header_t), 0);
      }
      mdc_ans_header_t ah;
      std::memcpy(&ah, answer.data(), sizeof ah);
      ah.seq_id = hdr.seq_id;
      ah.req_id = hdr.req_id;
      ah.error = result;
      std::memcpy(answer.data(), &ah, sizeof ah);
      KELC_LOG(kLogDebug, "Answered reqid=%d seqid=%d payload=%d err=%d\n", static_cast<int>(ah.req_id),
               static_cast<int>(ah.seq_id), static_cast<int>(ah.payload_size), result);
      mdcudfsr_metacache_write(answer.data(), answer.size());
    }
  } catch (int e) {
    KELC_LOG(kLogErr, "Exception (errno=%d)\n", e);
    return e;
  } catch (...) {
    KELC_LOG(kLogErr, "Exception!!\n");
  }
  return result;
}

void* fscache_handler_start(void* argv) {
  CVFAMHandler22 handler;
  const int r = handler.Start(g_fscache_agent_argc, static_cast<char**>(argv));
  KELC_LOG(kLogInfo, "handler22.Start return %d...", r);
  return nullptr;
}

FsCacheAgentStart* FsCacheAgent_new_start(char** argv) {
  return new (std::nothrow) FsCacheAgentStart{argv, mdcudfsr_metacache_issue_ticket()};
}

void* fscache_ticketed_handler_start(void* start) {
  const std::unique_ptr<FsCacheAgentStart> s(static_cast<FsCacheAgentStart*>(start));
  mdcudfsr_metacache_hold_ticket(s->ticket);
  return fscache_handler_start(s->argv);
}

std::uint32_t FsCacheAgent_main_func(int argc, char** argv) {
  g_fscache_agent_argc = argc;
  std::uint32_t tid = 0;
  const std::uint64_t ticket = mdcudfsr_metacache_issue_ticket();
  try {
    platform::Event started(true, false);
    std::thread t = platform::start_thread([argv, ticket, &tid, &started] {
      mdcudfsr_metacache_hold_ticket(ticket);
      tid = GetCurrentThreadId();
      started.set();
      fscache_handler_start(argv);
    });
    started.wait();
    t.detach();
  } catch (const std::system_error& e) {
    KELC_LOG(kLogErr, "fscache_handler_start CreateThread and run failed. err(%d)", e.code().value());
    return 0;
  }
  KELC_LOG(kLogNotice, "TID[%08x]", tid);
  return tid;
}

void FsCacheAgent_stop_unopened() { mdcudfsr_metacache_cancel_openers(); }
