// Saving a received file safely. The content of an incoming file frame goes into a temporary
// file in the save folder and gets its name only once its last byte has arrived, so:
//   - memory use does not depend on the size the peer announces;
//   - a frame that is cut short, or whose save fails, leaves an existing file of that name
//     untouched and no partial file behind;
//   - the target is replaced in one step (a reader of the target sees the old or the new
//     file, never a mix), or, when files must not be replaced, the file takes the first free
//     name and never replaces anything, not even a file created meanwhile.
//
// Where the file system has them, the temporary file is unnamed (O_TMPFILE): a receiver that
// is killed leaves nothing behind. Elsewhere it is a new ".quodem-XXXXXX.part" (created with
// O_EXCL, so it never opens or follows anything already there) that its writer holds under an
// exclusive flock while it lives; RemoveStaleReceiveFiles removes those whose writer is gone.
// Replacing a file from an unnamed temporary file links it under such a name, locked, just
// before the rename over the target.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <system_error>

namespace quodem {

class ReceivedFile {
 public:
  // Starts a file in `directory`. Returns null and sets `error` when no temporary file can be
  // made there (folder missing or not writable, disk full, ...; std::errc::invalid_argument
  // for an empty `directory`: no folder was chosen).
  static std::unique_ptr<ReceivedFile> Create(const std::string& directory, std::error_code& error);
  // Discards what was not committed: the content is gone and no name is left behind.
  ~ReceivedFile();
  ReceivedFile(const ReceivedFile&) = delete;
  ReceivedFile& operator=(const ReceivedFile&) = delete;

  // Appends `count` bytes. The system's error (ENOSPC, EFBIG, EIO, ...) on failure.
  std::error_code Write(const void* data, std::size_t count);

  // Gives the content a name in the folder it was created in. `replace`: `name`, replacing an
  // existing file in one step (a folder of that name fails with EISDIR). Otherwise the first
  // free of `name`, NumberedFileName(name, 1), NumberedFileName(name, 2), ... On success
  // `saved` is the file's full path. Call once; nothing of the temporary file remains after
  // it, whatever the outcome.
  std::error_code Commit(const std::string& name, bool replace, std::string& saved);

  // True when the content is in a named temporary file (the fallback).
  bool Named() const { return !temp_path_.empty(); }

 private:
  ReceivedFile(std::string directory, int fd, std::string temp_path)
      : directory_(std::move(directory)), fd_(fd), temp_path_(std::move(temp_path)) {}
  std::error_code CommitUnnamed(const std::string& name, bool replace, std::string& saved);
  std::error_code CommitNamed(const std::string& name, bool replace, std::string& saved);
  void Close();

  std::string directory_;
  int fd_ = -1;            // open, and flock-ed, until committed or discarded
  std::string temp_path_;  // the named temporary file; empty when unnamed
};

// True for a name of the temporary files' pattern, ".quodem-XXXXXX.part" (X a letter or a
// digit). A received file must not take such a name: it could replace the temporary file of
// another receiver in the folder, and the sweep would remove it.
bool IsReceiveTempName(const std::string& name);

// Removes from `directory` the temporary files that receivers which were killed left there:
// regular files named ".quodem-XXXXXX.part", owned by this user, that no live writer holds
// locked. Best effort: entries that cannot be examined are left alone.
void RemoveStaleReceiveFiles(const std::string& directory);

// Test hook: with true, ReceivedFile::Create makes named temporary files even where unnamed
// ones are available, so that tests can exercise the fallback. Process-wide; default false.
void ForceNamedReceiveFiles(bool force);

}  // namespace quodem
