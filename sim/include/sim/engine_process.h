// The host service's side of an engine process: starts the program KelDriver
// as a separate process against a SimHarness, writes request lines to its
// standard input and reads the XML elements it writes to standard output.
//
//   kelsim::SimHarness sim;
//   kelsim::EngineProcess engine(sim, {.program = path_of_KelDriver});
//   auto answer = engine.request(kelsim::request_line(1, "UnmountVolume"));
//   int code = engine.wait_exit();   // 0, or -1 when the deadline passed
//
// The process runs in the harness's pipe folder (KEL_PIPE_DIR) with a
// registry file of its own (KEL_REGISTRY) holding only the values the test
// sets. Standard output is split at NUL bytes, each element parsed and kept
// in order; standard error is kept too. A thread waiting for answers reads
// the output itself; between requests a reader thread does.
//
// Every wait has a real-time deadline (default 90 s, above the engine's own
// 30 s wait for its cache agent) that a healthy run never reaches: a hung
// engine makes the wait fail, and describe() gives the transcript for the
// failure message. The destructor kills a process that is still running.
// Under the thread sanitizer the engine runs several times slower (a Sync
// of 12,000 folders passes 90 s on a loaded machine), so the default is
// four times as long there.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kelsim {

#if defined(__SANITIZE_THREAD__)
inline constexpr std::chrono::milliseconds kDefaultAnswerDeadline{360000};
#else
inline constexpr std::chrono::milliseconds kDefaultAnswerDeadline{90000};
#endif

class SimHarness;

// One element of the engine's output.
struct EngineElement {
  std::string name;
  std::map<std::string, std::string> attributes;  // UTF-8
  std::string text;                               // character data, UTF-8
  std::string raw;                                // the bytes as written
  bool parsed = false;                            // false: not well-formed XML

  // The debug messages: "Internal", "Error", "Warning", "Trace".
  bool is_debug() const;
  // The attribute's value, or "" when it is missing.
  std::string attribute(const std::string& key) const;
};

struct EngineProcessOptions {
  std::string program;                       // path of KelDriver
  // The program arguments; when empty: the harness's cookie text and the
  // cache directory.
  std::vector<std::string> arguments;
  bool use_default_arguments = true;         // false: exactly `arguments`, even none
  std::string cache_directory;               // default: "<harness dir>/cache" (created)
  std::vector<std::pair<std::string, std::uint32_t>> registry_dwords;  // section KELFS
  std::vector<std::pair<std::string, std::string>> registry_strings;   // section KELFS
  std::chrono::milliseconds deadline{kDefaultAnswerDeadline};
};

// Where an engine is served when no SimHarness is in this process (a service
// such as kelsim-host serving KEL_PIPE_DIR): a folder for the registry file
// and the default cache directory, and the cookie text the engine gets.
struct EngineHost {
  std::string directory;
  std::string cookie_text;  // "/dev/sd" and the cookie in hexadecimal
};

// ---------------------------------------------------------------- fragment exchange
//
// Archive and Restore move a file's bytes through a buffer in the engine
// process whose address a "KelFragment" element names ("Buffer"). The host
// fills or empties it with process_vm_writev / process_vm_readv, and where
// those are refused through /proc/PID/mem.

enum class MemoryRoute { Any, VmCalls, ProcMem };

// Copies n bytes into (write) or out of (read) another process's memory at
// address. False with *error naming the cause of every route tried.
bool write_process_memory(pid_t pid, std::uint64_t address, const void* data, std::size_t n,
                          std::string* error, MemoryRoute route = MemoryRoute::Any);
bool read_process_memory(pid_t pid, std::uint64_t address, void* data, std::size_t n, std::string* error,
                         MemoryRoute route = MemoryRoute::Any);

constexpr std::uint64_t kNewFileBlock = 0xFFFFFFFFFFFFFFFFull;

struct ArchiveRequest {
  std::string name;  // path on the volume, UTF-8, "/" separated
  std::uint32_t generation = 0, version = 0;
  std::uint64_t block_number = kNewFileBlock;
  // File times (100 ns since 1601); 0: the local file's modification time.
  std::uint64_t creation_time = 0, modification_time = 0;
  std::uint32_t io_size = 1u << 20;
  // Called after each piece with the bytes moved so far.
  std::function<void(std::uint64_t)> progress;
};

struct RestoreRequest {
  std::string name;
  std::uint32_t generation = 0, version = 0;
  std::uint64_t offset = 0, length = 0;  // length 0: to the end
  std::uint32_t io_size = 1u << 20;
  // A "Verify" line instead: the whole file (offset and length are sent
  // as 0), exchanged as for a Restore.
  bool verify = false;
  std::function<void(std::uint64_t)> progress;
};

struct ExchangeResult {
  // The request ended with "KelArchive" (Archive) or "KelSuccess" (Restore).
  bool ok = false;
  std::vector<EngineElement> answers;  // every non-debug element of the request
  // The host's own cause when it stopped the exchange (a refused memory
  // access, a local file error, no answer) and sent "FailureCallback"; ""
  // when the engine ended it.
  std::string error;
  std::uint64_t bytes = 0;       // bytes moved
  std::uint64_t block = 0;       // Archive: the BlockNumber the engine named
  std::uint64_t file_size = 0;   // Restore: the file's size on the volume
  // The last element ("KelArchive", "KelSuccess", "HRESULT"), when any.
  const EngineElement* last() const { return answers.empty() ? nullptr : &answers.back(); }
};

class EngineProcess {
 public:
  // Starts the process; started() tells whether that worked (error() why not).
  EngineProcess(SimHarness& sim, EngineProcessOptions options);
  EngineProcess(const EngineHost& host, EngineProcessOptions options);
  ~EngineProcess();
  EngineProcess(const EngineProcess&) = delete;
  EngineProcess& operator=(const EngineProcess&) = delete;

