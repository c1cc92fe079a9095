#include "interface/support/pipe_fake_service.h"

#include <chrono>
#include <cstring>

namespace pipetest {

std::uint64_t Request::key() const {
  std::uint64_t k = 0;
  if (msg.size() >= 16) std::memcpy(&k, msg.data() + 8, sizeof k);
  return k;
}

kel::QVScsiRequestHeader Request::scsi() const {
  kel::QVScsiRequestHeader h{};
  std::memcpy(&h, msg.data(), std::min(sizeof h, msg.size()));
  return h;
}

std::vector<std::uint8_t> Request::cdb() const {
  const auto h = scsi();
  const auto* p = msg.data() + sizeof h;
  return std::vector<std::uint8_t>(p, p + h.CdbLength);
}

std::vector<std::uint8_t> Request::data_out() const {
  const auto h = scsi();
  const auto* p = msg.data() + sizeof h + h.CdbLength;
  return std::vector<std::uint8_t>(p, p + (h.PayloadLength - h.CdbLength));
}

std::vector<std::uint8_t> raw_answer(std::uint64_t key, std::int32_t status, const std::vector<std::uint8_t>& payload) {
  kel::QVAnswerHeader h{key, status, static_cast<std::uint32_t>(payload.size())};
  std::vector<std::uint8_t> m(sizeof h);
  std::memcpy(m.data(), &h, sizeof h);
  m.insert(m.end(), payload.begin(), payload.end());
  return m;
}

std::vector<std::uint8_t> scsi_answer(std::uint64_t key, std::int32_t status, const std::vector<std::uint8_t>& sense,
                                      const std::vector<std::uint8_t>& data) {
  kel::QVScsiAnswerPayload p{};
  p.SenseLength = static_cast<std::uint8_t>(sense.size());
  p.DataInLength = static_cast<std::uint32_t>(data.size());
  std::vector<std::uint8_t> payload(sizeof p);
  std::memcpy(payload.data(), &p, sizeof p);
  const auto& bytes = sense.empty() ? data : sense;
  payload.insert(payload.end(), bytes.begin(), bytes.end());
  return raw_answer(key, status, payload);
}

FakeService::~FakeService() { stop(); }

DWORD FakeService::start() {
  const DWORD e = server_.listen(std::string("\\\\.\\pipe\\") + kel::kQVPipeName);
  if (e != ERROR_SUCCESS) return e;
  acceptor_ = std::thread([this] {
    while (true) {
      std::unique_ptr<platform::PipeConnection> c;
      if (server_.accept(&c) != ERROR_SUCCESS) return;
      std::shared_ptr<platform::PipeConnection> conn(std::move(c));
      std::lock_guard<std::mutex> g(mu_);
      if (stopped_) return;
      conns_.push_back(conn);
      const int id = ++accepted_;
      threads_.emplace_back(&FakeService::serve, this, conn, id);
    }
  });
  return ERROR_SUCCESS;
}

void FakeService::serve(std::shared_ptr<platform::PipeConnection> conn, int id) {
  while (true) {
    Request r;
    r.connection = id;
    r.conn = conn;
    if (conn->read_message(&r.msg) != ERROR_SUCCESS) return;
    std::function<void(Request&)> h;
    {
      std::lock_guard<std::mutex> g(mu_);
      h = handler_;
      if (!h) {
        queue_.push_back(std::move(r));
        cv_.notify_all();
        continue;
      }
    }
    h(r);
  }
}

void FakeService::stop() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> g(mu_);
    if (stopped_) return;
    stopped_ = true;
    for (auto& c : conns_) c->disconnect();
  }
  server_.close();
  if (acceptor_.joinable()) acceptor_.join();
  {
    std::lock_guard<std::mutex> g(mu_);
    for (auto& c : conns_) c->disconnect();
    threads.swap(threads_);
  }
  for (auto& t : threads) t.join();
  cv_.notify_all();
}

void FakeService::set_handler(std::function<void(Request&)> handler) {
  std::lock_guard<std::mutex> g(mu_);
  handler_ = std::move(handler);
}

bool FakeService::next(Request* out) {
  std::unique_lock<std::mutex> lk(mu_);
  // A guard against a hang only; requests normally arrive at once.
  if (!cv_.wait_for(lk, std::chrono::seconds(10), [&] { return !queue_.empty(); })) return false;
  *out = std::move(queue_.front());
  queue_.pop_front();
  return true;
}

int FakeService::connections() const {
  std::lock_guard<std::mutex> g(mu_);
  return accepted_;
}

}  // namespace pipetest
