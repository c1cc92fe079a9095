#include "kel/pipe_client.h"

#include "platform/pipe.h"
#include "platform/sync.h"
#include "platform/thread_start.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <poll.h>
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
constexpr std::uint32_t kControlRequestBytes = 176;  // a control request without its input
// The zero bytes that end every request.
constexpr std::uint8_t kZeros[kControlRequestBytes] = {};
static_assert(kQVRequestTrailer <= kControlRequestBytes && sizeof(QVControlRequestHeader) <= kControlRequestBytes);

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

// One connection to the service. Its messages are read by the threads that
// wait for answers on it, one at a time: the thread whose answer comes reads
// it itself, and hands on an answer or notification for another thread; a
// link is never reused: once it has ended, the next request makes a new one.
struct KEL_PIPECLIENT_LOCAL Link {
  std::shared_ptr<platform::PipeConnection> conn;
  // Guarded by the request lock:
  bool done = false;            // the link has ended
  DWORD error = 0;              // the error it ended with
  bool reading = false;         // a thread reads the connection
  std::uint64_t reader_key = 0;  // that thread's key (0: no request of its own)
};

// A request waiting for its answer.
struct KEL_PIPECLIENT_LOCAL Pending {
  std::condition_variable woken;  // with the request lock: answered, ended, or the link free to read
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

    // Request lock: connection, pending requests, who reads.
    std::mutex request_mu;
    std::string pipe_name;
    std::shared_ptr<Link> link;
    bool opened_once = false;
    DWORD reader_error = 0;
    std::atomic<std::uint32_t> read_buffer_size{0};  // changed under the request lock
    std::map<std::uint64_t, Pending*> pending;
    // Keys of cancelled requests whose answer may still come, with the link
    // it would come on. That answer is dropped, and the key's next request
    // waits for it (or the link's end), so that no answer is taken for a
    // later request of the same thread, whatever order the service answers in.
    std::map<std::uint64_t, std::shared_ptr<Link>> late;
    std::condition_variable late_cv;
    std::uint32_t late_waiters = 0;
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

    DWORD connect_locked(std::unique_lock<std::mutex>& lk, bool control);
    DWORD read_message(platform::PipeConnection& conn, std::vector<std::uint8_t>* msg, bool* oversized);
    void read_one_locked(std::unique_lock<std::mutex>& lk, const std::shared_ptr<Link>& l);
    template <class Done>
    void await_locked(std::unique_lock<std::mutex>& lk, const std::shared_ptr<Link>& l, std::uint64_t key,
                      std::condition_variable& cv, Done done);
    void pass_reading_on_locked(const std::shared_ptr<Link>& l);
    void drain_locked(std::unique_lock<std::mutex>& lk);
    void end_link_locked(const std::shared_ptr<Link>& l, DWORD err);
    void route_locked(const Link* from, std::vector<std::uint8_t>&& msg, bool oversized);
    void await_late_answer_locked(std::unique_lock<std::mutex>& lk, std::uint64_t key);
    void queue_notification(const std::uint8_t* record, std::size_t size);
    void dispatcher_main();
    bool exchange(std::uint8_t* head, const platform::PipeBuffer* parts, std::size_t count,
                  std::uint32_t answer_capacity, std::uint32_t min_buffer, std::vector<std::uint8_t>* answer);
  };

  std::shared_ptr<CRep> rep_;
};

// ---------------------------------------------------------------- connection

DWORD CQVServiceInterfaceImpl::CRep::connect_locked(std::unique_lock<std::mutex>& lk, bool control) {
  // An idle link may have ended, or hold notifications, since it was last read.
  drain_locked(lk);
  if (link && !link->done) return ERROR_SUCCESS;
  if (!volume_handles.empty()) return ERROR_SUCCESS;
  if (stopping) return kErrorServiceStopping;
  link.reset();

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

// ---------------------------------------------------------------- reading

// One whole message. One larger than any request may take keeps its head
// (for the key) and drops the rest; the request it belongs to fails.
DWORD CQVServiceInterfaceImpl::CRep::read_message(platform::PipeConnection& conn, std::vector<std::uint8_t>* msg,
                                                  bool* oversized) {
  std::uint32_t size = 0;
  DWORD err = conn.peek_message_size(&size);
  if (err != ERROR_SUCCESS) return err;
  if (stopping) return kErrorServiceStopping;
  *oversized = size > read_buffer_size.load();
  if (!*oversized) return conn.read_message(msg);
  std::vector<std::uint8_t> chunk(65536);
  std::size_t got = 0;
  err = conn.read(chunk.data(), chunk.size(), &got);
  msg->assign(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(got, 16)));
  while (err == ERROR_MORE_DATA) err = conn.read(chunk.data(), chunk.size(), &got);
  return err;
}

