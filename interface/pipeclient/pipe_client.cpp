#include "kel/pipe_client.h"

#include "platform/pipe.h"
#include "platform/sync.h"
#include "platform/thread_start.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace kel {
namespace {

constexpr DWORD kErrorServiceStopping = 1067;  // ERROR_PROCESS_ABORTED
constexpr std::uint32_t kMinControlReadBuffer = 4096;
constexpr std::uint64_t kMaxAnswer = 0x40000000;  // answers above 1 GiB are refused as arguments

bool fail(DWORD code) {
  SetLastError(code);
  return false;
}

std::uint32_t pow2_at_least(std::uint64_t n, std::uint32_t start) {
  std::uint64_t p = start ? start : 1;
  while (p < n) p <<= 1;
  return static_cast<std::uint32_t>(p);
}

template <class T>
T get(const std::vector<std::uint8_t>& m, std::size_t off) {
  T v;
  std::memcpy(&v, m.data() + off, sizeof v);
  return v;
}

}  // namespace

// One connection to the service and the reader thread that serves it. A
// link is never reused: once its reader has ended, the next request makes a
// new one.
struct KEL_PIPECLIENT_LOCAL Link {
  std::shared_ptr<platform::PipeConnection> conn;
  std::thread reader;
  bool done = false;  // the reader has ended (guarded by the request lock)
  DWORD error = 0;    // the error it ended with
};

// A request waiting for its answer.
struct KEL_PIPECLIENT_LOCAL Pending {
  platform::Event answered_event{true, false};
  std::shared_ptr<Link> link;
  bool answered = false;
  bool oversized = false;  // the answer was larger than any request may take
  std::vector<std::uint8_t> answer;
};

class KEL_PIPECLIENT_LOCAL CQVServiceInterfaceImpl {
 public:
  explicit CQVServiceInterfaceImpl(const char* pipe_name) : rep_(std::make_shared<CRep>(pipe_name)) {}

  struct KEL_PIPECLIENT_LOCAL CRep {
    explicit CRep(const char* name) : pipe_name(name ? name : kQVPipeName) {}
    ~CRep();

    // Request lock: connection, read buffer size, pending requests.
    std::mutex request_mu;
    std::string pipe_name;
    std::shared_ptr<Link> link;
    bool opened_once = false;
    DWORD reader_error = 0;
    std::uint32_t read_buffer_size = 0;
    std::map<std::uint64_t, Pending*> pending;
    // Keys of cancelled requests whose answer may still come, with the link
    // it would come on. That answer is dropped, and the key's next request
    // waits for it (or the link's end), so that no answer is taken for a
    // later request of the same thread, whatever order the service answers in.
    std::map<std::uint64_t, std::shared_ptr<Link>> late;
    std::condition_variable late_cv;
    std::uint32_t late_waiters = 0;
    std::vector<std::shared_ptr<Link>> ended;  // links whose reader thread still needs a join
    std::atomic<bool> stopping{false};
    std::vector<std::pair<std::string, int>> volume_handles;  // never filled on this platform
    CDriveLetterFinder finder;

    // Registration lock: receivers and the notification queue.
    std::mutex registration_mu;
    std::condition_variable dispatcher_cv;
    std::multimap<std::uint64_t, std::pair<void*, QVNotificationCallback>> registrations;
    std::set<std::uint64_t> registration_ids;
    std::deque<std::vector<std::uint8_t>> notifications;
    std::thread dispatcher;
    bool dispatcher_running = false;
    std::atomic<std::uint64_t> notification_count{0};

    DWORD connect_locked(bool control);
    void reader_main(std::shared_ptr<Link> link);
    void route_locked(const Link* from, std::vector<std::uint8_t>&& msg, bool oversized);
    void await_late_answer_locked(std::unique_lock<std::mutex>& lk, std::uint64_t key);
    void queue_notification(const std::uint8_t* record, std::size_t size);
    void dispatcher_main();
    bool exchange(std::vector<std::uint8_t>& msg, std::uint32_t answer_capacity, std::uint32_t min_buffer,
                  std::vector<std::uint8_t>* answer);
  };

  std::shared_ptr<CRep> rep_;
};

// ---------------------------------------------------------------- connection