  bool started() const { return pid_ > 0; }
  const std::string& error() const { return error_; }
  pid_t pid() const { return pid_; }
  const std::string& cache_directory() const { return options_.cache_directory; }
  const std::string& registry_file() const { return registry_file_; }

  // Writes one request line (a newline is added). False when the engine no
  // longer reads its input.
  bool send(const std::string& line);
  // The next element that is not a debug message, in output order; false at
  // the deadline or when the output ended first.
  bool next(EngineElement* out);
  // Sends the line and collects the following non-debug elements up to and
  // including the first for which `last` holds (default: "KelSuccess" or
  // "HRESULT"). The collection stops short when no element came for the
  // deadline, or at the end of the output; then the last element does not
  // satisfy `last`. A process that no longer reads its input (it has ended)
  // still gives what it wrote, up to the end of its output. `last` runs on
  // the thread reading the output (this one, or the reader thread) and must
  // not call this object.
  std::vector<EngineElement> request(const std::string& line,
                                     const std::function<bool(const EngineElement&)>& last = {});
  // Closes standard input and waits for the process to end: its exit status
  // (0-255), 128 + the signal that ended it, or -1 when the deadline passed
  // (the process is then killed).
  int wait_exit();
  // Whether the process has ended (and was reaped), waiting up to `wait`
  // for it (a deadline, not a pause: it returns at the end); then its exit
  // status as wait_exit() gives it and the signal that ended it (0: it
  // exited).
  bool ended(int* exit_code = nullptr, int* signal = nullptr, std::chrono::milliseconds wait = {});

  // Archives the local file under request.name: the Archive line and its
  // callbacks. Elements of other requests must not be outstanding.
  ExchangeResult archive(std::uint64_t sequence, const std::string& local_file, const ArchiveRequest& request);
  // Restores request.name into the local file (created or emptied).
  ExchangeResult restore(std::uint64_t sequence, const RestoreRequest& request, const std::string& local_file);

  // Every element so far, debug messages included.
  std::vector<EngineElement> elements() const;
  std::string standard_error() const;
  // Elements, standard error and exit state, for failure messages.
  std::string describe() const;

 private:
  void start(const EngineHost& host);
  void write_registry();
  bool next_or_fail(std::uint64_t sequence, ExchangeResult* r, EngineElement* e);
  bool buffer_of(const EngineElement& e, std::uint32_t asked, std::uint64_t* address, std::uint32_t* size,
                 std::string* error) const;
  bool spawn(const std::vector<std::string>& args);
  void read_loop();
  void watch_output();
  void set_watched(int fd, bool watched);
  bool drain(int fd, bool output);
  void take_output(const char* data, std::size_t n);
  bool take_reading(std::unique_lock<std::mutex>& lk);
  void give_reading();
  bool read_waiting(std::chrono::steady_clock::time_point end, bool err_open);
  void wait_for(std::unique_lock<std::mutex>& lk, bool reading, const std::function<bool()>& done,
                const std::function<std::chrono::steady_clock::time_point()>& until);
  void close_input();

  EngineProcessOptions options_;
  std::string registry_file_;
  std::string error_;
  pid_t pid_ = -1;
  int in_fd_ = -1, out_fd_ = -1, err_fd_ = -1;
  int pidfd_ = -1, epoll_fd_ = -1;
  std::thread reader_;

  mutable std::mutex mu_;
  std::condition_variable cv_;
  // A request() collecting its answers: the thread reading the output adds
  // each one and, when that is the reader thread, wakes it at the last.
  struct Collector {
    const std::function<bool(const EngineElement&)>* last;
    std::vector<EngineElement>* got;
    bool done = false;
    bool ends(const EngineElement& e) const;
  };
  Collector* collector_ = nullptr;
  std::chrono::steady_clock::time_point last_answer_;  // when the latest answer came
  std::string pending_;  // output after the last NUL
  std::vector<std::string> all_;  // every element as written; elements() parses them again
  std::deque<EngineElement> answers_;
  std::string stderr_;
  // Who reads the output pipes: a requesting thread while it waits for its
  // answers, else the reader thread (reader_reading_ while it is at it).
  bool requesting_ = false, reader_reading_ = false;
  // The pipes not yet at their end; changed by the reader thread under mu_.
  bool out_open_ = true, err_open_ = true;
  bool output_ended_ = false;
  int exit_code_ = -2;  // -2: not reaped yet
  int end_signal_ = 0;  // the signal that ended the process
};

// A name as the host writes it into a request attribute: escaped for the
// engine's name unescaping ("&" as "&amp;", each UTF-16 unit outside
// printable ASCII as "&#N;"), then escaped again for XML.
std::string escape_name(const std::string& utf8);
// A name as the engine writes it in an answer (after XML parsing): "&amp;"
// and "&#N;" (one UTF-16 unit each) read back as UTF-8.
std::string unescape_name(const std::string& text);
// Text escaped for an XML attribute value.
std::string escape_attribute(const std::string& text);
// One request line without the newline: the root element with
// SequenceNumber, Opcode and the given attributes (values are written as
// given, so names must come through escape_name).
std::string request_line(std::uint64_t sequence, const std::string& opcode,
                         const std::vector<std::pair<std::string, std::string>>& attributes = {});
// The Archive and Restore lines with their "File" child (Fragment and
// KernelInterface 0).
std::string archive_line(std::uint64_t sequence, const ArchiveRequest& request);
std::string restore_line(std::uint64_t sequence, const RestoreRequest& request);

}  // namespace kelsim
