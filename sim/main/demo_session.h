// The demo's session: the life of a cartridge in ten steps through the real
// KelDriver, told in plain words. kel-demo runs it against a service serving
// $KEL_PIPE_DIR; a test runs it in-process against a SimHarness, starting
// the engine through `start_engine` and looking in between steps through
// `after_step`.
#pragma once

#include "sim/engine_process.h"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace keldemo {

using Attributes = std::vector<std::pair<std::string, std::string>>;

class Session;

struct Options {
  std::string engine;        // path of KelDriver
  std::string work;          // work directory (cache, sample and restored files)
  std::string cookie;        // hexadecimal, as in "/dev/sd<cookie>"
  std::string text_file;     // a text file of the project for the sample folder
  std::string cartridge;     // folder of the slot images ("": served elsewhere)
  std::string service_log;   // the service's log file ("": none)
  std::string folder;        // archive this folder instead of the sample
  bool existing = false;     // a service already serving: write only to an empty volume
  bool verbose = false;
  bool tty = false;          // progress lines in place (standard output only)
  // Each printed line (unset: standard output).
  std::function<void(const std::string&)> out;
  // Starts an engine with these options (empty: against the service
  // serving $KEL_PIPE_DIR, with the registry file in `work`).
  std::function<std::unique_ptr<kelsim::EngineProcess>(const kelsim::EngineProcessOptions&)> start_engine;
  // Called after each step that went well, with its number.
  std::function<void(int step, Session&)> after_step;
};

// A file of the session: where it is here and its path on the volume.
struct LocalFile {
  std::string local;
  std::string volume;
};

// An entry of the archived folder that the demo leaves out, and why.
struct SkippedEntry {
  std::string local;  // where it is here
  std::string why;
  bool twin = false;  // its name is one the volume takes for an archived one
};

// What the demo archives of a folder: its subfolders (volume paths, each
// after the folder that holds it), its files, and what it leaves out: a
// name the volume would take for one already taken in the same folder (the
// later one in byte order), a link that leaves the folder, a dangling link,
// a link to a folder, and anything neither a folder nor a regular file (a
// FIFO, a socket, a device). A link to a file inside the folder is archived
// as that file under the link's own name.
struct FolderScan {
  std::vector<std::string> folders;
  std::vector<LocalFile> files;
  std::vector<SkippedEntry> skipped;
};
// Reads the folder `from` for the volume folder `volume`; throws
// std::filesystem::filesystem_error naming a folder that cannot be read.
FolderScan scan_folder(const std::string& from, const std::string& volume);

// Whether the volume takes two names for one: its names compare with the
// ASCII letters A-Z folded to lower case, byte by byte otherwise.
bool same_on_volume(const std::string& a, const std::string& b);

// The meaning in words of an HRESULT a user meets ("" : none known).
std::string hresult_meaning(std::uint32_t hr);

// The demo's output: whole lines and, on a terminal, one progress line
// kept in place (written again after a carriage return). A whole line
// first clears a progress line that shows, so the two never share a line.
class Console {
 public:
  // `write` takes the bytes as they go out.
  Console(std::function<void(const std::string&)> write, bool tty);
  bool tty() const { return tty_; }
  void line(const std::string& text);
  // Shows `text` as the progress line (on a terminal only).
  void progress(const std::string& text);
  void clear_progress();

 private:
  void clear_locked();
  std::function<void(const std::string&)> write_;
  bool tty_;
  std::mutex mu_;
  std::size_t shown_ = 0;  // columns of the progress line that shows (0: none)
};

// One folder's listing: each name with whether it is a folder.
using FolderNames = std::map<std::string, bool>;

// The parity entries of one folder that sit beside their own file: a name
// "<file>#*ECC_Parity_V<n>_N=<n>_K=<n>" whose <file> is listed in the same
// folder as a file. The engine lists these to its own privileged process
// only, so listings are compared and shown without them; any other parity
// entry (no file of its own beside it, or beside a folder) stays in, where
// it shows as a difference.
std::set<std::string> own_parity_entries(const FolderNames& names);

// The columns UTF-8 text takes on a terminal: a combining mark or a
// zero-width character none, an East Asian wide or full-width character or
// an emoji two, any other character (or a byte that is not UTF-8) one.
std::size_t display_columns(const std::string& utf8);
// The text followed by spaces up to `columns` display columns; as it is
// when it is that wide already. The listings line up by it.
std::string pad_to_columns(const std::string& utf8, std::size_t columns);

// Runs the session: 0 when every restored file was identical, every listing
// as expected and udfinfo accepted every written slot; 3 when an existing
// volume is not empty (nothing written); 4 when the engine died of a signal
// (its dump, when one was written, is in the work directory); 1 otherwise.
int run(const Options& options);

// What a hook may ask of a running session.
class Session {
 public:
  virtual ~Session() = default;
  // Sends one request to the engine now running; its answers up to the
  // closing element (a failure ends the session as any step's would).
  virtual std::vector<kelsim::EngineElement> request(const std::string& opcode, const Attributes& attributes) = 0;
  // The files of the first batch (step 2).
  virtual const std::vector<LocalFile>& first_batch() const = 0;
};

}  // namespace keldemo
