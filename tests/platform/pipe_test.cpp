#include "platform/pipe.h"
#include "platform/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

using platform::PipeConnection;
using platform::PipeServer;

std::vector<std::uint8_t> pattern(std::size_t n, std::uint32_t seed) {
  std::vector<std::uint8_t> v(n);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& b : v) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 16);
  }
  return v;
}

class PipeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kel-pipe-test-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    // The directory below does not exist yet: listen() creates it.
    ::setenv("KEL_PIPE_DIR", (dir_ + "/pipes").c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("KEL_PIPE_DIR");
    std::filesystem::remove_all(dir_);
  }

  // Listens and accepts one client.
  void connect_pair(std::unique_ptr<PipeConnection>* client, std::unique_ptr<PipeConnection>* server) {
    ASSERT_EQ(srv_.listen("\\\\.\\pipe\\Pair"), ERROR_SUCCESS);
    ASSERT_EQ(platform::connect_pipe("\\\\.\\pipe\\Pair", client), ERROR_SUCCESS);
    ASSERT_EQ(srv_.accept(server), ERROR_SUCCESS);
  }

  std::string dir_;
  PipeServer srv_;
};

TEST_F(PipeTest, NameMapsToSocketInPipeDirectory) {
  std::string path;
  EXPECT_EQ(platform::pipe_socket_path("\\\\.\\pipe\\QuorvelAPIPipe", &path), ERROR_SUCCESS);
  EXPECT_EQ(path, dir_ + "/pipes/QuorvelAPIPipe");
  EXPECT_EQ(platform::pipe_socket_path("\\\\.\\PIPE\\x", &path), ERROR_SUCCESS);
  EXPECT_EQ(path, dir_ + "/pipes/x");
  for (const char* bad : {"", "\\\\.\\pipe\\", "a/b", "\\\\.\\pipe\\a\\b", "..", "."})
    EXPECT_EQ(platform::pipe_socket_path(bad, &path), ERROR_INVALID_NAME) << bad;
  EXPECT_EQ(platform::pipe_socket_path(std::string(200, 'n'), &path), ERROR_INVALID_NAME);

  ::unsetenv("KEL_PIPE_DIR");
  EXPECT_EQ(platform::pipe_directory(), "/tmp/kel-pipes");
}

// Large messages in both directions, each direction written while the other
// side reads (a message is far larger than the socket buffer).
TEST_F(PipeTest, LargeMessagesPassBothWaysIntact) {
  std::unique_ptr<PipeConnection> c, s;
  connect_pair(&c, &s);
  for (std::size_t size : {std::size_t(1) << 20, std::size_t(16) << 20, (std::size_t(16) << 20) + 7}) {
    SCOPED_TRACE(size);
    const auto up = pattern(size, 1), down = pattern(size, 2);
    std::thread w([&] { EXPECT_EQ(c->write(up.data(), up.size()), ERROR_SUCCESS); });
    std::uint32_t announced = 0;
    ASSERT_EQ(s->peek_message_size(&announced), ERROR_SUCCESS);
    EXPECT_EQ(announced, size);
    std::vector<std::uint8_t> got;
    ASSERT_EQ(s->read_message(&got), ERROR_SUCCESS);
    w.join();
    EXPECT_TRUE(got == up);

    std::thread w2([&] { EXPECT_EQ(s->write(down.data(), down.size()), ERROR_SUCCESS); });
    std::vector<std::uint8_t> back(size + 100);
    std::size_t n = 0;
    ASSERT_EQ(c->read(back.data(), back.size(), &n), ERROR_SUCCESS);
    w2.join();
    ASSERT_EQ(n, size);
    back.resize(n);
    EXPECT_TRUE(back == down);
  }
}