// Reads the next message of the link, whose reading this thread holds, and
// hands it to whom it belongs; a failed read ends the link. The lock is let
// go while the thread waits for the message.
void CQVServiceInterfaceImpl::CRep::read_one_locked(std::unique_lock<std::mutex>& lk,
                                                    const std::shared_ptr<Link>& l) {
  lk.unlock();
  std::vector<std::uint8_t> msg;
  bool oversized = false;
  const DWORD err = read_message(*l->conn, &msg, &oversized);
  lk.lock();
  if (err == ERROR_OPERATION_ABORTED) return;  // a cancel woke the reader: it looks again
  if (err != ERROR_SUCCESS) return end_link_locked(l, err);
  route_locked(l.get(), std::move(msg), oversized);
}

// Waits until done() holds or the link has ended, reading the link while no
// other thread does. A thread that stops reading wakes one that still waits,
// which reads next.
template <class Done>
void CQVServiceInterfaceImpl::CRep::await_locked(std::unique_lock<std::mutex>& lk, const std::shared_ptr<Link>& l,
                                                 std::uint64_t key, std::condition_variable& cv, Done done) {
  bool reading = false;
  while (!done() && !l->done && !stopping) {
    if (!reading) {
      if (l->reading) {
        cv.wait(lk);
        continue;
      }
      l->reading = reading = true;
      l->reader_key = key;
    }
    read_one_locked(lk, l);
  }
  if (reading) pass_reading_on_locked(l);
}

void CQVServiceInterfaceImpl::CRep::pass_reading_on_locked(const std::shared_ptr<Link>& l) {
  l->reading = false;
  l->reader_key = 0;
  for (auto& [key, p] : pending)
    if (p->link == l && !p->answered) {
      p->woken.notify_one();
      break;
    }
  if (late_waiters) late_cv.notify_all();
}

// Reads what the idle link holds without waiting: notifications, and the
// link's end, come while no request waits.
void CQVServiceInterfaceImpl::CRep::drain_locked(std::unique_lock<std::mutex>& lk) {
  const std::shared_ptr<Link> l = link;
  if (!l || l->done || l->reading) return;
  l->reading = true;
  for (;;) {
    pollfd pf{l->conn->native_handle(), POLLIN, 0};
    if (::poll(&pf, 1, 0) <= 0 || pf.revents == 0) break;
    read_one_locked(lk, l);
    if (l->done) break;
  }
  pass_reading_on_locked(l);
}

// Closes the connection and releases every request that waits on it; the
// next request connects again.
void CQVServiceInterfaceImpl::CRep::end_link_locked(const std::shared_ptr<Link>& l, DWORD err) {
  if (l->done) return;
  if (stopping) err = kErrorServiceStopping;
  if (err == ERROR_SUCCESS) err = ERROR_BROKEN_PIPE;
  if (err == ERROR_BROKEN_PIPE) {
    const QVNotificationRecord broken{sizeof(QVNotificationRecord), kQVNotifyPipeBroken, 0};
    queue_notification(reinterpret_cast<const std::uint8_t*>(&broken), sizeof broken);
  }
  l->conn->disconnect();
  l->done = true;
  l->error = err;
  if (link == l) reader_error = err;
  for (auto& [key, p] : pending)
    if (p->link == l) p->woken.notify_all();
  // No answer comes on this link any more.
  std::erase_if(late, [&](const auto& entry) { return entry.second == l; });
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
    p->woken.notify_all();
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
  {
    std::lock_guard<std::mutex> g(request_mu);
    if (link) link->conn->disconnect();  // wakes a thread that reads it
    late_cv.notify_all();
  }
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
  const auto l = late.find(key);
  if (l == late.end()) return;
  const std::shared_ptr<Link> on = l->second;
  ++late_waiters;
  await_locked(lk, on, 0, late_cv, [&] { return late.find(key) == late.end(); });
  --late_waiters;
  late.erase(key);
}

