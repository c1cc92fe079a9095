// Named pipes in message mode.
//
// A pipe "\\.\pipe\NAME" is an AF_UNIX stream socket called NAME in the pipe
// directory: $KEL_PIPE_DIR, or /tmp/kel-pipes when the variable is unset or
// empty. Every message travels as a 4-byte little-endian length followed by
// exactly that many bytes, so one write is one message and a reader learns a
// message's size before reading it. Messages up to 4 GiB - 1 can be sent.
//
// Results are Win32 error codes (ERROR_SUCCESS on success); every call also
// leaves its result as the thread's last error.
//
//   ERROR_FILE_NOT_FOUND   no server of that name (no socket, or nobody listens)
//   ERROR_PIPE_BUSY        the server exists but cannot accept a client yet
//   ERROR_INVALID_NAME     not a pipe name, or one that does not fit a socket path
//   ERROR_MORE_DATA        the message is larger than the buffer; the rest follows
//                          with the next read
//   ERROR_BROKEN_PIPE      the other end has closed (or the connection broke)
//   ERROR_OPERATION_ABORTED  a wait was cancelled (cancel_read, PipeServer::close)
#pragma once

#include "platform/win32.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Win32 ERROR_SEM_TIMEOUT, the result of a wait for a pipe that stayed busy.
constexpr DWORD kErrorSemTimeout = 121;

// Directory of the pipe sockets: $KEL_PIPE_DIR or "/tmp/kel-pipes".
std::string pipe_directory();

// Socket path of a pipe name. Accepts "\\.\pipe\NAME" (prefix in any case) or
// a bare NAME. ERROR_INVALID_NAME for an empty name, one with '/' or '\' or
// NUL in it, "." or "..", or a path too long for a socket address.
DWORD pipe_socket_path(std::string_view pipe_name, std::string* path);

// One part of a message sent with PipeConnection::write_parts.
struct PipeBuffer {
  const void* data;
  std::size_t size;
};

// One end of a connected pipe, client or server side. Sending and receiving
// are independent: one thread may write while another reads. Writes from
// several threads never interleave their messages; reads from several
// threads are serialised.
class PipeConnection {
 public:
  ~PipeConnection();
  PipeConnection(const PipeConnection&) = delete;
  PipeConnection& operator=(const PipeConnection&) = delete;

  // Sends one message. ERROR_INVALID_PARAMETER above 4 GiB - 1 bytes.
  DWORD write(const void* data, std::size_t size);
  // Sends the concatenation of the parts as one message.
  DWORD write_parts(const PipeBuffer* parts, std::size_t count);

  // Reads (the rest of) the current message into buf. *bytes_read is the
  // number of bytes stored. When the message does not fit, the buffer is
  // filled, ERROR_MORE_DATA is returned and the next read continues with the
  // rest of the same message. Blocks until a message arrives.
  DWORD read(void* buf, std::size_t capacity, std::size_t* bytes_read);
  // Reads one whole message (or the rest of the current one) into *out.
  DWORD read_message(std::vector<std::uint8_t>* out);
  // Waits for the next message and reports the number of its bytes still
  // unread (the whole size for a message not yet read) without consuming it.
  DWORD peek_message_size(std::uint32_t* size);

  // Makes a read that waits for a message to begin (or the next such read,
  // when none waits) return ERROR_OPERATION_ABORTED. Bytes of a message are
  // never lost to a cancel: a read that has begun a message finishes it.
  void cancel_read();

  // Breaks the connection: the peer and any local reader see
  // ERROR_BROKEN_PIPE. The descriptor is released by the destructor.
  void disconnect();

  bool connected() const { return !broken_.load(); }
  int native_handle() const { return fd_; }

 private:
  friend class PipeServer;
  friend DWORD connect_pipe(std::string_view, std::unique_ptr<PipeConnection>*);
  explicit PipeConnection(int fd);

  DWORD wait_header(bool cancellable);  // read lock held
  DWORD recv_exact(void* buf, std::size_t size);
  DWORD fail(DWORD code);

  int fd_;
  int wake_fd_;  // eventfd for cancel_read
  std::atomic<bool> broken_{false};
  std::mutex write_mu_;
  std::mutex read_mu_;
  bool in_message_ = false;
  std::uint32_t left_ = 0;  // bytes of the current message not yet read
};

// Opens the client end of a pipe. Fails at once with ERROR_FILE_NOT_FOUND
// when no server exists and with ERROR_PIPE_BUSY when the server cannot take
// another client now.
DWORD connect_pipe(std::string_view pipe_name, std::unique_ptr<PipeConnection>* out);

// Waits until the pipe's server can accept a client or timeout_ms pass on the
// process clock (platform::clock()). ERROR_SUCCESS when a connect is worth
// trying, ERROR_FILE_NOT_FOUND when no server exists (at once),
// kErrorSemTimeout (121, ERROR_SEM_TIMEOUT) when it stayed busy.
DWORD wait_named_pipe(std::string_view pipe_name, DWORD timeout_ms);

// The server end: listens on the pipe's socket and accepts clients, each on
// its own PipeConnection.
class PipeServer {
 public:
  PipeServer() = default;
  ~PipeServer();
  PipeServer(const PipeServer&) = delete;
  PipeServer& operator=(const PipeServer&) = delete;

  // Creates the pipe directory when missing and listens on the socket. A
  // stale socket left by a server that is gone is replaced;
  // ERROR_ALREADY_EXISTS when a live server already holds the name. backlog
  // is the number of clients that may wait to be accepted; beyond it clients
  // see ERROR_PIPE_BUSY.
  DWORD listen(std::string_view pipe_name, int backlog = 64);
  // Waits for the next client. ERROR_OPERATION_ABORTED after close().
  DWORD accept(std::unique_ptr<PipeConnection>* out);
  // Stops listening: wakes every accept, removes the socket file. Live
  // connections stay open.
  void close();

  const std::string& socket_path() const { return path_; }
  bool listening() const { return fd_ >= 0 && !closed_; }

 private:
  int fd_ = -1;
  int wake_fd_ = -1;
  std::atomic<bool> closed_{false};
  std::string path_;
  std::uint64_t ino_ = 0;
  std::uint64_t dev_ = 0;
};

}  // namespace platform
