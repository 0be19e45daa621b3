// Opening the files the service reads or locks (the configuration file, a number's lock file)
// so that a special file at such a path can never make it wait: a FIFO would block open()
// until a writer comes, a device may block or act on being opened. The type is checked before
// opening, and the file is opened non-blocking and checked again, so a FIFO or device gets a
// clear error at once.
#pragma once

#include <sys/types.h>

#include <string>

namespace quodem::telephony {

// The kind of file `mode` describes, for messages: "a folder", "a FIFO (named pipe)", ...
std::string FileTypeWords(mode_t mode);

// Opens `path` with `flags` (O_CLOEXEC and O_NOCTTY are added; O_CREAT may be given with
// `create_mode`) when it is a regular file or, with O_CREAT, missing. Returns the descriptor
// in blocking mode, or -1 with errno set (ENOENT for a missing file without O_CREAT) and
// `*problem` saying what is wrong, to follow the file's name: "is a FIFO (named pipe), not a
// regular file", or "cannot be opened: " and the system's words.
int OpenRegularFile(const std::string& path, int flags, mode_t create_mode, std::string* problem);

}  // namespace quodem::telephony