// Sends the message of the parts (its key field, in head, is filled here)
// and waits for its answer, reading the connection itself while no other
// thread does: the thread sleeps in the read until the answer comes.
bool CQVServiceInterfaceImpl::CRep::exchange(std::uint8_t* head, const platform::PipeBuffer* parts,
                                             std::size_t count, std::uint32_t answer_capacity,
                                             std::uint32_t min_buffer, std::vector<std::uint8_t>* answer) {
  const std::uint64_t key = GetCurrentThreadId();
  std::memcpy(head + 8, &key, sizeof key);
  Pending p;
  {
    std::unique_lock<std::mutex> g(request_mu);
    await_late_answer_locked(g, key);
    const DWORD e = connect_locked(g, false);
    if (e != ERROR_SUCCESS) return fail(e);
    const std::uint64_t need = static_cast<std::uint64_t>(answer_capacity) + 24;
    if (read_buffer_size.load() < need) read_buffer_size = pow2_at_least(need, min_buffer ? min_buffer : 1);
    if (pending.count(key)) return fail(ERROR_BUSY);
    p.link = link;
    pending[key] = &p;
  }
  const DWORD we = p.link->conn->write_parts(parts, count);
  std::unique_lock<std::mutex> g(request_mu);
  if (we != ERROR_SUCCESS) {
    pending.erase(key);
    // The connection is closed; the next request connects again.
    end_link_locked(p.link, ERROR_BROKEN_PIPE);
    return fail(we);
  }
  if (stopping) {
    pending.erase(key);
    return fail(kErrorServiceStopping);
  }
  await_locked(g, p.link, key, p.woken, [&] { return p.answered; });
  pending.erase(key);
  const DWORD link_error = p.link->error;
  g.unlock();
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
  std::unique_lock<std::mutex> g(r.request_mu);
  r.drain_locked(g);
  return (r.link && !r.link->done) || !r.volume_handles.empty();
}

bool CQVServiceInterface::reserved() { return false; }

std::uint32_t CQVServiceInterface::readBufferSize() const { return m_impl->rep_->read_buffer_size.load(); }

std::uint64_t CQVServiceInterface::notificationCount() const {
  auto& r = *m_impl->rep_;
  {
    std::unique_lock<std::mutex> g(r.request_mu);
    r.drain_locked(g);
  }
  return r.notification_count.load();
}

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
  p->woken.notify_all();
  // A thread asleep in the read of the connection is woken from it.
  if (p->link && p->link->reading && p->link->reader_key == thread_id) p->link->conn->cancel_read();
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
  // The data go from the caller's buffer as they are.
  std::uint8_t head[sizeof h + 255];
  std::memcpy(head, &h, sizeof h);
  if (cdb_length) std::memcpy(head + sizeof h, cdb, cdb_length);
  const platform::PipeBuffer parts[] = {
      {head, sizeof h + cdb_length}, {data, out ? transfer : 0}, {kZeros, kQVRequestTrailer}};

  std::vector<std::uint8_t> a;
  if (!m_impl->rep_->exchange(head, parts, 3, h.AnswerCapacity, 0, &a)) return false;
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
  const std::uint64_t length = std::uint64_t{kControlRequestBytes} + input_length;
  if (length > kMaxAnswer || output_capacity > kMaxAnswer) return fail(ERROR_INVALID_PARAMETER);
  auto& r = *m_impl->rep_;
  {
    std::unique_lock<std::mutex> g(r.request_mu);
    const DWORD e = r.connect_locked(g, true);
    if (e != ERROR_SUCCESS && r.volume_handles.empty()) return fail(ERROR_NOT_READY);
  }
  QVControlRequestHeader h{};
  h.TotalLength = static_cast<std::uint32_t>(length);
  h.Version = kQVRequestVersion;
  h.Flags = flags;
  h.ControlCode = code;
  h.InputLength = input_length;
  h.OutputCapacity = output_capacity;
  std::uint8_t head[sizeof h];
  std::memcpy(head, &h, sizeof h);
  const platform::PipeBuffer parts[] = {{head, sizeof h}, {input, input_length}, {kZeros, kControlRequestBytes - sizeof h}};

  std::vector<std::uint8_t> a;
  if (!r.exchange(head, parts, 3, output_capacity, kMinControlReadBuffer, &a)) return false;
  std::uint32_t payload = 0;
  if (!answer_status_ok(a, &payload)) return false;
  if (payload > output_capacity) return fail(ERROR_INTERNAL_ERROR);
  if (payload) std::memcpy(output, a.data() + sizeof(QVAnswerHeader), payload);
  if (returned) *returned = payload;
  return true;
}

}  // namespace kel
