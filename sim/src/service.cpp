#include "sim/service.h"

#include "sim/wire.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace kelsim {

namespace {

std::vector<std::uint8_t> answer_head(std::uint64_t key, std::int32_t status, std::uint32_t payload_length) {
  std::vector<std::uint8_t> h(sizeof(AnswerHeader));
  AnswerHeader a{key, status, payload_length};
  std::memcpy(h.data(), &a, sizeof(a));
  return h;
}

// Direction of the data of the operations the drive knows.
enum class Direction { In, Out, None, Unknown };

Direction direction_of(const std::uint8_t* cdb, std::size_t len) {
  switch (cdb[0]) {
    case 0x2A: case 0x55: case 0x8D: case 0xCF: case 0xDB:
      return Direction::Out;
    case 0x04:  // FORMAT UNIT sends a parameter list only with FmtData
      return len > 1 && (cdb[1] & 0x10) ? Direction::Out : Direction::None;
    case 0x03: case 0x12: case 0x23: case 0x25: case 0x28: case 0x4A: case 0x51: case 0x52: case 0x5A:
    case 0x8C: case 0xAC: case 0xAD: case 0xBD: case 0xC3: case 0xD5: case 0xDA:
      return Direction::In;
    case 0x00: case 0x1B: case 0x1E: case 0x2F: case 0x35: case 0x53: case 0x5B:
    case 0xA6: case 0xC6: case 0xD2: case 0xDC: case 0xE6:
      return Direction::None;
    default:
      return Direction::Unknown;
  }
}

// A request the transport would refuse: its stated lengths, version or
// trailer do not match the message, its data flows the wrong way for its
// operation, or a WRITE(10) carries other than its blocks x 2048 bytes.
bool well_formed(const std::vector<std::uint8_t>& msg, const ScsiRequestHeader& h) {
  if (h.total_length != msg.size() || h.version != kRequestVersion || h.payload_length < h.cdb_length) return false;
  if (msg.size() != sizeof(ScsiRequestHeader) + static_cast<std::size_t>(h.payload_length) + kRequestTrailer)
    return false;
  if (std::any_of(msg.end() - kRequestTrailer, msg.end(), [](std::uint8_t b) { return b != 0; })) return false;
  const std::uint32_t out_len = h.payload_length - h.cdb_length;
  if (h.data_out > 1 || (!h.data_out && out_len != 0) || (h.data_out && h.transfer_length != out_len)) return false;
  if (h.cdb_length == 0) return !h.data_out;
  const std::uint8_t* cdb = msg.data() + sizeof(ScsiRequestHeader);
  const Direction dir = direction_of(cdb, h.cdb_length);
  if (h.data_out && (dir == Direction::In || dir == Direction::None)) return false;
  if (!h.data_out && dir == Direction::Out && h.transfer_length != 0) return false;
  if (h.data_out && cdb[0] == 0x2A && h.cdb_length >= 9 &&
      out_len != static_cast<std::uint32_t>(get_be16(cdb + 7)) * kBlockSize)
    return false;
  return true;
}

}  // namespace

// The answer to one command as a pass-through builds it: sense cut to the
// sense capacity, data cut to the transfer length, all within the answer
// capacity; sense or data, never both. A CHECK CONDITION whose sense has no
// room is a transport failure, never GOOD.
struct HostService::Answer {
  std::int32_t status = 0;
  ScsiAnswerPayload payload{};
  std::array<std::uint8_t, 18> sense{};
  std::vector<std::uint8_t> data;
  std::size_t body_len = 0;
};

void HostService::build_answer(const ScsiRequestHeader& h, const ScsiResult& r, Answer* a) {
  const std::size_t room = h.answer_capacity > 8 ? h.answer_capacity - 8 : 0;
  if (r.check_condition) {
    a->sense = r.sense_bytes();
    a->body_len = std::min<std::size_t>({a->sense.size(), h.sense_capacity, room});
    a->payload.sense_length = static_cast<std::uint8_t>(a->body_len);
    if (a->body_len == 0 || h.answer_capacity < 8) a->status = kStatusSenseLost;
  } else if (!h.data_out) {
    a->body_len = std::min<std::size_t>({a->data.size(), h.transfer_length, room});
    a->payload.data_in_length = static_cast<std::uint32_t>(a->body_len);
  }
  if (a->status != 0) {
    a->body_len = 0;
    a->payload = ScsiAnswerPayload{};
  }
}

