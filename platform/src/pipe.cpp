#include "platform/pipe.h"

#include "platform/sync.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {
namespace {

constexpr std::string_view kPrefix = "\\\\.\\pipe\\";
constexpr std::uint64_t kMaxMessage = 0xFFFFFFFFull;
constexpr std::uint64_t kBusyPollMs = 20;

DWORD done(DWORD code) {
  SetLastError(code);
  return code;
}

DWORD map_errno(int e) {
  switch (e) {
    case 0: return ERROR_SUCCESS;
    case ENOENT:
    case ENOTDIR:
    case ECONNREFUSED: return ERROR_FILE_NOT_FOUND;
    case EAGAIN: return ERROR_PIPE_BUSY;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case EPIPE:
    case ECONNRESET:
    case ENOTCONN:
    case ECONNABORTED: return ERROR_BROKEN_PIPE;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
    case ENOBUFS: return ERROR_NOT_ENOUGH_MEMORY;
    case ENAMETOOLONG: return ERROR_INVALID_NAME;
    default: return ERROR_GEN_FAILURE;
  }
}

bool iequal_prefix(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char a = s[i], b = prefix[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

DWORD make_address(std::string_view pipe_name, sockaddr_un* addr, std::string* path) {
  std::string p;
  DWORD rc = pipe_socket_path(pipe_name, &p);
  if (rc != ERROR_SUCCESS) return rc;
  std::memset(addr, 0, sizeof(*addr));
  addr->sun_family = AF_UNIX;
  std::memcpy(addr->sun_path, p.data(), p.size());
  if (path) *path = std::move(p);
  return ERROR_SUCCESS;
}

int mkdirs(const std::string& dir) {
  std::string cur;
  std::size_t pos = 0;
  while (pos != std::string::npos) {
    pos = dir.find('/', pos + 1);
    cur = dir.substr(0, pos);
    if (cur.empty()) continue;
    if (::mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST) return errno;
  }
  struct stat st{};
  if (::stat(dir.c_str(), &st) != 0) return errno;
  return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

// Non-blocking connect: 0, or the errno of the failure. On success *fd_out
// holds the connected socket (still non-blocking).
int try_connect(const sockaddr_un& addr, int* fd_out) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return errno;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
    int e = errno;
    ::close(fd);
    return e;
  }
  *fd_out = fd;
  return 0;
}

void tune_socket(int fd) {
  int size = 4 << 20;  // the kernel caps it at its own maximum
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
}

}  // namespace

std::string pipe_directory() {
  const char* env = std::getenv("KEL_PIPE_DIR");
  if (env && *env) return env;
  return "/tmp/kel-pipes";
}

DWORD pipe_socket_path(std::string_view pipe_name, std::string* path) {
  std::string_view name = pipe_name;
  if (iequal_prefix(name, kPrefix)) name.remove_prefix(kPrefix.size());
  if (name.empty() || name == "." || name == ".." ||
      name.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos)
    return done(ERROR_INVALID_NAME);
  std::string p = pipe_directory();
  if (p.empty() || p.back() != '/') p += '/';
  p.append(name);
  if (p.size() >= sizeof(sockaddr_un{}.sun_path)) return done(ERROR_INVALID_NAME);
  *path = std::move(p);
  return done(ERROR_SUCCESS);
}

// ---------------------------------------------------------------------------
// PipeConnection

PipeConnection::PipeConnection(int fd) : fd_(fd), wake_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  tune_socket(fd_);
}

PipeConnection::~PipeConnection() {
  if (fd_ >= 0) ::close(fd_);
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

DWORD PipeConnection::fail(DWORD code) {
  if (code == ERROR_BROKEN_PIPE) broken_ = true;
  return done(code);
}

DWORD PipeConnection::write(const void* data, std::size_t size) {
  PipeBuffer part{data, size};
  return write_parts(&part, 1);
}

DWORD PipeConnection::write_parts(const PipeBuffer* parts, std::size_t count) {
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < count; ++i) total += parts[i].size;
  if (total > kMaxMessage) return done(ERROR_INVALID_PARAMETER);
  if (broken_) return fail(ERROR_BROKEN_PIPE);
  std::uint8_t header[4] = {static_cast<std::uint8_t>(total), static_cast<std::uint8_t>(total >> 8),
                            static_cast<std::uint8_t>(total >> 16),
                            static_cast<std::uint8_t>(total >> 24)};
  std::vector<iovec> iov;
  iov.reserve(count + 1);
  iov.push_back({header, sizeof(header)});
  for (std::size_t i = 0; i < count; ++i)
    if (parts[i].size) iov.push_back({const_cast<void*>(parts[i].data), parts[i].size});

  std::lock_guard<std::mutex> g(write_mu_);
  std::size_t first = 0;
  while (first < iov.size()) {
    msghdr msg{};
    msg.msg_iov = &iov[first];
    msg.msg_iovlen = std::min<std::size_t>(iov.size() - first, IOV_MAX);
    ssize_t n = ::sendmsg(fd_, &msg, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {  // a client socket is non-blocking until connected
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, -1);
        continue;
      }
      return fail(map_errno(errno) == ERROR_GEN_FAILURE ? ERROR_BROKEN_PIPE : map_errno(errno));
    }
    auto left = static_cast<std::size_t>(n);
    while (first < iov.size() && left >= iov[first].iov_len) left -= iov[first++].iov_len;
    if (left) {
      iov[first].iov_base = static_cast<std::uint8_t*>(iov[first].iov_base) + left;
      iov[first].iov_len -= left;
    }
  }
  return done(ERROR_SUCCESS);
}