DWORD CQVServiceInterfaceImpl::CRep::connect_locked(bool control) {
  if (link && !link->done) return ERROR_SUCCESS;
  if (!volume_handles.empty()) return ERROR_SUCCESS;
  if (stopping) return kErrorServiceStopping;
  if (link) {
    ended.push_back(std::move(link));
    link.reset();
  }
  for (auto& old : ended)
    if (old->reader.joinable()) old->reader.join();  // it has signalled its end and holds no lock
  ended.clear();

  const std::string name = "\\\\.\\pipe\\" + pipe_name;
  std::unique_ptr<platform::PipeConnection> conn;
  DWORD e = platform::connect_pipe(name, &conn);
  if (e == ERROR_PIPE_BUSY) {
    e = platform::wait_named_pipe(name, 10000);
    if (e == ERROR_SUCCESS) e = platform::connect_pipe(name, &conn);
  }
  if (e == ERROR_SUCCESS) {
    opened_once = true;
    auto l = std::make_shared<Link>();
    l->conn = std::shared_ptr<platform::PipeConnection>(std::move(conn));
    try {
      l->reader = platform::start_thread([this, l] { reader_main(l); });
    } catch (const std::system_error&) {
      l->conn->disconnect();
      return ERROR_NOT_ENOUGH_MEMORY;
    }
    reader_error = 0;
    link = std::move(l);
    return ERROR_SUCCESS;
  }
  // Only a control request may fall back to the volumes of the host's file
  // system, and only when the pipe was never opened.
  // On this platform the search finds no volume (1168), so nothing is kept.
  if (control && !opened_once && pipe_name == kQVPipeName) finder.find();
  return e;
}

// ---------------------------------------------------------------- reader

void CQVServiceInterfaceImpl::CRep::reader_main(std::shared_ptr<Link> self) {
  DWORD err = ERROR_SUCCESS;
  std::vector<std::uint8_t> chunk;
  while (true) {
    std::uint32_t size = 0;
    err = self->conn->peek_message_size(&size);
    if (err != ERROR_SUCCESS) break;
    if (stopping) {
      err = kErrorServiceStopping;
      break;
    }
    std::uint32_t limit;
    {
      std::lock_guard<std::mutex> g(request_mu);
      limit = read_buffer_size;
    }
    std::vector<std::uint8_t> msg;
    bool oversized = false;
    if (size <= limit) {
      err = self->conn->read_message(&msg);
      if (err != ERROR_SUCCESS) break;
    } else {
      // Larger than any request may take: keep its head (for the key), drop
      // the rest, and fail the request it belongs to.
      oversized = true;
      chunk.resize(65536);
      std::size_t got = 0;
      err = self->conn->read(chunk.data(), chunk.size(), &got);
      msg.assign(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(got, 16)));
      while (err == ERROR_MORE_DATA) err = self->conn->read(chunk.data(), chunk.size(), &got);
      if (err != ERROR_SUCCESS) break;
    }
    std::lock_guard<std::mutex> g(request_mu);
    route_locked(self.get(), std::move(msg), oversized);
  }
  if (stopping) err = kErrorServiceStopping;
  if (err == ERROR_SUCCESS) err = ERROR_BROKEN_PIPE;
  if (err == ERROR_BROKEN_PIPE) {
    const QVNotificationRecord broken{sizeof(QVNotificationRecord), kQVNotifyPipeBroken, 0};
    queue_notification(reinterpret_cast<const std::uint8_t*>(&broken), sizeof broken);
  }
  // Close the connection and release every request that waits on it; the
  // next request connects again.
  self->conn->disconnect();
  std::lock_guard<std::mutex> g(request_mu);
  self->done = true;
  self->error = err;
  if (link == self) reader_error = err;
  for (auto& [key, p] : pending)
    if (p->link == self) p->answered_event.set();
  // No answer comes on this link any more.
  std::erase_if(late, [&](const auto& entry) { return entry.second == self; });
  late_cv.notify_all();
}

void CQVServiceInterfaceImpl::CRep::route_locked(const Link* from, std::vector<std::uint8_t>&& msg,
                                                 bool oversized) {
  if (msg.size() < sizeof(std::uint64_t)) return;  // no key: nobody to give it to
  const auto key = get<std::uint64_t>(msg, 0);
  if (key != 0) {
    auto l = late.find(key);
    if (l != late.end() && l->second.get() == from) {
      // The answer of a cancelled request: dropped.
      late.erase(l);
      late_cv.notify_all();
      return;
    }
    auto it = pending.find(key);
    if (it == pending.end() || it->second->answered) return;  // nobody waits for it
    Pending* p = it->second;
    p->answer = std::move(msg);
    p->oversized = oversized;
    p->answered = true;
    p->answered_event.set();
    return;
  }
  if (oversized || msg.size() < sizeof(QVAnswerHeader)) return;
  const auto payload = get<std::uint32_t>(msg, 12);
  if (payload < sizeof(QVNotificationRecord) || payload > msg.size() - sizeof(QVAnswerHeader)) return;
  const std::uint8_t* record = msg.data() + sizeof(QVAnswerHeader);
  std::uint32_t length;
  std::memcpy(&length, record, sizeof length);
  if (length < sizeof(QVNotificationRecord) || length > payload) return;
  queue_notification(record, length);
}