struct HostService::Conn {
  int id = 0;
  int pid = 0;  // the client's process (0: unknown)
  std::unique_ptr<platform::PipeConnection> pipe;

  // True once the client has closed its end, before the connection's
  // thread has seen it.
  bool gone() const {
    if (!pipe->connected()) return true;
    pollfd p{pipe->native_handle(), POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
  }
};

namespace {

int peer_process(const platform::PipeConnection& pipe) {
  ucred cred{};
  socklen_t len = sizeof cred;
  return ::getsockopt(pipe.native_handle(), SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 ? cred.pid : 0;
}

}  // namespace

std::string TranscriptEntry::line() const {
  std::ostringstream o;
  char buf[64];
  std::snprintf(buf, sizeof(buf), "#%d seq=%llu phase=%u cookie=%llx%s", connection,
                static_cast<unsigned long long>(sequence), phase, static_cast<unsigned long long>(cookie),
                unmount ? " unmount" : "");
  o << buf;
  if (request_code != kScsiRequestCode) {
    std::snprintf(buf, sizeof(buf), " control=%08x", request_code);
    o << buf;
  } else if (cdb.empty()) {
    o << " notice";
  } else {
    o << " CDB=";
    for (std::size_t i = 0; i < cdb.size(); ++i) {
      std::snprintf(buf, sizeof(buf), "%s%02X", i ? " " : "", cdb[i]);
      o << buf;
    }
    o << (data_out ? " out=" : " in=") << data_length;
  }
  if (!answered) {
    o << " -> dropped";
  } else if (status != 0) {
    o << " -> status " << status;
  } else if (check_condition) {
    std::snprintf(buf, sizeof(buf), " -> CHECK %X/%02X/%02X", sense.key, sense.asc, sense.ascq);
    o << buf;
  } else {
    o << " -> GOOD";
    if (data_in_length) o << " data=" << data_in_length;
    if (unrecorded_blocks) o << " unrecorded=" << unrecorded_blocks;
  }
  return o.str();
}

HostService::HostService(std::string pipe_name) : pipe_name_(std::move(pipe_name)) {}

HostService::~HostService() { stop(); }

void HostService::add_drive(std::uint64_t cookie, std::shared_ptr<ChangerDrive> drive) {
  std::lock_guard<std::mutex> g(mu_);
  drives_[cookie] = std::move(drive);
}

std::shared_ptr<ChangerDrive> HostService::drive(std::uint64_t cookie) const {
  std::lock_guard<std::mutex> g(mu_);
  auto it = drives_.find(cookie);
  return it == drives_.end() ? nullptr : it->second;
}

DWORD HostService::start() {
  if (running_) return ERROR_SERVICE_ALREADY_RUNNING;
  DWORD rc = server_.listen("\\\\.\\pipe\\" + pipe_name_);
  if (rc != ERROR_SUCCESS) return rc;
  running_ = true;
  acceptor_ = std::thread([this] { accept_loop(); });
  return ERROR_SUCCESS;
}

void HostService::stop() {
  if (!running_.exchange(false)) return;
  server_.close();
  if (acceptor_.joinable()) acceptor_.join();
  {
    std::lock_guard<std::mutex> g(mu_);
    for (auto& c : conns_) c->pipe->disconnect();
    cv_.notify_all();
  }
  // A connection thread may still start a delayed answer while it is being
  // joined: join until no worker is left.
  for (;;) {
    std::vector<Worker> threads;
    {
      std::lock_guard<std::mutex> g(mu_);
      if (threads_.empty()) break;
      threads.swap(threads_);
    }
    for (auto& w : threads)
      if (w.thread.joinable()) w.thread.join();
  }
  std::lock_guard<std::mutex> g(mu_);
  conns_.clear();
  clients_.clear();
  for (auto& [cookie, d] : drives_) d->flush();
}

void HostService::accept_loop() {
  while (running_) {
    std::unique_ptr<platform::PipeConnection> pipe;
    if (server_.accept(&pipe) != ERROR_SUCCESS) {
      if (!running_) return;
      continue;
    }
    auto conn = std::make_shared<Conn>();
    conn->pipe = std::move(pipe);
    conn->pid = peer_process(*conn->pipe);
    std::lock_guard<std::mutex> g(mu_);
    if (!running_) return;
    conn->id = next_conn_++;
    conns_.push_back(conn);
    spawn([this, conn] { serve(conn); });
  }
}

void HostService::spawn(std::function<void()> fn) {
  for (auto it = threads_.begin(); it != threads_.end();) {
    if (it->done->load()) {
      it->thread.join();
      it = threads_.erase(it);
    } else {
      ++it;
    }
  }
  auto done = std::make_shared<std::atomic<bool>>(false);
  threads_.push_back(Worker{std::thread([fn = std::move(fn), done] {
                              fn();
                              *done = true;
                            }),
                            done});
}

void HostService::serve(std::shared_ptr<Conn> conn) {
  for (;;) {
    std::uint32_t size = 0;
    if (conn->pipe->peek_message_size(&size) != ERROR_SUCCESS) break;
    std::vector<std::uint8_t> msg;
    if (size > kMaxRequestBytes) {
      // Larger than any command can carry: keep its head (for the key), skip
      // the rest and answer it as a bad request.
      std::vector<std::uint8_t> chunk(1 << 16);
      std::size_t got = 0;
      DWORD rc = conn->pipe->read(chunk.data(), chunk.size(), &got);
      msg.assign(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(got, 16)));
      while (rc == ERROR_MORE_DATA) rc = conn->pipe->read(chunk.data(), chunk.size(), &got);
      if (rc != ERROR_SUCCESS) break;
      ++received_;
      oversized(conn, msg);
      continue;
    }
    if (conn->pipe->read_message(&msg) != ERROR_SUCCESS) break;
    ++received_;
    handle(conn, std::move(msg));
  }
  // The client went away (or the service stops): forget the connection.
  std::lock_guard<std::mutex> g(mu_);
  conns_.erase(std::remove(conns_.begin(), conns_.end(), conn), conns_.end());
}

int HostService::connections() const {
  std::lock_guard<std::mutex> g(mu_);
  return static_cast<int>(conns_.size());
}


void HostService::oversized(const std::shared_ptr<Conn>& conn, const std::vector<std::uint8_t>& head) {
  TranscriptEntry e;
  e.time_ms = platform::clock().now_ms();
  e.connection = conn->id;
  e.status = kStatusBadRequest;
  if (head.size() < 16) {
    record(e);
    return;
  }
  std::memcpy(&e.key, head.data() + 8, sizeof(e.key));
  e.answered = true;
  const std::size_t at = record(e);
  auto h = answer_head(e.key, kStatusBadRequest, 0);
  if (conn->pipe->write(h.data(), h.size()) != ERROR_SUCCESS) mark_unanswered(at);
}

void HostService::send_status(const std::shared_ptr<Conn>& conn, TranscriptEntry e, std::int32_t status) {
  auto h = answer_head(e.key, status, 0);
  e.status = status;
  e.answered = true;
  const std::size_t at = record(e);
  if (conn->pipe->write(h.data(), h.size()) != ERROR_SUCCESS) mark_unanswered(at);
}

void HostService::handle(const std::shared_ptr<Conn>& conn, std::vector<std::uint8_t> msg) {
  TranscriptEntry e;
  e.time_ms = platform::clock().now_ms();
  e.connection = conn->id;
  auto send_status = [&](std::int32_t status) { this->send_status(conn, e, status); };

  if (msg.size() < 16) {
    // Without its key a request cannot be answered; keep a trace of it.
    e.status = kStatusBadRequest;
    e.answered = false;
    record(e);
    return;
  }
  std::memcpy(&e.key, msg.data() + 8, sizeof(e.key));
  if (msg.size() < 28) return send_status(kStatusBadRequest);
  std::memcpy(&e.request_code, msg.data() + 24, sizeof(e.request_code));
  if (e.request_code != kScsiRequestCode) return send_status(kStatusNotSupported);
  if (msg.size() < sizeof(ScsiRequestHeader)) return send_status(kStatusBadRequest);

  ScsiRequestHeader h;
  std::memcpy(&h, msg.data(), sizeof(h));
  e.cookie = h.medium_cookie;
  e.sequence = h.sequence;
  e.phase = h.phase;
  e.unmount = h.unmount;
  e.data_out = h.data_out != 0;
  e.sense_capacity = h.sense_capacity;
  e.timeout_seconds = h.timeout_seconds;
  const std::uint8_t* cdb = msg.data() + sizeof(ScsiRequestHeader);
  e.cdb.assign(cdb, cdb + std::min<std::size_t>(h.cdb_length, msg.size() - sizeof(ScsiRequestHeader)));
  if (!well_formed(msg, h)) return send_status(kStatusBadRequest);
  const std::uint32_t out_len = h.data_out ? h.payload_length - h.cdb_length : 0;
  const std::uint8_t* out = cdb + h.cdb_length;
  e.data_length = h.data_out ? out_len : h.transfer_length;
  if (h.data_out && !e.cdb.empty() && e.cdb[0] == 0x8D) e.parameter_list.assign(out, out + out_len);

  if (h.cdb_length == 0) {
    // End-of-request notice: status 0 and 8 zero bytes.
    std::vector<std::uint8_t> a = answer_head(e.key, 0, 8);
    a.resize(a.size() + 8, 0);
    e.answered = true;
    const std::size_t at = record(e);
    if (conn->pipe->write(a.data(), a.size()) != ERROR_SUCCESS) mark_unanswered(at);
    return;
  }

  std::shared_ptr<ChangerDrive> d = drive(h.medium_cookie);
  if (!d) return send_status(kStatusNoSuchDevice);
  if (!admit(*conn, h.medium_cookie)) return send_status(kStatusMediumInUse);
  run_command(conn, std::move(e), h, cdb, out, out_len, *d);
}

bool HostService::admit(const Conn& conn, std::uint64_t cookie) {
  std::lock_guard<std::mutex> g(mu_);
  auto it = clients_.find(cookie);
  if (it != clients_.end() && it->second != conn.pid &&
      std::any_of(conns_.begin(), conns_.end(),
                  [&](const std::shared_ptr<Conn>& c) { return c->pid == it->second && !c->gone(); }))
    return false;
  clients_[cookie] = conn.pid;
  return true;
}

void HostService::release_medium(std::uint64_t cookie) {
  std::lock_guard<std::mutex> g(mu_);
  clients_.erase(cookie);
}

// One command for the drive: the transport faults first, then the drive, then
// the answer, at once or after a delay.
void HostService::run_command(const std::shared_ptr<Conn>& conn, TranscriptEntry e, const ScsiRequestHeader& h,
                              const std::uint8_t* cdb, const std::uint8_t* out, std::uint32_t out_len,
                              ChangerDrive& d) {
  std::optional<FaultRule> fault = d.take_service_fault(cdb, h.cdb_length);
  if (fault && fault->kind == FaultRule::Kind::DropConnection) {
    e.answered = false;
    record(e);
    conn->pipe->disconnect();
    return;
  }
  if (fault && fault->kind == FaultRule::Kind::TransportStatus) return send_status(conn, e, fault->status);
  if (fault && fault->kind == FaultRule::Kind::PowerCut) {
    d.power_cut(fault->keep_blocks);
    return send_status(conn, e, fault->status ? fault->status : kStatusSenseLost);
  }

  auto answer = std::make_shared<Answer>();
  ScsiResult r = d.execute(cdb, h.cdb_length, out, out_len, &answer->data);
  e.check_condition = r.check_condition;
  e.sense = r.sense;
  e.unrecorded_blocks = r.unrecorded_blocks;
  build_answer(h, r, answer.get());
  e.status = answer->status;
  e.sense_length = answer->payload.sense_length;
  e.data_in_length = answer->payload.data_in_length;

  auto send_answer = [this, conn, e, answer]() mutable {
    const bool has_payload = answer->status == 0;
    std::vector<std::uint8_t> head =
        answer_head(e.key, answer->status, has_payload ? static_cast<std::uint32_t>(8 + answer->body_len) : 0);
    if (has_payload) {
      head.resize(head.size() + sizeof(answer->payload));
      std::memcpy(head.data() + sizeof(AnswerHeader), &answer->payload, sizeof(answer->payload));
    }
    const std::uint8_t* b = e.check_condition ? answer->sense.data() : answer->data.data();
    platform::PipeBuffer parts[2] = {{head.data(), head.size()}, {b, answer->body_len}};
    e.answered = true;
    const std::size_t at = record(e);
    if (conn->pipe->write_parts(parts, answer->body_len ? 2 : 1) != ERROR_SUCCESS) mark_unanswered(at);
  };

  if (fault && fault->kind == FaultRule::Kind::Delay) {
    const DWORD ms = static_cast<DWORD>(std::min<std::uint64_t>(fault->delay_ms, 0xFFFFFFFEu));
    std::lock_guard<std::mutex> g(mu_);
    ++held_;
    last_held_ = e;
    const std::uint64_t generation = release_generation_;
    cv_.notify_all();
    spawn([this, ms, generation, send_answer]() mutable {
      {
        std::unique_lock<std::mutex> lk(mu_);
        platform::clock().wait_for(lk, cv_, ms, [this, generation] {
          return !running_.load() || release_generation_ != generation;
        });
      }
      send_answer();
    });
    return;
  }
  send_answer();
}

std::size_t HostService::record(const TranscriptEntry& e) {
  std::function<void(const TranscriptEntry&)> logger;
  std::size_t at;
  {
    std::lock_guard<std::mutex> g(mu_);
    at = transcript_.size() + transcript_base_;
    transcript_.push_back(e);
    transcript_.back().answer_ms = platform::clock().now_ms();
    while (transcript_limit_ && transcript_.size() > transcript_limit_) {
      transcript_.pop_front();
      ++transcript_base_;
    }
    logger = logger_;
    cv_.notify_all();
  }
  if (logger) logger(e);
  return at;
}

void HostService::mark_unanswered(std::size_t at) {
  std::lock_guard<std::mutex> g(mu_);
  if (at >= transcript_base_ && at - transcript_base_ < transcript_.size())
    transcript_[at - transcript_base_].answered = false;
}

std::uint64_t HostService::held() const {
  std::lock_guard<std::mutex> g(mu_);
  return held_;
}

bool HostService::wait_for_held(std::uint64_t n, DWORD timeout_ms) {
  std::unique_lock<std::mutex> lk(mu_);
  return platform::clock().wait_for(lk, cv_, timeout_ms, [&] { return held_ >= n; });
}

TranscriptEntry HostService::last_held() const {
  std::lock_guard<std::mutex> g(mu_);
  return last_held_;
}

void HostService::release_held() {
  std::lock_guard<std::mutex> g(mu_);
  ++release_generation_;
  cv_.notify_all();
}

std::vector<TranscriptEntry> HostService::transcript() const {
  std::lock_guard<std::mutex> g(mu_);
  return std::vector<TranscriptEntry>(transcript_.begin(), transcript_.end());
}

void HostService::set_transcript_limit(std::size_t limit) {
  std::lock_guard<std::mutex> g(mu_);
  transcript_limit_ = limit;
}

void HostService::clear_transcript() {
  std::lock_guard<std::mutex> g(mu_);
  transcript_base_ += transcript_.size();
  transcript_.clear();
}

bool HostService::wait_for_requests(std::size_t n, DWORD timeout_ms) {
  std::unique_lock<std::mutex> lk(mu_);
  return platform::clock().wait_for(lk, cv_, timeout_ms, [&] { return transcript_.size() >= n; });
}

void HostService::set_request_logger(std::function<void(const TranscriptEntry&)> fn) {
  std::lock_guard<std::mutex> g(mu_);
  logger_ = std::move(fn);
}

}  // namespace kelsim
