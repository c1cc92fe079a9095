// The whole-stack benchmark's figure groups and its in-process helper runs.
#pragma once

#include "e2e_common.h"

namespace e2e {

// Listing: ReadDirectory of a folder of many entries through a fresh engine,
// beside readdir and fstatat of a local folder of the same names and the
// engine's own readdir in-process.
void listing_figures(const Settings& s);
// Mount time and resident memory of volumes of many files.
void mount_figures(const Settings& s);
// Archive and restore of a large file and of many small ones, beside a
// plain file copy.
void archive_figures(const Settings& s);
// Closing files over one session: the time per file after ten times as many
// files beside that after the first ones.
void close_figures(const Settings& s);
// Many small files and small requests: packed and unpacked Archive beside
// tar, request round trips beside a bare pipe, drive commands per Archive.
void small_files_figures(const Settings& s);
// A small Archive and a Sync, again and again: blocks written and
// pseudo-overwrites per Sync beside the change's own blocks, and the Syncs
// a disc holds with the drive's default write resources.
void sync_figures(const Settings& s);

// In-process helper runs of this program against the service in
// $KEL_PIPE_DIR (argv after the mode word):
//   --populate COOKIE CACHE FILES PER_FOLDER   fill the volume, print its metadata size
//   --list COOKIE CACHE PATH                   the engine's readdir, print count and seconds
//   --close COOKIE CACHE N1 N2                 N2 files created and closed, print times per file
int populate_main(int argc, char** argv);
int list_main(int argc, char** argv);
int close_main(int argc, char** argv);
// Initialises the engine in this process as the program does and mounts:
// 0, or the helper's exit status.
int mount_in_process(const char* cookie_text, const char* cache_directory);

constexpr unsigned kFolderFiles = 10000;  // files per folder of the mount volumes

// A volume of an F2h cartridge in a QMR-T400A: made in this run, or the one
// kept in --keep-volumes under its name when the same commit made it (its
// slot images linked, not copied: a run that writes to them drops it).
struct Volume {
  std::unique_ptr<kelsim::SimHarness> sim;
  std::uint64_t metadata_bytes = 0;
  double made_s = 0;
  bool kept = false;
  std::string own_dir;                // removed with the volume
  std::string kept_dir, kept_times;  // the kept volume and its slot images' times
  Volume() = default;
  Volume(const Volume&) = delete;
  Volume& operator=(const Volume&) = delete;
  ~Volume();
};
// Formatted by a Check, then `files` empty files in folders "/f0000", ...
// of `per_folder` files ("x0000000", ...) and the metadata files that give
// each generation and version 1, made in one helper run with the engine's
// own create and flush routines.
std::unique_ptr<Volume> volume_of(const Settings& s, const std::string& name, unsigned files, unsigned per_folder);
// "kept from an earlier run" or "made in ... s".
std::string about(const Volume& v);

// Runs this program in a helper mode; its standard output.
std::string helper(const Settings& s, const std::vector<std::string>& args);
// The helper's result line (the engine's own messages share its output):
// from the last `word` that starts a line, "" when there is none.
std::string result_of(const std::string& output, const std::string& word);

}  // namespace e2e