// ---------------------------------------------------------------- notifications

void CQVServiceInterfaceImpl::CRep::queue_notification(const std::uint8_t* record, std::size_t size) {
  std::lock_guard<std::mutex> g(registration_mu);
  if (stopping) return;
  try {
    notifications.emplace_back(record, record + size);
    if (!dispatcher_running) {
      if (dispatcher.joinable()) dispatcher.join();  // ended on its own, holds no lock
      dispatcher = platform::start_thread([this] { dispatcher_main(); });
      dispatcher_running = true;
    }
  } catch (const std::exception&) {
    return;  // the record is lost; nothing waits for it
  }
  ++notification_count;
  dispatcher_cv.notify_all();
}

void CQVServiceInterfaceImpl::CRep::dispatcher_main() {
  std::unique_lock<std::mutex> lk(registration_mu);
  while (!stopping) {
    if (notifications.empty()) {
      dispatcher_cv.wait(lk);
      continue;
    }
    std::vector<std::uint8_t> record = std::move(notifications.front());
    notifications.pop_front();
    QVNotificationRecord head;
    std::memcpy(&head, record.data(), sizeof head);
    std::vector<std::pair<std::uint64_t, std::pair<void*, QVNotificationCallback>>> receivers;
    for (const auto& r : registrations)
      if (head.Key == 0 || r.first == head.Key) receivers.push_back(r);
    for (const auto& [kind, receiver] : receivers) {
      if (!registration_ids.count(reinterpret_cast<std::uint64_t>(receiver.first))) continue;
      lk.unlock();
      receiver.second(kind, receiver.first, head.Kind, head.Length, record.data());
      lk.lock();
    }
  }
  dispatcher_running = false;
}

CQVServiceInterfaceImpl::CRep::~CRep() {
  stopping = true;
  std::shared_ptr<Link> l;
  std::vector<std::shared_ptr<Link>> old;
  {
    std::lock_guard<std::mutex> g(request_mu);
    l = link;
    old.swap(ended);
    late_cv.notify_all();
  }
  if (l) {
    l->conn->disconnect();  // wakes the reader
    if (l->reader.joinable()) l->reader.join();
  }
  for (auto& o : old)
    if (o->reader.joinable()) o->reader.join();
  {
    std::lock_guard<std::mutex> g(registration_mu);
    registrations.clear();
    registration_ids.clear();
  }
  dispatcher_cv.notify_all();
  if (dispatcher.joinable()) dispatcher.join();
}

// ---------------------------------------------------------------- exchange

void CQVServiceInterfaceImpl::CRep::await_late_answer_locked(std::unique_lock<std::mutex>& lk,
                                                            std::uint64_t key) {
  auto gone = [&] {
    auto l = late.find(key);
    return l == late.end() || l->second->done;
  };
  if (!gone()) {
    ++late_waiters;
    late_cv.wait(lk, [&] { return stopping || gone(); });
    --late_waiters;
  }
  late.erase(key);
}

// Sends msg (whose key field is filled here) and waits for its answer.
bool CQVServiceInterfaceImpl::CRep::exchange(std::vector<std::uint8_t>& msg, std::uint32_t answer_capacity,
                                             std::uint32_t min_buffer, std::vector<std::uint8_t>* answer) {
  const std::uint64_t key = GetCurrentThreadId();
  std::memcpy(msg.data() + 8, &key, sizeof key);
  Pending p;
  {
    std::unique_lock<std::mutex> g(request_mu);
    await_late_answer_locked(g, key);
    const DWORD e = connect_locked(false);
    if (e != ERROR_SUCCESS) return fail(e);
    const std::uint64_t need = static_cast<std::uint64_t>(answer_capacity) + 24;
    if (read_buffer_size < need) read_buffer_size = pow2_at_least(need, min_buffer ? min_buffer : 1);
    if (pending.count(key)) return fail(ERROR_BUSY);
    p.link = link;
    pending[key] = &p;
  }
  auto remove = [&] {
    std::lock_guard<std::mutex> g(request_mu);
    pending.erase(key);
  };
  const DWORD we = p.link->conn->write(msg.data(), msg.size());
  if (we != ERROR_SUCCESS) {
    remove();
    p.link->conn->disconnect();  // the reader ends and the next request reconnects
    return fail(we);
  }
  if (stopping) {
    remove();
    return fail(kErrorServiceStopping);
  }
  p.answered_event.wait(INFINITE);
  DWORD link_error;
  {
    std::lock_guard<std::mutex> g(request_mu);
    pending.erase(key);
    link_error = p.link->error;
  }
  if (!p.answered) return fail(link_error ? link_error : kErrorServiceStopping);
  if (p.oversized) return fail(ERROR_INTERNAL_ERROR);
  *answer = std::move(p.answer);
  return true;
}