TEST_F(PipeTest, MessageLargerThanBufferIsReportedAndRestFollows) {
  std::unique_ptr<PipeConnection> c, s;
  connect_pair(&c, &s);
  const auto first = pattern(100, 3), second = pattern(5, 4);
  ASSERT_EQ(c->write(first.data(), first.size()), ERROR_SUCCESS);
  ASSERT_EQ(c->write(second.data(), second.size()), ERROR_SUCCESS);
  ASSERT_EQ(c->write(nullptr, 0), ERROR_SUCCESS);  // an empty message is a message too

  std::uint8_t buf[40];
  std::size_t n = 0;
  EXPECT_EQ(s->read(buf, sizeof(buf), &n), ERROR_MORE_DATA);
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  EXPECT_EQ(n, 40u);
  EXPECT_TRUE(std::equal(buf, buf + 40, first.begin()));
  std::uint32_t left = 0;
  ASSERT_EQ(s->peek_message_size(&left), ERROR_SUCCESS);
  EXPECT_EQ(left, 60u);
  EXPECT_EQ(s->read(buf, sizeof(buf), &n), ERROR_MORE_DATA);
  EXPECT_TRUE(std::equal(buf, buf + 40, first.begin() + 40));
  EXPECT_EQ(s->read(buf, sizeof(buf), &n), ERROR_SUCCESS);
  EXPECT_EQ(n, 20u);
  EXPECT_TRUE(std::equal(buf, buf + 20, first.begin() + 80));
  // The next message starts at its own boundary.
  EXPECT_EQ(s->read(buf, sizeof(buf), &n), ERROR_SUCCESS);
  EXPECT_EQ(n, 5u);
  EXPECT_TRUE(std::equal(buf, buf + 5, second.begin()));
  EXPECT_EQ(s->read(buf, sizeof(buf), &n), ERROR_SUCCESS);
  EXPECT_EQ(n, 0u);
}

