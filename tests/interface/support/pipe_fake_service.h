// A scripted stand-in for the host service's pipe: it accepts clients on
// "\\.\pipe\QuorvelAPIPipe" in KEL_PIPE_DIR and hands every request message
// to the test, which answers it (in any order), answers it wrongly, or
// breaks the connection.
#pragma once

#include "kel/pipe_client.h"
#include "platform/pipe.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pipetest {

struct Request {
  int connection = 0;  // 1, 2, ... in order of acceptance
  std::shared_ptr<platform::PipeConnection> conn;
  std::vector<std::uint8_t> msg;

  std::uint64_t key() const;
  kel::QVScsiRequestHeader scsi() const;
  std::vector<std::uint8_t> cdb() const;
  std::vector<std::uint8_t> data_out() const;
};

// An answer message: key, status, payload length, then for a SCSI answer
// the sense length, three zero bytes, the data-in length and the bytes.
std::vector<std::uint8_t> scsi_answer(std::uint64_t key, std::int32_t status, const std::vector<std::uint8_t>& sense,
                                      const std::vector<std::uint8_t>& data);
std::vector<std::uint8_t> raw_answer(std::uint64_t key, std::int32_t status, const std::vector<std::uint8_t>& payload);

class FakeService {
 public:
  FakeService() = default;
  ~FakeService();
  FakeService(const FakeService&) = delete;
  FakeService& operator=(const FakeService&) = delete;

  DWORD start();
  // Stops listening and breaks every connection.
  void stop();

  // When set, runs on the connection's thread for every request; otherwise
  // requests queue for next().
  void set_handler(std::function<void(Request&)> handler);
  // The next queued request; false after 10 s without one.
  bool next(Request* out);

  static DWORD send(const Request& r, const std::vector<std::uint8_t>& msg) {
    return r.conn->write(msg.data(), msg.size());
  }
  // Answers a SCSI request.
  static DWORD answer(const Request& r, std::int32_t status, const std::vector<std::uint8_t>& sense = {},
                      const std::vector<std::uint8_t>& data = {}) {
    return send(r, scsi_answer(r.key(), status, sense, data));
  }
  static void drop(const Request& r) { r.conn->disconnect(); }

  int connections() const;

 private:
  void serve(std::shared_ptr<platform::PipeConnection> conn, int id);

  platform::PipeServer server_;
  std::thread acceptor_;
  std::vector<std::thread> threads_;
  std::vector<std::shared_ptr<platform::PipeConnection>> conns_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Request> queue_;
  std::function<void(Request&)> handler_;
  int accepted_ = 0;
  bool stopped_ = false;
};

}  // namespace pipetest