// ---------------------------------------------------------------- facade

CQVServiceInterface::CQVServiceInterface(const char* pipe_name) : m_impl(new CQVServiceInterfaceImpl(pipe_name)) {}

CQVServiceInterface::~CQVServiceInterface() { delete m_impl; }

bool CQVServiceInterface::isConnected() {
  auto& r = *m_impl->rep_;
  std::lock_guard<std::mutex> g(r.request_mu);
  return (r.link && !r.link->done) || !r.volume_handles.empty();
}

bool CQVServiceInterface::reserved() { return false; }

std::uint32_t CQVServiceInterface::readBufferSize() const {
  auto& r = *m_impl->rep_;
  std::lock_guard<std::mutex> g(r.request_mu);
  return r.read_buffer_size;
}

std::uint64_t CQVServiceInterface::notificationCount() const { return m_impl->rep_->notification_count.load(); }

std::uint32_t CQVServiceInterface::lateAnswerWaiters() const {
  auto& r = *m_impl->rep_;
  std::lock_guard<std::mutex> g(r.request_mu);
  return r.late_waiters;
}

bool CQVServiceInterface::cancelRequest(std::uint64_t thread_id) {
  auto& r = *m_impl->rep_;
  std::lock_guard<std::mutex> g(r.request_mu);
  auto it = r.pending.find(thread_id);
  if (it == r.pending.end() || it->second->answered) return false;
  Pending* p = it->second;
  // An answer can still come only while the request's link reads.
  if (p->link && !p->link->done) r.late[thread_id] = p->link;
  const QVAnswerHeader head{thread_id, kStatusCancelled, 0};
  p->answer.assign(reinterpret_cast<const std::uint8_t*>(&head),
                   reinterpret_cast<const std::uint8_t*>(&head) + sizeof head);
  p->answered = true;
  p->answered_event.set();
  return true;
}

namespace {

// The status of an answer; false with the error set when it is not 0.
bool answer_status_ok(const std::vector<std::uint8_t>& a, std::uint32_t* payload_length) {
  if (a.size() < sizeof(QVAnswerHeader)) return fail(ERROR_INTERNAL_ERROR);
  const auto status = get<std::int32_t>(a, 8);
  if (status < 0) return fail(NtStatusToWin32Error(status));
  if (status > 0) return fail(static_cast<DWORD>(status));
  *payload_length = get<std::uint32_t>(a, 12);
  // The payload must have come whole.
  if (*payload_length > a.size() - sizeof(QVAnswerHeader)) return fail(ERROR_INTERNAL_ERROR);
  return true;
}

}  // namespace