DWORD PipeConnection::recv_exact(void* buf, std::size_t size) {
  auto* p = static_cast<std::uint8_t*>(buf);
  while (size) {
    ssize_t n = ::recv(fd_, p, size, 0);
    if (n == 0) return fail(ERROR_BROKEN_PIPE);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        pollfd pf{fd_, POLLIN, 0};
        ::poll(&pf, 1, -1);
        continue;
      }
      DWORD e = map_errno(errno);
      return fail(e == ERROR_GEN_FAILURE ? ERROR_BROKEN_PIPE : e);
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return ERROR_SUCCESS;
}

DWORD PipeConnection::wait_header(bool cancellable) {
  if (in_message_) return ERROR_SUCCESS;
  for (;;) {
    pollfd pf[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    int n = ::poll(pf, cancellable ? 2 : 1, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(ERROR_BROKEN_PIPE);
    }
    if (cancellable && (pf[1].revents & POLLIN)) {
      std::uint64_t v;
      if (::read(wake_fd_, &v, sizeof(v)) == sizeof(v)) return done(ERROR_OPERATION_ABORTED);
    }
    if (pf[0].revents) break;
  }
  std::uint8_t h[4];
  DWORD rc = recv_exact(h, sizeof(h));
  if (rc != ERROR_SUCCESS) return rc;
  left_ = static_cast<std::uint32_t>(h[0]) | static_cast<std::uint32_t>(h[1]) << 8 |
          static_cast<std::uint32_t>(h[2]) << 16 | static_cast<std::uint32_t>(h[3]) << 24;
  in_message_ = true;
  return ERROR_SUCCESS;
}

DWORD PipeConnection::read(void* buf, std::size_t capacity, std::size_t* bytes_read) {
  *bytes_read = 0;
  std::lock_guard<std::mutex> g(read_mu_);
  DWORD rc = wait_header(true);
  if (rc != ERROR_SUCCESS) return done(rc);
  const std::size_t n = std::min<std::size_t>(capacity, left_);
  rc = recv_exact(buf, n);
  if (rc != ERROR_SUCCESS) return done(rc);
  *bytes_read = n;
  left_ -= static_cast<std::uint32_t>(n);
  if (left_ == 0) {
    in_message_ = false;
    return done(ERROR_SUCCESS);
  }
  return done(ERROR_MORE_DATA);
}

DWORD PipeConnection::read_message(std::vector<std::uint8_t>* out) {
  out->clear();
  std::lock_guard<std::mutex> g(read_mu_);
  DWORD rc = wait_header(true);
  if (rc != ERROR_SUCCESS) return done(rc);
  try {
    out->resize(left_);
  } catch (const std::bad_alloc&) {
    return done(ERROR_NOT_ENOUGH_MEMORY);  // the message stays unread
  }
  rc = recv_exact(out->data(), left_);
  if (rc != ERROR_SUCCESS) {
    out->clear();
    return done(rc);
  }
  left_ = 0;
  in_message_ = false;
  return done(ERROR_SUCCESS);
}

DWORD PipeConnection::peek_message_size(std::uint32_t* size) {
  *size = 0;
  std::lock_guard<std::mutex> g(read_mu_);
  DWORD rc = wait_header(true);
  if (rc != ERROR_SUCCESS) return done(rc);
  *size = left_;
  return done(ERROR_SUCCESS);
}

void PipeConnection::cancel_read() {
  std::uint64_t one = 1;
  [[maybe_unused]] auto n = ::write(wake_fd_, &one, sizeof(one));
}

void PipeConnection::disconnect() {
  broken_ = true;
  ::shutdown(fd_, SHUT_RDWR);
}

// ---------------------------------------------------------------------------
// Client side

DWORD connect_pipe(std::string_view pipe_name, std::unique_ptr<PipeConnection>* out) {
  out->reset();
  sockaddr_un addr;
  DWORD rc = make_address(pipe_name, &addr, nullptr);
  if (rc != ERROR_SUCCESS) return done(rc);
  int fd = -1;
  int e = try_connect(addr, &fd);
  if (e != 0) return done(map_errno(e));
  int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  out->reset(new PipeConnection(fd));
  return done(ERROR_SUCCESS);
}

DWORD wait_named_pipe(std::string_view pipe_name, DWORD timeout_ms) {
  sockaddr_un addr;
  DWORD rc = make_address(pipe_name, &addr, nullptr);
  if (rc != ERROR_SUCCESS) return done(rc);
  Clock& clk = clock();
  const std::uint64_t start = clk.now_ms();
  for (;;) {
    // A probe connection is the only way to learn that the server has room;
    // the server sees it close at once.
    int fd = -1;
    int e = try_connect(addr, &fd);
    if (e == 0) {
      ::close(fd);
      return done(ERROR_SUCCESS);
    }
    DWORD err = map_errno(e);
    if (err != ERROR_PIPE_BUSY) return done(err);
    const std::uint64_t elapsed = clk.now_ms() - start;
    if (timeout_ms != INFINITE && elapsed >= timeout_ms) return done(kErrorSemTimeout);
    std::uint64_t step = kBusyPollMs;
    if (timeout_ms != INFINITE) step = std::min<std::uint64_t>(step, timeout_ms - elapsed);
    clk.sleep_ms(step);
  }
}

// ---------------------------------------------------------------------------
// Server side

PipeServer::~PipeServer() {
  close();
  if (fd_ >= 0) ::close(fd_);
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

DWORD PipeServer::listen(std::string_view pipe_name, int backlog) {
  if (fd_ >= 0) return done(ERROR_ALREADY_EXISTS);
  sockaddr_un addr;
  std::string path;
  DWORD rc = make_address(pipe_name, &addr, &path);
  if (rc != ERROR_SUCCESS) return done(rc);
  if (int e = mkdirs(pipe_directory())) return done(map_errno(e));

  struct stat st{};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) return done(ERROR_ALREADY_EXISTS);
    int probe = -1;
    int e = try_connect(addr, &probe);
    if (e == 0) ::close(probe);
    if (e != ECONNREFUSED) return done(ERROR_ALREADY_EXISTS);  // a live server
    ::unlink(path.c_str());                                     // left by a server that is gone
  }

  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return done(map_errno(errno));
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
    int e = errno;
    ::close(fd);
    return done(e == EADDRINUSE ? ERROR_ALREADY_EXISTS : map_errno(e));
  }
  if (::listen(fd, std::max(backlog, 0)) != 0) {
    int e = errno;
    ::close(fd);
    ::unlink(path.c_str());
    return done(map_errno(e));
  }
  if (::stat(path.c_str(), &st) == 0) {
    ino_ = st.st_ino;
    dev_ = st.st_dev;
  }
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  fd_ = fd;
  path_ = std::move(path);
  closed_ = false;
  return done(ERROR_SUCCESS);
}

DWORD PipeServer::accept(std::unique_ptr<PipeConnection>* out) {
  out->reset();
  if (fd_ < 0) return done(ERROR_INVALID_HANDLE);
  for (;;) {
    if (closed_) return done(ERROR_OPERATION_ABORTED);
    pollfd pf[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    int n = ::poll(pf, 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return done(map_errno(errno));
    }
    if (closed_ || (pf[1].revents & POLLIN)) return done(ERROR_OPERATION_ABORTED);
    if (!(pf[0].revents & POLLIN)) continue;
    int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (c < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) continue;
      return done(map_errno(errno));
    }
    int flags = ::fcntl(c, F_GETFL);
    ::fcntl(c, F_SETFL, flags & ~O_NONBLOCK);
    out->reset(new PipeConnection(c));
    return done(ERROR_SUCCESS);
  }
}

void PipeServer::close() {
  if (fd_ < 0 || closed_.exchange(true)) return;
  std::uint64_t one = 1;
  [[maybe_unused]] auto n = ::write(wake_fd_, &one, sizeof(one));
  struct stat st{};
  if (::lstat(path_.c_str(), &st) == 0 && st.st_ino == ino_ && st.st_dev == dev_)
    ::unlink(path_.c_str());
}

}  // namespace platform