TEST_F(PipeTest, MissingServerFailsAtOnce) {
  std::unique_ptr<PipeConnection> c;
  EXPECT_EQ(platform::connect_pipe("\\\\.\\pipe\\Nobody", &c), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(c, nullptr);
  // A wait for a pipe that does not exist does not wait either, even on a
  // clock that never moves.
  platform::ManualClock clk;
  platform::ScopedClock use(clk);
  EXPECT_EQ(platform::wait_named_pipe("\\\\.\\pipe\\Nobody", 10000), ERROR_FILE_NOT_FOUND);

  // A socket file left behind by a server that is gone is no server.
  std::filesystem::create_directories(dir_ + "/pipes");
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::string p = dir_ + "/pipes/Stale";
  std::strcpy(a.sun_path, p.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
  ::close(fd);
  EXPECT_EQ(platform::connect_pipe("\\\\.\\pipe\\Stale", &c), ERROR_FILE_NOT_FOUND);
  // ... and a new server takes its place.
  ASSERT_EQ(srv_.listen("\\\\.\\pipe\\Stale"), ERROR_SUCCESS);
  EXPECT_EQ(platform::connect_pipe("\\\\.\\pipe\\Stale", &c), ERROR_SUCCESS);
}

TEST_F(PipeTest, SecondServerOnSameNameIsRefused) {
  ASSERT_EQ(srv_.listen("\\\\.\\pipe\\One"), ERROR_SUCCESS);
  PipeServer other;
  EXPECT_EQ(other.listen("\\\\.\\pipe\\One"), ERROR_ALREADY_EXISTS);
  srv_.close();
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/pipes/One"));
  EXPECT_EQ(other.listen("\\\\.\\pipe\\One"), ERROR_SUCCESS);
}

TEST_F(PipeTest, ServerThatCannotAcceptIsBusyAndWaitHonoursTheClock) {
  ASSERT_EQ(srv_.listen("\\\\.\\pipe\\Busy", 0), ERROR_SUCCESS);
  std::unique_ptr<PipeConnection> first, second;
  ASSERT_EQ(platform::connect_pipe("\\\\.\\pipe\\Busy", &first), ERROR_SUCCESS);
  EXPECT_EQ(platform::connect_pipe("\\\\.\\pipe\\Busy", &second), ERROR_PIPE_BUSY);

  platform::ManualClock clk;
  platform::ScopedClock use(clk);
  std::atomic<DWORD> waited{0xFFFF};
  std::thread t([&] { waited = platform::wait_named_pipe("\\\\.\\pipe\\Busy", 10000); });
  while (waited == 0xFFFFu) {
    clk.advance(1000);
    std::this_thread::yield();
  }
  t.join();
  EXPECT_EQ(waited.load(), platform::kErrorSemTimeout);

  // Once the server takes the waiting client, a wait succeeds.
  std::unique_ptr<PipeConnection> accepted;
  ASSERT_EQ(srv_.accept(&accepted), ERROR_SUCCESS);
  EXPECT_EQ(platform::wait_named_pipe("\\\\.\\pipe\\Busy", 10000), ERROR_SUCCESS);
}

TEST_F(PipeTest, ClosedPeerGivesBrokenPipe) {
  std::unique_ptr<PipeConnection> c, s;
  connect_pair(&c, &s);
  // A reader blocked in a read learns of the break.
  std::atomic<DWORD> rc{0xFFFF};
  std::thread r([&] {
    std::uint8_t b[8];
    std::size_t n;
    rc = c->read(b, sizeof(b), &n);
  });
  s.reset();
  r.join();
  EXPECT_EQ(rc.load(), ERROR_BROKEN_PIPE);
  EXPECT_FALSE(c->connected());
  std::uint8_t x = 1;
  EXPECT_EQ(c->write(&x, 1), ERROR_BROKEN_PIPE);

  // A message cut off in the middle is a break, not a short message.
  std::unique_ptr<PipeConnection> c2, s2;
  ASSERT_EQ(platform::connect_pipe("\\\\.\\pipe\\Pair", &c2), ERROR_SUCCESS);
  ASSERT_EQ(srv_.accept(&s2), ERROR_SUCCESS);
  const std::uint8_t partial[] = {100, 0, 0, 0, 'a', 'b'};  // announces 100, sends 2
  ASSERT_EQ(::send(s2->native_handle(), partial, sizeof(partial), MSG_NOSIGNAL), 6);
  s2.reset();
  std::vector<std::uint8_t> got;
  EXPECT_EQ(c2->read_message(&got), ERROR_BROKEN_PIPE);
  EXPECT_TRUE(got.empty());

  // Our own disconnect breaks both ends.
  std::unique_ptr<PipeConnection> c3, s3;
  ASSERT_EQ(platform::connect_pipe("\\\\.\\pipe\\Pair", &c3), ERROR_SUCCESS);
  ASSERT_EQ(srv_.accept(&s3), ERROR_SUCCESS);
  c3->disconnect();
  EXPECT_EQ(s3->read_message(&got), ERROR_BROKEN_PIPE);
  EXPECT_EQ(c3->read_message(&got), ERROR_BROKEN_PIPE);
}

TEST_F(PipeTest, SeveralClientsAreServedIndependently) {
  ASSERT_EQ(srv_.listen("\\\\.\\pipe\\Many"), ERROR_SUCCESS);
  constexpr int kClients = 6;
  std::vector<std::thread> handlers;
  std::thread acceptor([&] {
    for (;;) {
      std::unique_ptr<PipeConnection> conn;
      if (srv_.accept(&conn) != ERROR_SUCCESS) return;
      handlers.emplace_back([conn = std::move(conn)] {
        std::vector<std::uint8_t> m;
        while (conn->read_message(&m) == ERROR_SUCCESS) {
          for (auto& b : m) b ^= 0xFF;
          if (conn->write(m.data(), m.size()) != ERROR_SUCCESS) return;
        }
      });
    }
  });
  std::vector<std::thread> clients;
  std::atomic<int> ok{0};
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      std::unique_ptr<PipeConnection> c;
      ASSERT_EQ(platform::connect_pipe("\\\\.\\pipe\\Many", &c), ERROR_SUCCESS);
      for (int k = 0; k < 20; ++k) {
        auto msg = pattern(1000 + i * 977 + k * 4099, i * 100 + k);
        ASSERT_EQ(c->write(msg.data(), msg.size()), ERROR_SUCCESS);
        std::vector<std::uint8_t> back;
        ASSERT_EQ(c->read_message(&back), ERROR_SUCCESS);
        ASSERT_EQ(back.size(), msg.size());
        for (std::size_t j = 0; j < msg.size(); ++j) ASSERT_EQ(back[j], msg[j] ^ 0xFF);
      }
      ok++;
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(ok.load(), kClients);
  srv_.close();
  acceptor.join();
  for (auto& t : handlers) t.join();  // each ends when its client closed
}

TEST_F(PipeTest, ConcurrentWritersNeverInterleaveWhileAnotherThreadReads) {
  std::unique_ptr<PipeConnection> c, s;
  connect_pair(&c, &s);
  constexpr int kThreads = 4, kEach = 50;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t)
    writers.emplace_back([&, t] {
      for (int k = 0; k < kEach; ++k) {
        std::vector<std::uint8_t> m(70000 + k * 13, static_cast<std::uint8_t>(t * kEach + k));
        platform::PipeBuffer parts[2] = {{m.data(), 10}, {m.data() + 10, m.size() - 10}};
        ASSERT_EQ(c->write_parts(parts, 2), ERROR_SUCCESS);
      }
    });
  // The client also reads on its own thread while its writers run.
  std::thread client_reader([&] {
    std::vector<std::uint8_t> m;
    ASSERT_EQ(c->read_message(&m), ERROR_SUCCESS);
    EXPECT_EQ(m.size(), 3u);
  });
  std::vector<int> seen(kThreads * kEach, 0);
  for (int i = 0; i < kThreads * kEach; ++i) {
    std::vector<std::uint8_t> m;
    ASSERT_EQ(s->read_message(&m), ERROR_SUCCESS);
    ASSERT_FALSE(m.empty());
    const std::uint8_t id = m[0];
    for (auto b : m) ASSERT_EQ(b, id);
    ASSERT_EQ(m.size(), 70000u + (id % kEach) * 13);
    seen[id]++;
    if (i == 10) {
      ASSERT_EQ(s->write("abc", 3), ERROR_SUCCESS);
    }
  }
  for (auto& t : writers) t.join();
  client_reader.join();
  for (int v : seen) EXPECT_EQ(v, 1);
}

TEST_F(PipeTest, CancelledReadLosesNoMessage) {
  std::unique_ptr<PipeConnection> c, s;
  connect_pair(&c, &s);
  std::atomic<DWORD> rc{0xFFFF};
  std::thread r([&] {
    std::vector<std::uint8_t> m;
    rc = c->read_message(&m);
  });
  c->cancel_read();
  r.join();
  EXPECT_EQ(rc.load(), ERROR_OPERATION_ABORTED);
  ASSERT_EQ(s->write("hello", 5), ERROR_SUCCESS);
  std::vector<std::uint8_t> m;
  ASSERT_EQ(c->read_message(&m), ERROR_SUCCESS);
  EXPECT_EQ(std::string(m.begin(), m.end()), "hello");
}

TEST_F(PipeTest, CloseWakesAccept) {
  ASSERT_EQ(srv_.listen("\\\\.\\pipe\\Wake"), ERROR_SUCCESS);
  std::atomic<DWORD> rc{0xFFFF};
  std::thread t([&] {
    std::unique_ptr<PipeConnection> conn;
    rc = srv_.accept(&conn);
  });
  srv_.close();
  t.join();
  EXPECT_EQ(rc.load(), ERROR_OPERATION_ABORTED);
  std::unique_ptr<PipeConnection> c;
  EXPECT_EQ(platform::connect_pipe("\\\\.\\pipe\\Wake", &c), ERROR_FILE_NOT_FOUND);
}

}  // namespace