bool CQVServiceInterface::sendScsiCommand(std::uint32_t flags, std::uint64_t medium_cookie, std::uint8_t unmount,
                                          std::uint64_t sequence, std::uint32_t phase, std::uint8_t data_out,
                                          std::uint32_t timeout_seconds, const std::uint8_t* cdb,
                                          std::uint8_t cdb_length, std::uint8_t* sense,
                                          std::uint8_t* sense_length, void* data,
                                          std::uint32_t* transfer_length) {
  const std::uint32_t transfer = transfer_length ? *transfer_length : 0;
  const std::uint8_t sense_capacity = sense_length ? *sense_length : 0;
  if (transfer_length) *transfer_length = 0;
  if (sense_length) *sense_length = 0;
  if ((cdb_length && !cdb) || (transfer && !data) || (sense_capacity && !sense)) return fail(ERROR_INVALID_PARAMETER);

  const bool out = data_out != 0;
  const std::uint64_t answer_capacity =
      8 + (out ? sense_capacity : std::max<std::uint64_t>(sense_capacity, transfer));
  const std::uint64_t length = sizeof(QVScsiRequestHeader) + cdb_length + (out ? transfer : 0) + kQVRequestTrailer;
  if (answer_capacity > kMaxAnswer || length > kMaxAnswer) return fail(ERROR_INVALID_PARAMETER);

  std::vector<std::uint8_t> msg;
  try {
    msg.assign(static_cast<std::size_t>(length), 0);
  } catch (const std::bad_alloc&) {
    return fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  QVScsiRequestHeader h{};
  h.TotalLength = static_cast<std::uint32_t>(length);
  h.Version = kQVRequestVersion;
  h.Flags = flags;
  h.RequestCode = kQVScsiRequestCode;
  h.PayloadLength = cdb_length + (out ? transfer : 0);
  h.AnswerCapacity = static_cast<std::uint32_t>(answer_capacity);
  h.MediumCookie = medium_cookie;
  h.Unmount = unmount;
  h.SequenceNumber = sequence;
  h.Phase = phase;
  h.DataOut = out ? 1 : 0;
  h.CdbLength = cdb_length;
  h.SenseCapacity = sense_capacity;
  h.TransferLength = transfer;
  h.TimeoutSeconds = timeout_seconds;
  std::memcpy(msg.data(), &h, sizeof h);
  if (cdb_length) std::memcpy(msg.data() + sizeof h, cdb, cdb_length);
  if (out && transfer) std::memcpy(msg.data() + sizeof h + cdb_length, data, transfer);

  std::vector<std::uint8_t> a;
  if (!m_impl->rep_->exchange(msg, h.AnswerCapacity, 0, &a)) return false;
  std::uint32_t payload = 0;
  if (!answer_status_ok(a, &payload)) return false;
  if (payload < sizeof(QVScsiAnswerPayload)) return fail(ERROR_INTERNAL_ERROR);
  const std::uint8_t got_sense = a[16];
  const auto got_data = get<std::uint32_t>(a, 20);
  const std::uint32_t bytes = payload - static_cast<std::uint32_t>(sizeof(QVScsiAnswerPayload));
  const std::uint8_t* body = a.data() + sizeof(QVAnswerHeader) + sizeof(QVScsiAnswerPayload);
  if (got_sense != 0) {
    if (got_sense > bytes) return fail(ERROR_INTERNAL_ERROR);
    // A longer sense is cut to the capacity, as a pass-through cuts it.
    const std::uint8_t n = std::min(got_sense, sense_capacity);
    if (n) std::memcpy(sense, body, n);
    if (sense_length) *sense_length = n;
    return true;
  }
  if (got_data != 0) {
    // Data in only for a data-in command, never beyond what it asked for.
    if (got_data > bytes || out || got_data > transfer) return fail(ERROR_INTERNAL_ERROR);
    std::memcpy(data, body, got_data);
    if (transfer_length) *transfer_length = got_data;
  }
  return true;
}

bool CQVServiceInterface::controlRequest(std::uint32_t flags, std::uint32_t code, const void* input,
                                         std::uint32_t input_length, void* output,
                                         std::uint32_t output_capacity, std::uint32_t* returned) {
  if (returned) *returned = 0;
  if ((input_length && !input) || (output_capacity && !output)) return fail(ERROR_INVALID_PARAMETER);
  const std::uint64_t length = 176ull + input_length;
  if (length > kMaxAnswer || output_capacity > kMaxAnswer) return fail(ERROR_INVALID_PARAMETER);
  auto& r = *m_impl->rep_;
  {
    std::lock_guard<std::mutex> g(r.request_mu);
    const DWORD e = r.connect_locked(true);
    if (e != ERROR_SUCCESS && r.volume_handles.empty()) return fail(ERROR_NOT_READY);
  }
  std::vector<std::uint8_t> msg;
  try {
    msg.assign(static_cast<std::size_t>(length), 0);
  } catch (const std::bad_alloc&) {
    return fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  QVControlRequestHeader h{};
  h.TotalLength = static_cast<std::uint32_t>(length);
  h.Version = kQVRequestVersion;
  h.Flags = flags;
  h.ControlCode = code;
  h.InputLength = input_length;
  h.OutputCapacity = output_capacity;
  std::memcpy(msg.data(), &h, sizeof h);
  if (input_length) std::memcpy(msg.data() + sizeof h, input, input_length);

  std::vector<std::uint8_t> a;
  if (!r.exchange(msg, output_capacity, kMinControlReadBuffer, &a)) return false;
  std::uint32_t payload = 0;
  if (!answer_status_ok(a, &payload)) return false;
  if (payload > output_capacity) return fail(ERROR_INTERNAL_ERROR);
  if (payload) std::memcpy(output, a.data() + sizeof(QVAnswerHeader), payload);
  if (returned) *returned = payload;
  return true;
}

}  // namespace kel
